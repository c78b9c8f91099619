#include "pluginlib/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string encode(const std::string &input) {
  std::string out(4 * ((input.size() + 2) / 3) + 1, '\x7f');
  char *result = base64_encode(out.data(), input.c_str());
  EXPECT_EQ(result, out.data());
  EXPECT_EQ(out.back(), '\0') << "the terminating NUL lands on the last byte";
  return std::string(out.c_str());
}

TEST(Base64Test, Rfc4648TestVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto &[input, expected] : vectors) {
    EXPECT_EQ(encode(input), expected) << '"' << input << '"';
  }
}

TEST(Base64Test, BytesAbove0x7FAreUnsignedOctets) {
  EXPECT_EQ(encode("\xff"), "/w==");
  EXPECT_EQ(encode("\xff\xff"), "//8=");
  EXPECT_EQ(encode("\xff\xff\xff"), "////");
  EXPECT_EQ(encode("\x80"), "gA==");
  EXPECT_EQ(encode("\xfb\xef\xbe"), "++++");
  EXPECT_EQ(encode("caf\xc3\xa9"), "Y2Fmw6k=");
  EXPECT_EQ(encode("\x01\x80\xfe"), "AYD+");
}

TEST(Base64Test, BasicCredentials) {
  EXPECT_EQ(encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  EXPECT_EQ(encode("admin:"), "YWRtaW46");
}

TEST(Base64Test, LongestCredentialsFillTheirField) {
  // 94 and 95 characters both encode to 128 characters, 93 to 124.
  EXPECT_EQ(encode(std::string(93, 'a')).size(), 124u);
  EXPECT_EQ(encode(std::string(94, 'a')).size(), 128u);
  const std::string full = encode(std::string(95, 'a'));
  EXPECT_EQ(full.size(), 128u);
  EXPECT_EQ(full.substr(124), "YWE=");
}

} // namespace
