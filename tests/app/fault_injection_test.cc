// Every platform call of a small run, made to fail and made to throw in
// turn: whatever goes wrong, each module stays whole, client.ver never
// records a copy that did not happen, nothing outside bin changes, and the
// process ends normally.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/updater_app.h"
#include "app/winapp.h"
#include "engine/run_lock.h"
#include "engine/trust.h"
#include "platform/outputs.h"
#include "platform/process.h"
#include "platform/sha256.h"
#include "tests/support/hooked_platform.h"
#include "tests/support/temp_prefix.h"
#include "trace/trace.h"

namespace ks {
namespace {

namespace fs = std::filesystem;

const char kArgument[] = "C:\\Patch\\setup.exe";
const char kClientVer[] = "C:\\Client\\bin\\client.ver";
const char kMissing[] = "<missing>";

struct Module {
  const char* name;
  const char* old_bytes;  // null: not installed
  const char* new_bytes;
  const char* old_record;  // null: not recorded
  const char* new_record;
  mode_t mode;
  bool changes;  // a run without faults replaces it
};

// In manifest order: replaced, new, replaced read-only, up to date.
const Module kModules[] = {
    {"a.dll", "old a", "new a", "1", "2", 0644, true},
    {"new.dll", nullptr, "new new", nullptr, "0000000007", 0644, true},
    {"ro.dll", "old ro", "new ro", "3", "4", 0444, true},
    {"up.dll", "old up", "new up", "5", "5", 0644, false},
};

enum class Fault { kFail, kThrow, kBadAlloc };

// Whether the patch of the runs below vouches for its modules with a
// [sha256] section (each entry right).
bool g_checksums = false;

std::string HexDigestOf(const char* bytes) {
  Sha256 hash;
  hash.Update(bytes, std::strlen(bytes));
  Sha256Digest digest;
  hash.Finish(&digest);
  return Sha256Hex(digest);
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kFail:
      return "fails";
    case Fault::kThrow:
      return "throws runtime_error";
    case Fault::kBadAlloc:
      return "throws bad_alloc";
  }
  return "?";
}

std::string Describe(const fs::directory_entry& entry) {
  if (entry.is_symlink()) return "link " + fs::read_symlink(entry).string();
  if (entry.is_directory()) return "dir";
  std::ifstream in(entry.path(), std::ios::binary);
  return "file " + std::string(std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>());
}

// Every entry of the prefix's trees but the bin directory: path -> kind and
// bytes.
std::map<std::string, std::string> Outside(const TempPrefix& prefix) {
  std::map<std::string, std::string> entries;
  const fs::path bin = prefix.Host("Client/bin");
  for (const std::string& tree : prefix.Trees()) {
    const fs::directory_entry top(tree);
    entries[tree] = Describe(top);
    if (!top.is_directory() || top.is_symlink()) continue;
    for (auto it = fs::recursive_directory_iterator(tree);
         it != fs::recursive_directory_iterator(); ++it) {
      if (it->path() == bin) {
        it.disable_recursion_pending();
        continue;
      }
      entries[it->path().string()] = Describe(*it);
    }
  }
  return entries;
}

// A fresh installation at C:\Client with its patch at C:\Patch.
class Installation {
 public:
  Installation() {
    prefix_.SetInstallDir("C:\\Client");
    std::string source = "[modules]\r\n";
    std::string installed = "[modules]\r\n";
    for (const Module& m : kModules) {
      source += std::string(m.name) + "=" + m.new_record + "\r\n";
      prefix_.Write(std::string("Patch/") + m.name, m.new_bytes);
      if (m.old_bytes != nullptr) {
        prefix_.Write(std::string("Client/bin/") + m.name, m.old_bytes, m.mode);
      }
      if (m.old_record != nullptr) {
        installed += std::string(m.name) + "=" + m.old_record + "\r\n";
      }
    }
    if (g_checksums) {
      source += "[sha256]\r\n";
      for (const Module& m : kModules) {
        source += std::string(m.name) + "=" + HexDigestOf(m.new_bytes) + "\r\n";
      }
    }
    prefix_.Write("Patch/ksmodules.ver", source);
    prefix_.Write("Client/bin/client.ver", installed + "[other]\r\nk=v\r\n");
    prefix_.Write("Client/readme.txt", "beside bin");
    outside_ = Outside(prefix_);
  }

