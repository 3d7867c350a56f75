// The directory of a trace or result file on Linux.
#include "platform/posix/output_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace ks::posix {

OutputDir OpenOutputDir(const std::string& path, Fd* dir, std::string* leaf) {
  const std::string::size_type cut = path.rfind('/');
  *leaf = cut == std::string::npos ? path : path.substr(cut + 1);
  const bool absolute = !path.empty() && path[0] == '/';
  Fd at(::open(absolute ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at.valid()) return OutputDir::kMissing;
  const std::string way = cut == std::string::npos ? "" : path.substr(0, cut);
  std::string::size_type begin = 0;
  while (begin < way.size()) {
    std::string::size_type end = way.find('/', begin);
    if (end == std::string::npos) end = way.size();
    const std::string name = way.substr(begin, end - begin);
    begin = end + 1;
    if (name.empty() || name == ".") continue;
    // Made by the run when missing, as a log directory usually is on its
    // first run; whoever made it first has it otherwise, and the owner
    // rule below decides.
    if (::mkdirat(at.get(), name.c_str(), 0755) != 0 && errno != EEXIST) {
      return OutputDir::kMissing;
    }
    Fd next(::openat(at.get(), name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      // A link on the way would send the run's file wherever it names.
      struct stat st {};
      const int error = errno;
      const bool link =
          ::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode);
      errno = error;
      return link ? OutputDir::kRefused : OutputDir::kMissing;
    }
    at = std::move(next);
  }
  // The file's directory decides who may put a name there before the run.
  struct stat st {};
  if (::fstat(at.get(), &st) != 0) return OutputDir::kMissing;
  if (CheckOwnership(st) != Ownership::kTrusted) return OutputDir::kRefused;
  *dir = std::move(at);
  return OutputDir::kHeld;
}

}  // namespace ks::posix
