#include "platform/sha256.h"

namespace ks {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool ParseSha256(std::string_view text, Sha256Digest* digest) {
  Sha256Digest parsed;
  if (text.size() != 2 * parsed.bytes.size()) return false;
  for (size_t i = 0; i < parsed.bytes.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    parsed.bytes[i] = static_cast<unsigned char>(high * 16 + low);
  }
  *digest = parsed;
  return true;
}

std::string Sha256Hex(const Sha256Digest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest.bytes.size());
  for (unsigned char byte : digest.bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

}  // namespace ks
