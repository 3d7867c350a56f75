// GoogleTest's port customisation for our MinGW builds, found before the
// (empty) one of its sources. Its own Notification needs std::mutex, which
// the compiler's Win32 thread model lacks; this one needs only an atomic
// flag. GoogleTest uses it only for threads that its own tests start.
#ifndef KSUPDATE_TESTS_GOOGLETEST_MINGW_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define KSUPDATE_TESTS_GOOGLETEST_MINGW_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) {
    }
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace internal
}  // namespace testing

#endif  // KSUPDATE_TESTS_GOOGLETEST_MINGW_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
