#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "platform/posix/wine_paths.h"

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
    std::string host = "unset";
    if (!MapPath(prefix_, windows_path, &host)) return "(false)";
    return host;
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

}  // namespace
}  // namespace ks::posix
