// Small helpers on ASCII text and 32-bit counts that the configuration
// reader, the collectors and the module share.
#pragma once

#include <stdint.h>

#include <initializer_list>

// c in lower case when it is an ASCII capital, else c itself (no locale).
inline char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether two NUL-terminated texts are equal but for the case of ASCII letters.
inline bool equals_ignoring_case(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (ascii_lower(*a) != ascii_lower(*b)) {
      return false;
    }
  }
  return *a == *b;
}

// The sum of 32-bit counts, wrapping without notice as the agent's 32-bit
// counters and gauges do (no signed overflow).
inline int32_t wrapping_sum(std::initializer_list<int32_t> values) {
  uint32_t sum = 0;
  for (int32_t value : values) {
    sum += static_cast<uint32_t>(value);
  }
  return static_cast<int32_t>(sum);
}
