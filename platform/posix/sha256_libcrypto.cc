// SHA-256 through OpenSSL's EVP interface, which picks the fastest code
// the CPU allows (the SHA extensions on x86-64 where present).
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace ks {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->ok = state_->context != nullptr &&
               EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::Update(const void* data, size_t size) {
  if (state_->ok && size > 0) {
    state_->ok = EVP_DigestUpdate(state_->context, data, size) == 1;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  unsigned int length = 0;
  Sha256Digest result;
  if (!state_->ok ||
      EVP_DigestFinal_ex(state_->context, result.bytes.data(), &length) != 1 ||
      length != result.bytes.size()) {
    state_->ok = false;
    return false;
  }
  state_->ok = false;
  *digest = result;
  return true;
}

}  // namespace ks
