// The Win32 operations on Windows. The registry and file attributes are the
// real API's. The profile calls are answered by our own profile rules (the
// ones the Linux provider uses) on files read whole, and a profile write and
// a copy replace their target atomically; the real calls write in place, so
// a kill or a power cut in the middle would leave a torn module or a cut
// client.ver. Our own declarations come first; <windows.h> after them, so
// its macros cannot touch them.
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/profile.h"
#include "platform/profile_file.h"
#include "platform/win32/win32_files.h"
#include "platform/win32/win32_lock.h"
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

// What tells one version of a file from another without opening it: a
// write changes the last-write time (and mostly the size), a file moved in
// has its own creation time. Opening a file costs far more than this, under
// Wine a round trip to its server.
struct Stamp {
  FILETIME created{};
  FILETIME written{};
  DWORD size_high = 0;
  DWORD size_low = 0;

  // False when nothing readable is there.
  static bool Of(const std::string& path, Stamp* stamp) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return false;
    }
    stamp->created = data.ftCreationTime;
    stamp->written = data.ftLastWriteTime;
    stamp->size_high = data.nFileSizeHigh;
    stamp->size_low = data.nFileSizeLow;
    return true;
  }
  bool operator==(const Stamp& other) const {
    return CompareFileTime(&created, &other.created) == 0 &&
           CompareFileTime(&written, &other.written) == 0 &&
           size_high == other.size_high && size_low == other.size_low;
  }
};

// The profile files read so far, each parsed once and read again only when
// its stamp changed, so that a run does not open both manifests at every
// version it reads. A write through the cache keeps the entry current.
class ProfileCache {
 public:
  // The file at `path` as it is now; null with *missing set when there is
  // no file, null with *missing clear when one is there but unreadable.
  // Valid until the next call.
  ProfileFile* Load(const std::string& path, bool* missing) {
    *missing = false;
    Stamp stamp;
    const bool stamped = Stamp::Of(path, &stamp);
    auto cached = files_.find(path);
    if (stamped && cached != files_.end() && cached->second.stamp == stamp) {
      return cached->second.file.get();
    }
    if (cached != files_.end()) files_.erase(cached);
    std::string contents;
    if (!win32::ReadWholeFile(path, &contents, missing)) return nullptr;
    // Stamped before the read: a change in between shows at the next call.
    auto file = std::make_unique<ProfileFile>(std::move(contents));
    ProfileFile* result = file.get();
    if (stamped)
      Keep(path, stamp, std::move(file));
    else
      last_unstamped_ = std::move(file);
    return result;
  }

  // Takes what Load() returned out of the cache, to change it.
  std::unique_ptr<ProfileFile> Take(const std::string& path) {
    auto cached = files_.find(path);
    if (cached == files_.end()) return std::move(last_unstamped_);
    std::unique_ptr<ProfileFile> file = std::move(cached->second.file);
    files_.erase(cached);
    return file;
  }

  // Puts back a file that `path` now holds.
  void Stored(const std::string& path, std::unique_ptr<ProfileFile> file) {
    Stamp stamp;
    if (Stamp::Of(path, &stamp)) Keep(path, stamp, std::move(file));
  }

 private:
  // A run reads two manifests; the bound only matters to a caller that walks
  // many files.
  static constexpr size_t kMaxFiles = 16;

  struct Entry {
    Stamp stamp;
    std::unique_ptr<ProfileFile> file;
  };

  void Keep(const std::string& path, const Stamp& stamp,
            std::unique_ptr<ProfileFile> file) {
    if (files_.size() >= kMaxFiles) files_.clear();
    Entry& entry = files_[path];
    entry.stamp = stamp;
    entry.file = std::move(file);
  }

  std::map<std::string, Entry> files_;
  std::unique_ptr<ProfileFile> last_unstamped_;
};

class Win32Platform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    ProfileFile* profile = Load(file);
    if (profile == nullptr) {
      return ProfileGetSection(std::string(), section, buffer, size);
    }
    return profile->GetSection(section, buffer, size);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    ProfileFile* profile = Load(file);
    if (profile == nullptr) {
      return ProfileGetString(std::string(), false, section, key, default_value,
                              buffer, size);
    }
    return profile->GetString(section, key, default_value, buffer, size);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    if (file == nullptr) return FALSE;
    const std::string path = ProfilePath(file);
    bool missing = false;
    std::unique_ptr<ProfileFile> profile;
    if (profiles_.Load(path, &missing) != nullptr) {
      profile = profiles_.Take(path);
    } else if (missing) {
      profile = std::make_unique<ProfileFile>(std::string());
    } else {
      // A file that is there but cannot be read is not overwritten.
      return FALSE;
    }
    const std::string before = profile->contents();
    // On failure the entry stays out of the cache: the next call reads the
    // file as it is.
    if (!profile->WriteString(section, key, value)) return FALSE;
    // Nothing to change (the same value, or a deletion of what is not
    // there): the file is left alone, and a missing one is not created.
    if (profile->contents() == before) {
      if (!missing) profiles_.Stored(path, std::move(profile));
      return TRUE;
    }
    if (!win32::ReplaceFileContents(path, profile->contents())) return FALSE;
    profiles_.Stored(path, std::move(profile));
    return TRUE;
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
  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    return Win32LockInstallation(path, timeout_ms, lock);
  }

 private:
  // Null for a missing or unreadable file, which reads as missing.
  ProfileFile* Load(LPCSTR file) {
    bool missing = false;
    return file != nullptr ? profiles_.Load(ProfilePath(file), &missing)
                           : nullptr;
  }

  ProfileCache profiles_;
};

}  // namespace

Platform* DefaultPlatform() {
  static Win32Platform platform;
  return &platform;
}

}  // namespace ks
