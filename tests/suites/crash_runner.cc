// ksupdate as its process entry builds it, with a seam that ends the
// process at a chosen platform call, for tests/suites/crash_test.py. The
// shipped program has no such hook.
//
//   KSUPDATE_KILL_AT=N        end the process just before the Nth platform
//                             call (1 is the first call of any operation).
//   KSUPDATE_KILL_DELAY_US=D  with KILL_AT: let the Nth call run and end the
//                             process D microseconds after it starts, so
//                             that the kill lands inside it (or later).
//   KSUPDATE_CALL_LOG=PATH    at exit, one line per call: the operation's
//                             name and how long it took in nanoseconds.
//   KSUPDATE_LOCK_WAIT_MS=T   the installation's lock is waited for T ms
//                             instead of the program's own bound.
//
// On Linux the process sends itself SIGKILL. On Windows it calls
// TerminateProcess on itself, which ends every thread where it stands and
// runs no exit code of ours, with status kKilled, or kKilledInside when a
// timed kill finds the Nth call not yet returned.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/argument_text.h"
#include "app/updater_app.h"
#include "app/winapp.h"
#include "platform/platform.h"
#include "platform/process.h"

// After our own declarations, so that no macro of theirs touches them.
#ifdef _WIN32
// clang-format off
#include <windows.h>
// clang-format on
#else
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace ks {
namespace {

// Set while the call chosen for a timed kill runs.
std::atomic<bool> armed_call_running{false};

#ifdef _WIN32
// 128 + SIGKILL, as a shell shows a killed process; one more when the kill
// caught the chosen call still running.
constexpr ::UINT kKilled = 137;
constexpr ::UINT kKilledInside = 138;

void KillNow() {
  ::TerminateProcess(::GetCurrentProcess(),
                     armed_call_running.load() ? kKilledInside : kKilled);
}

::LARGE_INTEGER kill_deadline;
::HANDLE chosen_call_started = nullptr;

// Waits for the chosen call, then for the deadline. Sleep is only as fine as
// the system timer's tick (15.6 ms by default on Windows, finer under
// Wine): it sleeps until a tick before the deadline, then spins on the
// performance counter, which is precise to a microsecond or better.
::DWORD WINAPI KillAtDeadline(::LPVOID /*unused*/) {
  ::WaitForSingleObject(chosen_call_started, INFINITE);
  ::LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  const long long tick = frequency.QuadPart / 50;  // 20 ms
  for (;;) {
    ::LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    long long left = kill_deadline.QuadPart - now.QuadPart;
    if (left <= 0) break;
    if (left > tick) ::Sleep(1);
  }
  KillNow();
  return 0;
}

// Starting a thread takes a millisecond or so under Wine, longer than many
// a call: the killer waits from the start, and the chosen call only wakes
// it.
void PrepareKiller() {
  chosen_call_started = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ::HANDLE thread =
      chosen_call_started == nullptr
          ? nullptr
          : ::CreateThread(nullptr, 0, KillAtDeadline, nullptr, 0, nullptr);
  if (thread == nullptr) std::abort();  // no timed kill: no run either
  ::CloseHandle(thread);                // the thread runs on without its handle
}

void KillAfter(long long delay_us) {
  ::LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&kill_deadline);
  kill_deadline.QuadPart += delay_us * frequency.QuadPart / 1000000;
  ::SetEvent(chosen_call_started);
}
#else
void KillNow() { ::kill(::getpid(), SIGKILL); }

void PrepareKiller() {}

void KillOnAlarm(int /*signal*/) { KillNow(); }

void KillAfter(long long delay_us) {
  // SIGALRM's handler sends the SIGKILL; a zero delay would disarm the
  // timer, so it is at least one microsecond.
  struct sigaction action {};
  action.sa_handler = KillOnAlarm;
  ::sigaction(SIGALRM, &action, nullptr);
  long long delay = delay_us > 0 ? delay_us : 1;
  struct itimerval timer {};
  timer.it_value.tv_sec = static_cast<time_t>(delay / 1000000);
  timer.it_value.tv_usec = static_cast<suseconds_t>(delay % 1000000);
  ::setitimer(ITIMER_REAL, &timer, nullptr);
}
#endif

// Reads a decimal environment variable; `fallback` when unset or malformed.
long long EnvNumber(const char* name, long long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  return *end == '\0' ? value : fallback;
}

// The lock's wait as KSUPDATE_LOCK_WAIT_MS says, not the first try, which
// never waits: a test of a lock held past the bound need not wait minutes.
class LockWaitPlatform : public PlatformWrapper {
 public:
  explicit LockWaitPlatform(Platform* target)
      : PlatformWrapper(target),
        lock_wait_ms_(EnvNumber("KSUPDATE_LOCK_WAIT_MS", -1)) {}
  LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) override {
    if (lock_wait_ms_ >= 0 && timeout_ms != 0) {
      timeout_ms = static_cast<DWORD>(lock_wait_ms_);
    }
    return PlatformWrapper::LockInstallation(path, timeout_ms, lock);
  }

 private:
  long long lock_wait_ms_;
};

