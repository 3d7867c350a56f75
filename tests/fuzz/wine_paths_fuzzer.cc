// The Windows-to-host path mapping on any path. Input: the path (up to a
// zero byte, as the provider gets it).
//
// A path maps exactly when it can name a file of drive C:, the only drive
// (a path with a character that no file name holds, or one beyond ASCII
// that the run's locale cannot spell, may also name none);
// the host path lies under the drive's root, with "." and ".." resolved and
// no empty component; a path relative to the current directory, rooted on
// its drive or drive-relative maps as its full form does; and '/' and '\'
// are the same separator.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/wine_locale.h"
#include "platform/posix/wine_paths.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_prefix.h"

namespace ks::fuzz {
namespace {

using posix::MapPath;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool Map(const std::string& path, std::string* host) {
  posix::HostPath mapped;
  if (!MapPath(FuzzPrefix(), path, &mapped)) return false;
  *host = std::move(mapped.path);
  return true;
}

// The Windows form of `path` with every '/' as '\'.
std::string Backslashed(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

void CheckUnderDrive(const std::string& host) {
  const std::string root = FuzzPrefix() + "/dosdevices/c:";
  Check(host.compare(0, root.size(), root) == 0 &&
            (host.size() == root.size() || host[root.size()] == '/'),
        "a mapped path lies under its drive's root");
  std::string::size_type start = root.size();
  while (start < host.size()) {
    std::string::size_type end = host.find('/', start + 1);
    if (end == std::string::npos) end = host.size();
    const std::string component = host.substr(start + 1, end - start - 1);
    Check(!component.empty() && component != "." && component != "..",
          "a mapped path has no empty, '.' or '..' component");
    Check(component.find('\\') == std::string::npos,
          "a mapped path has no '\\' left");
    start = end;
  }
}

}  // namespace
}  // namespace ks::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace ks::fuzz;  // NOLINT(google-build-using-namespace)
  const std::string path = FuzzInput(data, size).Field();
  std::string host;
  const bool mapped = Map(path, &host);

  const bool drive = path.size() >= 2 && path[1] == ':';
  const bool unc =
      path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]);
  const bool can_map =
      !path.empty() && !unc && (!drive || path[0] == 'c' || path[0] == 'C');
  bool odd = false;
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    odd = odd || byte < 0x20 ||
          std::string_view("\"*<>?|").find(c) != std::string_view::npos ||
          (byte >= 0x80 && ks::posix::ProcessLocale().host_names !=
                               ks::posix::HostNames::kUtf8);
  }
  Check(mapped == can_map || (odd && !mapped),
        "a path maps exactly when it names a file of C:");
  if (!mapped) return 0;
  CheckUnderDrive(host);

  std::string other;
  Check(Map(Backslashed(path), &other) && other == host,
        "'/' and '\\' separate alike");
  std::string full;
  if (!drive && !IsSeparator(path[0])) {
    full = "C:\\Client\\" + path;
  } else if (!drive) {
    full = "C:" + path;
  } else if (path.size() == 2 || !IsSeparator(path[2])) {
    full = "C:\\Client\\" + path.substr(2);
  }
  if (!full.empty()) {
    Check(Map(full, &other) && other == host,
          "a relative, rooted or drive-relative path maps as its full form");
  }
  return 0;
}
