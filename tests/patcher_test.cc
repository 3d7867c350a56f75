#include "app/patcher.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "engine/manifests.h"
#include "engine/module_list.h"
#include "tests/hooked_platform.h"
#include "tests/temp_prefix.h"
#include "trace/trace.h"

namespace ks {
namespace {

TEST(CPatcher, SplitsNamesAndUpdatesEachInOrder) {
  HookedPlatform platform;
  AnswerRegistryValue(&platform, "", /*present=*/false);
  AnswerSection(&platform, {"a.dll=1", "=2", "x|y=3", "a.dll=4"});
  TraceLog.ResetForTesting();
  CPatcher patcher("C:\\Patch\\setup.exe");
  patcher.Run();
  // Without an installation each module is only announced, so the trace is
  // the list in order.
  const std::string kNotFound = "    - Installation directory not found -";
  std::vector<std::string> expected = {
      "- Updating: a.dll -", kNotFound, "- Updating:  -",  kNotFound,
      "- Updating: x -",     kNotFound, "- Updating: y -", kNotFound,
      "- Updating: a.dll -", kNotFound};
  EXPECT_EQ(std::vector<std::string>(TraceLog.lines().begin(),
                                     TraceLog.lines().end()),
            expected);
  // No version read: only the patch's sections, listed once.
  EXPECT_EQ(platform.calls(Op::kGetPrivateProfileString), 1);
  EXPECT_EQ(platform.calls(Op::kCopyFile), 0);
  TraceLog.ResetForTesting();
}

TEST(CPatcher, AnExceptionEndsTheRunQuietly) {
  HookedPlatform platform;
  AnswerSection(&platform, {"a.dll=1"});
  platform.before = [](Op op, int) {
    if (op == Op::kRegOpenKeyEx) throw std::bad_alloc();
  };
  CPatcher patcher("C:\\Patch\\setup.exe");
  EXPECT_NO_THROW(patcher.Run());
  EXPECT_EQ(platform.calls(Op::kRegOpenKeyEx), 1);
}

// A patch changed while the run goes on (a share refreshed under it) does
// not mix two manifests: names, versions and checksums all come from the
// one the run began with.
TEST(CPatcher, TakesTheManifestFromOneReading) {
  TempPrefix prefix;
  prefix.SetInstallDir("C:\\Client");
  prefix.MakeDir("Client/bin");
  prefix.Write("Patch/ksmodules.ver", "[modules]\r\na.dll=2\r\nb.dll=2\r\n");
  prefix.Write("Patch/a.dll", "a");
  prefix.Write("Patch/b.dll", "b");
  HookedPlatform platform;
  platform.before = [&](Op op, int) {
    if (op == Op::kCopyFile && platform.calls(Op::kCopyFile) == 1) {
      prefix.Write("Patch/ksmodules.ver",
                   "[modules]\r\na.dll=9\r\nb.dll=9\r\nc.dll=9\r\n"
                   "[sha256]\r\nb.dll=" +
                       std::string(64, '0') + "\r\n");
    }
  };
  CPatcher patcher("C:\\Patch\\setup.exe");
  patcher.Run();
  EXPECT_EQ(platform.calls(Op::kCopyFile), 2);
  EXPECT_EQ(prefix.Read("Client/bin/b.dll"), "b");
  CModuleList list;
  ModuleVersion version;
  list.ReadInstalledVersion("b.dll", version);
  EXPECT_EQ(version.strVersion, "2");
}

}  // namespace
}  // namespace ks
