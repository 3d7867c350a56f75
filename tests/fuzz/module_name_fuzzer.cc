// The module-name check against the path mapping. Input: the name (up to a
// zero byte, as the manifest's section gives it).
//
// A name that passes the check, joined to the bin directory as the update
// joins it, maps to a host path inside the bin directory's host path.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/module_update.h"
#include "platform/posix/wine_paths.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_prefix.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using ks::fuzz::Check;
  const std::string name = ks::fuzz::FuzzInput(data, size).Field();
  if (!ks::IsSafeModuleName(name)) return 0;
  const std::string& prefix = ks::fuzz::FuzzPrefix();
  std::string bin;
  Check(ks::posix::MapPath(prefix, "C:\\Client\\bin", &bin),
        "the bin directory maps");
  std::string host;
  Check(ks::posix::MapPath(prefix, "C:\\Client\\bin\\" + name, &host),
        "a safe name maps");
  Check(host == bin || host.compare(0, bin.size() + 1, bin + "/") == 0,
        "a safe name stays inside the bin directory");
  return 0;
}
