// The operating-system operations that ksupdate uses, behind one seam.
//
// The engine calls the free functions at the bottom of this file, which carry
// the Win32 names and ANSI signatures. Each forwards to the current Platform:
// the real Win32 API on Windows, the Wine-prefix provider on Linux, or
// whatever a test installs with ScopedPlatform (usually a PlatformWrapper
// that changes a few operations and forwards the rest).
#ifndef KSUPDATE_PLATFORM_PLATFORM_H_
#define KSUPDATE_PLATFORM_PLATFORM_H_

#include "platform/win32_types.h"

namespace ks {

// Each operation has the contract of its Win32 namesake, limited to what the
// engine relies on; see the providers for the platform-specific details.
class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // Copies the section's lines as consecutive zero-terminated texts, closed
  // by an empty text. When they do not fit, the first size-2 bytes are kept,
  // followed by two zero bytes, and size-2 is returned. Returns the number of
  // bytes written without the final zero; 0 for a missing file or section.
  virtual DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer,
                                          DWORD size, LPCSTR file) = 0;
  // Copies the key's value, or `default_value` when the file, section or key
  // is missing, as a zero-terminated text of at most size-1 characters.
  // Returns the number of characters copied.
  virtual DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                         LPCSTR default_value, LPSTR buffer,
                                         DWORD size, LPCSTR file) = 0;
  // Sets key=value in the section, creating the file, the section or the key
  // when missing. Returns nonzero on success.
  virtual BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key,
                                          LPCSTR value, LPCSTR file) = 0;
  // Opens `sub_key` under `key`. ERROR_SUCCESS and a handle in *result, or an
  // error code and *result untouched.
  virtual LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options,
                             REGSAM desired, PHKEY result) = 0;
  // Reads a value. ERROR_SUCCESS with the bytes in `data` and their count in
  // *data_size; ERROR_MORE_DATA with the needed count in *data_size when the
  // buffer is too small; ERROR_FILE_NOT_FOUND for a missing value.
  virtual LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                                LPDWORD type, LPBYTE data,
                                LPDWORD data_size) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;
  // The attribute bits, or INVALID_FILE_ATTRIBUTES for a missing path.
  virtual DWORD GetFileAttributesA(LPCSTR path) = 0;
  // Replaces the attribute bits. Nonzero on success.
  virtual BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) = 0;
  // Copies `source` to `target`, replacing it unless fail_if_exists. Nonzero
  // on success.
  virtual BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) = 0;
};

// Forwards every operation to another Platform; override the ones to change.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform* target) : target_(target) {}

  Platform* target() const { return target_; }

  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    return target_->GetPrivateProfileSectionA(section, buffer, size, file);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    return target_->GetPrivateProfileStringA(section, key, default_value,
                                             buffer, size, file);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    return target_->WritePrivateProfileStringA(section, key, value, file);
  }
  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired,
                     PHKEY result) override {
    return target_->RegOpenKeyExA(key, sub_key, options, desired, result);
  }
  LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                        LPDWORD type, LPBYTE data, LPDWORD data_size) override {
    return target_->RegQueryValueExA(key, value_name, reserved, type, data,
                                     data_size);
  }
  LONG RegCloseKey(HKEY key) override { return target_->RegCloseKey(key); }
  DWORD GetFileAttributesA(LPCSTR path) override {
    return target_->GetFileAttributesA(path);
  }
  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override {
    return target_->SetFileAttributesA(path, attributes);
  }
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) override {
    return target_->CopyFileA(source, target, fail_if_exists);
  }

 private:
  Platform* target_;
};

// The provider of this build: the Win32 API or the Wine-prefix provider.
// Lives for the whole process.
Platform* DefaultPlatform();

// The platform that the free functions below use: DefaultPlatform() unless a
// ScopedPlatform is in force.
Platform* CurrentPlatform();

// Installs `platform` as the current one for its lifetime, then restores the
// previous one. Scopes nest.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(Platform* platform);
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;
  ~ScopedPlatform();

 private:
  Platform* previous_;
};

// Sends one line to the platform's debugger channel (OutputDebugStringA on
// Windows; nothing elsewhere).
void DebugOutput(const char* line);

// The Win32 operations as the engine calls them.
inline DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                       LPCSTR file) {
  return CurrentPlatform()->GetPrivateProfileSectionA(section, buffer, size,
                                                      file);
}
inline DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                      LPCSTR default_value, LPSTR buffer,
                                      DWORD size, LPCSTR file) {
  return CurrentPlatform()->GetPrivateProfileStringA(
      section, key, default_value, buffer, size, file);
}
inline BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                       LPCSTR file) {
  return CurrentPlatform()->WritePrivateProfileStringA(section, key, value,
                                                       file);
}
inline LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options,
                          REGSAM desired, PHKEY result) {
  return CurrentPlatform()->RegOpenKeyExA(key, sub_key, options, desired,
                                          result);
}
inline LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                             LPDWORD type, LPBYTE data, LPDWORD data_size) {
  return CurrentPlatform()->RegQueryValueExA(key, value_name, reserved, type,
                                             data, data_size);
}
inline LONG RegCloseKey(HKEY key) {
  return CurrentPlatform()->RegCloseKey(key);
}
inline DWORD GetFileAttributesA(LPCSTR path) {
  return CurrentPlatform()->GetFileAttributesA(path);
}
inline BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) {
  return CurrentPlatform()->SetFileAttributesA(path, attributes);
}
inline BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) {
  return CurrentPlatform()->CopyFileA(source, target, fail_if_exists);
}

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_PLATFORM_H_
