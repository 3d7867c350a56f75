// The operating-system operations that ksupdate uses, behind one seam.
//
// The engine calls the free functions at the bottom of this file, which carry
// the Win32 names and ANSI signatures. Each forwards to the current Platform:
// the real Win32 API on Windows, the Wine-prefix provider on Linux, or
// whatever a test installs with ScopedPlatform (usually a PlatformWrapper
// that changes a few operations and forwards the rest).
#ifndef KSUPDATE_PLATFORM_PLATFORM_H_
#define KSUPDATE_PLATFORM_PLATFORM_H_

#include <memory>
#include <string>

#include "platform/win32_types.h"

namespace ks {

// A lock that LockInstallation took. Destroying it releases the lock; the
// system releases it too when the process ends, however it ends, so a run
// that is killed never leaves its installation locked.
class InstallationLock {
 public:
  InstallationLock() = default;
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;
  virtual ~InstallationLock() = default;
};

// What LockInstallation found.
enum class LockResult {
  kHeld,    // the lock is this process's
  kBusy,    // another process held it for the whole wait
  kFailed,  // no lock can be had there; nothing is held
};

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
  // Takes the exclusive lock that a run holds on its installation: a lock
  // on the file `path`, which is created empty when missing and stays in
  // place. While another process holds it, tries again until `timeout_ms`
  // have passed. kHeld with the lock in *lock; kBusy when another process
  // held it all that time; kFailed when the file cannot be opened or made,
  // is no plain file, or its file system has no locks. A lock taken by the
  // Linux build and one taken by the Windows build under Wine exclude each
  // other on the same file.
  virtual LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) = 0;
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
  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    return target_->LockInstallation(path, timeout_ms, lock);
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
// Windows; nothing elsewhere). Never makes the caller wait for whoever
// listens there: on Windows the line is handed to a thread of its own, and
// a process that ends waits at most kDebugOutputExitBudgetMs for the lines
// still on their way; the rest are dropped.
void DebugOutput(const char* line);
constexpr DWORD kDebugOutputExitBudgetMs = 1000;

// A channel that trace lines are sent to as they are made, for people to
// read: a file, a pipe, standard error.
class TraceOutput {
 public:
  TraceOutput() = default;
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;
  virtual ~TraceOutput() = default;
  // Sends `line` and the platform's line end. Never makes the caller wait:
  // a line that the channel cannot take now (a reader that stopped
  // reading, a reader gone) is dropped, and the run goes on.
  virtual void WriteLine(const std::string& line) = 0;
};

// Opens the channel `name`: "-" is standard error; anything else is a file
// (a host path on Linux, a Windows path on Windows) that lines are appended
// to, created when missing. Never waits either: null when it cannot be
// opened at once (no such directory, no permission, a FIFO that nobody
// reads). On Windows a pipe or console channel is written by a thread of
// its own, like the debugger channel, with the same budget at exit.
std::unique_ptr<TraceOutput> OpenTraceOutput(const char* name);

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
inline LockResult LockInstallation(LPCSTR path, DWORD timeout_ms,
                                   std::unique_ptr<InstallationLock>* lock) {
  return CurrentPlatform()->LockInstallation(path, timeout_ms, lock);
}

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_PLATFORM_H_
