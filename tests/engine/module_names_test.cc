#include "engine/module_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/manifests.h"
#include "tests/support/memory_platform.h"

namespace ks {
namespace {

TEST(GetEntryKey, TextBeforeTheFirstEquals) {
  EXPECT_EQ(GetEntryKey("a.dll=5"), "a.dll");
  EXPECT_EQ(GetEntryKey("a.dll=5=6"), "a.dll");
  EXPECT_EQ(GetEntryKey("=5"), "");
  EXPECT_EQ(GetEntryKey("no value here"), "no value here");
  EXPECT_EQ(GetEntryKey(" A b.DLL =x"), " A b.DLL ");
}

// The module names of a patch manifest with these lines.
std::vector<std::string> NamesOf(const std::string& manifest) {
  MemoryPlatform platform;
  platform.Put("C:\\Patch\\ksmodules.ver", manifest);
  return ReadModuleNames(PatchManifest(platform, "C:\\Patch\\ksmodules.ver"));
}

TEST(ReadModuleNames, JoinsKeysInSectionOrder) {
  EXPECT_EQ(
      NamesOf("[modules]\nb.dll=2\na.dll=1\nplain\n=3\nx|y=4\n"),
      (std::vector<std::string>{"b.dll", "a.dll", "plain", "", "x", "y"}));
  EXPECT_TRUE(NamesOf("[other]\na.dll=1\n").empty());
  EXPECT_TRUE(NamesOf("").empty());
  MemoryPlatform nothing;
  EXPECT_TRUE(ReadModuleNames(PatchManifest(nothing, "C:\\none.ver")).empty());
}

TEST(ReadModuleNames, ReadsALargeSectionWhole) {
  std::string manifest = "[modules]\n";
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    std::string name = "module_with_a_long_name_" + std::to_string(i) + ".dll";
    manifest += name + "=" + std::to_string(i) + "\n";
    expected.push_back(name);
  }
  EXPECT_EQ(NamesOf(manifest), expected);
}

// The bound on names: exactly kMaxModuleNames are all read, one more says
// too many; a section of millions, in one key or in many lines, gives no
// more than that one past the bound.
TEST(ReadModuleNames, StopsOnePastTheBound) {
  std::string bars;
  for (std::size_t i = 1; i < kMaxModuleNames; ++i) bars += "a|";
  EXPECT_EQ(NamesOf("[modules]\n" + bars + "a=1\n").size(), kMaxModuleNames);
  EXPECT_EQ(NamesOf("[modules]\n" + bars + "a|b=1\n").size(),
            kMaxModuleNames + 1);
  EXPECT_EQ(NamesOf("[modules]\n" + std::string(4u << 20, '|') + "\n").size(),
            kMaxModuleNames + 1);
  std::string lines = "[modules]\n";
  for (int i = 0; i < 200000; ++i) lines += "m=1\n";
  EXPECT_EQ(NamesOf(lines).size(), kMaxModuleNames + 1);
}

// A list answer that fills its buffer (size - 2) may have been cut: read
// again with twice the room, also when it fits exactly.
TEST(ReadProfileList, GrowsUntilTheAnswerIsWhole) {
  MemoryPlatform platform;
  for (const std::string& entry :
       {std::string(507, 'n') + "=1", std::string(3000, 'm') + "=2"}) {
    platform.Put("C:\\p.ver", "[modules]\n" + entry + "\n");
    std::vector<DWORD> sizes;
    const std::vector<std::string> list = ReadProfileList(
        [&](LPSTR buffer, DWORD size) {
          sizes.push_back(size);
          return platform.GetPrivateProfileSectionA("modules", buffer, size,
                                                    "C:\\p.ver");
        },
        1u << 30);
    EXPECT_EQ(list, std::vector<std::string>{entry});
    ASSERT_GE(sizes.size(), 2u);
    EXPECT_EQ(sizes.front(), 512u);
  }
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
