// Numbers read out of page text.
#pragma once

#include <stdint.h>

// The decimal value of text's leading digits, as atoi reads them: blanks
// first are skipped, then an optional sign, then every digit that follows.
// The whole number is read however long it is and its low 32 bits are kept,
// so a counter beyond 2^31 - 1 wraps as a 32-bit counter does. 0 when there
// are no digits or text is null.
int32_t page_atoi(const char *text);
