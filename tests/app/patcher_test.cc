#include "app/patcher.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "engine/manifests.h"
#include "tests/support/hooked_platform.h"
#include "tests/support/memory_platform.h"
#include "tests/support/temp_prefix.h"
#include "trace/trace.h"

namespace ks {
namespace {

const char kArgument[] = "C:\\Patch\\setup.exe";

TEST(CPatcher, SplitsNamesAndUpdatesEachInOrder) {
  MemoryPlatform memory;
  memory.Put("C:\\Patch\\ksmodules.ver",
             "[modules]\na.dll=1\n=2\nx|y=3\na.dll=4\n");
  HookedPlatform platform(&memory);
  TraceLog.ResetForTesting();
  CPatcher(platform, kArgument).Run();
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
  // No version read, nothing copied: the patch manifest was read once.
  EXPECT_EQ(platform.calls(Op::kLoadProfileFile), 1);
  EXPECT_EQ(platform.calls(Op::kGetPrivateProfileStringA), 0);
  EXPECT_EQ(platform.calls(Op::kCopyFileA), 0);
  TraceLog.ResetForTesting();
}

TEST(CPatcher, AnExceptionEndsTheRunQuietly) {
  MemoryPlatform memory;
  memory.Put("C:\\Patch\\ksmodules.ver", "[modules]\na.dll=1\n");
  HookedPlatform platform(&memory);
  platform.before = [](Op op, int) {
    if (op == Op::kRegOpenKeyExA) throw std::bad_alloc();
  };
  CPatcher patcher(platform, kArgument);
  EXPECT_NO_THROW(patcher.Run());
  EXPECT_EQ(platform.calls(Op::kRegOpenKeyExA), 1);
}

// A patch changed while the run goes on (a share refreshed under it, or a
// second spelling of the manifest's name put beside it) does not mix two
// manifests: names, versions and checksums all come from the one reading
// the run began with.
TEST(CPatcher, TakesTheManifestFromOneReading) {
  TempPrefix prefix;
  prefix.SetInstallDir("C:\\Client");
  prefix.MakeDir("Client/bin");
  prefix.Write("Patch/ksmodules.ver", "[modules]\r\na.dll=2\r\nb.dll=2\r\n");
  prefix.Write("Patch/a.dll", "a");
  prefix.Write("Patch/b.dll", "b");
  HookedPlatform platform;
  platform.before = [&](Op op, int) {
    if (op == Op::kCopyFileA && platform.calls(Op::kCopyFileA) == 1) {
      const std::string other =
          "[modules]\r\na.dll=9\r\nb.dll=9\r\nc.dll=9\r\n[sha256]\r\nb.dll=" +
          std::string(64, '0') + "\r\n";
      prefix.Write("Patch/ksmodules.ver", other);
#ifndef _WIN32
      prefix.Write("Patch/KSMODULES.VER", other);
#endif
    }
  };
  CPatcher(platform, kArgument).Run();
  EXPECT_EQ(platform.calls(Op::kCopyFileA), 2);
  EXPECT_EQ(prefix.Read("Client/bin/b.dll"), "b");
  ModuleVersion version;
  ReadManifestVersion(platform, "C:\\Client\\bin\\client.ver", "b.dll",
                      version);
  EXPECT_EQ(version.strVersion, "2");
}

}  // namespace
}  // namespace ks