  std::string File(const Module& m) const {
    return prefix_.Read(std::string("Client/bin/") + m.name);
  }
  std::string SourceManifest() const {
    return prefix_.Read("Patch/ksmodules.ver");
  }
  std::string Before(const Module& m) const {
    return m.old_bytes != nullptr ? m.old_bytes : kMissing;
  }
  std::string ClientVer() const {
    return prefix_.Read("Client/bin/client.ver");
  }
  // The module's record as the program reads it, or kMissing.
  static std::string Record(const Module& m) {
    char buffer[80] = {};
    DefaultPlatform()->GetPrivateProfileStringA(
        "modules", m.name, kMissing, buffer, sizeof buffer, kClientVer);
    return buffer;
  }
  static std::string RecordBefore(const Module& m) {
    return m.old_record != nullptr ? m.old_record : kMissing;
  }

  // The faults that every outcome must be free of.
  void ExpectWholeAndTrue() const {
    for (const Module& m : kModules) {
      SCOPED_TRACE(m.name);
      std::string file = File(m);
      EXPECT_TRUE(file == Before(m) || file == m.new_bytes) << file;
      if (Record(m) != RecordBefore(m)) {
        EXPECT_EQ(file, m.new_bytes) << "recorded " << Record(m);
      }
    }
    for (const auto& entry :
         fs::directory_iterator(prefix_.Host("Client/bin"))) {
      EXPECT_NE(entry.path().filename().string().rfind(".ksupdate-", 0), 0u)
          << "temporary file left: " << entry.path();
    }
    EXPECT_EQ(ChangedOutside(), std::vector<std::string>())
        << "something outside bin changed";
    EXPECT_NE(ClientVer().find("[other]\r\nk=v\r\n"), std::string::npos);
  }

  const TempPrefix& prefix() const { return prefix_; }

  // The paths outside bin that appeared, vanished or changed.
  std::vector<std::string> ChangedOutside() const {
    std::map<std::string, std::string> now = Outside(prefix_);
    std::vector<std::string> changed;
    for (const auto& [path, what] : now) {
      auto was = outside_.find(path);
      if (was == outside_.end() || was->second != what) changed.push_back(path);
    }
    for (const auto& [path, what] : outside_) {
      if (now.count(path) == 0) changed.push_back(path + " (gone)");
    }
    return changed;
  }

 private:
  TempPrefix prefix_;
  std::map<std::string, std::string> outside_;
};

// One run of the whole program through `platform`; false when an
// exception escaped it.
bool RunProgram(Platform* platform, int* status) {
  TraceLog.ResetForTesting();
  theApp.UseSystem(platform, nullptr);
  bool ended = true;
  try {
    *status = AfxWinMain(kArgument);
  } catch (...) {
    ended = false;
  }
  theApp.UseSystem(nullptr, nullptr);
  return ended;
}

std::vector<std::string> TraceLines() {
  return std::vector<std::string>(TraceLog.lines().begin(),
                                  TraceLog.lines().end());
}

// The lines that a module's update traced, after its "- Updating:" line.
std::vector<std::string> ModuleTrace(const std::string& name) {
  std::vector<std::string> lines;
  bool in = false;
  for (const std::string& line : TraceLines()) {
    if (line.rfind("- Updating: ", 0) == 0) {
      in = line == "- Updating: " + name + " -";
    } else if (in) {
      lines.push_back(line);
    }
  }
  return lines;
}

// Makes the Nth call of the run fail or throw, and notes what was going on
// at that moment.
class Injector {
 public:
  Injector(HookedPlatform* platform, int n, Fault fault)
      : platform_(platform), n_(n), fault_(fault) {
    platform_->before = [this](Op op, int call) { Before(op, call); };
    if (fault_ == Fault::kFail) InstallFailures();
  }

  Op op() const { return op_; }
  // The module being updated at the fault; empty before the first one.
  const std::string& module() const { return module_; }
  // The fault is in the module's first read of the registry, the one that
  // decides whether there is an installation at all.
  bool first_read() const { return first_read_; }
  // The file that a failed profile read or load was asked about.
  const std::string& file() const { return file_; }
  // The registry key or value that a failed open or query asked for.
  const std::string& registry_name() const { return registry_name_; }
  // The section that a failed profile write was to change.
  const std::string& section() const { return section_; }
  // client.ver when the copy failed, and when the next call came.
  const std::optional<std::string>& client_ver_at_fault() const {
    return at_fault_;
  }
  const std::optional<std::string>& client_ver_after() const { return after_; }
  void set_prefix(const TempPrefix* prefix) { prefix_ = prefix; }

