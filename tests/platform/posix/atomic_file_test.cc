// The Linux replacer of client.ver on real files, its exchanges and flushes
// made to fail on demand.
#include "platform/posix/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "platform/temp_files.h"
#include "tests/support/temp_prefix.h"

namespace ks::posix {
namespace {

// What the calls below do; set by each test.
struct Faults {
  int exchange_errno = 0;      // every exchange fails with it
  std::string link_exchanged;  // a link made to each file exchanged out
  bool fail_file_fsync = false;
  bool fail_dir_fsync = false;
  bool fail_fdatasync = false;
  int exchanges = 0;
  int fdatasyncs = 0;
} faults;

int Exchange(int dir, const char* from, const char* to) {
  ++faults.exchanges;
  if (faults.exchange_errno != 0) {
    errno = faults.exchange_errno;
    return -1;
  }
  int result = ReplacerCalls::System().exchange(dir, from, to);
  if (result == 0 && !faults.link_exchanged.empty()) {
    linkat(dir, from, AT_FDCWD, faults.link_exchanged.c_str(), 0);
  }
  return result;
}

int Fsync(int fd) {
  struct stat st {};
  fstat(fd, &st);
  if (S_ISDIR(st.st_mode) ? faults.fail_dir_fsync : faults.fail_file_fsync) {
    errno = EIO;
    return -1;
  }
  return fsync(fd);
}

int Fdatasync(int fd) {
  ++faults.fdatasyncs;
  if (faults.fail_fdatasync) {
    errno = EIO;
    return -1;
  }
  return fdatasync(fd);
}

const ReplacerCalls kCalls{Exchange, Fsync, Fdatasync};

std::string ReadFd(int fd) {
  std::string bytes;
  char buffer[256];
  ssize_t n = 0;
  while ((n = pread(fd, buffer, sizeof buffer,
                    static_cast<off_t>(bytes.size()))) > 0) {
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return bytes;
}

class FileReplacerTest : public ::testing::Test {
 protected:
  FileReplacerTest() {
    faults = Faults();
    prefix_.Write("bin/client.ver", "v1");
  }

  bool Put(FileReplacer* replacer, const std::string& data) {
    Place place;
    place.Own(
        open(prefix_.Host("bin").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    place.name = "client.ver";
    place.host = target_;
    return replacer->Replace(place, data, 0666, nullptr, nullptr);
  }

  // The host paths of our temporary files in bin.
  std::vector<std::string> Temps() const {
    std::vector<std::string> temps;
    DIR* dir = opendir(prefix_.Host("bin").c_str());
    while (const dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
      if (IsTempName(entry->d_name)) {
        temps.push_back(prefix_.Host("bin/") + entry->d_name);
      }
    }
    if (dir != nullptr) closedir(dir);
    return temps;
  }

  TempPrefix prefix_;
  const std::string target_ = prefix_.Host("bin/client.ver");
  FileReplacer replacer_{kCalls};
};

// A refused exchange falls back to a rename; a file system that cannot
// exchange is not asked again, a passing error is that call's alone.
TEST_F(FileReplacerTest, RefusedExchangeFallsBackToRename) {
  for (int error : {EINVAL, ENOSYS, EOPNOTSUPP, EIO}) {
    for (bool worked_once : {false, true}) {
      SCOPED_TRACE(std::to_string(error) + (worked_once ? " after one" : ""));
      faults = Faults();
      FileReplacer replacer(kCalls);
      replacer.HoldSpares();
      if (worked_once) {
        ASSERT_TRUE(Put(&replacer, "spare"));
        EXPECT_EQ(Temps().size(), 1u);
      }
      faults.exchange_errno = error;
      const int before = faults.exchanges;
      for (const char* data : {"a", "bbb", "c"}) {
        ASSERT_TRUE(Put(&replacer, data));
        EXPECT_EQ(prefix_.Read("bin/client.ver"), data);
        EXPECT_TRUE(Temps().empty());
      }
      EXPECT_EQ(faults.exchanges - before, error == EIO ? 3 : 1);
      replacer.ReleaseSpares();
    }
  }
}

TEST_F(FileReplacerTest, FileWithAnotherLinkIsNeverWrittenOver) {
  const std::string other = prefix_.Host("other.ver");
  const std::string late = prefix_.Host("late.ver");
  replacer_.HoldSpares();
  ASSERT_EQ(link(target_.c_str(), other.c_str()), 0);
  ASSERT_TRUE(Put(&replacer_, "v2"));
  EXPECT_EQ(faults.exchanges, 0);
  // Linked while it is exchanged out.
  faults.link_exchanged = late;
  ASSERT_TRUE(Put(&replacer_, "v3"));
  EXPECT_TRUE(Temps().empty());
  faults.link_exchanged.clear();
  // Linked while our own file is at the target.
  ASSERT_TRUE(Put(&replacer_, "v4"));
  EXPECT_EQ(Temps().size(), 1u);
  ASSERT_EQ(link(target_.c_str(), prefix_.Host("other2.ver").c_str()), 0);
  for (const char* data : {"v5", "v6", "v7"}) {
    ASSERT_TRUE(Put(&replacer_, data));
    EXPECT_EQ(prefix_.Read("bin/client.ver"), data);
  }
  EXPECT_EQ(prefix_.Read("other.ver"), "v1");
  EXPECT_EQ(prefix_.Read("late.ver"), "v2");
  EXPECT_EQ(prefix_.Read("other2.ver"), "v4");
  replacer_.ReleaseSpares();
  EXPECT_TRUE(Temps().empty());
}

// A place that borrows a held directory is known by the identity taken
// when it was held, not by a look at each write; bin's spare still serves
// bin alone, never a client.ver of another directory.
TEST_F(FileReplacerTest, HeldDirectoryIsKnownByItsIdentity) {
  prefix_.Write("bin2/client.ver", "w1");
  const int bin = open(prefix_.Host("bin").c_str(), O_RDONLY | O_DIRECTORY);
  const int bin2 = open(prefix_.Host("bin2").c_str(), O_RDONLY | O_DIRECTORY);
  struct stat bin_st {};
  struct stat bin2_st {};
  ASSERT_EQ(fstat(bin, &bin_st), 0);
  ASSERT_EQ(fstat(bin2, &bin2_st), 0);
  auto put = [&](int dir, const struct stat* identity, const char* data) {
    Place place;
    place.Borrow(dir, identity);
    place.name = "client.ver";
    return replacer_.Replace(place, data, 0666, nullptr, nullptr);
  };
  replacer_.HoldSpares();
  ASSERT_TRUE(put(bin, &bin_st, "v2"));
  ASSERT_TRUE(put(bin, &bin_st, "v3"));
  // The second write went through the spare: flushed by fdatasync.
  EXPECT_EQ(faults.fdatasyncs, 1);
  ASSERT_TRUE(put(bin2, &bin2_st, "w2"));
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "v3");
  EXPECT_EQ(prefix_.Read("bin2/client.ver"), "w2");
  replacer_.ReleaseSpares();
  EXPECT_TRUE(Temps().empty());
  close(bin);
  close(bin2);
}

// A spare or target that someone else replaced, linked or removed is
// dropped, and no file is written through it.
TEST_F(FileReplacerTest, SpareChangedBehindUsIsDroppedUnwritten) {
  const std::string theirs = prefix_.Host("theirs.ver");
  auto put_theirs = [&](const std::string& name) {
    prefix_.Write("theirs.ver", "theirs");
    rename(theirs.c_str(), name.c_str());
  };
  const std::function<void(const std::string&)> changes[] = {
      [](const std::string&) {},  // none: the spare is written over
      put_theirs,
      [&](const std::string& spare) { link(spare.c_str(), theirs.c_str()); },
      [](const std::string& spare) { unlink(spare.c_str()); },
      [&](const std::string&) { put_theirs(target_); },
  };
  for (size_t i = 0; i < std::size(changes); ++i) {
    SCOPED_TRACE(i);
    prefix_.Write("bin/client.ver", "v1");
    unlink(theirs.c_str());
    FileReplacer replacer(kCalls);
    replacer.HoldSpares();
    ASSERT_TRUE(Put(&replacer, "v2"));
    ASSERT_EQ(Temps().size(), 1u);
    const std::string spare = Temps()[0];
    const int old_file = open(spare.c_str(), O_RDONLY);
    ASSERT_GE(old_file, 0);
    changes[i](spare);
    std::vector<std::pair<int, std::string>> seen;
    for (const std::string& name : {spare, theirs, target_}) {
      int fd = open(name.c_str(), O_RDONLY);
      if (fd >= 0) seen.emplace_back(fd, ReadFd(fd));
    }
    ASSERT_TRUE(Put(&replacer, "v3"));
    EXPECT_EQ(prefix_.Read("bin/client.ver"), "v3");
    EXPECT_EQ(ReadFd(old_file), i == 0 ? "v3" : "v1");
    close(old_file);
    for (const auto& [fd, bytes] : seen) {
      EXPECT_EQ(ReadFd(fd), i == 0 && bytes == "v1" ? "v3" : bytes);
      close(fd);
    }
    replacer.ReleaseSpares();
    EXPECT_TRUE(Temps().empty());
  }
}

TEST_F(FileReplacerTest, FailedFlushLeavesTheTargetWhole) {
  replacer_.HoldSpares();
  faults.fail_file_fsync = true;
  EXPECT_FALSE(Put(&replacer_, "v2"));
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "v1");
  EXPECT_TRUE(Temps().empty());
  faults.fail_file_fsync = false;
  ASSERT_TRUE(Put(&replacer_, "v2"));
  ASSERT_EQ(Temps().size(), 1u);
  // The exchange not on disk: the spare must not be written over.
  const int spare = open(Temps()[0].c_str(), O_RDONLY);
  ASSERT_GE(spare, 0);
  faults.fail_dir_fsync = true;
  ASSERT_TRUE(Put(&replacer_, "v3"));
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "v3");
  EXPECT_EQ(ReadFd(spare), "v1");
  EXPECT_EQ(faults.fdatasyncs, 0);
  close(spare);
  // Written over but not flushed: it must not take the target's name. Held
  // open, so that its inode number cannot come back with a new file.
  const int held = open(Temps()[0].c_str(), O_RDONLY);
  ASSERT_GE(held, 0);
  struct stat unflushed {};
  ASSERT_EQ(fstat(held, &unflushed), 0);
  faults.fail_dir_fsync = false;
  faults.fail_fdatasync = true;
  ASSERT_TRUE(Put(&replacer_, "v4"));
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "v4");
  EXPECT_EQ(faults.fdatasyncs, 1);
  struct stat now {};
  ASSERT_EQ(stat(target_.c_str(), &now), 0);
  EXPECT_NE(now.st_ino, unflushed.st_ino);
  close(held);
  EXPECT_EQ(Temps().size(), 1u);
  // With a spare held, every flush failing.
  faults.fail_dir_fsync = faults.fail_file_fsync = true;
  EXPECT_FALSE(Put(&replacer_, "v5"));
  EXPECT_EQ(prefix_.Read("bin/client.ver"), "v4");
  EXPECT_TRUE(Temps().empty());
  replacer_.ReleaseSpares();
  EXPECT_TRUE(Temps().empty());
}

}  // namespace
}  // namespace ks::posix
