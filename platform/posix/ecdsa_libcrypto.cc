// ECDSA P-256 verification through OpenSSL 3's EVP interface: the key made
// from its uncompressed point (which OpenSSL checks to be on the curve),
// the signature handed over as the DER of (r, s).
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

#include "platform/ecdsa.h"

namespace ks {

namespace {

struct Free {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
  void operator()(OSSL_PARAM_BLD* builder) const {
    OSSL_PARAM_BLD_free(builder);
  }
  void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
  void operator()(ECDSA_SIG* signature) const { ECDSA_SIG_free(signature); }
  void operator()(BIGNUM* number) const { BN_free(number); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

Owned<EVP_PKEY> MakeKey(const P256PublicKey& key) {
  unsigned char point[65];
  point[0] = 0x04;
  std::copy(key.xy.begin(), key.xy.end(), point + 1);
  Owned<OSSL_PARAM_BLD> builder(OSSL_PARAM_BLD_new());
  if (builder == nullptr ||
      OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME,
                                      "prime256v1", 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                       point, sizeof point) != 1) {
    return nullptr;
  }
  Owned<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(builder.get()));
  Owned<EVP_PKEY_CTX> context(
      EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* made = nullptr;
  if (params == nullptr || context == nullptr ||
      EVP_PKEY_fromdata_init(context.get()) != 1 ||
      EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY,
                        params.get()) != 1) {
    return nullptr;
  }
  return Owned<EVP_PKEY>(made);
}

}  // namespace

bool VerifyP256(const P256PublicKey& key, const Sha256Digest& digest,
                const P256Signature& signature) {
  Owned<EVP_PKEY> pkey = MakeKey(key);
  if (pkey == nullptr) return false;
  Owned<ECDSA_SIG> sig(ECDSA_SIG_new());
  Owned<BIGNUM> r(BN_bin2bn(signature.rs.data(), 32, nullptr));
  Owned<BIGNUM> s(BN_bin2bn(signature.rs.data() + 32, 32, nullptr));
  if (sig == nullptr || r == nullptr || s == nullptr ||
      ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
    return false;
  }
  // The signature owns them now.
  (void)r.release();
  (void)s.release();
  unsigned char* der = nullptr;
  const int der_size = i2d_ECDSA_SIG(sig.get(), &der);
  if (der_size <= 0) return false;
  Owned<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  const bool valid =
      context != nullptr && EVP_PKEY_verify_init(context.get()) == 1 &&
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
      EVP_PKEY_verify(context.get(), der, static_cast<size_t>(der_size),
                      digest.bytes.data(), digest.bytes.size()) == 1;
  OPENSSL_free(der);
  return valid;
}

}  // namespace ks
