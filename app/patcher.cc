#include "app/patcher.h"

#include <memory>
#include <utility>

#include "engine/manifests.h"
#include "engine/module_list.h"
#include "engine/module_names.h"
#include "engine/run_inputs.h"
#include "engine/run_lock.h"
#include "engine/run_report.h"
#include "engine/trust.h"
#include "platform/utc_time.h"
#include "trace/trace.h"

namespace ks {

CPatcher::CPatcher(Platform& platform, std::string base_path)
    : m_strBasePath(std::move(base_path)), platform_(platform) {}

CPatcher::~CPatcher() = default;

void CPatcher::SetRunOptions(bool what_if, RunReport* report) {
  what_if_ = what_if;
  report_ = report;
}

bool CPatcher::ReadPolicy(TrustPolicy* policy, RunReport* report) {
  std::string problem;
  if (ReadTrustPolicy(platform_, policy, &problem)) return true;
  Trace("    - Trusted keys unusable : %s -", problem.c_str());
  End(report, RunEnd::kUntrusted);
  report->trust.emplace().refused = "unusable policy";
  return false;
}

void CPatcher::RefuseIfPinned(std::string* bin_dir, RunReport* report) {
  // The policy lives in the installation's registry: only once that is
  // trusted (no lock: nothing is written).
  std::unique_ptr<InstallationLock> none;
  switch (LockForRun(platform_, /*take_lock=*/false, &none, bin_dir)) {
    case RunStart::kGoOn:
      break;
    case RunStart::kRefused:
      End(report, RunEnd::kRefused);
      return;
    case RunStart::kNoInstallation:
    case RunStart::kBusy:
      return;
  }
  TrustPolicy policy;
  if (!ReadPolicy(&policy, report) || policy.keys.empty()) return;
  Trace("    - Patch not trusted : no module listed -");
  End(report, RunEnd::kUntrusted);
  report->trust.emplace().refused = "no modules";
}

void CPatcher::End(RunReport* report, RunEnd end) const {
  report->end = end;
  // The line that said why, when one was said since the run began.
  if (TraceCount() > traced_before_ && !TraceLog.lines().empty()) {
    report->end_line = TraceLog.lines().back();
  }
}

void CPatcher::Run() {
  // Without a report of the caller's, one of our own: the run reads the
  // same either way.
  RunReport own_report;
  RunReport& report = report_ != nullptr ? *report_ : own_report;
  report.what_if = what_if_;
  traced_before_ = TraceCount();
  try {
    Update(report);
  } catch (...) {
    // Whatever went wrong (memory, a text too long) ends the run quietly.
    End(&report, RunEnd::kException);
  }
  // What the run held (bin, the patch directory) is let go however it
  // ended; a failure here changes nothing the run did.
  try {
    platform_.ReleaseDirectories();
  } catch (...) {
  }
}

void CPatcher::Update(RunReport& report) {
  RunInputs inputs(m_strBasePath);
  inputs.what_if = what_if_;
  inputs.report = &report;
  inputs.now = UtcNow(platform_);
  const std::string source_dir = inputs.locations.GetSourceDir();
  if (!source_dir.empty()) report.source_dir = source_dir;
  // Held before the manifest is read: it and the modules are read from
  // what is there now, through no link below it.
  platform_.OpenSourceDirectory(source_dir.c_str());
  const PatchManifest manifest(platform_,
                               inputs.locations.GetSourceManifestPath());
  if (manifest.load() != ProfileLoad::kLoaded) {
    End(&report, RunEnd::kNoSourceManifest);
  }
  if (manifest.load() == ProfileLoad::kTooLarge) {
    TraceManifestTooLarge(manifest.path());
    End(&report, RunEnd::kNoSourceManifest);
    return;
  }
  const std::vector<std::string> names = ReadModuleNames(manifest);
  if (names.size() > kMaxModuleNames) {
    Trace("    - Manifest lists more than %u modules : %s -",
          static_cast<unsigned>(kMaxModuleNames), manifest.path().c_str());
    End(&report, RunEnd::kManifestTooLarge);
    return;
  }
  report.ListModules(names);
  if (names.empty()) {
    // A manifest that is missing or unreadable has ended the run already
    // (no source); one read that lists nothing has not.
    if (manifest.load() == ProfileLoad::kLoaded) {
      RefuseIfPinned(&inputs.bin_dir, &report);
    }
    return;
  }
  const std::string bin_dir = Locations::GetInstallBinDir(platform_);
  if (!bin_dir.empty()) report.bin_dir = bin_dir;
  // One run at a time on an installation, from before its first module
  // to its end, however the run ends.
  std::unique_ptr<InstallationLock> lock;
  switch (LockForRun(platform_, !what_if_, &lock, &inputs.bin_dir)) {
    case RunStart::kGoOn:
      if (!CheckInstalledManifest(platform_)) {
        End(&report, RunEnd::kManifestTooLarge);
        return;
      }
      break;
    case RunStart::kNoInstallation:
      // Gone through all the same: each module says so, or fails.
      End(&report, RunEnd::kNoInstallation);
      break;
    case RunStart::kRefused:
      End(&report, RunEnd::kRefused);
      return;
    case RunStart::kBusy:
      End(&report, RunEnd::kBusy);
      return;
  }
  // Pinned keys that cannot be read stop the run before any module: it
  // never falls back to unsigned. Read once the installation is trusted,
  // as the registry they live in is the installation's.
  TrustPolicy policy;
  if (!ReadPolicy(&policy, &report)) return;
  if (!policy.keys.empty() && !VerifyPatch(platform_, inputs, policy, manifest,
                                           names, &inputs.downgrade)) {
    End(&report, RunEnd::kUntrusted);
    return;
  }
  CModuleList list(platform_, inputs, manifest, lock.get());
  for (const std::string& name : names) list.AddModule(name);
  list.UpdateAll();
}

}  // namespace ks
