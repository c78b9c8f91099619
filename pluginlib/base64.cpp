#include "pluginlib/base64.h"

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

char *base64_encode(char *output, const char *input) {
  const auto *in = reinterpret_cast<const unsigned char *>(input);
  char *out = output;
  while (in[0] != '\0') {
    const unsigned b0 = in[0];
    const unsigned b1 = in[1];
    const unsigned b2 = b1 != 0 ? in[2] : 0;
    const unsigned group = (b0 << 16) | (b1 << 8) | b2;
    *out++ = kAlphabet[(group >> 18) & 0x3F];
    *out++ = kAlphabet[(group >> 12) & 0x3F];
    *out++ = b1 != 0 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    *out++ = (b1 != 0 && b2 != 0) ? kAlphabet[group & 0x3F] : '=';
    if (b1 == 0 || b2 == 0) {
      break;
    }
    in += 3;
  }
  *out = '\0';
  return output;
}
