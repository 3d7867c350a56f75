// BCrypt (bcrypt.dll, part of Windows since Vista), loaded from System32
// at its first use. bcrypt.dll is no KnownDLL, so an import of it would be
// looked for beside the program before anything in the entry runs: a
// bcrypt.dll planted there (a download folder) would run. So it is not
// imported; its functions are found by name.
#ifndef KSUPDATE_PLATFORM_WIN32_BCRYPT_H_
#define KSUPDATE_PLATFORM_WIN32_BCRYPT_H_

// clang-format off
#include <windows.h>
#include <bcrypt.h>
// clang-format on

namespace ks::win32 {

// The functions used, and the algorithm providers, opened once for the
// process; a provider (or the whole) is null when it could not be had.
struct BCryptApi {
  decltype(&BCryptOpenAlgorithmProvider) open_provider = nullptr;
  decltype(&BCryptCreateHash) create_hash = nullptr;
  decltype(&BCryptHashData) hash_data = nullptr;
  decltype(&BCryptFinishHash) finish_hash = nullptr;
  decltype(&BCryptDestroyHash) destroy_hash = nullptr;
  decltype(&BCryptImportKeyPair) import_key = nullptr;
  decltype(&BCryptVerifySignature) verify = nullptr;
  decltype(&BCryptDestroyKey) destroy_key = nullptr;
  BCRYPT_ALG_HANDLE sha256 = nullptr;
  BCRYPT_ALG_HANDLE ecdsa_p256 = nullptr;
};

const BCryptApi& BCrypt();

}  // namespace ks::win32

#endif  // KSUPDATE_PLATFORM_WIN32_BCRYPT_H_
