#include "platform/posix/wine_paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/text.h"
#include "platform/posix/codepage.h"
#include "platform/posix/held_dirs.h"
#include "platform/posix/wine_locale.h"

namespace ks::posix {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAsciiLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// `base` + "/" + `name`, without doubling the slash after the host root.
std::string JoinHost(const std::string& base, std::string_view name) {
  std::string joined = base;
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined.append(name.data(), name.size());
  return joined;
}

bool Exists(const std::string& host_path) {
  struct stat st {};
  return lstat(host_path.c_str(), &st) == 0;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// The canonical host path, or "" when it cannot be resolved.
std::string RealPath(const std::string& host_path) {
  std::unique_ptr<char, FreeDeleter> resolved(
      realpath(host_path.c_str(), nullptr));
  return resolved ? std::string(resolved.get()) : std::string();
}

std::string DriveRoot(const std::string& prefix, char letter) {
  std::string root = prefix;
  root += "/dosdevices/";
  root += LowerAscii(letter);
  root += ':';
  return root;
}

// A character that no Windows file name holds: Win32 refuses such a path
// (ERROR_INVALID_NAME), and so do we.
bool IsInvalidNameChar(char16_t c) {
  return c < 0x20 || c == u'"' || c == u'*' || c == u'<' || c == u'>' ||
         c == u'?' || c == u'|';
}

bool IsSeparatorUnit(char16_t c) { return c == u'\\' || c == u'/'; }

// Applies the Windows components of `path` to *components, as host names:
// '\\' and '/' separate, empty components and "." vanish, ".." drops the
// last component but stops at the root (an empty list), as
// GetFullPathName does. It also trims as Windows does: a component that
// ends in a single '.' loses it, and the last one (unless the path ends in
// a separator) loses all its trailing dots and blanks. False when a
// component that is left holds a character that no file name may, or one
// that has no host spelling in `locale`. The path is decoded first, as Wine
// does, so that a trail byte 0x5C of a double-byte character separates
// nothing.
bool ApplyComponents(std::string_view ansi_path, const TextLocale& locale,
                     std::vector<std::string>* components) {
  const std::u16string decoded = AnsiToUnicode(locale.code_page, ansi_path);
  const std::u16string_view path = decoded;
  std::vector<std::u16string_view> added;
  size_t i = 0;
  while (i < path.size()) {
    if (IsSeparatorUnit(path[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < path.size() && !IsSeparatorUnit(path[end])) ++end;
    std::u16string_view component = path.substr(i, end - i);
    i = end;
    if (component == u"..") {
      if (!added.empty()) {
        added.pop_back();
      } else if (!components->empty()) {
        components->pop_back();
      }
      continue;
    }
    if (component == u".") continue;
    if (end == path.size()) {
      while (!component.empty() &&
             (component.back() == u'.' || component.back() == u' ')) {
        component.remove_suffix(1);
      }
      if (component.empty()) continue;
    } else if (component.size() >= 2 && component.back() == u'.' &&
               component[component.size() - 2] != u'.') {
      component.remove_suffix(1);
    }
    added.push_back(component);
  }
  // Windows checks the names once the path is whole.
  for (std::u16string_view component : added) {
    for (char16_t c : component) {
      if (IsInvalidNameChar(c)) return false;
    }
    std::string host;
    if (!HostName(locale.host_names, component, &host)) return false;
    components->push_back(std::move(host));
  }
  return true;
}

// Where the current directory lies: under the root of a drive, or, when no
// drive holds it, under the host root.
struct CurrentLocation {
  char drive = '\0';  // lower-case letter; '\0' for the host root
  std::string root;   // host path of that root
  std::vector<std::string> components;  // host names below the root
};

// Finds the drive whose link target is the longest component-wise prefix of
// the current directory. Letters are tried from a to z and only a strictly
// longer target replaces an earlier one, so when two letters lead to the
// same directory the first letter wins. False when the current directory
// cannot be determined.
bool LocateCurrentDirectory(const std::string& prefix, CurrentLocation* out) {
  std::string cwd = RealPath(".");
  if (cwd.empty() || cwd[0] != '/') return false;
  out->drive = '\0';
  out->root = "/";
  size_t best_length = 1;  // "/" holds every path
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    std::string root = DriveRoot(prefix, letter);
    std::string target = RealPath(root);
    if (target.empty()) continue;
    // realpath gives no trailing slash except for "/" itself.
    bool holds = target == "/" ||
                 (cwd.compare(0, target.size(), target) == 0 &&
                  (cwd.size() == target.size() || cwd[target.size()] == '/'));
    if (!holds) continue;
    if (out->drive == '\0' || target.size() > best_length) {
      out->drive = letter;
      out->root = root;
      best_length = target.size();
    }
  }
  out->components.clear();
  size_t i = best_length;
  while (i < cwd.size()) {
    if (cwd[i] == '/') {
      ++i;
      continue;
    }
    size_t end = cwd.find('/', i);
    if (end == std::string::npos) end = cwd.size();
    out->components.push_back(cwd.substr(i, end - i));
    i = end;
  }
  return true;
}

// The name in directory `dir` that equals `wanted` but for letter case
// (MatchIgnoringCase); "" when none does or `dir` cannot be opened.
std::string FindIgnoringCase(const std::string& dir, std::string_view wanted) {
  Fd opened(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return opened.valid() ? MatchIgnoringCase(opened.get(), wanted)
                        : std::string();
}

// The host path of `components` below `root` as spelt, when it exists: most
// paths do, and one lookup of the whole path then answers for every
// component at once.
bool FindAsSpelt(const std::string& root,
                 const std::vector<std::string>& components, HostPath* out) {
  std::string host = root;
  for (const std::string& component : components) {
    host = JoinHost(host, component);
  }
  if (lstat(host.c_str(), &out->lstat) != 0) return false;
  out->path = std::move(host);
  out->have_lstat = true;
  return true;
}

// Builds the host path of `components` below `root`, taking for each
// component the existing entry that answers for it.
void ResolveOnHost(const std::string& root,
                   const std::vector<std::string>& components, HostPath* out) {
  std::string host = root;
  bool exists = true;
  for (const std::string& component : components) {
    if (exists) {
      std::string exact = JoinHost(host, component);
      if (Exists(exact)) {
        host = std::move(exact);
        continue;
      }
      std::string found = FindIgnoringCase(host, component);
      if (!found.empty()) {
        host = JoinHost(host, found);
        continue;
      }
      // Nothing below a missing entry can exist: keep the asked spelling.
      exists = false;
    }
    host = JoinHost(host, component);
  }
  out->path = std::move(host);
  out->have_lstat = false;
}

}  // namespace

std::string WinePrefix() {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix != nullptr && *prefix != '\0') return prefix;
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::string(home) + "/.wine";
  // Without $HOME, the account's home directory; "/.wine" when even that
  // is unknown.
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested)
                                         : 16384);
  passwd entry{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) ==
          0 &&
      result != nullptr && result->pw_dir != nullptr &&
      result->pw_dir[0] != '\0') {
    return JoinHost(result->pw_dir, ".wine");
  }
  return "/.wine";
}

