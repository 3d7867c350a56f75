#include "formats/p256.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace ks {

namespace {

// A number below 2^288, as 32-bit limbs, least significant first: room for
// a residue mod p doubled or summed once.
using Limbs = std::array<std::uint32_t, 9>;

Limbs FromBytes(const unsigned char* big_endian) {
  Limbs limbs{};
  for (int i = 0; i < 32; ++i) {
    limbs[static_cast<size_t>((31 - i) / 4)] |=
        static_cast<std::uint32_t>(big_endian[i]) << (8 * ((31 - i) % 4));
  }
  return limbs;
}

Limbs FromHex(const char* hex) {
  unsigned char bytes[32] = {};
  for (size_t i = 0; i < 32; ++i) {
    auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
    bytes[i] = static_cast<unsigned char>(digit(hex[2 * i]) * 16 +
                                          digit(hex[2 * i + 1]));
  }
  return FromBytes(bytes);
}

// The field's prime, the curve's b, and the group's order n.
const Limbs& Prime() {
  static const Limbs p = FromHex(
      "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  return p;
}
const Limbs& CurveB() {
  static const Limbs b = FromHex(
      "5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b");
  return b;
}
const Limbs& Order() {
  static const Limbs n = FromHex(
      "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
  return n;
}

int Compare(const Limbs& a, const Limbs& b) {
  for (size_t i = a.size(); i-- > 0;) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

bool IsZero(const Limbs& a) {
  return std::all_of(a.begin(), a.end(),
                     [](std::uint32_t l) { return l == 0; });
}

// a - b, for a >= b.
Limbs Subtract(const Limbs& a, const Limbs& b) {
  Limbs d{};
  std::int64_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    std::int64_t v = static_cast<std::int64_t>(a[i]) - b[i] - borrow;
    borrow = v < 0 ? 1 : 0;
    d[i] = static_cast<std::uint32_t>(v + (borrow << 32));
  }
  return d;
}

// a + b, for a, b < 2^287.
Limbs Add(const Limbs& a, const Limbs& b) {
  Limbs s{};
  std::uint64_t carry = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const std::uint64_t v = static_cast<std::uint64_t>(a[i]) + b[i] + carry;
    s[i] = static_cast<std::uint32_t>(v);
    carry = v >> 32;
  }
  return s;
}

// (a + b) mod m, for a, b < m.
Limbs AddMod(const Limbs& a, const Limbs& b, const Limbs& m) {
  const Limbs s = Add(a, b);
  return Compare(s, m) >= 0 ? Subtract(s, m) : s;
}

// (a - b) mod m, for a, b < m.
Limbs SubMod(const Limbs& a, const Limbs& b, const Limbs& m) {
  return Compare(a, b) >= 0 ? Subtract(a, b) : Subtract(Add(a, m), b);
}

// (a * b) mod m, for a, b < m < 2^256: the product, then its bits shifted
// into a residue one at a time. Slow, and plenty for checking one key.
Limbs MulMod(const Limbs& a, const Limbs& b, const Limbs& m) {
  std::array<std::uint32_t, 16> product{};
  for (size_t i = 0; i < 8; ++i) {
    std::uint64_t carry = 0;
    for (size_t j = 0; j < 8; ++j) {
      const std::uint64_t v =
          static_cast<std::uint64_t>(a[i]) * b[j] + product[i + j] + carry;
      product[i + j] = static_cast<std::uint32_t>(v);
      carry = v >> 32;
    }
    product[i + 8] = static_cast<std::uint32_t>(carry);
  }
  Limbs r{};
  for (int bit = 511; bit >= 0; --bit) {
    // r = 2r + the bit, then below m again.
    std::uint32_t carry =
        (product[static_cast<size_t>(bit / 32)] >> (bit % 32)) & 1u;
    for (std::uint32_t& limb : r) {
      const std::uint32_t next = limb >> 31;
      limb = (limb << 1) | carry;
      carry = next;
    }
    if (Compare(r, m) >= 0) r = Subtract(r, m);
  }
  return r;
}

// Whether (x, y) is a point of the curve: both below p, and
// y^2 = x^3 - 3x + b (mod p).
bool OnCurve(const Limbs& x, const Limbs& y) {
  const Limbs& p = Prime();
  if (Compare(x, p) >= 0 || Compare(y, p) >= 0) return false;
  const Limbs x3 = MulMod(MulMod(x, x, p), x, p);
  const Limbs three_x = AddMod(AddMod(x, x, p), x, p);
  const Limbs right = AddMod(SubMod(x3, three_x, p), CurveB(), p);
  return Compare(MulMod(y, y, p), right) == 0;
}

// Whether the 32 big-endian bytes lie in [1, n-1].
bool InScalarRange(const unsigned char* big_endian) {
  const Limbs v = FromBytes(big_endian);
  return !IsZero(v) && Compare(v, Order()) < 0;
}

// The id-ecPublicKey SubjectPublicKeyInfo of a prime256v1 key, up to its
// 65-byte uncompressed point: the one DER that openssl writes.
constexpr unsigned char kSpkiPrefix[] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
    0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
    0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};

// One DER INTEGER at *pos, strictly, into 32 big-endian bytes.
bool ReadDerInteger(std::string_view der, size_t* pos, unsigned char* out) {
  if (*pos + 2 > der.size() || static_cast<unsigned char>(der[*pos]) != 0x02) {
    return false;
  }
  const size_t length = static_cast<unsigned char>(der[*pos + 1]);
  *pos += 2;
  // Short form only, and at most 33 bytes: a leading zero and 32.
  if (length == 0 || length > 33 || *pos + length > der.size()) return false;
  const auto* value = reinterpret_cast<const unsigned char*>(der.data() + *pos);
  *pos += length;
  if ((value[0] & 0x80) != 0) return false;  // negative
  size_t skip = 0;
  if (value[0] == 0 && length > 1) {
    if ((value[1] & 0x80) == 0) return false;  // not its shortest form
    skip = 1;
  }
  if (length - skip > 32) return false;
  std::memset(out, 0, 32);
  std::memcpy(out + 32 - (length - skip), value + skip, length - skip);
  return true;
}

bool ReadDerSignature(std::string_view der, P256Signature* signature) {
  // A sequence of at most 70 content bytes: its length is one byte.
  if (der.size() < 2 || static_cast<unsigned char>(der[0]) != 0x30) {
    return false;
  }
  const size_t length = static_cast<unsigned char>(der[1]);
  if (length >= 0x80 || length + 2 != der.size()) return false;
  size_t pos = 2;
  return ReadDerInteger(der, &pos, signature->rs.data()) &&
         ReadDerInteger(der, &pos, signature->rs.data() + 32) &&
         pos == der.size();
}

}  // namespace

