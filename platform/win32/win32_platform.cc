// The Win32 operations on Windows. The registry and file attributes are the
// real API's. The profile calls are answered by our own profile rules (the
// ones the Linux provider uses) on files read whole, and a profile write and
// a copy replace their target atomically; the real calls write in place, so
// a kill or a power cut in the middle would leave a torn module or a cut
// client.ver. Our own declarations come first; <windows.h> after them, so
// its macros cannot touch them.
#include <string>

#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/win32/win32_files.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {

namespace {

::HKEY Native(HKEY key) { return reinterpret_cast<::HKEY>(key); }

// A profile file named without any directory lives in the Windows
// directory, as the real profile calls have it.
std::string ProfilePath(LPCSTR file) {
  std::string path = file;
  if (path.find_first_of("\\/") != std::string::npos) return path;
  char directory[MAX_PATH + 1];
  const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return path;
  return std::string(directory, length) + "\\" + path;
}

// The file's bytes; false when it is missing or cannot be read, which the
// profile reads answer as for a missing file.
bool ReadProfile(LPCSTR file, std::string* contents) {
  bool missing = false;
  return file != nullptr &&
         win32::ReadWholeFile(ProfilePath(file), contents, &missing);
}

class Win32Platform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    std::string contents;
    ReadProfile(file, &contents);
    return ProfileGetSection(contents, section, buffer, size);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    std::string contents;
    const bool exists = ReadProfile(file, &contents);
    return ProfileGetString(contents, exists, section, key, default_value,
                            buffer, size);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    if (file == nullptr) return FALSE;
    const std::string path = ProfilePath(file);
    std::string contents;
    bool missing = false;
    // A file that is there but cannot be read is not overwritten.
    if (!win32::ReadWholeFile(path, &contents, &missing) && !missing) {
      return FALSE;
    }
    std::string written;
    if (!ProfileWriteString(contents, section, key, value, &written)) {
      return FALSE;
    }
    // Nothing to change (the same value, or a deletion of what is not
    // there): the file is left alone, and a missing one is not created.
    if (written == contents) return TRUE;
    return win32::ReplaceFileContents(path, written) ? TRUE : FALSE;
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
    if (source == nullptr || target == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    return win32::CopyFileAtomically(source, target, fail_if_exists != 0)
               ? TRUE
               : FALSE;
  }
};

}  // namespace

Platform* DefaultPlatform() {
  static Win32Platform platform;
  return &platform;
}

void DebugOutput(const char* line) { ::OutputDebugStringA(line); }

}  // namespace ks
