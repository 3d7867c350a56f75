// What a module copy found beyond success or failure. Apart from
// platform.h so that a provider's own files, which see <windows.h>, can use
// it without the engine's Win32 type names.
#ifndef KSUPDATE_PLATFORM_COPY_REPORT_H_
#define KSUPDATE_PLATFORM_COPY_REPORT_H_

#include <cstdint>
#include <optional>

#include "platform/sha256.h"

namespace ks {

// What a copy's bytes must be, as a patch vouches for them: each check is
// made when it is given.
struct ExpectedBytes {
  std::optional<Sha256Digest> sha256;
  // A source of any other size is refused before its bytes are copied, and
  // no more than this many are ever read from it.
  std::optional<std::uint64_t> size;
};

// What a module copy found beyond success or failure.
struct CopyReport {
  enum class Problem {
    kNone,
    kChecksumMismatch,  // the bytes copied did not have the expected SHA-256
    kSourceChanged,     // the source changed while it was read
    kSourceRefused,     // the source is a symbolic link, or no plain file,
                        // or a folder on its way below the patch directory
                        // is a link
    kTargetRefused,     // a folder on the target's way below bin is a link
                        // (Windows: a reparse point), or one that fails
                        // the owner rule (Linux)
    kSizeMismatch,      // the source is longer or shorter than expected
  };
  Problem problem = Problem::kNone;
  // The system's error code of the call that failed (errno on Linux,
  // GetLastError() on Windows); 0 on success or when no call failed.
  std::uint32_t error = 0;
  // The old target was in use (a loaded module): it was moved aside and
  // the new file moved in; the running client keeps the old image.
  bool moved_aside = false;
  // kChecksumMismatch: the SHA-256 that the bytes read had.
  std::optional<Sha256Digest> actual;
};

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_COPY_REPORT_H_