 private:
  void Before(Op op, int call) {
    std::string current;
    int updates = 0;
    for (const std::string& line : TraceLog.lines()) {
      if (line.rfind("- Updating: ", 0) == 0) {
        current = line.substr(12, line.size() - 14);
        ++updates;
      }
    }
    if (updates != updates_) calls_in_module_ = 0;
    updates_ = updates;
    ++calls_in_module_;
    if (call == n_ + 1 && at_fault_) after_ = ClientVer();
    if (call != n_) return;
    op_ = op;
    module_ = current;
    // Open and query of the module's first registry read.
    first_read_ = !current.empty() && calls_in_module_ <= 2;
    if (fault_ == Fault::kThrow) throw std::runtime_error("injected");
    if (fault_ == Fault::kBadAlloc) throw std::bad_alloc();
  }

  std::string ClientVer() const {
    return prefix_ != nullptr ? prefix_->Read("Client/bin/client.ver") : "";
  }

  bool Now() const { return platform_->total_calls() == n_; }

  void InstallFailures() {
    Platform* real = platform_->target();
    // An unreadable file reads as missing: the default comes back.
    platform_->hook.GetPrivateProfileStringA =
        [this, real](LPCSTR s, LPCSTR key, LPCSTR fallback, LPSTR buffer,
                     DWORD size, LPCSTR file) -> DWORD {
      if (!Now()) {
        return real->GetPrivateProfileStringA(s, key, fallback, buffer, size,
                                              file);
      }
      file_ = file;
      std::snprintf(buffer, size, "%s", fallback);
      return static_cast<DWORD>(std::strlen(buffer));
    };
    platform_->hook.WritePrivateProfileStringA =
        [this, real](LPCSTR s, LPCSTR key, LPCSTR value, LPCSTR file) -> BOOL {
      if (!Now()) return real->WritePrivateProfileStringA(s, key, value, file);
      section_ = s != nullptr ? s : "";
      return FALSE;
    };
    platform_->hook.RegOpenKeyExA = [this, real](HKEY key, LPCSTR sub,
                                                 DWORD options, REGSAM desired,
                                                 PHKEY result) -> LONG {
      if (!Now())
        return real->RegOpenKeyExA(key, sub, options, desired, result);
      registry_name_ = sub;
      return ERROR_ACCESS_DENIED;
    };
    platform_->hook.RegQueryValueExA =
        [this, real](HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type,
                     LPBYTE data, LPDWORD size) -> LONG {
      if (!Now()) {
        return real->RegQueryValueExA(key, name, reserved, type, data, size);
      }
      registry_name_ = name;
      return ERROR_ACCESS_DENIED;
    };
    platform_->hook.RegCloseKey = [this, real](HKEY key) -> LONG {
      // The key stays open: a handle leaks, nothing else.
      return Now() ? ERROR_INVALID_HANDLE : real->RegCloseKey(key);
    };
    platform_->hook.GetFileAttributesA = [this, real](LPCSTR path) -> DWORD {
      return Now() ? INVALID_FILE_ATTRIBUTES : real->GetFileAttributesA(path);
    };
    platform_->hook.SetFileAttributesA = [this, real](LPCSTR path,
                                                      DWORD a) -> BOOL {
      return Now() ? FALSE : real->SetFileAttributesA(path, a);
    };
    platform_->hook.CopyFileA = [this, real](LPCSTR from, LPCSTR to, BOOL f,
                                             const ExpectedBytes* expected,
                                             CopyReport* report) -> BOOL {
      if (!Now()) return real->CopyFileA(from, to, f, expected, report);
      at_fault_ = ClientVer();
      return FALSE;
    };
    platform_->hook.HashFile = [this, real](LPCSTR path, Sha256Digest* digest,
                                            CopyReport* report) -> BOOL {
      return Now() ? FALSE : real->HashFile(path, digest, report);
    };
    platform_->hook.LoadProfileFile = [this, real](LPCSTR file,
                                                   std::string* contents) {
      if (!Now()) return real->LoadProfileFile(file, contents);
      file_ = file;
      if (contents != nullptr) contents->clear();
      return ProfileLoad::kUnreadable;
    };
    platform_->hook.TrustInstallation =
        [this, real](LPCSTR bin, InstallationRefusal* refused) -> BOOL {
      if (!Now()) return real->TrustInstallation(bin, refused);
      refused->path = "/refused";
      return FALSE;
    };
    platform_->stage = [this](CopyStage* stage, LPCSTR from, LPCSTR to,
                              const ExpectedBytes* expected, std::size_t* index,
                              CopyReport* report) -> BOOL {
      if (!Now()) return stage->Stage(from, to, expected, index, report);
      *report = CopyReport();
      return FALSE;
    };
    platform_->put_in_place = [this](CopyStage* stage, std::size_t index,
                                     CopyReport* report) -> BOOL {
      if (!Now()) return stage->PutInPlace(index, report);
      *report = CopyReport();
      return FALSE;
    };
    platform_->flush_stage = [this](CopyStage* stage) -> BOOL {
      return Now() ? FALSE : stage->Flush();
    };
    platform_->hook.WriteProfileStrings =
        [this, real](LPCSTR file, const std::vector<ProfileWrite>& w) -> BOOL {
      return Now() ? FALSE : real->WriteProfileStrings(file, w);
    };
    // A file system without locks, say: the run goes on without one.
    platform_->hook.LockInstallation =
        [this, real](LPCSTR path, DWORD wait,
                     std::unique_ptr<InstallationLock>* held) {
          return Now() ? LockResult::kFailed
                       : real->LockInstallation(path, wait, held);
        };
  }

