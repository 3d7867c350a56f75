#include "engine/module_list.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "engine/module_names.h"
#include "engine/run_inputs.h"
#include "tests/support/hooked_platform.h"
#include "tests/support/memory_platform.h"
#include "tests/support/temp_prefix.h"
#include "trace/trace.h"

namespace ks {
namespace {

const char kNotThere[] = "    - File doesn't exist : %s -";
const char kSkipped[] = "    - Module updating doesn't occured -";
const char kSuccess[] = "    - Copy Success -";
const char kFailure[] = "    - Copy Failure -";

std::string Line(const char* format, const std::string& arg) {
  std::string text = format;
  return text.replace(text.find("%s"), 2, arg);
}

const char kArgument[] = "C:\\Patch\\setup.exe";

// An installation at C:\Client with a patch at C:\Patch, on a temporary
// prefix and the real provider (or a hooked one in front of it).
class UpdateModuleTest : public ::testing::Test {
 protected:
  UpdateModuleTest() {
    prefix_.SetInstallDir("C:\\Client");
    prefix_.MakeDir("Client/bin");
    TraceLog.ResetForTesting();
  }
  ~UpdateModuleTest() override { TraceLog.ResetForTesting(); }

  void Source(const std::string& entries) {
    prefix_.Write("Patch/ksmodules.ver", "[modules]\r\n" + entries);
  }
  void Installed(const std::string& entries) {
    prefix_.Write("Client/bin/client.ver", "[modules]\r\n" + entries);
  }
  std::vector<std::string> Trace() const {
    return std::vector<std::string>(TraceLog.lines().begin(),
                                    TraceLog.lines().end());
  }
  std::string InstalledVersion(const std::string& name) {
    ModuleVersion version;
    ReadManifestVersion(*DefaultPlatform(), "C:\\Client\\bin\\client.ver", name,
                        version);
    return version.strVersion;
  }
  // One module's update, with the patch manifest as it is now.
  static bool Update(const std::string& name,
                     Platform* platform = DefaultPlatform()) {
    const RunInputs inputs(kArgument);
    const PatchManifest manifest(*platform,
                                 inputs.locations.GetSourceManifestPath());
    CModuleList list(*platform, inputs, manifest, nullptr);
    return list.UpdateModule(name);
  }
  // A whole run.
  static void RunPatch(Platform* platform = DefaultPlatform()) {
    CPatcher(*platform, kArgument).Run();
  }

  TempPrefix prefix_;
};

TEST_F(UpdateModuleTest, ReplacesAnOlderReadOnlyModule) {
  Source("a.dll=5\r\n");
  Installed("a.dll=3\r\n");
  prefix_.Write("Patch/a.dll", "new");
  prefix_.Write("Client/bin/a.dll", "old", 0444);
  HookedPlatform platform;
  EXPECT_TRUE(Update("a.dll", &platform));
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "- Updating: a.dll -",
                         Line("    - Previous version will be replaced : %s -",
                              "C:\\Client\\bin\\a.dll"),
                         kSuccess}));
  EXPECT_EQ(prefix_.Read("Client/bin/a.dll"), "new");
  EXPECT_EQ(InstalledVersion("a.dll"), "5");
  EXPECT_EQ(platform.calls(Op::kSetFileAttributesA), 1);
  // The record comes after the copy.
  std::vector<Op> log = platform.log();
  auto copy = std::find(log.begin(), log.end(), Op::kCopyFileA);
  auto write =
      std::find(log.begin(), log.end(), Op::kWritePrivateProfileStringA);
  EXPECT_LT(copy, write);
}

TEST_F(UpdateModuleTest, SkipsAModuleThatIsNotOlder) {
  Source("same.dll=5\r\nolder.dll=4\r\n");
  Installed("same.dll=5\r\nolder.dll=0000000007\r\n");
  prefix_.Write("Patch/same.dll", "new");
  prefix_.Write("Patch/older.dll", "new");
  prefix_.Write("Client/bin/same.dll", "old");
  prefix_.Write("Client/bin/older.dll", "old");
  HookedPlatform platform;
  EXPECT_FALSE(Update("same.dll", &platform));
  EXPECT_FALSE(Update("older.dll", &platform));
  EXPECT_EQ(Trace(),
            (std::vector<std::string>{"- Updating: same.dll -", kSkipped,
                                      "- Updating: older.dll -", kSkipped}));
  EXPECT_EQ(platform.calls(Op::kSetFileAttributesA), 0);
  EXPECT_EQ(platform.calls(Op::kCopyFileA), 0);
  EXPECT_EQ(platform.calls(Op::kWritePrivateProfileStringA), 0);
  EXPECT_EQ(prefix_.Read("Client/bin/same.dll"), "old");
}

