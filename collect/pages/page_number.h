// Numbers read out of page text.
#pragma once

#include <stdint.h>

// The decimal value of text's leading digits, as atoi reads them: blanks
// first are skipped, then an optional sign, then every digit that follows.
// The whole number is read however long it is and its low 32 bits are kept,
// so a counter beyond 2^31 - 1 wraps as a 32-bit counter does. 0 when there
// are no digits or text is null.
int32_t page_atoi(const char *text);

// As page_atoi, for counters of 64 bits: the low 64 bits of the whole
// number. A negative number reads as 0.
uint64_t page_u64(const char *text);

// A decimal number as Apache prints a double ("1.44", ".0813008",
// "1.2e-05") in hundredths, truncated toward zero: "1.449" reads 144.
// Blanks first are skipped. 0 for a negative number or when there are no
// digits; UINT32_MAX for a number of UINT32_MAX hundredths or more.
uint32_t page_hundredths(const char *text);
