// Our declarations first; <windows.h> after them, so that its macros cannot
// touch them.
#include "platform/win32/lock.h"

#include <string>
#include <string_view>
#include <utility>

#include "platform/lock_wait.h"
#include "platform/text.h"
#include "platform/win32/files.h"
// clang-format off
#include <windows.h>
// clang-format on

namespace ks {

namespace {

// LockFileEx, as Microsoft documents it: an exclusive lock denies every
// other handle the range; locking beyond the end of the file is no error,
// so the file stays empty; the system unlocks what a process held when it
// ends, though "the time it takes ... depends upon available system
// resources", hence the explicit unlock when we are done. Wine takes the
// same lock as a host record lock on the file, which the Linux build's
// lock conflicts with.
class HeldLock : public InstallationLock {
 public:
  HeldLock(HANDLE file, std::string path)
      : file_(file), path_(std::move(path)) {}
  ~HeldLock() override {
    OVERLAPPED range{};
    ::UnlockFileEx(file_, 0, 1, 0, &range);
    ::CloseHandle(file_);
  }

  // The entry's name first, which for all but an 8.3 alias is the name as
  // spelt: the file system matches names regardless of case and trailing
  // dots and blanks. Only an alias or a name in another directory costs a
  // look at the disk, so that a run over many modules pays nothing here.
  bool IsLockFile(LPCSTR path) const override {
    std::string_view dir;
    std::string_view spelt;
    std::string_view own_dir;
    std::string_view own_name;
    Split(path, &dir, &spelt);
    Split(path_, &own_dir, &own_name);
    std::string name(spelt);
    // A short name has a '~' in it; the entry's long name is what it
    // stands for. No wildcard can be part of a file's name, and
    // FindFirstFileA would take one as such.
    if (name.find('~') != std::string::npos) {
      if (name.find_first_of("*?") != std::string::npos) return false;
      WIN32_FIND_DATAA found;
      HANDLE search = ::FindFirstFileA(path, &found);
      if (search == INVALID_HANDLE_VALUE) return false;
      ::FindClose(search);
      name = found.cFileName;
    }
    if (!SameFileName(name, own_name)) return false;
    return dir == own_dir ||
           SameDirectory(std::string(dir), std::string(own_dir));
  }

 private:
  static void Split(std::string_view path, std::string_view* dir,
                    std::string_view* name) {
    const auto cut = path.find_last_of("\\/");
    *dir = cut == std::string_view::npos ? std::string_view()
                                         : path.substr(0, cut);
    *name = cut == std::string_view::npos ? path : path.substr(cut + 1);
  }

  // By identity (volume and file index), which a junction or a link to a
  // directory shares with its target.
  static bool SameDirectory(const std::string& a, const std::string& b) {
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    return Identify(a, &first) && Identify(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
  }

  // Opened without any access; FILE_FLAG_BACKUP_SEMANTICS is what opens a
  // directory at all.
  static bool Identify(const std::string& dir,
                       BY_HANDLE_FILE_INFORMATION* info) {
    HANDLE handle = ::CreateFileA(
        dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool known = ::GetFileInformationByHandle(handle, info) != 0;
    ::CloseHandle(handle);
    return known;
  }

  HANDLE file_;
  std::string path_;
};

}  // namespace

LockResult Win32LockInstallation(LPCSTR path, DWORD timeout_ms,
                                 std::unique_ptr<InstallationLock>* lock) {
  // A reparse point in the lock file's place (a link or junction that
  // someone who may write bin put there) is opened as itself and refused,
  // as is anything but a plain disk file.
  HANDLE file = ::CreateFileA(
      path, GENERIC_READ | GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (file == INVALID_HANDLE_VALUE) return LockResult::kFailed;
  BY_HANDLE_FILE_INFORMATION info;
  if (::GetFileType(file) != FILE_TYPE_DISK ||
      !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    ::CloseHandle(file);
    return LockResult::kFailed;
  }
  // Tried again and again rather than waited for: a lock that a Linux
  // process holds on the host file is not one that Wine's server would
  // wake us for.
  const LockResult result = WaitForLock(
      timeout_ms,
      [file] {
        OVERLAPPED range{};
        if (::LockFileEx(file,
                         LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                         1, 0, &range)) {
          return LockResult::kHeld;
        }
        return ::GetLastError() == ERROR_LOCK_VIOLATION ? LockResult::kBusy
                                                        : LockResult::kFailed;
      },
      [] { return static_cast<DWORD>(::GetTickCount()); },
      [](DWORD ms) { ::Sleep(ms); });
  if (result == LockResult::kHeld) {
    win32::SweepStaleTemps(path);
    *lock = std::make_unique<HeldLock>(file, path);
  } else {
    ::CloseHandle(file);
  }
  return result;
}

}  // namespace ks
