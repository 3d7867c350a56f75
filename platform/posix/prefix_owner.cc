#include "platform/posix/prefix_owner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "platform/posix/wine_paths.h"

namespace ks::posix {

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// False with *refused set when `path` exists and another user owns it.
bool Owned(const std::string& path, std::string* refused) {
  std::unique_ptr<char, FreeDeleter> resolved(realpath(path.c_str(), nullptr));
  if (!resolved) return true;
  struct stat st {};
  if (::stat(resolved.get(), &st) != 0 || st.st_uid == ::geteuid()) {
    return true;
  }
  *refused = resolved.get();
  return false;
}

}  // namespace

bool OwnedByRunningUser(const std::string& prefix,
                        const std::string& windows_path, std::string* refused) {
  if (!Owned(prefix, refused)) return false;
  std::string drive;
  return !DriveRootOf(prefix, windows_path, &drive) || Owned(drive, refused);
}

}  // namespace ks::posix
