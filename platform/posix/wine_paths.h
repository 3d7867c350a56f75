// Where a Windows path lies on the host, as Wine maps it inside a prefix.
#ifndef KSUPDATE_PLATFORM_POSIX_WINE_PATHS_H_
#define KSUPDATE_PLATFORM_POSIX_WINE_PATHS_H_

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/posix/wine_locale.h"

namespace ks::posix {

// The prefix directory: $WINEPREFIX when set and non-empty, else
// $HOME/.wine. Read at each call.
std::string WinePrefix();

// A mapped path with what the mapping learnt of it on the way.
struct HostPath {
  std::string path;
  // True when `lstat` holds the lstat() of `path`, taken by the mapping; false
  // when the mapping did not look at the path itself (it may exist or not).
  bool have_lstat = false;
  struct stat lstat {};
};

// Maps `windows_path` to a host path inside `prefix`, as Wine does:
// - "X:\rest" goes through "<prefix>/dosdevices/x:" (a link such as
//   c: -> ../drive_c or z: -> /);
// - a rooted "\rest" lies on the drive that holds the current directory (the
//   drive whose link target is the longest prefix of it; the host root when
//   none does);
// - a relative path is relative to the current directory.
// Both '\' and '/' separate components; "." and ".." are resolved
// lexically, as Windows forms a full path, never above the drive's root, and
// components are trimmed as Windows trims them (a last one of its trailing
// dots and blanks, others of a single trailing dot). The path is ANSI text
// of the locale's code page; host names are its characters in UTF-8. Each
// existing component is matched exactly first, then regardless of letter
// case as Wine matches it (A.DLL on disk answers for a.dll, and an upper-case
// E with acute for the lower-case one); a component that does not exist
// keeps the spelling asked for.
//
// Returns true with the host path in *host, along with the last lookup, so
// that the caller need not repeat it (a path that exists as spelt takes one
// lookup in all). Returns false when the path cannot name a host file: an
// unmapped drive, an empty path, a UNC or device path, a character that no
// Windows file name holds (control characters, " * < > ? |), or one beyond
// ASCII when the locale is not a UTF-8 one (as Wine, which spells host names
// in the locale's charset).
bool MapPath(const std::string& prefix, const std::string& windows_path,
             HostPath* host);
// The same in a given locale rather than the process's.
bool MapPath(const std::string& prefix, const std::string& windows_path,
             const TextLocale& locale, HostPath* host);

// Where a Windows path lies before anything on its drive is looked at: the
// drive, and the host names of its components below the drive's root.
struct Route {
  char drive = '\0';  // lower-case letter; '\0': on no drive, the host root
  std::vector<std::string> components;
};

// The route that MapPath takes for `windows_path`: its rules for drives,
// the current directory, separators, "." and "..", trimming and names,
// without a look at the drive below its root (only at the current
// directory, and for "X:rest" at whether drive X is mapped). False for
// what MapPath refuses whatever is on the drive.
bool RoutePath(const std::string& prefix, const std::string& windows_path,
               const TextLocale& locale, Route* route);

// The host path of a route's root: "<prefix>/dosdevices/x:", or "/".
std::string RouteRoot(const std::string& prefix, const Route& route);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_WINE_PATHS_H_
