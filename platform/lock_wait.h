// The one rule by which both providers wait for the installation's lock.
#ifndef KSUPDATE_PLATFORM_LOCK_WAIT_H_
#define KSUPDATE_PLATFORM_LOCK_WAIT_H_

#include "formats/win32_types.h"
#include "platform/platform.h"

namespace ks {

// Tries a lock again and again until it is had, refused, or `timeout_ms`
// has passed. `try_lock()` gives a LockResult: kBusy (or kInstallerBusy)
// while another holds the lock; the first other result is returned. Between
// tries `sleep_ms(ms)` pauses: 5 ms at first, so that a run waiting on one
// about to end goes on at once, doubling up to a fifth of a second, and
// never past `timeout_ms` after the start as `now_ms()` counts (milliseconds
// as a DWORD: differences stay right across its wrap). Returns the last
// try's kBusy or kInstallerBusy once `timeout_ms` has passed, after one try
// at least.
template <typename TryLock, typename NowMs, typename SleepMs>
LockResult WaitForLock(DWORD timeout_ms, TryLock try_lock, NowMs now_ms,
                       SleepMs sleep_ms) {
  const DWORD start = now_ms();
  DWORD pause = 5;
  for (;;) {
    const LockResult result = try_lock();
    if (result != LockResult::kBusy && result != LockResult::kInstallerBusy) {
      return result;
    }
    const DWORD now = now_ms();
    const DWORD waited = now - start;
    if (waited >= timeout_ms) return result;
    const DWORD left = timeout_ms - waited;
    sleep_ms(pause < left ? pause : left);
    pause = pause * 2 < 200 ? pause * 2 : 200;
  }
}

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_LOCK_WAIT_H_
