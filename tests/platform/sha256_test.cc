#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ks {
namespace {

std::string HashOf(const std::string& text, size_t part) {
  Sha256 hash;
  for (size_t i = 0; i < text.size(); i += part) {
    hash.Update(text.data() + i, std::min(part, text.size() - i));
  }
  Sha256Digest digest;
  EXPECT_TRUE(hash.Finish(&digest));
  return Sha256Hex(digest);
}

// The examples of FIPS 180-4 (NIST's "SHA256.pdf" and the long message of
// FIPS 180-2, appendix B), given whole and in uneven parts.
TEST(Sha256, FipsExamples) {
  const std::string million(1000000, 'a');
  for (size_t part : {1u, 3u, 64u, 1000u, 1u << 20}) {
    EXPECT_EQ(
        HashOf("", part),
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(
        HashOf("abc", part),
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(
        HashOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
               part),
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(
        HashOf(million, part * 7),
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  }
}

TEST(Sha256, HexDigitsBothWays) {
  Sha256Digest digest;
  const std::string upper(
      "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  ASSERT_TRUE(ParseSha256(upper, &digest));
  EXPECT_EQ(Sha256Hex(digest),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const Sha256Digest kept = digest;
  for (const std::string& bad : {upper.substr(1), upper + "0",
                                 upper.substr(0, 63) + "g", std::string()}) {
    EXPECT_FALSE(ParseSha256(bad, &digest)) << bad;
    EXPECT_EQ(digest, kept);
  }
}

}  // namespace
}  // namespace ks
