// The result file on Linux.
#include "platform/posix/result_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/write_all.h"

namespace ks {

namespace posix {

bool WriteHostResultFile(const std::string& path, const std::string& data,
                         bool* refused) {
  *refused = false;
  // What is there already must be a file of this user's with one name:
  // a link or a second name would give our text to whatever file it
  // names, and another user's file is theirs. The rename below replaces
  // whatever comes to the name meanwhile, never writing through it.
  mode_t mode = 0644;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || st.st_uid != ::geteuid()) {
      *refused = true;
      return false;
    }
    mode = st.st_mode & 0777;
  } else if (errno != ENOENT) {
    return false;
  }
  std::string temp_path;
  const int fd = CreateTempBeside(path, mode, &temp_path, /*sweep=*/false);
  if (fd < 0) return false;
  if (!WriteAll(fd, data.data(), data.size())) {
    ::close(fd);
    ::unlink(temp_path.c_str());
    return false;
  }
  return CommitTemp(fd, temp_path, path);
}

}  // namespace posix

}  // namespace ks
