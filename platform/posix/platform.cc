// The Win32 operations on Linux, for a Windows installation that lives in a
// Wine prefix: the registry from the prefix's system.reg, paths through its
// dosdevices links. Every file is reached through the directories that the
// provider holds (host_tree.h): the prefix from its first use, bin from
// TrustInstallation, the patch directory from OpenSourceDirectory; below
// them no link is followed, and each call works on the directory it was
// given there (files.h), never on a path again.
//
// The engine asks again for everything at each use (the registry value, both
// manifests), so the files it reads are kept parsed, each checked at every
// call against a stat of the file (FileStamp): any change, by this process or
// another, is seen at the next call (for the registry: at the next opening
// of a key). The profile rules and their cache are formats/profile/store.h;
// only the file I/O is here.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/profile/store.h"
#include "formats/text.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/files.h"
#include "platform/posix/held_dirs.h"
#include "platform/posix/host_tree.h"
#include "platform/posix/lock.h"
#include "platform/posix/registry.h"
#include "platform/posix/result_output.h"

namespace ks {

namespace {

using posix::FileStamp;
using posix::Located;
using posix::Place;

profile::Stamp StampOf(const struct stat& st) {
  const FileStamp file = FileStamp::Of(st);
  profile::Stamp stamp;
  stamp.words = {file.dev, file.ino, file.size,
                 static_cast<std::uint64_t>(file.mtime_sec),
                 static_cast<std::uint64_t>(file.mtime_nsec)};
  return stamp;
}

// The profile file that a call names, at its place on the host (never
// through a link: a link there reads as no plain file, and is never
// written over), replaced through the provider's replacer so that
// client.ver records can reuse a spare file.
class HostProfileFile : public profile::FileIo {
 public:
  HostProfileFile(LPCSTR file, posix::HostTree* tree,
                  posix::FileReplacer* replacer)
      : replacer_(replacer),
        located_(tree->Locate(file, &place_) == Located::kReached) {}

  const std::string* path() const override {
    return located_ ? &place_.host : nullptr;
  }

  Look LookAt() override {
    Look look;
    struct stat st {};
    if (!located_ || !posix::StatAt(place_, &st)) return look;
    looked_ = st;
    look.exists = true;
    // A link, a directory or a device is there, but no file to read (nor a
    // size to bound), as the Windows provider finds a directory.
    if (!S_ISREG(st.st_mode)) return look;
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
    if (!located_ || !posix::ReadFileAt(place_, contents, &st, max_bytes)) {
      return errno == EFBIG ? Read::kTooLarge : Read::kFailed;
    }
    // The stamp of the descriptor read: a file replaced since the look
    // shows as changed at the next call.
    *stamp = StampOf(st);
    return Read::kRead;
  }

  bool Replace(const std::string& contents, Look* after) override {
    struct stat written {};
    // A new client.ver may be read by all and written by its owner alone
    // (less what the umask takes); an old one keeps its mode.
    // The look that this same call took moments ago serves the replace.
    if (!located_ ||
        !replacer_->Replace(place_, contents, 0644,
                            looked_ ? &*looked_ : nullptr, &written)) {
      return false;
    }
    after->exists = true;
    after->stamped = true;
    after->stamp = StampOf(written);
    return true;
  }

 private:
  posix::FileReplacer* replacer_;
  Place place_;
  bool located_;
  std::optional<struct stat> looked_;
};

// Keeps the replacer's spare file only while the installation lock is held:
// the next run may start the moment it goes, and it must find no file of
// ours in bin. Without a lock (none could be had) no spare is kept.
class RunLock : public InstallationLock {
 public:
  RunLock(posix::FileReplacer* replacer, posix::HostTree* tree, LPCSTR path,
          const Place& place, std::unique_ptr<posix::HostFileLock> lock)
      : replacer_(replacer),
        tree_(tree),
        name_(LastComponent(path)),
        entry_(place.name),
        lock_(std::move(lock)) {
    if (::fstat(place.dir(), &dir_) != 0) dir_ = {};
    replacer_->HoldSpares();
  }
  ~RunLock() override { replacer_->ReleaseSpares(); }

  // The lock file's own directory entry: the place that the path reaches
  // (its name matched whatever its case, its directory by identity, which
  // a bind mount shares). Another hard link is another entry, which a copy
  // replaces without touching the lock file.
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
    Place place;
    struct stat dir {};
    return tree_->Locate(path, &place) == Located::kReached &&
           place.name == entry_ && ::fstat(place.dir(), &dir) == 0 &&
           posix::SameFile(dir, dir_);
  }

