#include "tests/support/hooked_platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace ks {

const char* OpName(Op op) {
  static const char* const kNames[] = {
#define KS_OP_NAME(result, name, parameters, arguments) #name,
      KS_PLATFORM_OPERATIONS(KS_OP_NAME)
#undef KS_OP_NAME
          "BeginStaging",
      "CopyStage::Stage", "CopyStage::PutInPlace", "CopyStage::Flush"};
  static_assert(std::size(kNames) == static_cast<size_t>(Op::kCount),
                "a name for every operation");
  return kNames[static_cast<int>(op)];
}

HookedPlatform::HookedPlatform(Platform* target) : PlatformWrapper(target) {}

void HookedPlatform::Count(Op op) {
  ++calls_[static_cast<int>(op)];
  ++total_;
  log_.push_back(op);
  if (before) before(op, total_);
}

#define KS_HOOKED(result, name, parameters, arguments) \
  result HookedPlatform::name parameters {             \
    Count(Op::k##name);                                \
    if (hook.name) return hook.name arguments;         \
    return PlatformWrapper::name arguments;            \
  }
KS_PLATFORM_OPERATIONS(KS_HOOKED)
#undef KS_HOOKED

// The target's stage, each call counted and hooked as the platform's are.
class HookedPlatform::HookedStage : public CopyStage {
 public:
  HookedStage(HookedPlatform* platform, std::unique_ptr<CopyStage> target)
      : platform_(platform), target_(std::move(target)) {}

  BOOL Stage(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
             std::size_t* index, CopyReport* report) override {
    platform_->Count(Op::kStage);
    if (platform_->stage) {
      return platform_->stage(target_.get(), source, target, expected, index,
                              report);
    }
    return target_->Stage(source, target, expected, index, report);
  }
  BOOL PutInPlace(std::size_t index, CopyReport* report) override {
    platform_->Count(Op::kPutInPlace);
    if (platform_->put_in_place) {
      return platform_->put_in_place(target_.get(), index, report);
    }
    return target_->PutInPlace(index, report);
  }
  BOOL Flush() override {
    platform_->Count(Op::kFlushStage);
    if (platform_->flush_stage) return platform_->flush_stage(target_.get());
    return target_->Flush();
  }

 private:
  HookedPlatform* platform_;
  std::unique_ptr<CopyStage> target_;
};

std::unique_ptr<CopyStage> HookedPlatform::BeginStaging() {
  Count(Op::kBeginStaging);
  return std::make_unique<HookedStage>(this, PlatformWrapper::BeginStaging());
}

void AnswerRegistryValue(HookedPlatform* platform, const std::string& value,
                         bool present) {
  platform->hook.RegOpenKeyExA = [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
    *result = PredefinedKey(0x1234);
    return ERROR_SUCCESS;
  };
  platform->hook.RegCloseKey = [](HKEY) { return ERROR_SUCCESS; };
  platform->hook.RegQueryValueExA = [value, present](HKEY, LPCSTR, LPDWORD,
                                                     LPDWORD, LPBYTE data,
                                                     LPDWORD size) -> LONG {
    if (!present) return ERROR_FILE_NOT_FOUND;
    DWORD needed = static_cast<DWORD>(value.size() + 1);
    DWORD offered = *size;
    *size = needed;
    if (offered < needed) return ERROR_MORE_DATA;
    std::memcpy(data, value.c_str(), needed);
    return ERROR_SUCCESS;
  };
}

void AnswerSection(HookedPlatform* platform,
                   const std::vector<std::string>& entries,
                   std::vector<DWORD>* sizes) {
  std::string joined;
  for (const std::string& entry : entries) joined += entry + '\0';
  platform->hook.GetPrivateProfileSectionA = [joined, sizes](
                                                 LPCSTR section, LPSTR buffer,
                                                 DWORD size, LPCSTR) -> DWORD {
    EXPECT_STREQ(section, "modules");
    if (sizes != nullptr) sizes->push_back(size);
    if (joined.size() + 1 <= size) {
      std::memcpy(buffer, joined.data(), joined.size());
      buffer[joined.size()] = '\0';
      return static_cast<DWORD>(joined.size());
    }
    std::memcpy(buffer, joined.data(), size - 2);
    buffer[size - 2] = '\0';
    buffer[size - 1] = '\0';
    return size - 2;
  };
}

}  // namespace ks
