// The result file on Linux.
#include "platform/posix/result_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/files.h"
#include "platform/posix/held_dirs.h"
#include "platform/posix/output_dir.h"
#include "platform/posix/write_all.h"

namespace ks {

namespace posix {

bool WriteHostResultFile(const std::string& path, const std::string& data,
                         bool* refused) {
  *refused = false;
  // The directory is reached without a link and held; everything after is
  // done in it, by name.
  Place place;
  Fd dir;
  const OutputDir found = OpenOutputDir(path, &dir, &place.name);
  if (found != OutputDir::kHeld) {
    *refused = found == OutputDir::kRefused;
    return false;
  }
  place.host = path;
  place.Own(dir.release());
  if (place.name.empty()) return false;
  // What is there already must be a file of this user's with one name:
  // a link or a second name would give our text to whatever file it
  // names, and another user's file is theirs. The rename below replaces
  // whatever comes to the name meanwhile, never writing through it.
  mode_t mode = 0644;
  struct stat st {};
  if (StatAt(place, &st)) {
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || st.st_uid != RunUser()) {
      *refused = true;
      return false;
    }
    mode = st.st_mode & 0777;
  } else if (errno != ENOENT) {
    return false;
  }
  std::string temp_name;
  const int fd = CreateTempBeside(place, mode, &temp_name, /*sweep=*/false);
  if (fd < 0) return false;
  if (!WriteAll(fd, data.data(), data.size())) {
    ::close(fd);
    ::unlinkat(place.dir(), temp_name.c_str(), 0);
    return false;
  }
  return CommitTempIn(fd, place.dir(), temp_name, place.name);
}

}  // namespace posix

}  // namespace ks
