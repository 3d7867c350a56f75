#include "tests/support/hooked_platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

namespace ks {

const char* OpName(Op op) {
  static const char* const kNames[] = {"GetPrivateProfileSectionA",
                                       "GetPrivateProfileStringA",
                                       "WritePrivateProfileStringA",
                                       "RegOpenKeyExA",
                                       "RegQueryValueExA",
                                       "RegCloseKey",
                                       "GetFileAttributesA",
                                       "SetFileAttributesA",
                                       "CopyFileA",
                                       "LockInstallation",
                                       "HashFile",
                                       "LoadProfileFile",
                                       "ReadFileBytes",
                                       "TrustInstallation",
                                       "WriteResultFile",
                                       "LastError",
                                       "OpenSourceDirectory",
                                       "ReleaseDirectories",
                                       "BeginStaging",
                                       "CopyStage::Stage",
                                       "CopyStage::PutInPlace",
                                       "CopyStage::Flush",
                                       "WriteProfileStrings",
                                       "GetSystemTimeAsFileTime"};
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

DWORD HookedPlatform::GetPrivateProfileSectionA(LPCSTR s, LPSTR buffer,
                                                DWORD size, LPCSTR file) {
  Count(Op::kGetPrivateProfileSection);
  if (section) return section(s, buffer, size, file);
  return PlatformWrapper::GetPrivateProfileSectionA(s, buffer, size, file);
}

DWORD HookedPlatform::GetPrivateProfileStringA(LPCSTR s, LPCSTR key,
                                               LPCSTR default_value,
                                               LPSTR buffer, DWORD size,
                                               LPCSTR file) {
  Count(Op::kGetPrivateProfileString);
  if (string) return string(s, key, default_value, buffer, size, file);
  return PlatformWrapper::GetPrivateProfileStringA(s, key, default_value,
                                                   buffer, size, file);
}

BOOL HookedPlatform::WritePrivateProfileStringA(LPCSTR s, LPCSTR key,
                                                LPCSTR value, LPCSTR file) {
  Count(Op::kWritePrivateProfileString);
  if (write) return write(s, key, value, file);
  return PlatformWrapper::WritePrivateProfileStringA(s, key, value, file);
}

LONG HookedPlatform::RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options,
                                   REGSAM desired, PHKEY result) {
  Count(Op::kRegOpenKeyEx);
  if (reg_open) return reg_open(key, sub_key, options, desired, result);
  return PlatformWrapper::RegOpenKeyExA(key, sub_key, options, desired, result);
}

LONG HookedPlatform::RegQueryValueExA(HKEY key, LPCSTR value_name,
                                      LPDWORD reserved, LPDWORD type,
                                      LPBYTE data, LPDWORD data_size) {
  Count(Op::kRegQueryValueEx);
  if (reg_query) {
    return reg_query(key, value_name, reserved, type, data, data_size);
  }
  return PlatformWrapper::RegQueryValueExA(key, value_name, reserved, type,
                                           data, data_size);
}

LONG HookedPlatform::RegCloseKey(HKEY key) {
  Count(Op::kRegCloseKey);
  if (reg_close) return reg_close(key);
  return PlatformWrapper::RegCloseKey(key);
}

DWORD HookedPlatform::GetFileAttributesA(LPCSTR path) {
  Count(Op::kGetFileAttributes);
  if (get_attributes) return get_attributes(path);
  return PlatformWrapper::GetFileAttributesA(path);
}

BOOL HookedPlatform::SetFileAttributesA(LPCSTR path, DWORD attributes) {
  Count(Op::kSetFileAttributes);
  if (set_attributes) return set_attributes(path, attributes);
  return PlatformWrapper::SetFileAttributesA(path, attributes);
}

BOOL HookedPlatform::CopyFileA(LPCSTR source, LPCSTR target,
                               BOOL fail_if_exists,
                               const ExpectedBytes* expected,
                               CopyReport* report) {
  Count(Op::kCopyFile);
  if (copy) return copy(source, target, fail_if_exists, expected, report);
  return PlatformWrapper::CopyFileA(source, target, fail_if_exists, expected,
                                    report);
}

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

BOOL HookedPlatform::WriteProfileStrings(
    LPCSTR file, const std::vector<ProfileWrite>& writes) {
  Count(Op::kWriteProfileStrings);
  if (write_profile) return write_profile(file, writes);
  return PlatformWrapper::WriteProfileStrings(file, writes);
}

BOOL HookedPlatform::HashFile(LPCSTR path, Sha256Digest* digest,
                              CopyReport* report) {
  Count(Op::kHashFile);
  if (hash) return hash(path, digest, report);
  return PlatformWrapper::HashFile(path, digest, report);
}

ProfileLoad HookedPlatform::LoadProfileFile(LPCSTR file,
                                            std::string* contents) {
  Count(Op::kLoadProfileFile);
  if (load_profile) return load_profile(file, contents);
  return PlatformWrapper::LoadProfileFile(file, contents);
}

ProfileLoad HookedPlatform::ReadFileBytes(LPCSTR file, DWORD max_bytes,
                                          std::string* contents) {
  Count(Op::kReadFileBytes);
  if (read_file) return read_file(file, max_bytes, contents);
  return PlatformWrapper::ReadFileBytes(file, max_bytes, contents);
}

BOOL HookedPlatform::TrustInstallation(LPCSTR bin_dir,
                                       InstallationRefusal* refused) {
  Count(Op::kTrustInstallation);
  if (trust) return trust(bin_dir, refused);
  return PlatformWrapper::TrustInstallation(bin_dir, refused);
}

void HookedPlatform::ReleaseDirectories() {
  Count(Op::kReleaseDirectories);
  PlatformWrapper::ReleaseDirectories();
}

BOOL HookedPlatform::OpenSourceDirectory(LPCSTR dir) {
  Count(Op::kOpenSourceDirectory);
  if (open_source) return open_source(dir);
  return PlatformWrapper::OpenSourceDirectory(dir);
}

LockResult HookedPlatform::LockInstallation(
    LPCSTR path, DWORD timeout_ms, std::unique_ptr<InstallationLock>* held) {
  Count(Op::kLockInstallation);
  if (lock) return lock(path, timeout_ms, held);
  return PlatformWrapper::LockInstallation(path, timeout_ms, held);
}

DWORD HookedPlatform::LastError() {
  Count(Op::kLastError);
  return PlatformWrapper::LastError();
}

void HookedPlatform::GetSystemTimeAsFileTime(LPFILETIME time) {
  Count(Op::kGetSystemTimeAsFileTime);
  if (clock) return clock(time);
  PlatformWrapper::GetSystemTimeAsFileTime(time);
}

BOOL HookedPlatform::WriteResultFile(LPCSTR path, const std::string& data,
                                     bool* refused) {
  Count(Op::kWriteResultFile);
  if (write_result) return write_result(path, data, refused);
  return PlatformWrapper::WriteResultFile(path, data, refused);
}

void AnswerRegistryValue(HookedPlatform* platform, const std::string& value,
                         bool present) {
  platform->reg_open = [](HKEY, LPCSTR, DWORD, REGSAM, PHKEY result) {
    *result = PredefinedKey(0x1234);
    return ERROR_SUCCESS;
  };
  platform->reg_close = [](HKEY) { return ERROR_SUCCESS; };
  platform->reg_query = [value, present](HKEY, LPCSTR, LPDWORD, LPDWORD,
                                         LPBYTE data, LPDWORD size) -> LONG {
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
  platform->section = [joined, sizes](LPCSTR section, LPSTR buffer, DWORD size,
                                      LPCSTR) -> DWORD {
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