  HookedPlatform* platform_;
  int n_;
  Fault fault_;
  const TempPrefix* prefix_ = nullptr;
  Op op_ = Op::kCount;
  std::string module_;
  int updates_ = 0;
  int calls_in_module_ = 0;
  bool first_read_ = false;
  std::string file_;
  std::string registry_name_;
  std::string section_;
  std::optional<std::string> at_fault_;
  std::optional<std::string> after_;
};

// What a module must be after the run, beyond the common checks: nullopt
// leaves it to them.
struct Expected {
  std::optional<std::string> file;
  std::optional<std::string> record;
  std::optional<std::string> last_trace;
};

Expected Clean(const Module& m) {
  // With checksums, the module of the patch's version whose bytes are not
  // the patch's is copied again.
  if (!m.changes && g_checksums) {
    return {m.new_bytes, Installation::RecordBefore(m), "    - Copy Success -"};
  }
  if (!m.changes) return {m.old_bytes, Installation::RecordBefore(m), {}};
  return {m.new_bytes, m.new_record, "    - Copy Success -"};
}

Expected Untouched(const Installation& inst, const Module& m) {
  return {inst.Before(m), Installation::RecordBefore(m), {}};
}

// The outcome that the failure of `injector`'s call gives the module that
// was being updated then.
Expected AfterFailure(const Installation& inst, const Injector& injector,
                      const Module& m) {
  const std::string name = m.name;
  const bool ro = name == "ro.dll";
  switch (injector.op()) {
    case Op::kCopyFileA:
      return {inst.Before(m), Installation::RecordBefore(m),
              "    - Copy Failure -"};
    case Op::kSetFileAttributesA:
      // The copy decides: a read-only file stays read-only and refuses it.
      return ro ? Expected{inst.Before(m), Installation::RecordBefore(m),
                           "    - Copy Failure -"}
                : Clean(m);
    case Op::kWritePrivateProfileStringA:
      // The digest's record after the version's is one more copy later,
      // no more: the module is as a clean run leaves it.
      if (injector.section() == "sha256") return Clean(m);
      return {m.new_bytes, Installation::RecordBefore(m),
              "    - Copy Success -"};
    case Op::kGetFileAttributesA:
      // Missing, as far as the run can tell: copied whatever the versions.
      if (ro) {
        return {inst.Before(m), Installation::RecordBefore(m),
                "    - Copy Failure -"};
      }
      return {m.new_bytes, m.new_record, "    - Copy Success -"};
    case Op::kGetPrivateProfileStringA:
      // client.ver's, the only profile file read through the platform:
      // installed version 0, so anything the patch has replaces it.
      return {m.new_bytes, m.new_record, "    - Copy Success -"};
    case Op::kHashFile:
      // An installed file that cannot be read is taken for a damaged one.
      return {m.new_bytes, Installation::RecordBefore(m),
              "    - Copy Success -"};
    case Op::kRegOpenKeyExA:
    case Op::kRegQueryValueExA:
      if (injector.first_read()) {
        return {inst.Before(m), Installation::RecordBefore(m),
                "    - Installation directory not found -"};
      }
      return {};
    default:
      return Clean(m);
  }
}

void ExpectModule(const Installation& inst, const Module& m,
                  const Expected& want) {
  SCOPED_TRACE(m.name);
  if (want.file) {
    EXPECT_EQ(inst.File(m), *want.file);
  }
  if (want.record) {
    EXPECT_EQ(Installation::Record(m), *want.record);
  }
  if (want.last_trace) {
    std::vector<std::string> lines = ModuleTrace(m.name);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), *want.last_trace);
  }
}

