// The Win32 operations on Linux, for a Windows installation that lives in a
// Wine prefix: the registry from the prefix's system.reg, paths through its
// dosdevices links.
#include <algorithm>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/files.h"
#include "platform/posix/profile.h"
#include "platform/posix/registry.h"
#include "platform/posix/wine_paths.h"

namespace ks {

namespace {

using posix::MapPath;
using posix::WinePrefix;

bool MapToHost(LPCSTR path, std::string* host) {
  return path != nullptr && MapPath(WinePrefix(), path, host);
}

class PosixPlatform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    std::string contents;
    ReadProfile(file, &contents);
    return posix::ProfileGetSection(contents, section, buffer, size);
  }

  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    std::string contents;
    bool exists = ReadProfile(file, &contents);
    return posix::ProfileGetString(contents, exists, section, key,
                                   default_value, buffer, size);
  }

  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    std::string host;
    if (!MapToHost(file, &host)) return FALSE;
    std::string contents;
    // A missing file is created; an unreadable one is not overwritten.
    if (!posix::ReadHostFile(host, &contents) &&
        posix::HostFileAttributes(host) != INVALID_FILE_ATTRIBUTES) {
      return FALSE;
    }
    std::string updated;
    if (!posix::ProfileWriteString(contents, section, key, value, &updated)) {
      return FALSE;
    }
    return posix::ReplaceFileContents(host, updated, 0666) ? TRUE : FALSE;
  }

  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD /*options*/,
                     REGSAM /*desired*/, PHKEY result) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string path;
    if (!KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
    if (sub_key != nullptr && *sub_key != '\0') {
      if (!path.empty()) path += '\\';
      path += sub_key;
    }
    auto hive = registry_.Load(WinePrefix() + "/system.reg");
    std::string stored = posix::View32KeyPath(*hive, path);
    if (hive->keys.find(stored) == hive->keys.end()) {
      return ERROR_FILE_NOT_FOUND;
    }
    // Handles are plain numbers, never dereferenced.
    std::uintptr_t id = next_handle_;
    next_handle_ += 4;
    open_keys_[id] = stored;
    *result = reinterpret_cast<HKEY>(id);
    return ERROR_SUCCESS;
  }

  LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD /*reserved*/,
                        LPDWORD type, LPBYTE data, LPDWORD data_size) override {
    auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == open_keys_.end()) return ERROR_INVALID_HANDLE;
    if (data != nullptr && data_size == nullptr) {
      return ERROR_INVALID_PARAMETER;
    }
    auto hive = registry_.Load(WinePrefix() + "/system.reg");
    auto stored_key = hive->keys.find(open->second);
    if (stored_key == hive->keys.end()) return ERROR_FILE_NOT_FOUND;
    auto value =
        stored_key->second.find(value_name != nullptr ? value_name : "");
    if (value == stored_key->second.end()) return ERROR_FILE_NOT_FOUND;
    const std::string& bytes = value->second.data;
    if (type != nullptr) *type = value->second.type;
    if (data_size == nullptr) return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(bytes.size());
    DWORD offered = *data_size;
    *data_size = needed;
    if (data == nullptr) return ERROR_SUCCESS;
    if (offered < needed) return ERROR_MORE_DATA;
    std::copy(bytes.begin(), bytes.end(), data);
    return ERROR_SUCCESS;
  }

  LONG RegCloseKey(HKEY key) override {
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    return open_keys_.erase(reinterpret_cast<std::uintptr_t>(key)) == 1
               ? ERROR_SUCCESS
               : ERROR_INVALID_HANDLE;
  }

  DWORD GetFileAttributesA(LPCSTR path) override {
    std::string host;
    if (!MapToHost(path, &host)) return INVALID_FILE_ATTRIBUTES;
    return posix::HostFileAttributes(host);
  }

  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override {
    std::string host;
    if (!MapToHost(path, &host)) return FALSE;
    return posix::HostSetFileAttributes(host, attributes) ? TRUE : FALSE;
  }

  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) override {
    std::string host_source;
    std::string host_target;
    if (!MapToHost(source, &host_source) || !MapToHost(target, &host_target)) {
      return FALSE;
    }
    return posix::HostCopyFile(host_source, host_target, fail_if_exists != 0)
               ? TRUE
               : FALSE;
  }

 private:
  // False for a missing or unreadable file, which reads as empty.
  static bool ReadProfile(LPCSTR file, std::string* contents) {
    std::string host;
    return MapToHost(file, &host) && posix::ReadHostFile(host, contents);
  }

  // The HKLM-relative path of an open key; HKLM itself is "".
  bool KeyPath(HKEY key, std::string* path) const {
    if (key == HKEY_LOCAL_MACHINE) {
      path->clear();
      return true;
    }
    auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == open_keys_.end()) return false;
    *path = open->second;
    return true;
  }

  posix::RegistryCache registry_;
  std::map<std::uintptr_t, std::string> open_keys_;
  std::uintptr_t next_handle_ = 0x1000;
};

}  // namespace

Platform* DefaultPlatform() {
  static PosixPlatform platform;
  return &platform;
}

void DebugOutput(const char* /*line*/) {}

}  // namespace ks
