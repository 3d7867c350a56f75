// ECDSA P-256 verification through BCrypt (win32/bcrypt.h). The key is
// imported as a BCRYPT_ECCPUBLIC_BLOB without BCRYPT_NO_KEY_VALIDATION, so
// that Windows checks the point too ("By default, the public key is
// validated", BCryptImportKeyPair); our own check (ecdsa.cc) has run
// before, since Wine's BCrypt may check less. BCryptVerifySignature takes
// r||s, each as long as the key.
#include <cstring>

#include "platform/ecdsa.h"
#include "platform/win32/bcrypt.h"

namespace ks {

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature) {
  const win32::BCryptApi& api = win32::BCrypt();
  if (api.ecdsa_p256 == nullptr) return false;
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  BCRYPT_ECCKEY_BLOB header;
  header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header.cbKey = 32;
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, key.xy.data(), 64);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (api.import_key(api.ecdsa_p256, nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                     blob, sizeof blob, 0) < 0) {
    return false;
  }
  // BCrypt's buffers are not const.
  Sha256Digest hash = digest;
  P256Signature rs = signature;
  const NTSTATUS status = api.verify(
      handle, nullptr, hash.bytes.data(), static_cast<ULONG>(hash.bytes.size()),
      rs.rs.data(), static_cast<ULONG>(rs.rs.size()), 0);
  api.destroy_key(handle);
  return status >= 0;
}

}  // namespace ks