// The operations of a run without faults, call by call.
std::vector<Op> CleanRun() {
  Installation inst;
  HookedPlatform platform;
  int status = -1;
  EXPECT_TRUE(RunProgram(&platform, &status));
  for (const Module& m : kModules) ExpectModule(inst, m, Clean(m));
  return platform.log();
}

void InjectEveryFault() {
  const std::vector<Op> clean = CleanRun();
  ASSERT_GT(clean.size(), 40u);
  int injected = 0;
  for (int n = 1; n <= static_cast<int>(clean.size()); ++n) {
    for (Fault fault : {Fault::kFail, Fault::kThrow, Fault::kBadAlloc}) {
      SCOPED_TRACE(std::string(OpName(clean[n - 1])) + ", call " +
                   std::to_string(n) + ", " + FaultName(fault));
      Installation inst;
      int status = -1;
      std::optional<Injector> injector;
      {
        HookedPlatform platform;
        injector.emplace(&platform, n, fault);
        injector->set_prefix(&inst.prefix());
        ASSERT_TRUE(RunProgram(&platform, &status))
            << "an exception left the program";
        ASSERT_EQ(injector->op(), clean[n - 1]) << "the run took another path";
      }
      ++injected;
      EXPECT_EQ(status, 0);
      inst.ExpectWholeAndTrue();

      if (g_checksums) {
        // The patch goes in whole or not at all: whatever the fault, each
        // module is old or new and never recorded ahead (checked above),
        // and a copy that could not be made withholds every other one.
        if (fault == Fault::kFail && injector->op() == Op::kStage) {
          for (const Module& m : kModules) {
            ExpectModule(inst, m, Untouched(inst, m));
          }
        }
      } else {
        const std::string current = injector->module();
        bool before_current = !current.empty();
        // The clock read for the run's start and end (not the update's own
        // reading): a time the run cannot tell, nothing more.
        const bool run_clock = injector->op() == Op::kGetSystemTimeAsFileTime &&
                               (n == 1 || n == static_cast<int>(clean.size()));
        for (const Module& m : kModules) {
          if (run_clock) {
            ExpectModule(inst, m, Clean(m));
          } else if (m.name == current) {
            before_current = false;
            if (fault == Fault::kFail) {
              ExpectModule(inst, m, AfterFailure(inst, *injector, m));
            }
          } else if (before_current || fault == Fault::kFail) {
            // A failure touches only its own module, and the run goes on; a
            // patch manifest that cannot be read lists no module, and a
            // policy that cannot be read (is a key pinned?) stops the run.
            const bool at_start = current.empty() && fault == Fault::kFail;
            const bool policy = injector->registry_name() == kPolicyKeyPath ||
                                injector->registry_name() == "TrustedKeys";
            const bool nothing_done =
                at_start &&
                ((injector->op() == Op::kLoadProfileFile &&
                  injector->file() == "C:\\Patch\\ksmodules.ver") ||
                 injector->op() == Op::kTrustInstallation || policy);
            ExpectModule(inst, m, nothing_done ? Untouched(inst, m) : Clean(m));
          } else {
            // An exception ends the run: later modules are untouched and
            // nothing about them is traced.
            ExpectModule(inst, m, Untouched(inst, m));
            EXPECT_TRUE(ModuleTrace(m.name).empty()) << m.name;
          }
        }
      }
      if (fault == Fault::kFail && injector->op() == Op::kLockInstallation) {
        // As a lone run, and it says so first.
        EXPECT_EQ(TraceLines().front(),
                  "    - Installation lock failed : "
                  "C:\\Client\\bin\\ksupdate.lock -");
      }
      if (fault == Fault::kFail && injector->op() == Op::kCopyFileA) {
        // No record follows a failed copy.
        ASSERT_TRUE(injector->client_ver_at_fault());
        EXPECT_EQ(injector->client_ver_after().value_or(inst.ClientVer()),
                  *injector->client_ver_at_fault());
      }

      // Whatever the fault left, one more run finishes the update.
      ASSERT_TRUE(RunProgram(nullptr, &status));
      for (const Module& m : kModules) {
        if (m.changes) ExpectModule(inst, m, {m.new_bytes, m.new_record, {}});
      }
      inst.ExpectWholeAndTrue();
    }
  }
  std::printf(
      "faults injected: %d (%zu calls, each failing and throwing "
      "two ways)%s\n",
      injected, clean.size(), g_checksums ? ", with checksums" : "");
}

