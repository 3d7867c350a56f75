// The Win32 operations on Linux, for a Windows installation that lives in a
// Wine prefix: the registry from the prefix's system.reg, paths through its
// dosdevices links.
//
// The engine asks again for everything at each use (the registry value, both
// manifests), so the files it reads are kept parsed, each checked at every
// call against a stat of the file (FileStamp): any change, by this process or
// another, is seen at the next call (for the registry: at the next opening
// of a key). The profile rules and their cache are platform/profile/store.h;
// only the file I/O is here.
#include "platform/platform.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/atomic_file.h"
#include "platform/posix/files.h"
#include "platform/posix/lock.h"
#include "platform/posix/prefix_owner.h"
#include "platform/posix/registry.h"
#include "platform/posix/result_output.h"
#include "platform/posix/wine_paths.h"
#include "platform/profile/store.h"
#include "platform/text.h"

namespace ks {

namespace {

using posix::FileStamp;
using posix::HostPath;
using posix::MapPath;
using posix::WinePrefix;

bool MapToHost(LPCSTR path, HostPath* host) {
  return path != nullptr && MapPath(WinePrefix(), path, host);
}

// stat() of a mapped path, from the mapping's own lookup when that tells.
// False when nothing is there.
bool StatOf(const HostPath& host, struct stat* st) {
  if (host.have_lstat && !S_ISLNK(host.lstat.st_mode)) {
    *st = host.lstat;
    return true;
  }
  return ::stat(host.path.c_str(), st) == 0;
}

profile::Stamp StampOf(const struct stat& st) {
  const FileStamp file = FileStamp::Of(st);
  profile::Stamp stamp;
  stamp.words = {file.dev, file.ino, file.size,
                 static_cast<std::uint64_t>(file.mtime_sec),
                 static_cast<std::uint64_t>(file.mtime_nsec)};
  return stamp;
}

// The profile file that a call names, on the host, replaced through the
// provider's replacer so that client.ver records can reuse a spare file.
class HostProfileFile : public profile::FileIo {
 public:
  HostProfileFile(LPCSTR file, posix::FileReplacer* replacer)
      : replacer_(replacer), mapped_(MapToHost(file, &host_)) {}

  const std::string* path() const override {
    return mapped_ ? &host_.path : nullptr;
  }

  Look LookAt() override {
    Look look;
    struct stat st {};
    if (!StatOf(host_, &st)) return look;
    look.exists = true;
    look.stamped = true;
    look.stamp = StampOf(st);
    look.read_only =
        (posix::FileAttributesOf(st) & FILE_ATTRIBUTE_READONLY) != 0;
    look.size = static_cast<std::uint64_t>(st.st_size);
    return look;
  }

  Read ReadWhole(std::string* contents, profile::Stamp* stamp,
                 std::uint64_t max_bytes) override {
    struct stat st {};
    if (!posix::ReadHostFile(host_.path, contents, &st, max_bytes)) {
      return errno == EFBIG ? Read::kTooLarge : Read::kFailed;
    }
    // The stamp of the descriptor read: a file replaced since the look
    // shows as changed at the next call.
    *stamp = StampOf(st);
    return Read::kRead;
  }

  bool Replace(const std::string& contents, Look* after) override {
    struct stat written {};
    if (!replacer_->Replace(host_.path, contents, 0666,
                            host_.have_lstat ? &host_.lstat : nullptr,
                            &written)) {
      return false;
    }
    after->exists = true;
    after->stamped = true;
    after->stamp = StampOf(written);
    return true;
  }

 private:
  posix::FileReplacer* replacer_;
  HostPath host_;
  bool mapped_;
};

// Keeps the replacer's spare file only while the installation lock is held:
// the next run may start the moment it goes, and it must find no file of
// ours in bin. Without a lock (none could be had) no spare is kept.
class RunLock : public InstallationLock {
 public:
  RunLock(posix::FileReplacer* replacer, LPCSTR path, std::string host_path,
          std::unique_ptr<posix::HostFileLock> lock)
      : replacer_(replacer),
        name_(LastComponent(path)),
        host_path_(std::move(host_path)),
        lock_(std::move(lock)) {
    replacer_->HoldSpares();
  }
  ~RunLock() override { replacer_->ReleaseSpares(); }

  // The lock file's own directory entry: the mapping matches the name to
  // it whatever its case, and the directory may be reached through a link.
  // Another hard link is another entry, which a copy replaces without
  // touching the lock file.
  bool IsLockFile(LPCSTR path) const override {
    // An ASCII name that does not spell the lock file's own can match no
    // entry that the lock file's name matches: no need to look.
    const std::string_view spelt = LastComponent(path);
    if (std::all_of(
            spelt.begin(), spelt.end(),
            [](char c) { return static_cast<unsigned char>(c) < 0x80; }) &&
        !SameFileName(spelt, name_)) {
      return false;
    }
    HostPath host;
    if (!MapToHost(path, &host)) return false;
    const std::string::size_type cut = host.path.rfind('/');
    const std::string::size_type own_cut = host_path_.rfind('/');
    if (cut == std::string::npos || own_cut == std::string::npos ||
        host.path.compare(cut, std::string::npos, host_path_, own_cut,
                          std::string::npos) != 0) {
      return false;
    }
    if (cut == own_cut && host.path.compare(0, cut, host_path_, 0, cut) == 0) {
      return true;
    }
    struct stat dir {};
    struct stat own_dir {};
    return ::stat(host.path.substr(0, cut + 1).c_str(), &dir) == 0 &&
           ::stat(host_path_.substr(0, own_cut + 1).c_str(), &own_dir) == 0 &&
           dir.st_dev == own_dir.st_dev && dir.st_ino == own_dir.st_ino;
  }

