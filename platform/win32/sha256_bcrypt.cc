// SHA-256 through BCrypt (bcrypt.dll, part of Windows since Vista). The
// algorithm provider is opened once for the process; since Windows 7 a
// hash object may be created without a buffer of the caller's, which
// BCrypt then manages ("BCryptCreateHash", pbHashObject).
//
// bcrypt.dll is no KnownDLL, so an import of it would be looked for beside
// the program before anything in the entry runs: a bcrypt.dll planted there
// (a download folder) would run. It is loaded from System32 only, when the
// first hash is made.
#include "platform/sha256.h"
// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace ks {

namespace {

// The BCrypt functions used, from System32's bcrypt.dll.
struct BCrypt {
  decltype(&BCryptOpenAlgorithmProvider) open_provider = nullptr;
  decltype(&BCryptCreateHash) create_hash = nullptr;
  decltype(&BCryptHashData) hash_data = nullptr;
  decltype(&BCryptFinishHash) finish_hash = nullptr;
  decltype(&BCryptDestroyHash) destroy_hash = nullptr;
  BCRYPT_ALG_HANDLE sha256 = nullptr;  // null when none could be had
};

template <typename Function>
void Find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const BCrypt& Api() {
  static const BCrypt api = [] {
    BCrypt loaded;
    HMODULE module =
        LoadLibraryExA("bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return loaded;
    Find(module, "BCryptOpenAlgorithmProvider", &loaded.open_provider);
    Find(module, "BCryptCreateHash", &loaded.create_hash);
    Find(module, "BCryptHashData", &loaded.hash_data);
    Find(module, "BCryptFinishHash", &loaded.finish_hash);
    Find(module, "BCryptDestroyHash", &loaded.destroy_hash);
    if (loaded.open_provider == nullptr || loaded.create_hash == nullptr ||
        loaded.hash_data == nullptr || loaded.finish_hash == nullptr ||
        loaded.destroy_hash == nullptr ||
        loaded.open_provider(&loaded.sha256, BCRYPT_SHA256_ALGORITHM, nullptr,
                             0) < 0) {
      loaded.sha256 = nullptr;
    }
    return loaded;
  }();
  return api;
}

}  // namespace

struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  const BCrypt& api = Api();
  state_->ok =
      api.sha256 != nullptr && api.create_hash(api.sha256, &state_->hash,
                                               nullptr, 0, nullptr, 0, 0) >= 0;
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) Api().destroy_hash(state_->hash);
}

void Sha256::Update(const void* data, size_t size) {
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  // BCryptHashData takes a ULONG count.
  while (state_->ok && size > 0) {
    const ULONG part =
        size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    state_->ok = Api().hash_data(state_->hash, bytes, part, 0) >= 0;
    bytes += part;
    size -= part;
  }
}

bool Sha256::Finish(Sha256Digest* digest) {
  Sha256Digest result;
  const bool ok =
      state_->ok &&
      Api().finish_hash(state_->hash, result.bytes.data(),
                        static_cast<ULONG>(result.bytes.size()), 0) >= 0;
  state_->ok = false;
  if (ok) *digest = result;
  return ok;
}

}  // namespace ks