TEST(FaultInjectionTest, EveryCallFailingOrThrowing) { InjectEveryFault(); }

TEST(FaultInjectionTest, EveryCallFailingOrThrowingWithChecksums) {
  g_checksums = true;
  InjectEveryFault();
  g_checksums = false;
}

// The registry is read again for every path a module's update builds, so
// one failed read in the middle of an update leaves that one path without
// its bin directory. The path must not fall back to the root of the drive.
TEST(FaultInjectionTest, RegistryFailureMidModuleWritesNothingOutsideBin) {
  const std::vector<Op> clean = CleanRun();
  for (Op target : {Op::kCopyFileA, Op::kWritePrivateProfileStringA}) {
    // The read of the bin directory for the first such call's path comes
    // just before it: open, query, close.
    int call = 0;
    while (clean[call] != target) ++call;
    const int open = call - 2;  // 1-based number of the RegOpenKeyExA
    ASSERT_EQ(clean[open - 1], Op::kRegOpenKeyExA);
    SCOPED_TRACE(std::string("registry read for ") + OpName(target));
    Installation inst;
    HookedPlatform platform;
    Injector injector(&platform, open, Fault::kFail);
    int status = -1;
    ASSERT_TRUE(RunProgram(&platform, &status));
    EXPECT_FALSE(inst.prefix().Exists("a.dll"));
    EXPECT_FALSE(inst.prefix().Exists("client.ver"));
    inst.ExpectWholeAndTrue();
  }
}

// A lock that notes when it is released.
class NotedLock : public InstallationLock {
 public:
  explicit NotedLock(std::function<void()> released)
      : released_(std::move(released)) {}
  ~NotedLock() override { released_(); }
  bool IsLockFile(LPCSTR /*path*/) const override { return false; }

 private:
  std::function<void()> released_;
};