bool MapPath(const std::string& prefix, const std::string& windows_path,
             HostPath* host) {
  return MapPath(prefix, windows_path, ProcessLocale(), host);
}

bool RoutePath(const std::string& prefix, const std::string& windows_path,
               const TextLocale& locale, Route* route) {
  const std::string& path = windows_path;
  if (path.empty()) return false;
  // "\\server\share", "\\?\..." and "\\.\..." name no file of a drive.
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return false;
  }
  route->components.clear();
  std::string_view rest = path;
  if (path.size() >= 2 && path[1] == ':') {
    if (!IsAsciiLetter(path[0])) return false;
    route->drive = LowerAscii(path[0]);
    rest.remove_prefix(2);
    // "X:rest" is relative to the current directory when that lies on
    // drive X (Windows keeps one per drive; we only know the process's),
    // and relative to the root of X otherwise.
    if (rest.empty() || !IsSeparator(rest[0])) {
      if (!Exists(DriveRoot(prefix, route->drive))) return false;
      CurrentLocation cwd;
      if (LocateCurrentDirectory(prefix, &cwd) && cwd.drive == route->drive) {
        route->components = std::move(cwd.components);
      }
    }
  } else {
    CurrentLocation cwd;
    if (!LocateCurrentDirectory(prefix, &cwd)) return false;
    route->drive = cwd.drive;
    // A rooted path starts at the root of the current directory's drive.
    if (!IsSeparator(path[0])) route->components = std::move(cwd.components);
  }
  return ApplyComponents(rest, locale, &route->components);
}

std::string RouteRoot(const std::string& prefix, const Route& route) {
  return route.drive != '\0' ? DriveRoot(prefix, route.drive) : "/";
}

bool MapPath(const std::string& prefix, const std::string& windows_path,
             const TextLocale& locale, HostPath* host) {
  Route route;
  if (!RoutePath(prefix, windows_path, locale, &route)) return false;
  const std::string root = RouteRoot(prefix, route);
  if (FindAsSpelt(root, route.components, host)) return true;
  // A dangling link still maps the drive: its files are simply missing.
  if (windows_path.size() >= 2 && windows_path[1] == ':' && !Exists(root)) {
    return false;
  }
  ResolveOnHost(root, route.components, host);
  return true;
}

}  // namespace ks::posix
