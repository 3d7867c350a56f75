// File attributes and copies of the Linux provider, on real files.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/patcher.h"
#include "platform/platform.h"
#include "tests/support/hooked_platform.h"
#include "tests/support/temp_prefix.h"

namespace ks {
namespace {

// The provider reads the umask once: set it before any test runs.
const mode_t kTestUmask = [] {
  umask(022);
  return mode_t{022};
}();

mode_t ModeOf(const std::string& host) {
  struct stat st {};
  EXPECT_EQ(lstat(host.c_str(), &st), 0) << host;
  return st.st_mode & 07777;
}

int EntriesIn(const std::string& host_dir) {
  int count = 0;
  DIR* dir = opendir(host_dir.c_str());
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") ++count;
  }
  closedir(dir);
  return count;
}

class PosixFilesTest : public ::testing::Test {
 protected:
  PosixFilesTest() : old_umask_(umask(kTestUmask)) {}
  ~PosixFilesTest() override { umask(old_umask_); }

  Platform* os_ = DefaultPlatform();
  TempPrefix prefix_;
  mode_t old_umask_;
};

TEST_F(PosixFilesTest, AttributesAsWin32ReportsThem) {
  prefix_.Write("bin/rw.dll", "x", 0644);
  prefix_.Write("bin/ro.dll", "x", 0444);
  EXPECT_EQ(os_->GetFileAttributesA("C:\\bin"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(os_->GetFileAttributesA("C:\\bin\\rw.dll"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(os_->GetFileAttributesA("C:\\bin\\ro.dll"),
            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(os_->GetFileAttributesA("c:/BIN/RW.DLL"), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(os_->GetFileAttributesA("C:\\bin\\none.dll"),
            INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(os_->GetFileAttributesA("Q:\\bin"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(PosixFilesTest, SetAttributesTogglesTheWriteBits) {
  prefix_.Write("bin/a.dll", "x", 0444);
  EXPECT_EQ(os_->SetFileAttributesA("C:\\bin\\a.dll", FILE_ATTRIBUTE_NORMAL),
            TRUE);
  EXPECT_EQ(ModeOf(prefix_.Host("bin/a.dll")), 0644u);
  EXPECT_EQ(os_->SetFileAttributesA("C:\\bin\\a.dll", FILE_ATTRIBUTE_READONLY),
            TRUE);
  EXPECT_EQ(ModeOf(prefix_.Host("bin/a.dll")), 0444u);
  EXPECT_EQ(os_->SetFileAttributesA("C:\\bin\\none.dll", FILE_ATTRIBUTE_NORMAL),
            FALSE);
}

TEST_F(PosixFilesTest, CopyReplacesTheTargetWhole) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  prefix_.Write("patch/a.dll", big, 0755);
  prefix_.Write("bin/a.dll", "old");
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\a.dll", FALSE), TRUE);
  EXPECT_EQ(prefix_.Read("bin/a.dll"), big);
  // A new file gets the source's permission bits.
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\b.dll", FALSE), TRUE);
  EXPECT_EQ(ModeOf(prefix_.Host("bin/b.dll")), 0755u);
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 2);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\b.dll", TRUE), FALSE);
}

TEST_F(PosixFilesTest, CopyKeepsTheSpellingOnDisk) {
  prefix_.Write("patch/a.dll", "new");
  prefix_.Write("bin/A.DLL", "old");
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\a.dll", FALSE), TRUE);
  EXPECT_EQ(prefix_.Read("bin/A.DLL"), "new");
  EXPECT_FALSE(prefix_.Exists("bin/a.dll"));
}

TEST_F(PosixFilesTest, CopyFailuresLeaveEverythingAsItWas) {
  prefix_.Write("patch/a.dll", "new");
  prefix_.Write("bin/ro.dll", "old", 0444);
  prefix_.MakeDir("bin/dir.dll");
  prefix_.MakeDir("patch/dir.dll");
  // Read-only refuses even for root, who could write it anyway.
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\ro.dll", FALSE),
            FALSE);
  EXPECT_EQ(prefix_.Read("bin/ro.dll"), "old");
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\dir.dll", FALSE),
            FALSE);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\none.dll", "C:\\bin\\x.dll", FALSE),
            FALSE);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\dir.dll", "C:\\bin\\x.dll", FALSE),
            FALSE);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\nodir\\x.dll", FALSE),
            FALSE);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "Q:\\x.dll", FALSE), FALSE);
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 2);
  EXPECT_FALSE(prefix_.Exists("nodir"));
}

TEST_F(PosixFilesTest, CopyRemovesWhatAKilledRunLeft) {
  prefix_.Write("patch/a.dll", "new");
  prefix_.Write("bin/.ksupdate-Ab12Cd", "torn");
  prefix_.Write("bin/keep.dll", "mine");
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\a.dll", FALSE), TRUE);
  EXPECT_FALSE(prefix_.Exists("bin/.ksupdate-Ab12Cd"));
  EXPECT_EQ(prefix_.Read("bin/keep.dll"), "mine");
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 2);
}