// The run takes the installation's lock before its first module and holds
// it to its end; another run holding it past the bound leaves everything
// as it was, with one line; no installation, no lock.
TEST(InstallationLockTest, HeldForTheWholeRunOrNothingIsDone) {
  const std::vector<Op> clean = CleanRun();
  std::vector<std::string> clean_trace = TraceLines();
  {
    Installation inst;
    HookedPlatform platform;
    int calls_at_release = -1;
    platform.hook.LockInstallation =
        [&](LPCSTR path, DWORD wait, std::unique_ptr<InstallationLock>* held) {
          EXPECT_STREQ(path, "C:\\Client\\bin\\ksupdate.lock");
          EXPECT_EQ(wait, 0u);  // free at once: no wait
          *held = std::make_unique<NotedLock>(
              [&] { calls_at_release = platform.total_calls(); });
          return LockResult::kHeld;
        };
    int status = -1;
    ASSERT_TRUE(RunProgram(&platform, &status));
    EXPECT_EQ(platform.log(), clean);
    EXPECT_EQ(TraceLines(), clean_trace);
    // Before the first module's reads (after the patch manifest's one
    // reading).
    auto read = std::find(clean.begin(), clean.end(), Op::kLoadProfileFile);
    auto lock = std::find(clean.begin(), clean.end(), Op::kLockInstallation);
    EXPECT_LT(read, lock);
    EXPECT_LT(lock - clean.begin(), std::find(clean.begin(), clean.end(),
                                              Op::kGetPrivateProfileStringA) -
                                        clean.begin());
    // bin is swept of what a killed run left as soon as the lock is held.
    ASSERT_NE(lock + 1, clean.end());
    EXPECT_EQ(lock[1], Op::kRemoveStaleTemps);
    // Released after every call of the run but its last two: the one that
    // lets go of the directories the run held, and the clock's reading of
    // the run's end.
    ASSERT_GE(clean.size(), 2u);
    EXPECT_EQ(clean[clean.size() - 2], Op::kReleaseDirectories);
    EXPECT_EQ(clean.back(), Op::kGetSystemTimeAsFileTime);
    EXPECT_EQ(calls_at_release, static_cast<int>(clean.size()) - 2);
  }
  {
    Installation inst;
    HookedPlatform platform;
    std::vector<DWORD> waits;
    platform.hook.LockInstallation = [&](LPCSTR, DWORD wait,
                                         std::unique_ptr<InstallationLock>*) {
      waits.push_back(wait);
      return LockResult::kBusy;
    };
    int status = -1;
    ASSERT_TRUE(RunProgram(&platform, &status));
    EXPECT_EQ(waits, (std::vector<DWORD>{0, kLockWaitMs}));
    EXPECT_EQ(TraceLines(),
              std::vector<std::string>{"    - Another update is running -"});
    for (const Module& m : kModules) ExpectModule(inst, m, Untouched(inst, m));
    // Nothing of client.ver was read, nothing copied or written.
    EXPECT_EQ(platform.calls(Op::kCopyFileA) +
                  platform.calls(Op::kWritePrivateProfileStringA) +
                  platform.calls(Op::kGetPrivateProfileStringA) +
                  platform.calls(Op::kRemoveStaleTemps),
              0);
  }
  {
    // Windows Installer installing for the whole wait: the same, with its
    // own lines.
    Installation inst;
    HookedPlatform platform;
    platform.hook.LockInstallation = [&](LPCSTR, DWORD,
                                         std::unique_ptr<InstallationLock>*) {
      return LockResult::kInstallerBusy;
    };
    int status = -1;
    ASSERT_TRUE(RunProgram(&platform, &status));
    EXPECT_EQ(platform.calls(Op::kLockInstallation), 2);
    EXPECT_EQ(TraceLines(),
              std::vector<std::string>{"    - Windows Installer is running -"});
    for (const Module& m : kModules) ExpectModule(inst, m, Untouched(inst, m));
    EXPECT_EQ(
        platform.calls(Op::kCopyFileA) + platform.calls(Op::kRemoveStaleTemps),
        0);
  }
  {
    Installation inst;
    HookedPlatform platform;
    AnswerRegistryValue(&platform, "", false);
    int status = -1;
    ASSERT_TRUE(RunProgram(&platform, &status));
    EXPECT_EQ(platform.calls(Op::kLockInstallation), 0);
  }
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  if (*value == '\0') {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
#endif
}

// Outputs whose trace channel keeps its lines here.
class KeptChannel : public Outputs {
 public:
  class Lines : public TraceOutput {
   public:
    explicit Lines(std::vector<std::string>* lines) : lines_(lines) {}
    void WriteLine(const std::string& line) override {
      lines_->push_back(line);
    }

   private:
    std::vector<std::string>* lines_;
  };

  void DebugOutput(const char* /*line*/) override {}
  std::unique_ptr<TraceOutput> OpenTraceOutput(const char* name,
                                               bool* refused) override {
    *refused = false;
    if (*name == '\0') return nullptr;
    return std::make_unique<Lines>(&lines);
  }
  std::string SystemErrorText(DWORD code) override {
    return DefaultOutputs()->SystemErrorText(code);
  }
  bool ExitStatusHoldsWholeCodes() override { return true; }
  void LogRunEvent(const RunEvent& event) override { events.push_back(event); }
  bool LogsRunsByDefault() override { return false; }

  std::vector<std::string> lines;
  std::vector<RunEvent> events;
};

// Past the ends of 32-bit time (2038 signed, 2106 unsigned), a run's trace
// and result file still tell when it began and ended; the clock is read
// through the platform, never the C runtime's 32-bit one.
TEST(RunClockTest, TimesPastThirtyTwoBitsAreSaidRight) {
  Installation inst;
  HookedPlatform platform;
  // 2038-01-19T03:14:08Z, then 2106-02-07T06:28:16Z for every later read.
  int reads = 0;
  platform.hook.GetSystemTimeAsFileTime = [&reads](LPFILETIME now) {
    *now = reads++ == 0 ? FILETIME{0xd53e8000u, 0x01e9fd1eu}
                        : FILETIME{0xd53e8000u, 0x0236485eu};
  };
  std::string result;
  platform.hook.WriteResultFile = [&result](LPCSTR, const std::string& data,
                                            bool*) {
    result = data;
    return TRUE;
  };
  KeptChannel outputs;
  SetEnvironment("KSUPDATE_TRACE", "trace.txt");
  SetEnvironment("KSUPDATE_RESULT", "result.json");
  TraceLog.ResetForTesting();
  theApp.UseSystem(&platform, &outputs);
  AfxWinMain(kArgument);
  theApp.UseSystem(nullptr, nullptr);
  SetEnvironment("KSUPDATE_TRACE", "");
  SetEnvironment("KSUPDATE_RESULT", "");
  OpenTraceChannel(DefaultOutputs(), "");
  // Start, the update's "now", end, and one for each line of the file,
  // which begins with the time to the millisecond and the process.
  ASSERT_FALSE(outputs.lines.empty());
  EXPECT_EQ(reads, 3 + static_cast<int>(outputs.lines.size()));
  const std::string stamp =
      "2106-02-07T06:28:16.000Z " + std::to_string(ProcessId()) + " ";
  for (const std::string& line : outputs.lines) {
    EXPECT_EQ(line.compare(0, stamp.size(), stamp), 0) << line;
  }
  EXPECT_NE(outputs.lines.front().find(" run of 2038-01-19T03:14:08Z, "),
            std::string::npos)
      << outputs.lines.front();
  EXPECT_NE(result.find("\"started\": \"2038-01-19T03:14:08Z\",\n"
                        "  \"ended\": \"2106-02-07T06:28:16Z\","),
            std::string::npos)
      << result;
  for (const Module& m : kModules) ExpectModule(inst, m, Clean(m));
}

// A trace file tells an admin why a copy failed: after the line that says
// it did, the system's code, its text and the two paths.
TEST(TraceFileTest, AFailedCopyIsFollowedByItsError) {
  // Gone, in use, disk full, access denied.
  for (const DWORD code : {2u, 32u, 112u, 5u}) {
    Installation inst;
    HookedPlatform platform;
    platform.hook.CopyFileA = [code](LPCSTR, LPCSTR, BOOL, const ExpectedBytes*,
                                     CopyReport* report) -> BOOL {
      if (report != nullptr) report->error = code;
      return FALSE;
    };
    KeptChannel outputs;
    SetEnvironment("KSUPDATE_TRACE", "trace.txt");
    SetEnvironment("KSUPDATE_EVENTLOG", "1");
    theApp.UseSystem(&platform, &outputs);
    AfxWinMain(kArgument);
    theApp.UseSystem(nullptr, nullptr);
    SetEnvironment("KSUPDATE_TRACE", "");
    SetEnvironment("KSUPDATE_EVENTLOG", "");
    // The event says the same to tools, field by field: each of the three
    // modules to copy failed, none was copied.
    ASSERT_EQ(outputs.events.size(), 1u);
    const RunEvent& event = outputs.events[0];
    EXPECT_EQ(event.kind, EventKind::kError);
    EXPECT_EQ(event.id, 1603u);
    EXPECT_EQ(event.fields,
              (std::vector<std::string>{
                  "failure", "1603", "C:\\Patch",
                  HexDigestOf(inst.SourceManifest().c_str()), "0", "3"}));
    EXPECT_NE(
        std::find(event.lines.begin(), event.lines.end(),
                  "a.dll: copy failed, 1 -> 1, error " + std::to_string(code)),
        event.lines.end());
    const std::string note = "--- error " + std::to_string(code) + ": " +
                             outputs.SystemErrorText(code) +
                             " : C:\\Patch\\a.dll -> C:\\Client\\bin\\a.dll";
    const auto ends_with = [](const std::string& line, const std::string& end) {
      return line.size() >= end.size() &&
             line.compare(line.size() - end.size(), end.size(), end) == 0;
    };
    const auto failure =
        std::find_if(outputs.lines.begin(), outputs.lines.end(),
                     [&](const std::string& line) {
                       return ends_with(line, " - Copy Failure -");
                     });
    ASSERT_NE(failure, outputs.lines.end()) << code;
    ASSERT_NE(failure + 1, outputs.lines.end()) << code;
    EXPECT_TRUE(ends_with(failure[1], " " + note)) << failure[1];
  }
}

}  // namespace
}  // namespace ks
