// What a run did, module by module, and the outcome that a caller (a
// deployment tool) can act on.
#ifndef KSUPDATE_ENGINE_RUN_REPORT_H_
#define KSUPDATE_ENGINE_RUN_REPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ks {

// The outcome of a run, as Windows Installer's codes say it: what
// deployment tools already understand.
namespace msi {
constexpr DWORD kSuccess = 0;
constexpr DWORD kWouldChange = 1;  // what-if: an update would copy
constexpr DWORD kRestartRequired = 3010;
constexpr DWORD kFailure = 1603;
constexpr DWORD kNoInstallation = 1605;
constexpr DWORD kNoSource = 1612;
constexpr DWORD kBusy = 1618;
constexpr DWORD kInvalidPatch = 1620;  // the patch lists no module
}  // namespace msi

// The process's exit status for an outcome (RunReport::Outcome): the code
// itself where a status holds it whole (Windows); where a status has 8 bits
// (Linux), one of its own for each: 0, 1, and 3010, 1603, 1605, 1612, 1618,
// 1620 as 10, 3, 5, 12, 18, 20 (any other code as 3).
int ExitStatusFor(DWORD outcome, bool whole_codes);

// What happened to one module of the list.
enum class ModuleResult {
  kNotReached,        // the run ended before it (no lock, an exception)
  kCopied,            // copied and recorded
  kRepaired,          // of the patch's version but not its bytes: copied again
  kCurrent,           // the installed version is the patch's
  kNewerInstalled,    // the installed version is newer than the patch's
  kRefusedName,       // a name that would leave bin, a device, the run's files
  kNoChecksum,        // the patch has checksums, none valid for this module
  kNoSize,            // the patch has sizes, none valid for this module
  kCopyFailed,        // the copy failed: a missing patch file, no permission
  kChecksumMismatch,  // the bytes copied are not the ones vouched for
  kSizeMismatch,      // the patch file is longer or shorter than vouched for
  kSourceChanged,     // the patch file was being written
  kSourceRefused,     // the patch file is a symbolic link, or a folder on
                      // its way below the patch directory is
  kTargetRefused,     // a folder on the way in bin is a link, or one that
                      // another user may write
  kRecordFailed,      // copied, but client.ver could not record it
  kNoInstallation,    // the installation directory could not be read
  kWithheld,          // checked, but not copied: another module of the
                      // patch failed, and a patch with checksums goes in
                      // whole or not at all
  kWouldCopy,         // what-if: a copy would follow
  kWouldRepair,       // what-if: a copy would repair it
};

// The name that the result file gives `result` ("copied", "current", ...).
const char* ModuleResultName(ModuleResult result);

// True for a result that leaves the module below the patch's version, or
// not as the patch vouches for it.
bool IsFailure(ModuleResult result);

struct ModuleRecord {
  std::string name;
  // Version texts as read; unset when the run did not read them, or
  // client.ver has no record.
  std::optional<std::string> new_version;
  std::optional<std::string> installed_before;
  std::optional<std::string> installed_after;
  ModuleResult result = ModuleResult::kNotReached;
  // The system's error code of the call that failed, 0 when none did.
  DWORD error = 0;
  // The old file was in use: moved aside, the new one moved in.
  bool moved_aside = false;
  // kChecksumMismatch: the digest the patch vouched for and the one its
  // file had.
  std::optional<Sha256Digest> expected_digest;
  std::optional<Sha256Digest> actual_digest;
};

// What a run whose policy pins keys found of its patch's trust.
struct TrustRecord {
  bool verified = false;
  // The key that signed it and its serial, when verified.
  std::string key;
  std::optional<std::uint64_t> serial;
  // Why not, in a word or two (see engine/trust.h), when not.
  std::string refused;
};

// How a run ended, before or after its modules.
enum class RunEnd {
  kCompleted,         // every module of the list was handled
  kNoSourceManifest,  // the patch manifest is missing or cannot be read
  kManifestTooLarge,  // a manifest was too large to read
  kNoInstallation,    // no installation directory, or no bin directory
  kRefused,           // the installation may not be written by this run
  kBusy,              // another run held the installation past the bound
  kUntrusted,         // keys are pinned, and the patch or the policy failed
  kEmptyPatch,        // the manifest was read but lists no module (a run
                      // with Windows Installer's codes only)
  kException,         // an exception ended the run
};

// The name that the result file gives a way a run ended ("busy", ...).
const char* RunEndName(RunEnd end);

struct RunReport {
  bool what_if = false;
  // The directories as the run found them; unset when there was none.
  std::optional<std::string> source_dir;
  std::optional<std::string> bin_dir;
  RunEnd end = RunEnd::kCompleted;
  // The trace line that said why the run ended so, when one did.
  std::string end_line;
  std::vector<ModuleRecord> modules;
  // Set when keys are pinned (or their policy could not be read).
  std::optional<TrustRecord> trust;
  // The SHA-256 of the patch manifest's bytes as read, when it was read and
  // someone reads it (a trace file, the event).
  std::optional<Sha256Digest> manifest_sha256;

  // One record for each name, in order, each "not reached" until the run
  // gets to it.
  void ListModules(const std::vector<std::string>& names);

  // The outcome: 1618 when another update held the installation, 1612
  // without a readable patch manifest, 1620 with one that lists no module,
  // 1605 without an installation; 1603
  // when a module was not brought up to date or the run ended otherwise
  // early; else, for a what-if run, 1 when an update would copy something
  // and 0 when nothing would change; else 3010 when a module in use was
  // moved aside (the running client keeps the old one until it restarts)
  // and 0 when every module is at least the patch's version.
  DWORD Outcome() const;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_RUN_REPORT_H_
