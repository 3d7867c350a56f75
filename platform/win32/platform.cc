// The Win32 operations on Windows. The registry and file attributes are the
// real API's. The profile calls are answered by our own profile rules (the
// ones the Linux provider uses) on files read whole, and a profile write and
// a copy replace their target atomically; the real calls write in place, so
// a kill or a power cut in the middle would leave a torn module or a cut
// client.ver. Our own declarations come first; <windows.h> after them, so
// its macros cannot touch them.
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "formats/profile/store.h"
#include "platform/win32/files.h"
#include "platform/win32/installation.h"
#include "platform/win32/lock.h"
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

std::uint64_t Join(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// A profile file on Windows. Its stamp tells one version of a file from
// another without opening it: a write changes the last-write time (and
// mostly the size), a file moved in has its own creation time. Opening a
// file costs far more than this, under Wine a round trip to its server.
class Win32ProfileFile : public profile::FileIo {
 public:
  explicit Win32ProfileFile(LPCSTR file)
      : named_(file != nullptr), path_(named_ ? ProfilePath(file) : "") {}

  const std::string* path() const override { return named_ ? &path_ : nullptr; }

  Look LookAt() override {
    Look look;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path_.c_str(), GetFileExInfoStandard, &data)) {
      const ::DWORD error = GetLastError();
      // Anything but "not there" is left to the read to find out.
      look.exists =
          error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
      return look;
    }
    look.exists = true;
    // A directory is there, but no file to read.
    directory_ = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (directory_) return look;
    look.stamped = true;
    look.stamp.words = {Join(data.ftCreationTime.dwHighDateTime,
                             data.ftCreationTime.dwLowDateTime),
                        Join(data.ftLastWriteTime.dwHighDateTime,
                             data.ftLastWriteTime.dwLowDateTime),
                        Join(data.nFileSizeHigh, data.nFileSizeLow), 0, 0};
    look.read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    look.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
    return look;
  }

  // The stamp stays the one of the look, taken before the read: a change
  // in between shows at the next call.
  Read ReadWhole(std::string* contents, profile::Stamp* /*stamp*/,
                 std::uint64_t max_bytes) override {
    if (directory_) return Read::kFailed;
    bool missing = false;
    if (win32::ReadWholeFile(path_, contents, &missing, max_bytes)) {
      return Read::kRead;
    }
    if (GetLastError() == ERROR_FILE_TOO_LARGE) return Read::kTooLarge;
    return missing ? Read::kMissing : Read::kFailed;
  }

  bool Replace(const std::string& contents, Look* after) override {
    if (!win32::ReplaceFileContents(path_, contents)) return false;
    *after = LookAt();
    return true;
  }

 private:
  bool named_;
  std::string path_;
  bool directory_ = false;
};

