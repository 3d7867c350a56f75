#include "platform/posix/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/temp_files.h"

namespace ks::posix {

namespace {

std::string DirectoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Removes what a killed run left in `dir`, once per directory and process:
// the names are ours alone, and a run that ends normally leaves none.
void RemoveStaleTemps(const std::string& dir) {
  static TempSweeps sweeps;
  if (!sweeps.First(dir)) return;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return;
  while (const dirent* entry = ::readdir(stream)) {
    if (IsTempName(entry->d_name)) {
      ::unlinkat(::dirfd(stream), entry->d_name, 0);
    }
  }
  ::closedir(stream);
}

}  // namespace

mode_t CurrentUmask() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

int CreateTempBeside(const std::string& path, std::string* temp_path) {
  std::string dir = DirectoryOf(path);
  RemoveStaleTemps(dir);
  std::string pattern = dir + "/" + kTempPrefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) return -1;
  temp_path->assign(name.data());
  return fd;
}

bool CommitTemp(int fd, const std::string& temp_path, const std::string& path) {
  // The data reaches the disk before the name does: a crash leaves the old
  // file or the whole new one, never an empty one.
  bool ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp_path.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp_path.c_str());
  return ok;
}

bool ReplaceFileContents(const std::string& path, const std::string& data,
                         mode_t mode, const struct stat* old_lstat,
                         struct stat* written) {
  struct stat old_stat {};
  if (old_lstat != nullptr) old_stat = *old_lstat;
  if ((old_lstat != nullptr || ::lstat(path.c_str(), &old_stat) == 0) &&
      S_ISREG(old_stat.st_mode)) {
    mode = old_stat.st_mode & 07777;
  } else {
    mode &= ~CurrentUmask();
  }
  std::string temp_path;
  int fd = CreateTempBeside(path, &temp_path);
  if (fd < 0) return false;
  if (!WriteAll(fd, data.data(), data.size()) || ::fchmod(fd, mode) != 0 ||
      (written != nullptr && ::fstat(fd, written) != 0)) {
    ::close(fd);
    ::unlink(temp_path.c_str());
    return false;
  }
  return CommitTemp(fd, temp_path, path);
}

}  // namespace ks::posix
