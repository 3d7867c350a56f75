// The module-name check against the path mapping. Input: the name (up to a
// zero byte, as the manifest's section gives it).
//
// A name that passes the check, joined to the bin directory as the update
// joins it, maps to a host path inside the bin directory's host path, or
// to none when it holds a character that no Windows file name may, or one
// beyond ASCII (the fuzz run's locale may spell none of those).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/module_names.h"
#include "platform/posix/wine_paths.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_prefix.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using ks::fuzz::Check;
  const std::string name = ks::fuzz::FuzzInput(data, size).Field();
  if (!ks::IsSafeModuleName(name)) return 0;
  const std::string& prefix = ks::fuzz::FuzzPrefix();
  ks::posix::HostPath bin;
  Check(ks::posix::MapPath(prefix, "C:\\Client\\bin", &bin),
        "the bin directory maps");
  ks::posix::HostPath host;
  bool unmappable = false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    unmappable = unmappable || byte < 0x20 || byte >= 0x80 ||
                 std::string_view("\"*<>?|").find(c) != std::string_view::npos;
  }
  const bool mapped =
      ks::posix::MapPath(prefix, "C:\\Client\\bin\\" + name, &host);
  Check(mapped || unmappable, "a safe name of plain characters maps");
  if (!mapped) return 0;
  Check(host.path == bin.path ||
            host.path.compare(0, bin.path.size() + 1, bin.path + "/") == 0,
        "a safe name stays inside the bin directory");
  return 0;
}