 private:
  static std::string_view LastComponent(std::string_view path) {
    const std::string_view::size_type cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
  }

  posix::FileReplacer* replacer_;
  std::string name_;
  std::string host_path_;
  std::unique_ptr<posix::HostFileLock> lock_;
};

class PosixPlatform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    HostProfileFile host(file, &replacer_);
    return profiles_.GetSection(host, section, buffer, size);
  }

  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    HostProfileFile host(file, &replacer_);
    return profiles_.GetString(host, section, key, default_value, buffer, size);
  }

  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    HostProfileFile host(file, &replacer_);
    return profiles_.WriteString(host, section, key, value) ? TRUE : FALSE;
  }

  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD /*options*/,
                     REGSAM desired, PHKEY result) override {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    std::string path;
    if (!KeyPath(key, &path)) return ERROR_INVALID_HANDLE;
    if (sub_key != nullptr && *sub_key != '\0') {
      if (!path.empty()) path += '\\';
      path += sub_key;
    }
    auto registry = registry_.Load(WinePrefix() + "/system.reg");
    // The 32-bit view, the client's, unless the native one is asked for.
    const bool native = (desired & KEY_WOW64_64KEY) != 0;
    std::string stored =
        posix::View32KeyPath(registry->win64() && !native, path);
    if (registry->FindKey(stored) == nullptr) return ERROR_FILE_NOT_FOUND;
    // Handles are plain numbers, never dereferenced. A handle reads the
    // registry as it was when it was opened: the engine opens a key, reads
    // one value and closes it, so a second stat of system.reg in between
    // would only cost.
    std::uintptr_t id = next_handle_;
    next_handle_ += 4;
    open_keys_[id] = OpenKey{stored, std::move(registry)};
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
    const posix::RegistryValues* values =
        open->second.registry->FindKey(open->second.path);
    if (values == nullptr) return ERROR_FILE_NOT_FOUND;
    auto value = values->find(value_name != nullptr ? value_name : "");
    if (value == values->end()) return ERROR_FILE_NOT_FOUND;
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
    HostPath host;
    struct stat st {};
    if (!MapToHost(path, &host) || !StatOf(host, &st)) {
      return INVALID_FILE_ATTRIBUTES;
    }
    return posix::FileAttributesOf(st);
  }

  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override {
    HostPath host;
    if (!MapToHost(path, &host)) return FALSE;
    return posix::HostSetFileAttributes(host.path, attributes,
                                        host.have_lstat ? &host.lstat : nullptr)
               ? TRUE
               : FALSE;
  }

  BOOL HashFile(LPCSTR path, Sha256Digest* digest) override {
    HostPath host;
    return MapToHost(path, &host) && posix::HashHostFile(host.path, digest)
               ? TRUE
               : FALSE;
  }
  ProfileLoad LoadProfileFile(LPCSTR file, std::string* contents) override {
    HostProfileFile profile(file, &replacer_);
    return profiles_.LoadFile(profile, contents);
  }
  ProfileLoad ReadFileBytes(LPCSTR file, DWORD max_bytes,
                            std::string* contents) override {
    HostProfileFile profile(file, &replacer_);
    return profile::ReadWholeFile(profile, max_bytes, contents);
  }
  BOOL TrustInstallation(LPCSTR bin_dir, std::string* refused) override {
    return bin_dir == nullptr ||
                   posix::OwnedByRunningUser(WinePrefix(), bin_dir, refused)
               ? TRUE
               : FALSE;
  }
  DWORD LastError() override { return static_cast<DWORD>(errno); }
  // A host path, as KSUPDATE_TRACE's is.
  BOOL WriteResultFile(LPCSTR path, const std::string& data,
                       bool* refused) override {
    *refused = false;
    return path != nullptr && posix::WriteHostResultFile(path, data, refused)
               ? TRUE
               : FALSE;
  }
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                 const Sha256Digest* expected, CopyReport* report) override {
    HostPath host_source;
    HostPath host_target;
    if (!MapToHost(source, &host_source) || !MapToHost(target, &host_target)) {
      if (report != nullptr) *report = CopyReport();
      return FALSE;
    }
    return posix::HostCopyFile(
               host_source.path, host_target.path, fail_if_exists != 0,
               host_target.have_lstat ? &host_target.lstat : nullptr, expected,
               report)
               ? TRUE
               : FALSE;
  }

  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    HostPath host;
    if (!MapToHost(path, &host)) return LockResult::kFailed;
    std::unique_ptr<posix::HostFileLock> held;
    LockResult result = posix::LockHostFile(host.path, timeout_ms, &held);
    if (result == LockResult::kHeld) {
      *lock = std::make_unique<RunLock>(&replacer_, path, host.path,
                                        std::move(held));
    }
    return result;
  }

 private:
  // The HKLM-relative path of an open key; HKLM itself is "".
  bool KeyPath(HKEY key, std::string* path) const {
    if (key == HKEY_LOCAL_MACHINE) {
      path->clear();
      return true;
    }
    auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
    if (open == open_keys_.end()) return false;
    *path = open->second.path;
    return true;
  }

  struct OpenKey {
    std::string path;
    std::shared_ptr<const posix::RegistryFile> registry;
  };

  posix::RegistryCache registry_;
  profile::Store profiles_;
  // Its spare goes with the installation lock (RunLock), or at exit.
  posix::FileReplacer replacer_;
  std::map<std::uintptr_t, OpenKey> open_keys_;
  std::uintptr_t next_handle_ = 0x1000;
};

}  // namespace

Platform* DefaultPlatform() {
  static PosixPlatform platform;
  return &platform;
}

}  // namespace ks