TEST_F(UpdateModuleTest, CopiesAMissingModuleWhateverTheNumbers) {
  Source("a.dll=2\r\nb.dll=0\r\n");
  Installed("a.dll=9\r\n");
  prefix_.Write("Patch/a.dll", "new a");
  prefix_.Write("Patch/b.dll", "new b");
  HookedPlatform platform;
  std::vector<std::string> records;  // a.dll's record at each call
  platform.before = [&](Op, int) {
    records.push_back(InstalledVersion("a.dll"));
  };
  EXPECT_TRUE(Update("a.dll", &platform));
  // The record ahead of the patch's version went before the copy, so that
  // no kill between the copy and the new record leaves it ahead of its file.
  const std::vector<Op>& log = platform.log();
  const size_t copy =
      std::find(log.begin(), log.end(), Op::kCopyFileA) - log.begin();
  ASSERT_LT(copy, log.size());
  EXPECT_EQ(records[copy], "0000000000");
  EXPECT_TRUE(Update("b.dll"));
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "- Updating: a.dll -",
                         Line(kNotThere, "C:\\Client\\bin\\a.dll"), kSuccess,
                         "- Updating: b.dll -",
                         Line(kNotThere, "C:\\Client\\bin\\b.dll"), kSuccess}));
  EXPECT_EQ(prefix_.Read("Client/bin/a.dll"), "new a");
  EXPECT_EQ(InstalledVersion("a.dll"), "2");
  EXPECT_EQ(InstalledVersion("b.dll"), "0");
}

TEST_F(UpdateModuleTest, UnrecordedModuleIsReplacedOnlyByAPositiveVersion) {
  Source("up.dll=1\r\nzero.dll=0\r\nneg.dll=-3\r\n");
  Installed("");
  for (const char* name : {"up.dll", "zero.dll", "neg.dll"}) {
    prefix_.Write(std::string("Patch/") + name, "new");
    prefix_.Write(std::string("Client/bin/") + name, "old");
  }
  EXPECT_TRUE(Update("up.dll"));
  EXPECT_FALSE(Update("zero.dll"));
  EXPECT_FALSE(Update("neg.dll"));
  EXPECT_EQ(prefix_.Read("Client/bin/up.dll"), "new");
  EXPECT_EQ(prefix_.Read("Client/bin/zero.dll"), "old");
  EXPECT_EQ(prefix_.Read("Client/bin/neg.dll"), "old");
}

TEST_F(UpdateModuleTest, ComparesNumbersAndWritesTheTextBack) {
  Source("a.dll=0000000010\r\n");
  Installed("a.dll=0000000009\r\n");
  prefix_.Write("Patch/a.dll", "new");
  prefix_.Write("Client/bin/a.dll", "old");
  EXPECT_TRUE(Update("a.dll"));
  EXPECT_EQ(InstalledVersion("a.dll"), "0000000010");
}

TEST_F(UpdateModuleTest, SaturatedVersionsCompareEqual) {
  Source("a.dll=99999999999\r\n");
  Installed("a.dll=2147483647\r\n");
  prefix_.Write("Patch/a.dll", "new");
  prefix_.Write("Client/bin/a.dll", "old");
  EXPECT_FALSE(Update("a.dll"));
  EXPECT_EQ(prefix_.Read("Client/bin/a.dll"), "old");
}

TEST_F(UpdateModuleTest, FailedCopiesLeaveTheRecordAlone) {
  Source("dir.dll=5\r\ngone.dll=5\r\n=5\r\n");
  Installed("gone.dll=1\r\n");
  prefix_.MakeDir("Client/bin/dir.dll");
  prefix_.Write("Patch/dir.dll", "new");
  prefix_.Write("Client/bin/gone.dll", "old");
  std::string before = prefix_.Read("Client/bin/client.ver");
  EXPECT_FALSE(Update("dir.dll"));
  EXPECT_FALSE(Update("gone.dll"));
  EXPECT_FALSE(Update(""));
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "- Updating: dir.dll -",
                         Line(kNotThere, "C:\\Client\\bin\\dir.dll"), kFailure,
                         "- Updating: gone.dll -",
                         Line("    - Previous version will be replaced : %s -",
                              "C:\\Client\\bin\\gone.dll"),
                         kFailure, "- Updating:  -",
                         Line(kNotThere, "C:\\Client\\bin\\"), kFailure}));
  EXPECT_EQ(prefix_.Read("Client/bin/client.ver"), before);
  EXPECT_EQ(prefix_.Read("Client/bin/gone.dll"), "old");
}

