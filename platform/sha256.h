// SHA-256 (FIPS 180-4), computed by the platform's own code: OpenSSL's
// libcrypto on Linux, which uses the CPU's SHA extensions where it has
// them, and BCrypt on Windows, a system DLL.
#ifndef KSUPDATE_PLATFORM_SHA256_H_
#define KSUPDATE_PLATFORM_SHA256_H_

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace ks {

struct Sha256Digest {
  std::array<unsigned char, 32> bytes{};

  bool operator==(const Sha256Digest& other) const {
    return bytes == other.bytes;
  }
  bool operator!=(const Sha256Digest& other) const { return !(*this == other); }
};

// True with the digest in *digest when `text` is exactly 64 hexadecimal
// digits, in either case; false, with *digest untouched, otherwise.
bool ParseSha256(std::string_view text, Sha256Digest* digest);

// The digest as 64 lower-case hexadecimal digits.
std::string Sha256Hex(const Sha256Digest& digest);

// One SHA-256 computation over bytes given in parts.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  ~Sha256();

  // Adds `size` bytes to what is hashed.
  void Update(const void* data, size_t size);
  // The digest of every byte added: true with it in *digest. False when the
  // platform failed at any step (no memory, no provider); a failed hash
  // vouches for nothing. Call once.
  bool Finish(Sha256Digest* digest);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_SHA256_H_
