// The Win32 operations on Windows: the real API. Our own declarations come
// first; <windows.h> after them, so its macros cannot touch them.
#include "platform/platform.h"
#include "platform/win32/win32_lock.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {

namespace {

::HKEY Native(HKEY key) { return reinterpret_cast<::HKEY>(key); }

class Win32Platform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    return ::GetPrivateProfileSectionA(section, buffer, size, file);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    return ::GetPrivateProfileStringA(section, key, default_value, buffer, size,
                                      file);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    return ::WritePrivateProfileStringA(section, key, value, file);
  }
  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired,
                     PHKEY result) override {
    // The client's installer is a 32-bit program: its value lives in the
    // 32-bit view, which a 64-bit build only sees when it asks for it.
    ::HKEY opened = nullptr;
    LONG status = ::RegOpenKeyExA(Native(key), sub_key, options,
                                  desired | KEY_WOW64_32KEY, &opened);
    if (status == ERROR_SUCCESS) *result = reinterpret_cast<HKEY>(opened);
    return status;
  }
  LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                        LPDWORD type, LPBYTE data, LPDWORD data_size) override {
    // Win32's DWORD is unsigned long: pass copies, not cast pointers.
    ::DWORD native_type = 0;
    ::DWORD native_size = data_size != nullptr ? *data_size : 0;
    LONG status = ::RegQueryValueExA(
        Native(key), value_name, reinterpret_cast<::LPDWORD>(reserved),
        type != nullptr ? &native_type : nullptr, data,
        data_size != nullptr ? &native_size : nullptr);
    if (type != nullptr) *type = native_type;
    if (data_size != nullptr) *data_size = native_size;
    return status;
  }
  LONG RegCloseKey(HKEY key) override { return ::RegCloseKey(Native(key)); }
  DWORD GetFileAttributesA(LPCSTR path) override {
    return ::GetFileAttributesA(path);
  }
  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override {
    return ::SetFileAttributesA(path, attributes);
  }
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) override {
    return ::CopyFileA(source, target, fail_if_exists);
  }
  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    return Win32LockInstallation(path, timeout_ms, lock);
  }
};

}  // namespace

Platform* DefaultPlatform() {
  static Win32Platform platform;
  return &platform;
}

}  // namespace ks
