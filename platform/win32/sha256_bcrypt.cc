// SHA-256 through BCrypt (win32/bcrypt.h). Since Windows 7 a hash object
// may be created without a buffer of the caller's, which BCrypt then
// manages ("BCryptCreateHash", pbHashObject).
#include "platform/sha256.h"
#include "platform/win32/bcrypt.h"

namespace ks {

using win32::BCrypt;

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  const win32::BCryptApi& api = BCrypt();
  state_->ok =
      api.sha256 != nullptr && api.create_hash(api.sha256, &state_->hash,
                                               nullptr, 0, nullptr, 0, 0) >= 0;
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) BCrypt().destroy_hash(state_->hash);
}

void Sha256::Update(const void* data, size_t size) {
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  // BCryptHashData takes a ULONG count.
  while (state_->ok && size > 0) {
    const ULONG part =
        size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    state_->ok = BCrypt().hash_data(state_->hash, bytes, part, 0) >= 0;
    bytes += part;
    size -= part;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  Sha256Digest result;
  const bool ok =
      state_->ok &&
      BCrypt().finish_hash(state_->hash, result.bytes.data(),
                           static_cast<ULONG>(result.bytes.size()), 0) >= 0;
  state_->ok = false;
  if (ok) *digest = result;
  return ok;
}

}  // namespace ks