TEST_F(UpdateModuleTest, FailedAttributeChangeLetsTheCopyDecide) {
  Source("ro.dll=5\r\nrw.dll=5\r\n");
  Installed("ro.dll=1\r\nrw.dll=1\r\n");
  prefix_.Write("Patch/ro.dll", "new");
  prefix_.Write("Patch/rw.dll", "new");
  prefix_.Write("Client/bin/ro.dll", "old", 0444);
  prefix_.Write("Client/bin/rw.dll", "old", 0644);
  HookedPlatform platform;
  platform.hook.SetFileAttributesA = [](LPCSTR, DWORD) { return FALSE; };
  EXPECT_FALSE(Update("ro.dll", &platform));
  EXPECT_TRUE(Update("rw.dll", &platform));
  EXPECT_EQ(prefix_.Read("Client/bin/ro.dll"), "old");
  EXPECT_EQ(prefix_.Read("Client/bin/rw.dll"), "new");
  EXPECT_EQ(InstalledVersion("ro.dll"), "1");
}

TEST_F(UpdateModuleTest, FailedRecordStillCountsTheCopy) {
  Source("a.dll=5\r\n");
  Installed("a.dll=1\r\n");
  prefix_.Write("Patch/a.dll", "new");
  prefix_.Write("Client/bin/a.dll", "old");
  HookedPlatform platform;
  platform.hook.WritePrivateProfileStringA = [](LPCSTR, LPCSTR, LPCSTR,
                                                LPCSTR) { return FALSE; };
  EXPECT_TRUE(Update("a.dll", &platform));
  EXPECT_EQ(Trace().back(), kSuccess);
  EXPECT_EQ(prefix_.Read("Client/bin/a.dll"), "new");
  EXPECT_EQ(InstalledVersion("a.dll"), "1");
}

TEST_F(UpdateModuleTest, NoInstallationDirectoryMeansNoFileWork) {
  prefix_.SetInstallDir("", /*present=*/false);
  Source("a.dll=5\r\n");
  prefix_.Write("Patch/a.dll", "new");
  HookedPlatform platform;
  EXPECT_FALSE(Update("a.dll", &platform));
  prefix_.SetInstallDir("");  // present but empty
  EXPECT_FALSE(Update("a.dll", &platform));
  EXPECT_EQ(
      Trace(),
      (std::vector<std::string>{
          "- Updating: a.dll -", "    - Installation directory not found -",
          "- Updating: a.dll -", "    - Installation directory not found -"}));
  for (Op op : {Op::kGetPrivateProfileStringA, Op::kGetFileAttributesA,
                Op::kSetFileAttributesA, Op::kCopyFileA,
                Op::kWritePrivateProfileStringA}) {
    EXPECT_EQ(platform.calls(op), 0) << OpName(op);
  }
  EXPECT_FALSE(prefix_.Exists("a.dll"));
  EXPECT_FALSE(prefix_.Exists("client.ver"));
}

TEST_F(UpdateModuleTest, RefusesNamesThatLeaveBin) {
  prefix_.Write("evil.dll", "outside");
  prefix_.Write("Patch/evil.dll", "new");
  for (const char* name :
       {"..\\evil.dll", "\\evil.dll", "/evil.dll", "C:evil.dll", "a.dll:stream",
        "x\\..\\..\\evil.dll", "x/../../evil.dll", "..", "sub\\..", "...\\x",
        ".. \\x"}) {
    TraceLog.ResetForTesting();
    HookedPlatform platform;
    EXPECT_FALSE(Update(name, &platform)) << name;
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{Line("- Updating: %s -", name),
                                        "    - Invalid module name -"}))
        << name;
    EXPECT_EQ(platform.calls(Op::kGetPrivateProfileStringA), 0) << name;
    EXPECT_EQ(platform.calls(Op::kCopyFileA), 0) << name;
  }
  EXPECT_EQ(prefix_.Read("evil.dll"), "outside");
}

