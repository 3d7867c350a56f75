#include "platform/posix/wine_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/posix/codepage.h"
#include "platform/posix/wine_locale.h"

namespace ks::posix {
namespace {

// Restores an environment variable when the test ends.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(WinePrefixTest, PrefersWineprefixThenHome) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv prefix("WINEPREFIX", "/opt/prefix");
    EXPECT_EQ(WinePrefix(), "/opt/prefix");
  }
  {
    ScopedEnv prefix("WINEPREFIX", "");
    EXPECT_EQ(WinePrefix(), "/home/someone/.wine");
  }
  ScopedEnv prefix("WINEPREFIX", nullptr);
  EXPECT_EQ(WinePrefix(), "/home/someone/.wine");
  ScopedEnv no_home("HOME", nullptr);
  std::string fallback = WinePrefix();
  ASSERT_GE(fallback.size(), 6u);
  EXPECT_EQ(fallback.substr(fallback.size() - 6), "/.wine") << fallback;
}

// A prefix in a fresh directory: dosdevices/c: -> ../drive_c, plus
// whatever a test adds. The current directory is restored afterwards.
class MapPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ks_paths_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    // Canonical, so that expectations built from it match realpath'd ones.
    root_ = std::filesystem::canonical(pattern).string();
    prefix_ = root_ + "/prefix";
    Dir("prefix/dosdevices");
    Dir("prefix/drive_c");
    Link("../drive_c", "prefix/dosdevices/c:");
    old_cwd_ = std::filesystem::current_path();
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    // remove_all removes links (z: -> /) without following them.
    std::filesystem::remove_all(root_);
  }

  void Dir(const std::string& relative) {
    std::filesystem::create_directories(root_ + "/" + relative);
  }
  void File(const std::string& relative) {
    std::ofstream(root_ + "/" + relative) << "x";
  }
  void Link(const std::string& target, const std::string& relative) {
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + relative).c_str()), 0);
  }
  void Chdir(const std::string& relative) {
    std::filesystem::current_path(root_ + "/" + relative);
  }
  std::string Map(const std::string& windows_path) {
    HostPath host;
    if (!MapPath(prefix_, windows_path, &host)) return "(false)";
    return host.path;
  }
  std::string Map(const std::string& windows_path, const TextLocale& locale) {
    HostPath host;
    if (!MapPath(prefix_, windows_path, locale, &host)) return "(false)";
    return host.path;
  }
  std::string C(const std::string& rest) {
    return prefix_ + "/dosdevices/c:" + rest;
  }

  std::string root_;
  std::string prefix_;
  std::filesystem::path old_cwd_;
};

TEST_F(MapPathTest, MatchesCaseInsensitivelyAndKeepsMissingSpelling) {
  Dir("prefix/drive_c/Windows/System32");
  File("prefix/drive_c/Windows/System32/KERNEL32.DLL");
  EXPECT_EQ(Map("C:\\windows\\system32\\kernel32.dll"),
            C("/Windows/System32/KERNEL32.DLL"));
  EXPECT_EQ(Map("c:/WINDOWS/System32"), C("/Windows/System32"));
  // After the first missing component nothing is looked up, even a name
  // that would match further down.
  EXPECT_EQ(Map("C:\\windows\\NoSuch\\system32"),
            C("/Windows/NoSuch/system32"));
  EXPECT_EQ(Map("C:\\"), C(""));
  EXPECT_EQ(Map("C:\\New.txt"), C("/New.txt"));
}

TEST_F(MapPathTest, ExactNameWinsAndCaseTwinsPickTheSmallestName) {
  File("prefix/drive_c/readme.txt");
  File("prefix/drive_c/README.TXT");
  File("prefix/drive_c/ReadMe.txt");
  EXPECT_EQ(Map("C:\\readme.txt"), C("/readme.txt"));
  EXPECT_EQ(Map("C:\\ReadMe.txt"), C("/ReadMe.txt"));
  EXPECT_EQ(Map("C:\\README.txt"), C("/README.TXT"));  // 'E' < 'e'
}

TEST_F(MapPathTest, ResolvesSeparatorsDotsAndDotDotLexically) {
  Dir("prefix/drive_c/a/b");
  EXPECT_EQ(Map("C:\\a\\\\b//\\"), C("/a/b"));
  EXPECT_EQ(Map("C:\\a\\.\\b\\..\\b"), C("/a/b"));
  EXPECT_EQ(Map("C:\\a\\..\\..\\..\\a"), C("/a"));  // stops at the root
  // ".." is lexical: a missing component can still be popped.
  EXPECT_EQ(Map("C:\\missing\\..\\a"), C("/a"));
}

TEST_F(MapPathTest, RefusesUncDevicesEmptyAndUnmappedDrives) {
  EXPECT_EQ(Map(""), "(false)");
  EXPECT_EQ(Map("\\\\server\\share\\x"), "(false)");
  EXPECT_EQ(Map("//server/share"), "(false)");
  EXPECT_EQ(Map("\\\\?\\C:\\x"), "(false)");
  EXPECT_EQ(Map("\\\\.\\C:"), "(false)");
  EXPECT_EQ(Map("Q:\\x"), "(false)");
  EXPECT_EQ(Map("1:\\x"), "(false)");
}