class Win32Platform : public Platform {
 public:
  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override {
    Win32ProfileFile profile(file);
    return profiles_.GetSection(profile, section, buffer, size);
  }
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override {
    Win32ProfileFile profile(file);
    return profiles_.GetString(profile, section, key, default_value, buffer,
                               size);
  }
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override {
    Win32ProfileFile profile(file);
    return profiles_.WriteString(profile, section, key, value) ? TRUE : FALSE;
  }
  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired,
                     PHKEY result) override {
    // The client's installer is a 32-bit program: its value lives in the
    // 32-bit view, which a 64-bit build only sees when it asks for it. A
    // caller that asks for the native view (policies) gets that one, on
    // either build.
    if ((desired & KEY_WOW64_64KEY) == 0) desired |= KEY_WOW64_32KEY;
    ::HKEY opened = nullptr;
    LONG status =
        ::RegOpenKeyExA(Native(key), sub_key, options, desired, &opened);
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
    if (path == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    win32::HeldDirectories held;
    if (!installation_.MayWrite(path, &held)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    return win32::SetAttributes(path, attributes) ? TRUE : FALSE;
  }
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                 const ExpectedBytes* expected, CopyReport* report) override {
    if (source == nullptr || target == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    win32::HeldDirectories held;
    CopyReport refusal;
    if (!MayCopy(source, target, &held, &refusal)) {
      if (report != nullptr) *report = refusal;
      return FALSE;
    }
    return win32::CopyFileAtomically(source, target, fail_if_exists != 0,
                                     expected, report)
               ? TRUE
               : FALSE;
  }
  std::unique_ptr<CopyStage> BeginStaging() override;
  BOOL WriteProfileStrings(LPCSTR file,
                           const std::vector<ProfileWrite>& writes) override {
    Win32ProfileFile profile(file);
    return profiles_.WriteStrings(profile, writes) ? TRUE : FALSE;
  }

  // Whether a copy may read `source` and write `target` (CopyFileA's
  // refusals): the subfolders on the way are held in *held, as they were
  // checked, until the copy is in place. An elevated run reads no patch
  // file through a junction in a subfolder of the patch either: it could
  // copy a file that whoever made the junction may not read where they
  // can. False with *report and the last error.
  bool MayCopy(LPCSTR source, LPCSTR target, win32::HeldDirectories* held,
               CopyReport* report) {
    *report = CopyReport();
    if (elevated_ && !win32::NoReparsePointBelow(source_dir_, source, held)) {
      report->problem = CopyReport::Problem::kSourceRefused;
    } else if (!installation_.MayWrite(target, held)) {
      report->problem = CopyReport::Problem::kTargetRefused;
    } else {
      return true;
    }
    report->error = ERROR_ACCESS_DENIED;
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  BOOL HashFile(LPCSTR path, Sha256Digest* digest,
                CopyReport* report) override {
    if (path != nullptr && win32::HashWholeFile(path, digest)) return TRUE;
    if (report != nullptr) report->error = ::GetLastError();
    return FALSE;
  }
  ProfileLoad LoadProfileFile(LPCSTR file, std::string* contents) override {
    Win32ProfileFile profile(file);
    return profiles_.LoadFile(profile, contents);
  }
  ProfileLoad ReadFileBytes(LPCSTR file, DWORD max_bytes,
                            std::string* contents) override {
    Win32ProfileFile profile(file);
    return profile::ReadWholeFile(profile, max_bytes, contents);
  }
  // Windows' own access checks decide who may write an installation; an
  // elevated run refuses a reparse point on the way to bin, and the
  // directories are held for the rest of the run (win32/installation.h).
  BOOL TrustInstallation(LPCSTR bin_dir,
                         InstallationRefusal* refused) override {
    return installation_.Hold(bin_dir, refused) ? TRUE : FALSE;
  }
  // The source is opened without following a reparse point in its place
  // (win32/files.h); an elevated run refuses one in a subfolder below the
  // patch directory (CopyFileA).
  BOOL OpenSourceDirectory(LPCSTR dir) override {
    source_dir_ = dir != nullptr ? dir : "";
    elevated_ = win32::IsElevated();
    return TRUE;
  }
  void ReleaseDirectories() override {
    installation_.Release();
    source_dir_.clear();
  }
  DWORD LastError() override { return ::GetLastError(); }
  BOOL WriteResultFile(LPCSTR path, const std::string& data,
                       bool* refused) override {
    *refused = false;
    if (path == nullptr) return FALSE;
    // Its directories held for the whole write (the temporary file and the
    // move), made when missing, none a reparse point and the last one of a
    // trusted owner.
    win32::HeldDirectories held;
    if (!win32::HoldOutputDirectory(path, &held, refused)) return FALSE;
    return win32::WriteResultFile(path, data, refused) ? TRUE : FALSE;
  }
  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    return Win32LockInstallation(path, timeout_ms, lock);
  }
  void RemoveStaleTemps(LPCSTR dir) override {
    if (dir != nullptr) win32::SweepStaleTemps(std::string(dir) + "\\");
  }
  void GetSystemTimeAsFileTime(LPFILETIME time) override {
    ::FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    time->dwLowDateTime = now.dwLowDateTime;
    time->dwHighDateTime = now.dwHighDateTime;
  }

 private:
  profile::Store profiles_;
  win32::HeldInstallation installation_;
  std::string source_dir_;
  bool elevated_ = false;
};

// Copies staged beside their targets. Each keeps the subfolders on its
// way held, as they were checked, until it is in place. Every move is
// written through (MOVEFILE_WRITE_THROUGH): nothing is left to flush.
class Win32CopyStage : public CopyStage {
 public:
  explicit Win32CopyStage(Win32Platform* platform) : platform_(platform) {}
  ~Win32CopyStage() override {
    for (const Staged& staged : staged_) {
      if (!staged.gone) win32::DiscardStagedCopy(staged.temp, staged.target);
    }
  }

  BOOL Stage(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
             std::size_t* index, CopyReport* report) override {
    if (source == nullptr || target == nullptr) {
      *report = CopyReport();
      report->error = ERROR_INVALID_PARAMETER;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    Staged staged;
    staged.held = std::make_unique<win32::HeldDirectories>();
    staged.target = target;
    if (!platform_->MayCopy(source, target, staged.held.get(), report) ||
        !win32::StageCopy(source, target, expected, &staged.temp,
                          &staged.attributes, report)) {
      return FALSE;
    }
    staged_.push_back(std::move(staged));
    *index = staged_.size() - 1;
    return TRUE;
  }
  BOOL PutInPlace(std::size_t index, CopyReport* report) override {
    if (index >= staged_.size() || staged_[index].gone) {
      *report = CopyReport();
      report->error = ERROR_INVALID_PARAMETER;
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    Staged& staged = staged_[index];
    // Whatever happens, the staged copy is gone: in place, or removed.
    staged.gone = true;
    const bool ok = win32::PutStagedCopy(staged.temp, staged.target,
                                         staged.attributes, report);
    staged.held.reset();
    return ok ? TRUE : FALSE;
  }
  BOOL Flush() override { return TRUE; }

 private:
  struct Staged {
    std::string temp;
    std::string target;
    unsigned long attributes = 0;
    std::unique_ptr<win32::HeldDirectories> held;
    bool gone = false;
  };
  Win32Platform* platform_;
  std::vector<Staged> staged_;
};

std::unique_ptr<CopyStage> Win32Platform::BeginStaging() {
  return std::make_unique<Win32CopyStage>(this);
}

}  // namespace

Platform* DefaultPlatform() {
  static Win32Platform platform;
  return &platform;
}

}  // namespace ks
