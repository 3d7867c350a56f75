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

enum class Op {
  kGetPrivateProfileSection,
  kGetPrivateProfileString,
  kWritePrivateProfileString,
  kRegOpenKeyEx,
  kRegQueryValueEx,
  kRegCloseKey,
  kGetFileAttributes,
  kSetFileAttributes,
  kCopyFile,
  kLockInstallation,
  kHashFile,
  kLoadProfileFile,
  kReadFileBytes,
  kTrustInstallation,
  kWriteResultFile,
  kLastError,
  kOpenSourceDirectory,
  kReleaseDirectories,
  kBeginStaging,
  kStage,  // CopyStage's own calls, on the stage that BeginStaging gave
  kPutInPlace,
  kFlushStage,
  kWriteProfileStrings,
  kGetSystemTimeAsFileTime,
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

  // When set, answer instead of the target.
  std::function<DWORD(LPCSTR, LPSTR, DWORD, LPCSTR)> section;
  std::function<DWORD(LPCSTR, LPCSTR, LPCSTR, LPSTR, DWORD, LPCSTR)> string;
  std::function<BOOL(LPCSTR, LPCSTR, LPCSTR, LPCSTR)> write;
  std::function<LONG(HKEY, LPCSTR, DWORD, REGSAM, PHKEY)> reg_open;
  std::function<LONG(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD)>
      reg_query;
  std::function<LONG(HKEY)> reg_close;
  std::function<DWORD(LPCSTR)> get_attributes;
  std::function<BOOL(LPCSTR, DWORD)> set_attributes;
  std::function<BOOL(LPCSTR, LPCSTR, BOOL, const ExpectedBytes*, CopyReport*)>
      copy;
  std::function<LockResult(LPCSTR, DWORD, std::unique_ptr<InstallationLock>*)>
      lock;
  std::function<BOOL(LPCSTR, Sha256Digest*, CopyReport*)> hash;
  std::function<ProfileLoad(LPCSTR, std::string*)> load_profile;
  std::function<ProfileLoad(LPCSTR, DWORD, std::string*)> read_file;
  std::function<BOOL(LPCSTR, InstallationRefusal*)> trust;
  std::function<BOOL(LPCSTR)> open_source;
  std::function<BOOL(LPCSTR, const std::string&, bool*)> write_result;
  // The stage's calls: answer instead of the target's stage (which the
  // hook may call through `stage`).
  std::function<BOOL(CopyStage* stage, LPCSTR, LPCSTR, const ExpectedBytes*,
                     std::size_t*, CopyReport*)>
      stage;
  std::function<BOOL(CopyStage* stage, std::size_t, CopyReport*)> put_in_place;
  std::function<BOOL(CopyStage* stage)> flush_stage;
  std::function<BOOL(LPCSTR, const std::vector<ProfileWrite>&)> write_profile;
  std::function<void(LPFILETIME)> clock;

  DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer, DWORD size,
                                  LPCSTR file) override;
  DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                 LPCSTR default_value, LPSTR buffer, DWORD size,
                                 LPCSTR file) override;
  BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                  LPCSTR file) override;
  LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired,
                     PHKEY result) override;
  LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                        LPDWORD type, LPBYTE data, LPDWORD data_size) override;
  LONG RegCloseKey(HKEY key) override;
  DWORD GetFileAttributesA(LPCSTR path) override;
  BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) override;
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                 const ExpectedBytes* expected, CopyReport* report) override;
  std::unique_ptr<CopyStage> BeginStaging() override;
  BOOL WriteProfileStrings(LPCSTR file,
                           const std::vector<ProfileWrite>& writes) override;
  BOOL HashFile(LPCSTR path, Sha256Digest* digest, CopyReport* report) override;
  ProfileLoad LoadProfileFile(LPCSTR file, std::string* contents) override;
  ProfileLoad ReadFileBytes(LPCSTR file, DWORD max_bytes,
                            std::string* contents) override;
  BOOL TrustInstallation(LPCSTR bin_dir, InstallationRefusal* refused) override;
  BOOL OpenSourceDirectory(LPCSTR dir) override;
  void ReleaseDirectories() override;
  BOOL WriteResultFile(LPCSTR path, const std::string& data,
                       bool* refused) override;
  LockResult LockInstallation(LPCSTR path, DWORD timeout_ms,
                              std::unique_ptr<InstallationLock>* lock) override;
  DWORD LastError() override;
  void GetSystemTimeAsFileTime(LPFILETIME time) override;

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