 private:
  static std::string_view LastComponent(std::string_view path) {
    const std::string_view::size_type cut = path.find_last_of("\\/");
    return cut == std::string_view::npos ? path : path.substr(cut + 1);
  }

  posix::FileReplacer* replacer_;
  posix::HostTree* tree_;
  std::string name_;
  std::string entry_;
  struct stat dir_ {};
  std::unique_ptr<posix::HostFileLock> lock_;
};

// A refusal of what the owner rule or the bound found of system.reg; false
// for none.
bool RegistryRefusal(posix::RegistryRead read, const std::string& path,
                     InstallationRefusal* refused) {
  switch (read) {
    case posix::RegistryRead::kNotOwned:
      refused->why = Refusal::kNotOwned;
      break;
    case posix::RegistryRead::kWritableByOthers:
      refused->why = Refusal::kWritableByOthers;
      break;
    case posix::RegistryRead::kTooLarge:
      refused->why = Refusal::kTooLarge;
      break;
    case posix::RegistryRead::kRead:
    case posix::RegistryRead::kMissing:
    case posix::RegistryRead::kUnreadable:
      return false;
  }
  refused->path = path;
  return true;
}

class PosixPlatform;

// Copies staged beside their targets in the held directories. Each
// directory a copy went into is kept open once, however many copies it
// takes (a patch of thousands of modules in one folder keeps one
// descriptor), and flushed once.
class HostCopyStage : public CopyStage {
 public:
  explicit HostCopyStage(PosixPlatform* platform) : platform_(platform) {}
  ~HostCopyStage() override {
    for (const Staged& staged : staged_) {
      if (!staged.gone) {
        ::unlinkat(dirs_[staged.dir].fd.get(), staged.temp_name.c_str(), 0);
      }
    }
  }

  BOOL Stage(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
             std::size_t* index, CopyReport* report) override;
  BOOL PutInPlace(std::size_t index, CopyReport* report) override {
    *report = CopyReport();
    if (index >= staged_.size() || staged_[index].gone) {
      errno = EINVAL;
      report->error = EINVAL;
      return FALSE;
    }
    Staged& staged = staged_[index];
    // Whatever happens, the staged copy is gone: in place, or removed.
    staged.gone = true;
    if (!posix::PutStagedAt(dirs_[staged.dir].fd.get(), staged.temp_name,
                            staged.name, report)) {
      return FALSE;
    }
    dirs_[staged.dir].changed = true;
    return TRUE;
  }
  BOOL Flush() override {
    bool ok = true;
    for (Dir& dir : dirs_) {
      if (!dir.changed) continue;
      if (::fsync(dir.fd.get()) != 0) {
        ok = false;
        continue;
      }
      dir.changed = false;
    }
    return ok ? TRUE : FALSE;
  }

 private:
  struct Dir {
    posix::Fd fd;
    struct stat st;
    bool changed = false;
  };
  struct Staged {
    std::size_t dir;
    std::string temp_name;
    std::string name;
    bool gone = false;
  };

  // The number of the directory of `place` among dirs_, kept open from
  // now on; false (errno) when it cannot be.
  bool KeepDir(const Place& place, std::size_t* number) {
    struct stat st {};
    if (::fstat(place.dir(), &st) != 0) return false;
    for (std::size_t i = 0; i < dirs_.size(); ++i) {
      if (posix::SameFile(dirs_[i].st, st)) {
        *number = i;
        return true;
      }
    }
    posix::Fd fd(::fcntl(place.dir(), F_DUPFD_CLOEXEC, 0));
    if (!fd.valid()) return false;
    dirs_.push_back(Dir{std::move(fd), st, false});
    *number = dirs_.size() - 1;
    return true;
  }