TEST_F(MapPathTest, RelativeAndRootedPathsFollowTheCurrentDirectory) {
  Dir("prefix/drive_c/Windows/Temp");
  Dir("other");
  Link(root_ + "/other", "prefix/dosdevices/d:");
  Chdir("prefix/drive_c/Windows");
  EXPECT_EQ(Map("temp\\x.log"), C("/Windows/Temp/x.log"));
  EXPECT_EQ(Map("..\\..\\..\\x"), C("/x"));
  EXPECT_EQ(Map("\\windows"), C("/Windows"));
  EXPECT_EQ(Map("."), C("/Windows"));
  // Drive-relative: the current directory on its own drive, the root of
  // any other one.
  EXPECT_EQ(Map("c:temp"), C("/Windows/Temp"));
  EXPECT_EQ(Map("C:"), C("/Windows"));
  EXPECT_EQ(Map("D:x"), prefix_ + "/dosdevices/d:/x");
}

TEST_F(MapPathTest, CurrentDriveIsTheLongestComponentWisePrefix) {
  Dir("data");
  Dir("database/sub");
  Link(root_ + "/data", "prefix/dosdevices/d:");
  Chdir("database/sub");
  // "data" is a prefix of "database" only as text: no drive holds the
  // directory, so a rooted path lies on the host root.
  EXPECT_EQ(Map("\\nonexistent_ks_dir"), "/nonexistent_ks_dir");
  EXPECT_EQ(Map("f"), root_ + "/database/sub/f");

  Link("/", "prefix/dosdevices/z:");
  EXPECT_EQ(Map("\\nonexistent_ks_dir"),
            prefix_ + "/dosdevices/z:/nonexistent_ks_dir");
  EXPECT_EQ(Map("..\\f"), prefix_ + "/dosdevices/z:" + root_ + "/database/f");

  Chdir("data");
  EXPECT_EQ(Map("\\f"), prefix_ + "/dosdevices/d:/f");
}

TEST_F(MapPathTest, SpellsNamesOfTheCodePageInUtf8AndMatchesTheirCase) {
  const TextLocale latin{1252, HostNames::kUtf8, {}};
  const TextLocale polish{1250, HostNames::kUtf8, {}};
  const TextLocale ascii{1252, HostNames::kAscii, {}};
  Dir("prefix/drive_c/Soci\xc3\xa9t\xc3\xa9");
  File(
      "prefix/drive_c/Soci\xc3\xa9t\xc3\xa9/\xc3\x89"
      "COLE.DLL");
  File("prefix/drive_c/\xc5\xb8.txt");  // U+0178, 0x9F in 1252
  File("prefix/drive_c/\xce\x9c.txt");  // U+039C, Greek capital mu
  EXPECT_EQ(Map("C:\\soci\xe9t\xe9\\\xe9"
                "cole.dll",
                latin),
            C("/Soci\xc3\xa9t\xc3\xa9/\xc3\x89"
              "COLE.DLL"));
  EXPECT_EQ(Map("C:\\\xff.TXT", latin), C("/\xc5\xb8.txt"));
  // Windows does not upper-case the micro sign to mu.
  EXPECT_EQ(Map("C:\\\xb5.txt", latin), C("/\xc2\xb5.txt"));
  // 0x8A is U+0160 in both pages; 0xB3 is U+0142 in 1250, U+00B3 in 1252.
  EXPECT_EQ(Map("C:\\\x8a\xb3", polish), C("/\xc5\xa0\xc5\x82"));
  EXPECT_EQ(Map("C:\\\xb3", latin), C("/\xc2\xb3"));
  // Without a UTF-8 locale only ASCII names map, as under Wine.
  EXPECT_EQ(Map("C:\\soci\xe9t\xe9", ascii), "(false)");
  EXPECT_EQ(Map("C:\\societe", ascii), C("/societe"));
}

TEST_F(MapPathTest, TrimsComponentsAndRefusesCharactersAsWindows) {
  Dir("prefix/drive_c/dd");
  EXPECT_EQ(Map("C:\\dd.\\a.dll. . "), C("/dd/a.dll"));
  EXPECT_EQ(Map("C:\\dd\\x.."), C("/dd/x"));
  EXPECT_EQ(Map("C:\\dd\\x..\\"), C("/dd/x.."));
  EXPECT_EQ(Map("C:\\dd..\\x"), C("/dd../x"));
  EXPECT_EQ(Map("C:\\dd \\x"), C("/dd /x"));
  for (const char* bad : {"C:\\a*b", "C:\\a?", "C:\\\"q\"", "C:\\a<b",
                          "C:\\a>b", "C:\\a|b", "C:\\a\tb", "C:\\x\x1f\\y"}) {
    EXPECT_EQ(Map(bad), "(false)") << bad;
  }
}

