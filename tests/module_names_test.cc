#include "engine/module_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/patcher.h"
#include "tests/hooked_platform.h"

namespace ks {
namespace {

TEST(GetEntryKey, TextBeforeTheFirstEquals) {
  EXPECT_EQ(GetEntryKey("a.dll=5"), "a.dll");
  EXPECT_EQ(GetEntryKey("a.dll=5=6"), "a.dll");
  EXPECT_EQ(GetEntryKey("=5"), "");
  EXPECT_EQ(GetEntryKey("no value here"), "no value here");
  EXPECT_EQ(GetEntryKey(" A b.DLL =x"), " A b.DLL ");
}

TEST(ReadModuleNames, JoinsKeysInSectionOrder) {
  HookedPlatform platform;
  CPatcher patcher("C:\\Patch\\setup.exe");
  AnswerSection(&platform, {"b.dll=2", "a.dll=1", "plain", "=3", "x|y=4"});
  EXPECT_EQ(ReadModuleNames(), (std::vector<std::string>{
                                   "b.dll", "a.dll", "plain", "", "x", "y"}));
  AnswerSection(&platform, {});
  EXPECT_TRUE(ReadModuleNames().empty());
}

TEST(ReadModuleNames, ReadsALargeSectionWhole) {
  HookedPlatform platform;
  CPatcher patcher("C:\\Patch\\setup.exe");
  std::vector<std::string> entries;
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string name = "module_with_a_long_name_" + std::to_string(i) + ".dll";
    entries.push_back(name + "=" + std::to_string(i));
    expected.push_back(name);
  }
  std::vector<DWORD> sizes;
  AnswerSection(&platform, entries, &sizes);
  EXPECT_EQ(ReadModuleNames(), expected);
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
  EXPECT_EQ(ReadModuleNames(), std::vector<std::string>{name});
}

TEST(SplitModuleNames, EveryPieceBetweenBars) {
  EXPECT_EQ(SplitModuleNames("a.dll"), std::vector<std::string>{"a.dll"});
  EXPECT_EQ(SplitModuleNames(""), std::vector<std::string>{""});
  EXPECT_EQ(SplitModuleNames("a|"), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(SplitModuleNames("|b||c"),
            (std::vector<std::string>{"", "b", "", "c"}));
}

TEST(IsSafeModuleName, KeepsNamesThatStayInBin) {
  for (const char* name : {"a.dll",
                           "",
                           "plugins\\x.dll",
                           "plugins/x.dll",
                           "..a.dll",
                           "a..dll",
                           "a.dll..",
                           ".hidden",
                           "my %s mod.dll",
                           "x|y",
                           "a=b",
                           " ..",
                           "CONX",
                           "COM10",
                           "nul_.dll",
                           "xnul",
                           "LPT",
                           "com\xb4",
                           "plugins\\ksupdate.lock",
                           "ksupdate.lock.dll",
                           ".ksupdate"}) {
    EXPECT_TRUE(IsSafeModuleName(name)) << name;
  }
  // Devices in any component, case, extension or trailing blanks and dots
  // (the superscripts are those of code page 1252); the run's lock file and
  // temporary files.
  for (const char* name : {"..",
                           "../x",
                           "x/..",
                           "x\\..\\y",
                           "\\x",
                           "/x",
                           "c:x",
                           ":",
                           "x:y",
                           "...",
                           ". .",
                           "x/.. ",
                           "NUL",
                           "con",
                           "Aux.dll",
                           "com1.txt",
                           "LPT9",
                           "prn .x",
                           "NUL...",
                           "sub\\nul\\x.dll",
                           "com0",
                           "COM\xb9",
                           "lpt\xb3.dll",
                           "ksupdate.lock",
                           "KSUPDATE.LOCK. ",
                           ".ksupdate-x",
                           "plugins\\.ksupdate-1"}) {
    EXPECT_FALSE(IsSafeModuleName(name)) << name;
  }
}

}  // namespace
}  // namespace ks
