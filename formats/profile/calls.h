// What the profile calls of the platform take and give, below the platform
// so that the profile rules (formats/profile/) can speak of them too.
#ifndef KSUPDATE_FORMATS_PROFILE_CALLS_H_
#define KSUPDATE_FORMATS_PROFILE_CALLS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace ks {

// One change of a profile file (Platform::WriteProfileStrings): the key's
// value set, or the key removed when `value` is unset.
struct ProfileWrite {
  std::string section;
  std::string key;
  std::optional<std::string> value;
};

// What a whole file's reading found (LoadProfileFile, ReadFileBytes).
enum class ProfileLoad {
  kLoaded,      // read
  kMissing,     // nothing there, or a directory
  kUnreadable,  // there, but no plain file or not readable
  kTooLarge,    // larger than the bound: never read
};

// No manifest comes near this: a client's 100,000 modules take a few MiB.
// Larger files are not read at all, so that a file of any size cannot make
// a run allocate more than a bounded amount for it.
constexpr std::uint32_t kMaxProfileFileBytes = 64u << 20;
// A file this size, and twice it (the manifest's section buffers), fit
// every build's size_t, int (the code-page conversions) and DWORD.
static_assert(kMaxProfileFileBytes <= (1u << 30),
              "the bound must stay far below 32-bit limits");

}  // namespace ks

#endif  // KSUPDATE_FORMATS_PROFILE_CALLS_H_
