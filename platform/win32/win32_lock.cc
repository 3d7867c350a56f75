// Our declarations first; <windows.h> after them, so that its macros cannot
// touch them.
#include "platform/win32/win32_lock.h"

#include "platform/lock_wait.h"
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
  HeldLock(HANDLE file, const BY_HANDLE_FILE_INFORMATION& info)
      : file_(file), info_(info) {}
  ~HeldLock() override {
    OVERLAPPED range{};
    ::UnlockFileEx(file_, 0, 1, 0, &range);
    ::CloseHandle(file_);
  }

  // By the file's identity (volume and file index), which a short 8.3
  // alias, a case variant or another hard link all share; opened without
  // any access, so that an open file and a running program answer too.
  bool IsLockFile(LPCSTR path) const override {
    HANDLE other = ::CreateFileA(
        path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool same = ::GetFileInformationByHandle(other, &info) &&
                      info.dwVolumeSerialNumber == info_.dwVolumeSerialNumber &&
                      info.nFileIndexHigh == info_.nFileIndexHigh &&
                      info.nFileIndexLow == info_.nFileIndexLow;
    ::CloseHandle(other);
    return same;
  }

 private:
  HANDLE file_;
  BY_HANDLE_FILE_INFORMATION info_;
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
    *lock = std::make_unique<HeldLock>(file, info);
  } else {
    ::CloseHandle(file);
  }
  return result;
}

}  // namespace ks