// A name that reaches the lock file's directory entry by another spelling
// (on Windows its 8.3 alias; on Linux a way through a link back to bin,
// which no path in bin may take) would put a new file in its place and let
// a second run in. A second hard link is another entry: replacing it
// leaves the lock file as it was.
TEST_F(UpdateModuleTest, RefusesTheLockFileByAnyName) {
  prefix_.Write("Client/bin/ksupdate.lock", "");
  std::filesystem::create_hard_link(prefix_.Host("Client/bin/ksupdate.lock"),
                                    prefix_.Host("Client/bin/alias.dll"));
#ifndef _WIN32
  std::filesystem::create_directory_symlink(".",
                                            prefix_.Host("Client/bin/back"));
  Source("back\\ksupdate.lock=5\r\nalias.dll=5\r\n");
#else
  // Wine makes no links; another spelling of bin takes the same way.
  Source("alias.dll=5\r\n");
  std::unique_ptr<InstallationLock> lock;
  ASSERT_EQ(DefaultPlatform()->LockInstallation(
                "C:\\Client\\bin\\ksupdate.lock", 0, &lock),
            LockResult::kHeld);
  EXPECT_TRUE(lock->IsLockFile("C:\\CLIENT\\Bin\\KSUPDATE.LOCK."));
  EXPECT_FALSE(lock->IsLockFile("C:\\Client\\bin\\alias.dll"));
  lock.reset();
#endif
  prefix_.Write("Patch/back/ksupdate.lock", "new");
  prefix_.Write("Patch/alias.dll", "new");
  RunPatch();
  std::vector<std::string> trace = Trace();
#ifndef _WIN32
  ASSERT_GE(trace.size(), 4u);
  EXPECT_EQ(trace[0], "- Updating: back\\ksupdate.lock -");
  EXPECT_EQ(
      trace[2],
      "    - Target path refused : C:\\Client\\bin\\back\\ksupdate.lock -");
  EXPECT_EQ(trace[3], "    - Copy Failure -");
  trace.erase(trace.begin(), trace.begin() + 4);
#endif
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.front(), "- Updating: alias.dll -");
  EXPECT_EQ(trace.back(), kSuccess);
  EXPECT_EQ(prefix_.Read("Client/bin/ksupdate.lock"), "");
  EXPECT_EQ(prefix_.Read("Client/bin/alias.dll"), "new");
#ifdef _WIN32
  // Its short name, which the spelling check cannot know.
  char short_path[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameA(prefix_.Host("Client/bin/ksupdate.lock").c_str(),
                              short_path, MAX_PATH),
            0u);
  const std::string alias = std::strrchr(short_path, '\\') + 1;
  ASSERT_TRUE(IsSafeModuleName(alias)) << alias;
  Source(alias + "=5\r\n");
  prefix_.Write("Patch/" + alias, "new");
  TraceLog.ResetForTesting();
  RunPatch();
  EXPECT_EQ(Trace(), (std::vector<std::string>{"- Updating: " + alias + " -",
                                               "    - Invalid module name -"}));
  EXPECT_EQ(prefix_.Read("Client/bin/ksupdate.lock"), "");
#endif
}

TEST_F(UpdateModuleTest, ModulesAfterAnExceptionAreUntouched) {
  Source("a.dll=5\r\nb.dll=5\r\n");
  prefix_.Write("Patch/a.dll", "new");
  prefix_.Write("Patch/b.dll", "new");
  HookedPlatform platform;
  platform.before = [](Op op, int) {
    if (op == Op::kCopyFileA) throw std::bad_alloc();
  };
  RunPatch(&platform);
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "- Updating: a.dll -",
                         Line(kNotThere, "C:\\Client\\bin\\a.dll")}));
  EXPECT_FALSE(prefix_.Exists("Client/bin/a.dll"));
  EXPECT_FALSE(prefix_.Exists("Client/bin/b.dll"));
  EXPECT_EQ(platform.calls(Op::kCopyFileA), 1);
}

TEST_F(UpdateModuleTest, RepeatedNameSeesItsOwnRecord) {
  Source("a.dll=5\r\na.dll=5\r\n");
  prefix_.Write("Patch/a.dll", "new");
  RunPatch();
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         "- Updating: a.dll -",
                         Line(kNotThere, "C:\\Client\\bin\\a.dll"), kSuccess,
                         "- Updating: a.dll -", kSkipped}));
}

TEST(ReadVersions, FromEachManifestWithTheDefault) {
  MemoryPlatform platform;
  platform.SetInstallDir("C:\\Client");
  platform.Put("C:\\Client\\bin\\client.ver", "[modules]\na.dll=0000000009\n");
  platform.Put("C:\\Patch\\ksmodules.ver", "[modules]\nb.dll=3\n");
  const RunInputs inputs(kArgument);
  const PatchManifest manifest(platform, "C:\\Patch\\ksmodules.ver");
  CModuleList list(platform, inputs, manifest, nullptr);
  ModuleVersion installed;
  ModuleVersion fresh;
  list.ReadInstalledVersion("a.dll", installed);
  list.ReadNewVersion("a.dll", fresh);
  EXPECT_EQ(installed.nVersion, 9);
  EXPECT_EQ(installed.strVersion, "0000000009");
  EXPECT_EQ(fresh.nVersion, 0);
  EXPECT_EQ(fresh.strVersion, "0000000000");
  list.ReadNewVersion("B.DLL", fresh);
  EXPECT_EQ(fresh.strVersion, "3");
}

}  // namespace
}  // namespace ks
