// The update rule: what to do with one module, from what was read of it,
// and what a failed copy means. Pure functions: the I/O around them is
// CModuleList::UpdateModule's.
#ifndef KSUPDATE_ENGINE_UPDATE_RULE_H_
#define KSUPDATE_ENGINE_UPDATE_RULE_H_

#include <cstdint>
#include <optional>

#include "engine/run_report.h"
#include "platform/copy_report.h"

namespace ks {

// What was read of one module.
struct ModuleFacts {
  // Its file is in bin (a directory there does not count).
  bool file_present = false;
  // client.ver has a record of it (one that reads otherwise than the
  // default of a missing entry).
  bool recorded = false;
  // The version numbers client.ver and the patch manifest give it.
  std::int32_t installed_version = 0;
  std::int32_t new_version = 0;
  // The patch vouches for its bytes with a checksum.
  bool has_digest = false;
  // client.ver records the SHA-256 of the bytes that this installation put
  // there (section "sha256"), as a copy checked against a checksum leaves
  // it. Read only when the decision asks for the bytes.
  bool has_recorded_digest = false;
  // Whether the installed file's bytes are the ones of CheckedAgainst():
  // read only when the decision asks for them (kCheckBytes).
  std::optional<bool> bytes_match;
  // A verified patch asks for its versions whatever client.ver records
  // ([patch] downgrade=yes): a newer installed version is replaced too.
  bool downgrade = false;
};

enum class ModuleAction {
  kCopyMissing,      // no file there: copied, whatever the versions say
  kCopyBelowRecord,  // no file there, and client.ver records it at or above
                     // the patch's version: that record goes first, so that
                     // a kill between the copy and the new record cannot
                     // leave a record ahead of its file
  kReplace,          // the installed version is older
  kCheckBytes,       // the same version, and a checksum: the installed
                     // bytes decide (ask again with bytes_match)
  kRepair,           // the same version, but not the bytes this
                     // installation recorded (without a record: not the
                     // ones the patch vouches for): a copy torn before the
                     // checks, a damaged disk
  kKeepCurrent,      // the same version (and the bytes, when vouched for)
  kKeepNewer,        // the installed version is newer: never replaced
  kDowngrade,        // the installed version is newer, and the patch
                     // downgrades: the record goes first, as for
                     // kCopyBelowRecord, then the file is replaced
};

// The rule: a missing file is copied; a present one is replaced when its
// version number is lower (or, downgrading, higher), and repaired when it
// is the same, the patch has a checksum, and its bytes are not the ones
// CheckedAgainst() names; nothing else is copied.
ModuleAction DecideModule(const ModuleFacts& facts);

// What the installed bytes are checked against (kCheckBytes).
enum class BytesReference {
  kRecorded,  // the digest that client.ver recorded when this installation
              // copied the file
  kPatch,     // the patch's checksum: the file has no record (an older
              // program, or a copy without a checksum, put it there)
};
// The recorded digest when there is one: a patch of the same version with
// other bytes (a respin) is no reason to copy, only a file that is not
// what was installed; so two patches of one version never undo each
// other's copy run after run.
BytesReference CheckedAgainst(const ModuleFacts& facts);

// True for the actions that copy the patch's file.
bool Copies(ModuleAction action);
// True for those whose record in client.ver (at or above the patch's
// version) is removed before the copy, so that no kill can leave it ahead
// of its file.
bool RemovesRecordFirst(ModuleAction action);
// True for those that replace a file that is there (its attributes are
// cleared first).
bool ReplacesFile(ModuleAction action);

// What the trace says of a decision, and what the module comes to: `line`
// (with the target's path for its %s when `with_path`) is the decision's
// line; `result` the module's result when nothing is copied, or when the
// copy and its record succeed; `what_if` a what-if run's result.
struct Verdict {
  const char* line;
  bool with_path;
  ModuleResult result;
  ModuleResult what_if;
};
Verdict VerdictOf(ModuleAction action);

// What a failed copy gives: the module's result, and the line that says
// why before "    - Copy Failure -" (null for none), whose %s is the
// path that `path` names.
struct CopyFailure {
  enum class Path { kNone, kSource, kTarget };
  ModuleResult result;
  const char* line;
  Path path;
};
CopyFailure DescribeCopyFailure(CopyReport::Problem problem);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_UPDATE_RULE_H_
