#include "collect/pages/page_number.h"

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Skips blanks and a sign; true when the sign was '-'.
bool skip_to_digits(const char **p) {
  while (is_blank(**p)) {
    ++*p;
  }
  bool negative = false;
  if (**p == '+' || **p == '-') {
    negative = **p == '-';
    ++*p;
  }
  return negative;
}

// Digits beyond these add nothing that survives the scaling to hundredths
// of a 32-bit value.
constexpr uint64_t kMantissaLimit = 100000000000000000ull; // 10^17
constexpr int kExponentLimit = 100000;

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

uint64_t page_u64(const char *text) {
  if (text == nullptr) {
    return 0;
  }
  const char *p = text;
  const bool negative = skip_to_digits(&p);
  // Unsigned arithmetic keeps exactly the low 64 bits of the whole number.
  uint64_t value = 0;
  for (; is_digit(*p); ++p) {
    value = value * 10u + static_cast<uint64_t>(*p - '0');
  }
  return negative ? 0 : value;
}

uint32_t page_hundredths(const char *text) {
  if (text == nullptr) {
    return 0;
  }
  const char *p = text;
  const bool negative = skip_to_digits(&p);
  // The number is mantissa * 10^exponent, with at most 18 digits kept.
  uint64_t mantissa = 0;
  int exponent = 0;
  bool digits = false;
  for (; is_digit(*p); ++p) {
    digits = true;
    if (mantissa < kMantissaLimit) {
      mantissa = mantissa * 10u + static_cast<uint64_t>(*p - '0');
    } else if (exponent < kExponentLimit) {
      ++exponent; // a digit too many to keep, however long the number runs
    }
  }
  if (*p == '.') {
    for (++p; is_digit(*p); ++p) {
      digits = true;
      if (mantissa < kMantissaLimit) {
        mantissa = mantissa * 10u + static_cast<uint64_t>(*p - '0');
        --exponent;
      }
    }
  }
  if (!digits || negative || mantissa == 0) {
    return 0;
  }
  if (*p == 'e' || *p == 'E') {
    const char *q = p + 1;
    const bool below = *q == '-';
    if (*q == '+' || *q == '-') {
      ++q;
    }
    int power = 0;
    for (; is_digit(*q); ++q) {
      if (power < kExponentLimit) {
        power = power * 10 + (*q - '0');
      }
    }
    exponent += below ? -power : power;
  }
  // Hundredths: two places more.
  int scale = exponent + 2;
  for (; scale > 0; --scale) {
    if (mantissa > UINT32_MAX) {
      return UINT32_MAX;
    }
    mantissa *= 10u;
  }
  for (; scale < 0 && mantissa != 0; ++scale) {
    mantissa /= 10u;
  }
  return mantissa > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mantissa);
}
