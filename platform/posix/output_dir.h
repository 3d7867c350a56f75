// The directory of a trace or result file on Linux, reached as the run
// reaches bin: the paths come from whoever starts the run, but the
// directories on the way may be anyone's.
#ifndef KSUPDATE_PLATFORM_POSIX_OUTPUT_DIR_H_
#define KSUPDATE_PLATFORM_POSIX_OUTPUT_DIR_H_

#include <string>

#include "platform/posix/held_dirs.h"

namespace ks::posix {

// What OpenOutputDir found.
enum class OutputDir {
  kHeld,     // *dir holds the file's directory
  kMissing,  // a component cannot be opened or made (errno says why)
  kRefused,  // a symbolic link on the way, or the file's directory fails
             // the owner rule (CheckOwnership)
};

// Opens the directory part of the host path `path` (the current directory
// when it has none) from "/" (from the current directory for a relative
// path), one component at a time, never following a link, and makes each
// one that is missing (0755, the run's user's). *leaf gets the last
// component, the file's name ("" for a path that ends in "/").
OutputDir OpenOutputDir(const std::string& path, Fd* dir, std::string* leaf);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_OUTPUT_DIR_H_