TEST_F(PosixFilesTest, CopyReplacesASymlinkInsteadOfWritingThrough) {
  prefix_.Write("outside.dll", "outside", 0444);
  prefix_.Write("patch/a.dll", "new");
  prefix_.MakeDir("bin");
  ASSERT_EQ(symlink(prefix_.Host("outside.dll").c_str(),
                    prefix_.Host("bin/a.dll").c_str()),
            0);
  // The attribute change before a replacement must not reach the target.
  EXPECT_EQ(os_->SetFileAttributesA("C:\\bin\\a.dll", FILE_ATTRIBUTE_NORMAL),
            TRUE);
  EXPECT_EQ(ModeOf(prefix_.Host("outside.dll")), 0444u);
  EXPECT_EQ(os_->CopyFileA("C:\\patch\\a.dll", "C:\\bin\\a.dll", FALSE), TRUE);
  EXPECT_EQ(prefix_.Read("outside.dll"), "outside");
  EXPECT_EQ(prefix_.Read("bin/a.dll"), "new");
  struct stat st {};
  ASSERT_EQ(lstat(prefix_.Host("bin/a.dll").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

// While a run holds the lock, client.ver's old file is kept and written
// over for the next record; never one with another link, and nothing is
// left once the lock goes.
TEST_F(PosixFilesTest, RecordsReuseTheOldFileOnlyWhileLockedAndUnlinked) {
  prefix_.Write("bin/client.ver", "[modules]\r\na.dll=1\r\n", 0640);
  const char* ver = "C:\\bin\\client.ver";
  std::unique_ptr<InstallationLock> lock;
  ASSERT_EQ(os_->LockInstallation("C:\\bin\\ksupdate.lock", 0, &lock),
            LockResult::kHeld);
  for (const char* v : {"2", "3", "10", "4"}) {
    ASSERT_EQ(os_->WritePrivateProfileStringA("modules", "a.dll", v, ver),
              TRUE);
    EXPECT_EQ(prefix_.Read("bin/client.ver"),
              std::string("[modules]\r\na.dll=") + v + "\r\n");
    EXPECT_EQ(ModeOf(prefix_.Host("bin/client.ver")), 0640u);
  }
  // client.ver, the lock file and the one kept file.
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 3);
  ASSERT_EQ(link(prefix_.Host("bin/client.ver").c_str(),
                 prefix_.Host("other.ver").c_str()),
            0);
  for (const char* v : {"5", "6"}) {
    ASSERT_EQ(os_->WritePrivateProfileStringA("modules", "a.dll", v, ver),
              TRUE);
  }
  EXPECT_EQ(prefix_.Read("other.ver"), "[modules]\r\na.dll=4\r\n");
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "[modules]\r\na.dll=6\r\n");
  lock.reset();
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 2);
  EXPECT_EQ(os_->WritePrivateProfileStringA("modules", "a.dll", "7", ver),
            TRUE);
  EXPECT_EQ(EntriesIn(prefix_.Host("bin")), 2);
}

// What a run checked is what it works in: the prefix swapped for a link to
// another one while the run waits for its lock (its patch and bin as
// another user would lay them: the same paths, their own files) sends no
// read or write there. Held are the prefix, bin and the patch directory.
TEST_F(PosixFilesTest, APrefixSwappedWhileTheRunWaitsChangesNothing) {
  namespace fs = std::filesystem;
  prefix_.SetInstallDir("C:\\Client");
  prefix_.Write("Client/bin/client.ver", "[modules]\r\n");
  prefix_.Write("patch/ksmodules.ver", "[modules]\r\na.dll=2\r\n");
  prefix_.Write("patch/a.dll", "ours");
  const std::string ours = prefix_.root();
  const std::string theirs = ours + ".theirs";
  const std::string moved = ours + ".moved";
  fs::copy(ours, theirs,
           fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  std::ofstream(theirs + "/drive_c/patch/a.dll", std::ios::trunc) << "theirs";
  HookedPlatform platform;
  platform.hook.LockInstallation =
      [&](LPCSTR path, DWORD wait, std::unique_ptr<InstallationLock>* held) {
        fs::rename(ours, moved);
        fs::create_directory_symlink(theirs, ours);
        return platform.target()->LockInstallation(path, wait, held);
      };
  CPatcher(platform, "C:\\patch\\setup.exe").Run();
  fs::remove(ours);
  fs::rename(moved, ours);
  EXPECT_EQ(prefix_.Read("Client/bin/a.dll"), "ours");
  EXPECT_EQ(prefix_.Read("Client/bin/client.ver"), "[modules]\r\na.dll=2\r\n");
  EXPECT_FALSE(fs::exists(theirs + "/drive_c/Client/bin/a.dll"));
  EXPECT_FALSE(fs::exists(theirs + "/drive_c/Client/bin/ksupdate.lock"));
  fs::remove_all(theirs);
}

}  // namespace
}  // namespace ks
