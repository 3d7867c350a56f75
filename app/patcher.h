// The run object: one pass over the patch's modules.
#ifndef KSUPDATE_APP_PATCHER_H_
#define KSUPDATE_APP_PATCHER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/manifests.h"
#include "engine/run_lock.h"
#include "engine/run_report.h"
#include "platform/platform.h"

namespace ks {

struct TrustPolicy;

class CPatcher {
 public:
  // A run over `base_path`, the argument text, through `platform`, which
  // outlives it.
  CPatcher(Platform& platform, std::string base_path);
  virtual ~CPatcher();

  // What the run does beyond the update: a what-if run decides and traces
  // as usual but writes nothing at all (no copy, no record, no lock file, no
  // sweep of stale files); with `empty_fails` (Windows Installer's codes
  // asked for), a manifest read that lists no module ends the run with a
  // line (RunEnd::kEmptyPatch) instead of as a run with nothing to do;
  // `report`, when not null, gets what the run did and how it ended, and
  // with `digest_manifest` the SHA-256 of the manifest read (for the
  // event; a trace file's note takes it anyway).
  void SetRunOptions(bool what_if, bool empty_fails, RunReport* report,
                     bool digest_manifest = false);

  // Reads the source manifest once and, once the installation is trusted
  // and (where keys are pinned) the manifest's signature checked, its
  // module names into a module list; then, holding the installation's lock,
  // updates each module in order. Never
  // throws: an exception ends the run quietly, leaving the modules after it
  // untouched.
  void Run();

  // The argument text the run was started with.
  std::string m_strBasePath;

 private:
  // The machine's pinned keys into *policy; false, said in the trace and
  // *report, when they are there but unusable.
  bool ReadPolicy(TrustPolicy* policy, RunReport* report);
  // The names `manifest` lists, into *names. False when there is nothing
  // to update: none listed (nothing to do without pinned keys, as ever; with
  // them a patch refused like any unsigned one, so that whoever writes the
  // share cannot end every run in success), or more than kMaxModuleNames
  // (refused unlisted); a refusal is said in the trace and *report.
  bool ReadNames(const PatchManifest& manifest, bool pinned,
                 std::vector<std::string>* names, RunReport* report);
  // Takes the installation's lock after `start` (CheckInstallation's
  // answer), unless the run is a what-if one, into *lock; false, said in
  // *report, when the run must end (busy, client.ver too large).
  bool TakeLock(RunStart start, const std::string& bin_dir,
                std::unique_ptr<InstallationLock>* lock, RunReport* report);
  // Notes in *report how the run ended, with the trace line that said why.
  void End(RunReport* report, RunEnd end) const;

  // The run itself, into `report`; may throw.
  void Update(RunReport& report);

  Platform& platform_;
  // TraceCount() when the run began.
  std::uint64_t traced_before_ = 0;
  bool what_if_ = false;
  bool empty_fails_ = false;
  bool digest_manifest_ = false;
  RunReport* report_ = nullptr;
};

}  // namespace ks

#endif  // KSUPDATE_APP_PATCHER_H_
