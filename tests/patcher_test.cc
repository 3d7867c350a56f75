#include "app/patcher.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "tests/hooked_platform.h"
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
  EXPECT_EQ(platform.calls(Op::kGetPrivateProfileString), 0);
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

}  // namespace
}  // namespace ks
