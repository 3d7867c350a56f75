#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/ecdsa.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ks {
namespace {

std::string Unhex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

Sha256Digest DigestOf(const std::string& bytes) {
  Sha256 hash;
  hash.Update(bytes.data(), bytes.size());
  Sha256Digest digest;
  EXPECT_TRUE(hash.Finish(&digest));
  return digest;
}

// Our reading of the signature, then the platform's verification.
bool Accepts(const P256PublicKey& key, const std::string& message,
             const std::string& signature) {
  for (const P256Signature& s : ParseP256Signatures(signature)) {
    if (VerifyP256(key, DigestOf(message), s)) return true;
  }
  return false;
}

// The string value of `"field": "..."` on a line of the vectors' JSON.
bool Field(const std::string& line, const char* field, std::string* value) {
  const std::string tag = std::string("\"") + field + "\": \"";
  const size_t at = line.find(tag);
  if (at == std::string::npos) return false;
  const size_t start = at + tag.size();
  *value = line.substr(start, line.find('"', start) - start);
  return true;
}

// Wine's BCrypt (over GnuTLS) refuses a valid signature whose check adds a
// point to itself; that is Wine's, and a refusal, never an acceptance.
bool UnderWine() {
#ifdef _WIN32
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") !=
         nullptr;
#else
  return false;
#endif
}

// Every case of a Wycheproof file: the verdict of each must be its result.
void CheckVectors(const char* file) {
  std::string path = std::string(KSUPDATE_TEST_DATA) + "/wycheproof/" + file;
#ifdef _WIN32
  path = "Z:" + path;  // the host's root under Wine
#endif
  std::ifstream in(path);
  ASSERT_TRUE(in.is_open()) << path;
  P256PublicKey key;
  std::string line, value, message, signature;
  int cases = 0, valid = 0, wine_refused = 0;
  bool doubling = false;
  while (std::getline(in, line)) {
    if (line.find("\"tcId\"") != std::string::npos) doubling = false;
    if (line.find("\"PointDuplication\"") != std::string::npos) {
      doubling = true;
    }
    if (Field(line, "uncompressed", &value)) {
      ASSERT_TRUE(ParseP256PublicKey(Unhex(value), &key)) << value;
    } else if (Field(line, "msg", &value)) {
      message = Unhex(value);
    } else if (Field(line, "sig", &value)) {
      signature = Unhex(value);
    } else if (Field(line, "result", &value)) {
      ++cases;
      valid += value == "valid";
      const bool accepted = Accepts(key, message, signature);
      if (!accepted && value == "valid" && doubling && UnderWine()) {
        ++wine_refused;
        continue;
      }
      EXPECT_EQ(accepted, value == "valid") << file << " case " << cases;
    }
  }
  EXPECT_GT(cases, 250) << file;
  std::printf("%s: %d cases, %d valid, %d refused by Wine's BCrypt\n", file,
              cases, valid, wine_refused);
}

TEST(VerifyP256, WycheproofDerSignatures) {
  CheckVectors("ecdsa_secp256r1_sha256_test.json");
}

TEST(VerifyP256, WycheproofRawSignatures) {
  CheckVectors("ecdsa_secp256r1_sha256_p1363_test.json");
}

// The base point: on the curve, in both encodings; off it, or
// compressed, or cut, refused.
TEST(ParseP256PublicKey, OnTheCurveOnly) {
  const std::string g = Unhex(
      "046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
      "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");
  const std::string spki =
      Unhex("3059301306072a8648ce3d020106082a8648ce3d030107034200") + g;
  P256PublicKey a, b;
  ASSERT_TRUE(ParseP256PublicKey(g, &a));
  ASSERT_TRUE(ParseP256PublicKey(spki, &b));
  EXPECT_EQ(a, b);
  std::string off = g;
  off.back() = static_cast<char>(off.back() ^ 1);
  EXPECT_FALSE(ParseP256PublicKey(off, &a));
  EXPECT_FALSE(ParseP256PublicKey(g.substr(0, 33), &a));
  EXPECT_FALSE(ParseP256PublicKey("\x02" + g.substr(1, 32), &a));
  EXPECT_FALSE(ParseP256PublicKey(spki + std::string(1, '\0'), &a));
  // x = p is no field element, whatever y.
  std::string big = Unhex(
                        "04ffffffff00000001000000000000000000000000ffffffffffff"
                        "ffffffffffff") +
                    g.substr(33);
  EXPECT_FALSE(ParseP256PublicKey(big, &a));
}

TEST(DecodeBase64, StrictAlphabetAndPadding) {
  std::string bytes;
  EXPECT_TRUE(DecodeBase64("YWJj", &bytes));
  EXPECT_EQ(bytes, "abc");
  EXPECT_TRUE(DecodeBase64("YWI=", &bytes));
  EXPECT_EQ(bytes, "ab");
  EXPECT_TRUE(DecodeBase64("YQ==", &bytes));
  EXPECT_EQ(bytes, "a");
  for (const char* bad : {"", "YWI", "YW=j", "YQ=", "YR==", "YWJj\n", "YW_j",
                          "Y===", "YWJjYQ==YWJj"}) {
    EXPECT_FALSE(DecodeBase64(bad, &bytes)) << bad;
  }
}

}  // namespace
}  // namespace ks
