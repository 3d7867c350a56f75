// The lock wait of both providers, on a clock of its own.
#include "platform/lock_wait.h"

#include <gtest/gtest.h>

#include <vector>

namespace ks {
namespace {

// A lock that is busy `busy_tries` times, then gives `then`; each try
// takes `try_ms` of a clock that starts at `start`.
struct Wait {
  Wait(DWORD start, int busy, LockResult result, DWORD try_time = 0)
      : now(start), busy_tries(busy), then(result), try_ms(try_time) {}

  DWORD now;
  int busy_tries;
  LockResult then;
  DWORD try_ms;
  std::vector<DWORD> pauses;

  // Busy as `busy` says (kBusy or kInstallerBusy).
  LockResult busy = LockResult::kBusy;

  LockResult Run(DWORD timeout_ms) {
    return WaitForLock(
        timeout_ms,
        [this] {
          now += try_ms;
          return busy_tries-- > 0 ? busy : then;
        },
        [this] { return now; },
        [this](DWORD ms) {
          pauses.push_back(ms);
          now += ms;
        });
  }
};

TEST(LockWaitTest, PausesDoubleAndNeverOverrunTheTimeout) {
  const std::vector<DWORD> schedule{5, 10, 20, 40, 80, 160, 200, 200, 200, 85};
  // Also across the wrap of the millisecond count.
  for (DWORD start : {DWORD{1000}, DWORD{0xFFFFFF00u}}) {
    Wait wait{start, 1000, LockResult::kHeld};
    EXPECT_EQ(wait.Run(1000), LockResult::kBusy);
    EXPECT_EQ(wait.pauses, schedule);
    EXPECT_EQ(static_cast<DWORD>(wait.now - start), 1000u);
  }
  Wait slow{0, 1000, LockResult::kHeld, 300};
  EXPECT_EQ(slow.Run(254), LockResult::kBusy);
  EXPECT_TRUE(slow.pauses.empty());
  Wait none{0, 1000, LockResult::kHeld};
  EXPECT_EQ(none.Run(0), LockResult::kBusy);
  EXPECT_EQ(none.busy_tries, 999);
}

TEST(LockWaitTest, EndsAtTheFirstAnswerButBusy) {
  Wait held{0, 2, LockResult::kHeld};
  EXPECT_EQ(held.Run(254), LockResult::kHeld);
  EXPECT_EQ(held.pauses, (std::vector<DWORD>{5, 10}));
  Wait failed{0, 0, LockResult::kFailed};
  EXPECT_EQ(failed.Run(254), LockResult::kFailed);
  EXPECT_TRUE(failed.pauses.empty());
  // Windows Installer at work is waited for as another run is, and said.
  Wait installer{0, 2, LockResult::kHeld};
  installer.busy = LockResult::kInstallerBusy;
  EXPECT_EQ(installer.Run(254), LockResult::kHeld);
  EXPECT_EQ(installer.pauses, (std::vector<DWORD>{5, 10}));
  Wait still{0, 1000, LockResult::kHeld};
  still.busy = LockResult::kInstallerBusy;
  EXPECT_EQ(still.Run(254), LockResult::kInstallerBusy);
}

}  // namespace
}  // namespace ks
