#include "collect/page_number.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int32_t page_atoi(const char *text) {
  if (text == nullptr) {
    return 0;
  }
  const char *p = text;
  while (is_blank(*p)) {
    ++p;
  }
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // Unsigned arithmetic keeps exactly the low 32 bits of the whole number.
  uint32_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10u + static_cast<uint32_t>(*p - '0');
  }
  if (negative) {
    value = 0u - value;
  }
  return static_cast<int32_t>(value);
}
