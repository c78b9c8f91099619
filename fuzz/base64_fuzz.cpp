// Fuzzes base64_encode with arbitrary input text: the output has exactly the
// length of the padded encoding, uses only the alphabet and "=" padding, and
// decodes back to the input.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"
#include "pluginlib/base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(char c) {
  const char *at = std::strchr(kAlphabet, c);
  return c != '\0' && at != nullptr ? static_cast<int>(at - kAlphabet) : -1;
}

// Decodes text that the encoder made; fails on anything else.
std::string decode(const char *text, size_t length) {
  fuzz::check(length % 4 == 0, "encoded length is not a multiple of 4");
  std::string out;
  for (size_t i = 0; i < length; i += 4) {
    const bool last = i + 4 == length;
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + k];
      if (c == '=') {
        fuzz::check(last && k >= 2, "padding outside the last two places");
        fuzz::check(k == 3 || text[i + 3] == '=', "padding followed by a character");
        v[k] = 0;
        ++padding;
      } else {
        v[k] = value_of(c);
        fuzz::check(v[k] >= 0, "character outside the Base64 alphabet");
      }
    }
    const uint32_t group = static_cast<uint32_t>(v[0] << 18 | v[1] << 12 | v[2] << 6 | v[3]);
    out += static_cast<char>(group >> 16 & 0xFF);
    if (padding < 2) {
      out += static_cast<char>(group >> 8 & 0xFF);
    }
    if (padding < 1) {
      out += static_cast<char>(group & 0xFF);
    }
  }
  return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<char[]> input = fuzz::c_string(data, size);
  const size_t n = std::strlen(input.get());
  // Exactly the room the header asks for, so ASan catches a write past it.
  const size_t room = 4 * ((n + 2) / 3) + 1;
  std::unique_ptr<char[]> output(new char[room]);

  fuzz::check(base64_encode(output.get(), input.get()) == output.get(),
              "result is not the output buffer");
  const size_t length = std::strlen(output.get());
  fuzz::check(length == 4 * ((n + 2) / 3), "output length is not 4 * ceil(n / 3)");
  fuzz::check(decode(output.get(), length) == std::string(input.get(), n),
              "output does not decode to the input");
  return 0;
}
