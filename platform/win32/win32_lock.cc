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
  explicit HeldLock(HANDLE file) : file_(file) {}
  ~HeldLock() override {
    OVERLAPPED range{};
    ::UnlockFileEx(file_, 0, 1, 0, &range);
    ::CloseHandle(file_);
  }

 private:
  HANDLE file_;
};

}  // namespace

LockResult Win32LockInstallation(LPCSTR path, DWORD timeout_ms,
                                 std::unique_ptr<InstallationLock>* lock) {
  HANDLE file =
      ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LockResult::kFailed;
  if (::GetFileType(file) != FILE_TYPE_DISK) {
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
    *lock = std::make_unique<HeldLock>(file);
  } else {
    ::CloseHandle(file);
  }
  return result;
}

}  // namespace ks
