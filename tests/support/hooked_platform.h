// The tests' seam around the platform: forwards to a real provider, counts
// every call, and lets a test answer, fail or throw in any operation.
#ifndef KSUPDATE_TESTS_SUPPORT_HOOKED_PLATFORM_H_
#define KSUPDATE_TESTS_SUPPORT_HOOKED_PLATFORM_H_

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ks {

// Every operation of the seam, by its name (Op::kCopyFileA), then the
// stage's own calls.
enum class Op {
#define KS_OP(result, name, parameters, arguments) k##name,
  KS_PLATFORM_OPERATIONS(KS_OP)
#undef KS_OP
      kBeginStaging,
  kStage,  // CopyStage's own calls, on the stage that BeginStaging gave
  kPutInPlace,
  kFlushStage,
  kCount
};

const char* OpName(Op op);

// Hand it to the code under test in place of the platform it forwards to.
class HookedPlatform : public PlatformWrapper {
 public:
  explicit HookedPlatform(Platform* target = DefaultPlatform());

  int calls(Op op) const { return calls_[static_cast<int>(op)]; }
  int total_calls() const { return total_; }
  // Every call in order, for checks of what came first.
  const std::vector<Op>& log() const { return log_; }

  // Runs before every operation with the operation and the call's number
  // (1 for the first call of any operation); may throw.
  std::function<void(Op, int)> before;

  // When set, answer instead of the target: hook.CopyFileA, say.
  struct Hooks {
#define KS_HOOK(result, name, parameters, arguments) \
  std::function<result parameters> name;
    KS_PLATFORM_OPERATIONS(KS_HOOK)
#undef KS_HOOK
  };
  Hooks hook;
  // The stage's calls: answer instead of the target's stage (which the
  // hook may call through `stage`).
  std::function<BOOL(CopyStage* stage, LPCSTR, LPCSTR, const ExpectedBytes*,
                     std::size_t*, CopyReport*)>
      stage;
  std::function<BOOL(CopyStage* stage, std::size_t, CopyReport*)> put_in_place;
  std::function<BOOL(CopyStage* stage)> flush_stage;
  std::function<BOOL(LPCSTR, const std::vector<ProfileWrite>&)> write_profile;
  std::function<void(LPFILETIME)> clock;

  KS_PLATFORM_OPERATIONS(KS_PLATFORM_OVERRIDE)
  std::unique_ptr<CopyStage> BeginStaging() override;

 private:
  class HookedStage;
  void Count(Op op);

  std::array<int, static_cast<int>(Op::kCount)> calls_{};
  int total_ = 0;
  std::vector<Op> log_;
};

// Answers the installation directory value with `value` (any length), as
// the registry would, through the hooks of `platform`; no value at all when
// `present` is false.
void AnswerRegistryValue(HookedPlatform* platform, const std::string& value,
                         bool present = true);

// Answers section reads with `entries` as Win32 does: consecutive
// zero-terminated texts, cut to size-2 bytes and two zeros when they do
// not fit. Each size asked for is added to *sizes when it is not null.
void AnswerSection(HookedPlatform* platform,
                   const std::vector<std::string>& entries,
                   std::vector<DWORD>* sizes = nullptr);

}  // namespace ks

#endif  // KSUPDATE_TESTS_SUPPORT_HOOKED_PLATFORM_H_
