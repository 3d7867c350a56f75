#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/patcher.h"
#include "engine/module_list.h"
#include "tests/hooked_platform.h"
#include "trace/trace.h"

namespace ks {
namespace {

// Answers section reads with `entries` as Win32 does: consecutive
// zero-terminated texts, cut to size-2 bytes and two zeros when they do
// not fit.
void AnswerSection(HookedPlatform* platform,
                   const std::vector<std::string>& entries,
                   std::vector<DWORD>* sizes = nullptr) {
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

TEST(GetEntryKey, TextBeforeTheFirstEquals) {
  CPatcher patcher("");
  EXPECT_EQ(patcher.GetEntryKey("a.dll=5"), "a.dll");
  EXPECT_EQ(patcher.GetEntryKey("a.dll=5=6"), "a.dll");
  EXPECT_EQ(patcher.GetEntryKey("=5"), "");
  EXPECT_EQ(patcher.GetEntryKey("no value here"), "no value here");
  EXPECT_EQ(patcher.GetEntryKey(" A b.DLL =x"), " A b.DLL ");
}

TEST(ReadModuleNames, JoinsKeysInSectionOrder) {
  HookedPlatform platform;
  CPatcher patcher("C:\\Patch\\setup.exe");
  AnswerSection(&platform, {"b.dll=2", "a.dll=1", "plain", "=3", "x|y=4"});
  EXPECT_EQ(patcher.ReadModuleNames(), "b.dll|a.dll|plain||x|y|");
  AnswerSection(&platform, {});
  EXPECT_EQ(patcher.ReadModuleNames(), "");
}

TEST(ReadModuleNames, ReadsALargeSectionWhole) {
  HookedPlatform platform;
  CPatcher patcher("C:\\Patch\\setup.exe");
  std::vector<std::string> entries;
  std::string expected;
  for (int i = 0; i < 300; ++i) {
    std::string name = "module_with_a_long_name_" + std::to_string(i) + ".dll";
    entries.push_back(name + "=" + std::to_string(i));
    expected += name + "|";
  }
  std::vector<DWORD> sizes;
  AnswerSection(&platform, entries, &sizes);
  EXPECT_EQ(patcher.ReadModuleNames(), expected);
  ASSERT_GE(sizes.size(), 2u);
  EXPECT_EQ(sizes.front(), 512u);
}

TEST(ReadModuleNames, SectionOfExactlyFullSizeIsKept) {
  HookedPlatform platform;
  CPatcher patcher("C:\\Patch\\setup.exe");
  // 510 bytes of entries fill a 512-byte buffer exactly: the read reports
  // size-2, is tried again, and the result is the same.
  std::string name(507, 'n');
  AnswerSection(&platform, {name + "=1"});
  EXPECT_EQ(patcher.ReadModuleNames(), name + "|");
}

TEST(Run, SplitsNamesAndUpdatesEachInOrder) {
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

TEST(Run, AnExceptionEndsTheRunQuietly) {
  HookedPlatform platform;
  AnswerSection(&platform, {"a.dll=1"});
  platform.before = [](Op op, int) {
    if (op == Op::kRegOpenKeyEx) throw std::bad_alloc();
  };
  CPatcher patcher("C:\\Patch\\setup.exe");
  EXPECT_NO_THROW(patcher.Run());
  EXPECT_EQ(platform.calls(Op::kRegOpenKeyEx), 1);
}

TEST(VersionAtoi, AsTheWindowsRuntime) {
  EXPECT_EQ(VersionAtoi("0000000000"), 0);
  EXPECT_EQ(VersionAtoi("0000000010"), 10);
  EXPECT_EQ(VersionAtoi("  \t\n+42abc"), 42);
  EXPECT_EQ(VersionAtoi("-17"), -17);
  EXPECT_EQ(VersionAtoi("v5"), 0);
  EXPECT_EQ(VersionAtoi(""), 0);
  EXPECT_EQ(VersionAtoi("- 5"), 0);
  EXPECT_EQ(VersionAtoi("2147483647"), 2147483647);
  EXPECT_EQ(VersionAtoi("-2147483648"), INT32_MIN);
  // Saturates instead of wrapping.
  EXPECT_EQ(VersionAtoi("2147483648"), INT32_MAX);
  EXPECT_EQ(VersionAtoi("99999999999"), INT32_MAX);
  EXPECT_EQ(VersionAtoi("-99999999999"), INT32_MIN);
  EXPECT_EQ(VersionAtoi(std::string(5000, '9').c_str()), INT32_MAX);
}

TEST(ReadVersions, FromEachManifestWithTheDefault) {
  HookedPlatform platform;
  AnswerRegistryValue(&platform, "C:\\Client");
  CPatcher patcher("C:\\Patch\\setup.exe");
  std::vector<std::string> files;
  platform.string = [&](LPCSTR section, LPCSTR key, LPCSTR default_value,
                        LPSTR buffer, DWORD size, LPCSTR file) -> DWORD {
    EXPECT_STREQ(section, "modules");
    EXPECT_STREQ(key, "a.dll");
    EXPECT_STREQ(default_value, "0000000000");
    EXPECT_EQ(size, 80u);
    files.push_back(file);
    const char* answer = files.size() == 1 ? "0000000009" : default_value;
    std::strcpy(buffer, answer);
    return static_cast<DWORD>(std::strlen(answer));
  };
  CModuleList list;
  ModuleVersion installed;
  ModuleVersion fresh;
  list.ReadInstalledVersion("a.dll", installed);
  list.ReadNewVersion("a.dll", fresh);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "C:\\Client\\bin\\client.ver");
  EXPECT_EQ(files[1], "C:\\Patch\\ksmodules.ver");
  EXPECT_EQ(installed.nVersion, 9);
  EXPECT_EQ(installed.strVersion, "0000000009");
  EXPECT_EQ(fresh.nVersion, 0);
  EXPECT_EQ(fresh.strVersion, "0000000000");
}

}  // namespace
}  // namespace ks
