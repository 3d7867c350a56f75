#include "platform/win32/bcrypt.h"

namespace ks::win32 {

namespace {

template <typename Function>
void Find(HMODULE module, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(module, name)));
}

BCRYPT_ALG_HANDLE Open(const BCryptApi& api, LPCWSTR algorithm) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (api.open_provider == nullptr ||
      api.open_provider(&handle, algorithm, nullptr, 0) < 0) {
    return nullptr;
  }
  return handle;
}

}  // namespace

const BCryptApi& BCrypt() {
  static const BCryptApi api = [] {
    BCryptApi loaded;
    HMODULE module =
        LoadLibraryExA("bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return loaded;
    Find(module, "BCryptOpenAlgorithmProvider", &loaded.open_provider);
    Find(module, "BCryptCreateHash", &loaded.create_hash);
    Find(module, "BCryptHashData", &loaded.hash_data);
    Find(module, "BCryptFinishHash", &loaded.finish_hash);
    Find(module, "BCryptDestroyHash", &loaded.destroy_hash);
    Find(module, "BCryptImportKeyPair", &loaded.import_key);
    Find(module, "BCryptVerifySignature", &loaded.verify);
    Find(module, "BCryptDestroyKey", &loaded.destroy_key);
    if (loaded.create_hash != nullptr && loaded.hash_data != nullptr &&
        loaded.finish_hash != nullptr && loaded.destroy_hash != nullptr) {
      loaded.sha256 = Open(loaded, BCRYPT_SHA256_ALGORITHM);
    }
    if (loaded.import_key != nullptr && loaded.verify != nullptr &&
        loaded.destroy_key != nullptr) {
      loaded.ecdsa_p256 = Open(loaded, BCRYPT_ECDSA_P256_ALGORITHM);
    }
    return loaded;
  }();
  return api;
}

}  // namespace ks::win32
