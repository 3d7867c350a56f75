// Keys and signatures of ECDSA over P-256 as publishers' tools write them,
// read strictly: the encodings and the curve's arithmetic that tells a
// point on it. The verification is the system's (platform/ecdsa.h).
#ifndef KSUPDATE_FORMATS_P256_H_
#define KSUPDATE_FORMATS_P256_H_

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace ks {

// A public key: the affine coordinates x and y, 32 bytes each, big-endian.
struct P256PublicKey {
  std::array<unsigned char, 64> xy{};

  bool operator==(const P256PublicKey& other) const { return xy == other.xy; }
};

// A signature: r and s, 32 bytes each, big-endian.
struct P256Signature {
  std::array<unsigned char, 64> rs{};
};

// The bytes of standard base64 (RFC 4648 section 4, with its '=' padding),
// false for anything else: another alphabet, missing or extra padding,
// bits left over in the last character, white space.
bool DecodeBase64(std::string_view text, std::string* bytes);

// A public key from `bytes`: the SubjectPublicKeyInfo DER that openssl
// exports (an id-ecPublicKey key on prime256v1, uncompressed point) or the
// 65-byte uncompressed point itself (0x04, x, y) that .NET returns. False,
// with *key untouched, for any other encoding, a compressed point, a
// coordinate not below the field's prime, or a point not on the curve.
bool ParseP256PublicKey(std::string_view bytes, P256PublicKey* key);

// The signatures that `bytes` may encode: the DER of openssl (a SEQUENCE
// of two INTEGERs, read strictly: short-form lengths only, integers in
// their shortest form and positive, nothing after the sequence) and raw
// r||s of 64 bytes, as .NET writes. Either way r and s must lie in
// [1, n-1], n the order of the curve; an encoding that breaks a rule gives
// nothing. Both readings are given when both apply.
std::vector<P256Signature> ParseP256Signatures(std::string_view bytes);

}  // namespace ks

#endif  // KSUPDATE_FORMATS_P256_H_
