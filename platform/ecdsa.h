// ECDSA over P-256 with SHA-256: the verification, done by the platform's
// own code (libcrypto on Linux, BCrypt on Windows), of keys and signatures
// read by formats/p256.h.
#ifndef KSUPDATE_PLATFORM_ECDSA_H_
#define KSUPDATE_PLATFORM_ECDSA_H_

#include "formats/p256.h"
#include "platform/sha256.h"

namespace ks {

// True when `signature` is one by `key` of a message whose SHA-256 is
// `digest`. False when it is not, or when the platform cannot tell (no
// provider, a key it refuses).
bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature);

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_ECDSA_H_
