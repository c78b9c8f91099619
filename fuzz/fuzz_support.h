// Helpers shared by the fuzz targets: the input as a C string in a buffer of
// exactly its size (so that ASan sees any read past its end), and the check
// that stops the run when an invariant does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

namespace fuzz {

// The bytes as a NUL-terminated string, in a heap block of size + 1 bytes.
// An embedded NUL ends the string early, as it would for the module.
inline std::unique_ptr<char[]> c_string(const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size > 0) {
    std::memcpy(text.get(), data, size);
  }
  text[size] = '\0';
  return text;
}

// An invariant that does not hold is a finding: report it and abort, which
// libFuzzer records as a crash with the input that caused it.
// Written straight to file descriptor 2, which a target may keep while it
// points the stderr stream elsewhere.
[[noreturn]] inline void fail(const char *what) {
  char message[512];
  const int length = std::snprintf(message, sizeof message, "fuzz invariant broken: %s\n", what);
  if (length > 0) {
    const size_t n = static_cast<size_t>(length) < sizeof message ? static_cast<size_t>(length)
                                                                  : sizeof message - 1;
    (void)!write(2, message, n);
  }
  std::abort();
}

inline void check(bool holds, const char *what) {
  if (!holds) {
    fail(what);
  }
}

// True when a NUL stands within the field's size bytes.
inline bool terminated(const char *field, size_t size) {
  return std::memchr(field, '\0', size) != nullptr;
}

// Reads bytes off the front of the input, 0 when it is used up.
struct Bytes {
  const uint8_t *data;
  size_t size;

  uint8_t byte() {
    if (size == 0) {
      return 0;
    }
    --size;
    return *data++;
  }
  uint32_t u32() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      value = (value << 8) | byte();
    }
    return value;
  }
  // Up to n bytes, as a string in a heap block of its exact size.
  std::unique_ptr<char[]> text(size_t n) {
    if (n > size) {
      n = size;
    }
    std::unique_ptr<char[]> out = c_string(data, n);
    data += n;
    size -= n;
    return out;
  }
  std::unique_ptr<char[]> rest() { return text(size); }
};

} // namespace fuzz