class KillingPlatform : public PlatformWrapper {
 public:
  explicit KillingPlatform(Platform* target)
      : PlatformWrapper(target),
        kill_at_(EnvNumber("KSUPDATE_KILL_AT", 0)),
        delay_us_(EnvNumber("KSUPDATE_KILL_DELAY_US", -1)) {
    if (kill_at_ > 0 && delay_us_ >= 0) PrepareKiller();
  }
  KillingPlatform(const KillingPlatform&) = delete;
  KillingPlatform& operator=(const KillingPlatform&) = delete;
  ~KillingPlatform() override = default;

  void WriteLog(const char* path) const {
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return;
    for (const Call& call : calls_) {
      std::fprintf(out, "%s %lld\n", call.op, call.nanoseconds);
    }
    std::fclose(out);
  }

  // Every operation a point to kill at, timed.
#define KS_TIMED(result, name, parameters, arguments) \
  result name parameters override {                   \
    Timed t(this, #name);                             \
    return PlatformWrapper::name arguments;           \
  }
  KS_PLATFORM_OPERATIONS(KS_TIMED)
#undef KS_TIMED
  std::unique_ptr<CopyStage> BeginStaging() override {
    return std::make_unique<KillingStage>(this,
                                          PlatformWrapper::BeginStaging());
  }

 private:
  struct Call {
    const char* op;
    long long nanoseconds;
  };
  class KillingStage;

  // Counts the call, kills or arms the timer when it is the chosen one, and
  // logs how long the call took.
  class Timed {
   public:
    Timed(KillingPlatform* platform, const char* op)
        : platform_(platform),
          op_(op),
          start_(std::chrono::steady_clock::now()) {
      platform_->Arrive();
    }
    Timed(const Timed&) = delete;
    Timed& operator=(const Timed&) = delete;
    ~Timed() {
      armed_call_running.store(false);
      auto elapsed = std::chrono::steady_clock::now() - start_;
      platform_->calls_.push_back(
          {op_,
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed)
                   .count())});
    }

   private:
    KillingPlatform* platform_;
    const char* op_;
    std::chrono::steady_clock::time_point start_;
  };

  // The stage's calls, each one a point to kill at as the platform's are.
  class KillingStage : public CopyStage {
   public:
    KillingStage(KillingPlatform* platform, std::unique_ptr<CopyStage> target)
        : platform_(platform), target_(std::move(target)) {}
    BOOL Stage(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
               std::size_t* index, CopyReport* report) override {
      Timed t(platform_, "CopyStage::Stage");
      return target_->Stage(source, target, expected, index, report);
    }
    BOOL PutInPlace(std::size_t index, CopyReport* report) override {
      Timed t(platform_, "CopyStage::PutInPlace");
      return target_->PutInPlace(index, report);
    }
    BOOL Flush() override {
      Timed t(platform_, "CopyStage::Flush");
      return target_->Flush();
    }

   private:
    KillingPlatform* platform_;
    std::unique_ptr<CopyStage> target_;
  };

  void Arrive() {
    if (++count_ != kill_at_) return;
    if (delay_us_ < 0) KillNow();
    armed_call_running.store(true);
    KillAfter(delay_us_);
  }

  long long count_ = 0;
  long long kill_at_;
  long long delay_us_;
  std::vector<Call> calls_;
};

}  // namespace
}  // namespace ks

int main(int argc, char** argv) {
  ks::LockWaitPlatform waiting(ks::DefaultPlatform());
  ks::KillingPlatform platform(&waiting);
  ks::theApp.UseSystem(&platform, nullptr);
  // The argument text as the shipped program takes it.
  const char* raw = ks::RawCommandLine();
  const int status = ks::AfxWinMain(
      raw != nullptr ? ks::ArgumentText(raw) : ks::JoinArguments(argc, argv));
  if (const char* log = std::getenv("KSUPDATE_CALL_LOG")) {
    platform.WriteLog(log);
  }
  return status;
}