bool DecodeBase64(std::string_view text, std::string* bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.empty() || text.size() % 4 != 0) return false;
  std::string out;
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int values[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text[i + static_cast<size_t>(k)];
      if (c == '=' && last && k >= 2) {
        values[k] = 0;
        ++padding;
        continue;
      }
      const char* found = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
      // No character after padding.
      if (found == nullptr || padding > 0) return false;
      values[k] = static_cast<int>(found - kAlphabet);
    }
    const unsigned bits = (static_cast<unsigned>(values[0]) << 18) |
                          (static_cast<unsigned>(values[1]) << 12) |
                          (static_cast<unsigned>(values[2]) << 6) |
                          static_cast<unsigned>(values[3]);
    // The bits that padding leaves over must be zero.
    if ((padding == 1 && (bits & 0xFF) != 0) ||
        (padding == 2 && (bits & 0xFFFF) != 0)) {
      return false;
    }
    out += static_cast<char>(bits >> 16);
    if (padding < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(bits & 0xFF);
  }
  *bytes = std::move(out);
  return true;
}

bool ParseP256PublicKey(std::string_view bytes, P256PublicKey* key) {
  if (bytes.size() == sizeof kSpkiPrefix + 65 &&
      std::memcmp(bytes.data(), kSpkiPrefix, sizeof kSpkiPrefix) == 0) {
    bytes.remove_prefix(sizeof kSpkiPrefix);
  }
  if (bytes.size() != 65 || static_cast<unsigned char>(bytes[0]) != 0x04) {
    return false;
  }
  P256PublicKey parsed;
  std::memcpy(parsed.xy.data(), bytes.data() + 1, 64);
  if (!OnCurve(FromBytes(parsed.xy.data()), FromBytes(parsed.xy.data() + 32))) {
    return false;
  }
  *key = parsed;
  return true;
}

std::vector<P256Signature> ParseP256Signatures(std::string_view bytes) {
  std::vector<P256Signature> found;
  P256Signature signature;
  if (ReadDerSignature(bytes, &signature)) found.push_back(signature);
  if (bytes.size() == 64) {
    std::memcpy(signature.rs.data(), bytes.data(), 64);
    found.push_back(signature);
  }
  // r and s in [1, n-1]: the all-zero signature and its kin never reach
  // the platform's code.
  found.erase(std::remove_if(found.begin(), found.end(),
                             [](const P256Signature& s) {
                               return !InScalarRange(s.rs.data()) ||
                                      !InScalarRange(s.rs.data() + 32);
                             }),
              found.end());
  return found;
}

}  // namespace ks