TEST(CodePagesTest, PicksThePageOfTheLocaleAsWineDoes) {
  EXPECT_EQ(CodePageOfLocale("C"), 1252);
  EXPECT_EQ(CodePageOfLocale("fr_FR.UTF-8"), 1252);
  EXPECT_EQ(CodePageOfLocale("pl_PL.ISO-8859-2"), 1250);
  EXPECT_EQ(CodePageOfLocale("ru_RU"), 1251);
  EXPECT_EQ(CodePageOfLocale("el_GR.UTF-8"), 1253);
  EXPECT_EQ(CodePageOfLocale("tr_TR.UTF-8"), 1254);
  EXPECT_EQ(CodePageOfLocale("he_IL.UTF-8"), 1255);
  EXPECT_EQ(CodePageOfLocale("ar_SA.UTF-8"), 1256);
  EXPECT_EQ(CodePageOfLocale("lt_LT.UTF-8"), 1257);
  EXPECT_EQ(CodePageOfLocale("vi_VN"), 1258);
  EXPECT_EQ(CodePageOfLocale("sr_RS.UTF-8@latin"), 1250);
  EXPECT_EQ(CodePageOfLocale("sr_RS.UTF-8"), 1252);  // as Wine 8 has it
  EXPECT_EQ(CodePageOfLocale("ja_JP.UTF-8"), 932);
  EXPECT_EQ(CodePageOfLocale("zh_CN.GB18030"), 936);
  EXPECT_EQ(CodePageOfLocale("zh_SG.UTF-8"), 936);
  EXPECT_EQ(CodePageOfLocale("ko_KR.EUC-KR"), 949);
  EXPECT_EQ(CodePageOfLocale("zh_TW.UTF-8"), 950);
  EXPECT_EQ(CodePageOfLocale("zh_HK.UTF-8"), 950);
  EXPECT_EQ(CodePageOfLocale("yue_HK.UTF-8"), 1252);  // as Wine 8 has it
  // A command line in the page's own charset passes as it is; another is
  // decoded first (scenario argument_in_locale_charset).
  EXPECT_TRUE(CharsetIsCodePage("GB18030", 936));
  EXPECT_TRUE(CharsetIsCodePage("EUC-KR", 949));
  EXPECT_TRUE(CharsetIsCodePage("ANSI_X3.4-1968", 932));
  EXPECT_FALSE(CharsetIsCodePage("EUC-JP", 932));
  EXPECT_FALSE(CharsetIsCodePage("ISO-8859-2", 1250));
  EXPECT_FALSE(CharsetIsCodePage("BIG5", 936));
}

TEST(CodePagesTest, EveryByteOfEveryPageComesBack) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  for (int page = 1250; page <= 1258; ++page) {
    const std::u16string text = AnsiToUnicode(page, all);
    ASSERT_EQ(text.size(), 256u);
    EXPECT_EQ(UnicodeToAnsi(page, text), all) << page;
  }
  EXPECT_EQ(AnsiToUnicode(1252, "\x80\x8a\x81"), u"\u20ac\u0160\u0081");
  EXPECT_EQ(AnsiToUnicode(1251, "\xc0"), u"\u0410");
  // No best fit: U+0141 is not in 1252, and each half of a pair is a '?'.
  EXPECT_EQ(UnicodeToAnsi(1252, u"\u0141\u0142\U0001F600"), "????");
  EXPECT_EQ(UnicodeToAnsi(1250, u"\u0141"), "\xa3");
}

// Wine itself checks every pair (profile_conformance.py); these are the
// rules that the tables alone do not show.
TEST(CodePagesTest, DoubleBytePagesDecodeAndEncodeAsWine) {
  EXPECT_EQ(AnsiToUnicode(932, "\x95\x5c\x8e\xa6"), u"\u8868\u793a");
  EXPECT_EQ(UnicodeToAnsi(932, u"\u8868\u793a"), "\x95\x5c\x8e\xa6");
  // A lead byte takes any trail byte but NUL; alone it is the default.
  EXPECT_EQ(AnsiToUnicode(932,
                          "\x82\x20"
                          "A"),
            u"\u30fbA");
  EXPECT_EQ(AnsiToUnicode(932, std::string("\x82\0A", 3)),
            std::u16string(u"\u30fb\0A", 3));
  EXPECT_EQ(AnsiToUnicode(936, "a\x81"), u"a?");
  // No best fit: the yen sign and the overline are no separator or tilde.
  for (int page : {932, 936, 949, 950}) {
    EXPECT_EQ(UnicodeToAnsi(page, u"\u00a5\u203e\U0001F600"), "????") << page;
    EXPECT_TRUE(IsLeadByte(page, 0x81)) << page;
    EXPECT_FALSE(IsLeadByte(page, 0x5c)) << page;
  }
  EXPECT_FALSE(IsLeadByte(932, 0xa0));
  EXPECT_FALSE(IsLeadByte(1252, 0x81));
  // Wine's own choice where two byte pairs decode alike.
  EXPECT_EQ(UnicodeToAnsi(932, u"\u30fb\u2252"), "\x81\x45\x81\xe0");
  EXPECT_EQ(UnicodeToAnsi(950, u"\u2550"), "\xf9\xf9");
}

}  // namespace
}  // namespace ks::posix
