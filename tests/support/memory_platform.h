// A platform whose drive, registry value and profile files live in memory:
// for engine tests that need no prefix on disk. Paths are Windows paths,
// matched without regard to ASCII case; the profile calls follow the same
// rules as every provider's (formats/profile/). A directory exists once a
// file is put below it or it is made.
#ifndef KSUPDATE_TESTS_SUPPORT_MEMORY_PLATFORM_H_
#define KSUPDATE_TESTS_SUPPORT_MEMORY_PLATFORM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "formats/profile/store.h"
#include "platform/platform.h"

namespace ks {

class MemoryPlatform : public Platform {
 public:
  MemoryPlatform();
  ~MemoryPlatform() override;

  // The installation directory value; none when `present` is false.
  void SetInstallDir(const std::string& value, bool present = true);
  // A registry value under HKEY_LOCAL_MACHINE (one view for all): its type
  // and the bytes a query returns (a text with its zero).
  void SetValue(const std::string& key_path, const std::string& name,
                DWORD type, const std::string& data);
  void RemoveKey(const std::string& key_path);
  // Puts a file (its directories with it), with the read-only attribute
  // when `read_only`.
  void Put(const std::string& path, const std::string& bytes,
           bool read_only = false);
  void MakeDir(const std::string& path);
  // What the clock reads from now on (GetSystemTimeAsFileTime); at first
  // 2026-12-10T00:00:00Z.
  void SetClock(const FILETIME& now) { clock_ = now; }
  // The file's bytes; "<missing>" when there is none.
  std::string Get(const std::string& path) const;
  bool Has(const std::string& path) const;
  // How many times the file at `path` was replaced or made by a write.
  int writes(const std::string& path) const;

  KS_PLATFORM_OPERATIONS(KS_PLATFORM_OVERRIDE)
  std::unique_ptr<CopyStage> BeginStaging() override;

 private:
  struct Entry {
    std::string bytes;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    int writes = 0;
    std::uint64_t stamp = 0;  // new at every change
  };
  class FileIo;
  class Staging;

  // CopyFileA's checks of `source` and `target`, without the target's
  // read-only attribute; the copy into *copy. False (the last error set,
  // *report's problem) when it would fail.
  bool PrepareCopy(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
                   Entry* copy, CopyReport* report);
  // Puts `copy` at `target` as a copy's last step: refused over a
  // read-only file.
  BOOL PutCopy(const std::string& target, Entry copy);

  // The key a path is kept under: upper case, one backslash between names.
  static std::string Key(const std::string& path);
  Entry* Find(const std::string& path);
  bool Fail(DWORD error);

  struct Value {
    DWORD type = REG_NONE;
    std::string data;
  };
  std::map<std::string, Entry> files_;
  std::set<std::string> dirs_;
  // Keys by path, values by name, both as Key() spells them.
  std::map<std::string, std::map<std::string, Value>> keys_;
  // Open handles and the key each stands for.
  std::map<std::uintptr_t, std::string> open_keys_;
  std::uintptr_t next_key_ = 0x100;
  std::uint64_t stamp_ = 0;
  DWORD last_error_ = 0;
  // 2026-12-10T00:00:00Z.
  FILETIME clock_{0x66314000u, 0x01dd8839u};
  profile::Store profiles_;
};

}  // namespace ks

#endif  // KSUPDATE_TESTS_SUPPORT_MEMORY_PLATFORM_H_