  PosixPlatform* platform_;
  std::vector<Dir> dirs_;
  std::vector<Staged> staged_;
};

class PosixPlatform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    HostProfileFile host(file, &tree_, &replacer_);
    return profiles_.GetSection(host, section, buffer, size);
  }

  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    HostProfileFile host(file, &tree_, &replacer_);
    return profiles_.GetString(host, section, key, default_value, buffer, size);
  }

  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    HostProfileFile host(file, &tree_, &replacer_);
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
    std::shared_ptr<const posix::RegistryFile> registry;
    const LONG loaded = LoadRegistry(&registry);
    if (loaded != ERROR_SUCCESS) return loaded;
    // The 32-bit view, the client's, unless the native one is asked for.
    const bool native = (desired & KEY_WOW64_64KEY) != 0;
    std::string stored =
        posix::View32KeyPath(registry->win64() && !native, path);
    if (registry->FindKey(stored) == nullptr) return ERROR_FILE_NOT_FOUND;
    // Handles are plain numbers, never dereferenced. A handle reads the
    // registry as it was when it was opened: the engine opens a key, reads
    // one value and closes it, so a second look at system.reg in between
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
    Place place;
    struct stat st {};
    if (tree_.Locate(path, &place) != Located::kReached ||
        !posix::StatAt(place, &st, /*follow=*/true)) {
      return INVALID_FILE_ATTRIBUTES;
    }
    return posix::FileAttributesOf(st);
  }

  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override {
    Place place;
    if (tree_.Locate(path, &place) != Located::kReached) return FALSE;
    return posix::SetFileAttributesAt(place, attributes) ? TRUE : FALSE;
  }

  BOOL HashFile(LPCSTR path, Sha256Digest* digest,
                CopyReport* report) override {
    Place place;
    const Located found = tree_.Locate(path, &place);
    if (found == Located::kReached && posix::HashFileAt(place, digest)) {
      return TRUE;
    }
    // As LocateCopy and the copy's own open tell a link on the way or in
    // the file's place.
    const bool link = found == Located::kLink ||
                      (found == Located::kReached && errno == ELOOP);
    if (link) errno = EACCES;
    if (found != Located::kReached && !link) errno = ENOENT;
    if (report != nullptr) {
      report->problem = link ? CopyReport::Problem::kSourceRefused
                             : CopyReport::Problem::kNone;
      report->error = static_cast<std::uint32_t>(errno);
    }
    return FALSE;
  }
  ProfileLoad LoadProfileFile(LPCSTR file, std::string* contents) override {
    HostProfileFile profile(file, &tree_, &replacer_);
    return profiles_.LoadFile(profile, contents);
  }
  ProfileLoad ReadFileBytes(LPCSTR file, DWORD max_bytes,
                            std::string* contents) override {
    HostProfileFile profile(file, &tree_, &replacer_);
    return profile::ReadWholeFile(profile, max_bytes, contents);
  }
  BOOL TrustInstallation(LPCSTR bin_dir,
                         InstallationRefusal* refused) override {
    // The prefix first, then its system.reg (whose value gave `bin_dir`),
    // then the way to bin.
    posix::Ownership ownership = posix::Ownership::kTrusted;
    const int prefix = tree_.Prefix(&ownership);
    if (prefix >= 0 && ownership == posix::Ownership::kTrusted) {
      posix::RegistryRead read = posix::RegistryRead::kRead;
      registry_.Load(prefix, tree_.prefix_path(), posix::kMaxRegistryFileBytes,
                     &read);
      if (RegistryRefusal(read, tree_.prefix_path() + "/system.reg", refused)) {
        return FALSE;
      }
    }
    return tree_.HoldInstallation(bin_dir, refused) ? TRUE : FALSE;
  }
  BOOL OpenSourceDirectory(LPCSTR dir) override {
    return tree_.HoldSource(dir) ? TRUE : FALSE;
  }
  void ReleaseDirectories() override { tree_.Release(); }
  DWORD LastError() override { return static_cast<DWORD>(errno); }
  void GetSystemTimeAsFileTime(LPFILETIME time) override {
    // The clock's seconds come in a time_t: a build where it has 32 bits
    // would end in 2038.
    static_assert(sizeof(time_t) >= 8, "time_t must have 64 bits");
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // 100-nanosecond units since 1601; a clock outside FILETIME's range
    // (before 1601, or tens of thousands of years ahead) reads as its end.
    constexpr std::int64_t kEpoch = 11644473600;
    constexpr std::int64_t kMaxSeconds =
        std::numeric_limits<std::int64_t>::max() / 10000000 - kEpoch;
    const std::int64_t seconds =
        std::clamp<std::int64_t>(now.tv_sec, -kEpoch, kMaxSeconds);
    const std::uint64_t units =
        static_cast<std::uint64_t>(seconds + kEpoch) * 10000000u +
        static_cast<std::uint64_t>(now.tv_nsec / 100);
    time->dwLowDateTime = static_cast<DWORD>(units);
    time->dwHighDateTime = static_cast<DWORD>(units >> 32);
  }
  // A host path, as KSUPDATE_TRACE's is.
  BOOL WriteResultFile(LPCSTR path, const std::string& data,
                       bool* refused) override {
    *refused = false;
    return path != nullptr && posix::WriteHostResultFile(path, data, refused)
               ? TRUE
               : FALSE;
  }
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                 const ExpectedBytes* expected, CopyReport* report) override {
    CopyReport own_report;
    CopyReport& result = report != nullptr ? *report : own_report;
    result = CopyReport();
    Place from;
    Place to;
    if (!LocateCopy(source, target, &from, &to, &result)) return FALSE;
    return posix::CopyFileAt(from, to, fail_if_exists != 0, nullptr, expected,
                             &result)
               ? TRUE
               : FALSE;
  }
  std::unique_ptr<CopyStage> BeginStaging() override {
    return std::make_unique<HostCopyStage>(this);
  }
  BOOL WriteProfileStrings(LPCSTR file,
                           const std::vector<ProfileWrite>& writes) override {
    HostProfileFile host(file, &tree_, &replacer_);
    return profiles_.WriteStrings(host, writes) ? TRUE : FALSE;
  }

  // Where a copy's source and target are (CopyFileA's way); false with
  // *report when either cannot be reached, or is refused.
  bool LocateCopy(LPCSTR source, LPCSTR target, Place* from, Place* to,
                  CopyReport* report) {
    const Located source_found = tree_.Locate(source, from);
    const Located target_found = tree_.Locate(target, to);
    if (source_found == Located::kReached &&
        target_found == Located::kReached) {
      return true;
    }
    // A link on the way is refused, as a link in the file's place is.
    report->problem =
        source_found == Located::kLink ? CopyReport::Problem::kSourceRefused
        : target_found == Located::kLink || target_found == Located::kRefused
            ? CopyReport::Problem::kTargetRefused
            : CopyReport::Problem::kNone;
    errno = report->problem == CopyReport::Problem::kNone ? ENOENT : EACCES;
    report->error = static_cast<std::uint32_t>(errno);
    return false;
  }

  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    Place place;
    if (tree_.Locate(path, &place) != Located::kReached) {
      return LockResult::kFailed;
    }
    std::unique_ptr<posix::HostFileLock> held;
    LockResult result = posix::LockFileAt(place, timeout_ms, &held);
    if (result == LockResult::kHeld) {
      *lock = std::make_unique<RunLock>(&replacer_, &tree_, path, place,
                                        std::move(held));
    }
    return result;
  }

  void RemoveStaleTemps(LPCSTR dir) override {
    Place place;
    if (dir != nullptr && tree_.Locate(dir, &place) == Located::kReached) {
      posix::SweepStaleTempsIn(place);
    }
  }

 private:
  // The registry of the held prefix into *registry: ERROR_SUCCESS (a
  // missing or unreadable system.reg has no keys), or ERROR_ACCESS_DENIED
  // when the prefix or system.reg is refused (nothing of it read).
  LONG LoadRegistry(std::shared_ptr<const posix::RegistryFile>* registry) {
    posix::Ownership ownership = posix::Ownership::kTrusted;
    const int prefix = tree_.Prefix(&ownership);
    if (prefix < 0) {
      *registry = std::make_shared<const posix::RegistryFile>(std::string());
      return ERROR_SUCCESS;
    }
    if (ownership != posix::Ownership::kTrusted) return ERROR_ACCESS_DENIED;
    posix::RegistryRead read = posix::RegistryRead::kRead;
    *registry = registry_.Load(prefix, tree_.prefix_path(),
                               posix::kMaxRegistryFileBytes, &read);
    InstallationRefusal refused;
    return RegistryRefusal(read, std::string(), &refused) ? ERROR_ACCESS_DENIED
                                                          : ERROR_SUCCESS;
  }

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

  posix::HostTree tree_;
  posix::RegistryCache registry_;
  profile::Store profiles_;
  // Its spare goes with the installation lock (RunLock), or at exit.
  posix::FileReplacer replacer_;
  std::map<std::uintptr_t, OpenKey> open_keys_;
  std::uintptr_t next_handle_ = 0x1000;
};

BOOL HostCopyStage::Stage(LPCSTR source, LPCSTR target,
                          const ExpectedBytes* expected, std::size_t* index,
                          CopyReport* report) {
  *report = CopyReport();
  Place from;
  Place to;
  if (!platform_->LocateCopy(source, target, &from, &to, report)) {
    return FALSE;
  }
  std::string temp_name;
  if (!posix::StageCopyAt(from, to, expected, &temp_name, report)) {
    return FALSE;
  }
  std::size_t dir = 0;
  if (!KeepDir(to, &dir)) {
    report->error = static_cast<std::uint32_t>(errno);
    ::unlinkat(to.dir(), temp_name.c_str(), 0);
    errno = static_cast<int>(report->error);
    return FALSE;
  }
  staged_.push_back(Staged{dir, std::move(temp_name), to.name, false});
  *index = staged_.size() - 1;
  return TRUE;
}

}  // namespace

Platform* DefaultPlatform() {
  static PosixPlatform platform;
  return &platform;
}

}  // namespace ks
