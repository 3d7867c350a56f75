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
#include "platform/sha256.h"
#include "platform/utc_time.h"
#include "trace/trace.h"

namespace ks {

CPatcher::CPatcher(Platform& platform, std::string base_path)
    : m_strBasePath(std::move(base_path)), platform_(platform) {}

CPatcher::~CPatcher() = default;

void CPatcher::SetRunOptions(bool what_if, bool empty_fails, RunReport* report,
                             bool digest_manifest) {
  what_if_ = what_if;
  empty_fails_ = empty_fails;
  report_ = report;
  digest_manifest_ = digest_manifest;
}

bool CPatcher::ReadPolicy(TrustPolicy* policy, RunReport* report) {
  std::string problem;
  if (ReadTrustPolicy(platform_, policy, &problem)) return true;
  Trace("    - Trusted keys unusable : %s -", problem.c_str());
  End(report, RunEnd::kUntrusted);
  report->trust.emplace().refused = "unusable policy";
  return false;
}

bool CPatcher::ReadNames(const PatchManifest& manifest, bool pinned,
                         std::vector<std::string>* names, RunReport* report) {
  *names = ReadModuleNames(manifest);
  if (names->size() > kMaxModuleNames) {
    Trace("    - Manifest lists more than %u modules : %s -",
          static_cast<unsigned>(kMaxModuleNames), manifest.path().c_str());
    End(report, RunEnd::kManifestTooLarge);
    return false;
  }
  if (names->empty() && pinned) {
    Trace("    - Patch not trusted : no module listed -");
    End(report, RunEnd::kUntrusted);
    report->trust.emplace().refused = "no modules";
  } else if (names->empty() && empty_fails_) {
    // A deployment tool that reads the status must not take a patch it
    // cannot read (no [modules], a misspelt one, no text at all) for one
    // that was installed.
    Trace("    - Patch lists no module : %s -", manifest.path().c_str());
    End(report, RunEnd::kEmptyPatch);
  }
  return !names->empty();
}

bool CPatcher::TakeLock(RunStart start, const std::string& bin_dir,
                        std::unique_ptr<InstallationLock>* lock,
                        RunReport* report) {
  if (start == RunStart::kNoInstallation) {
    // Gone through all the same: each module says so, or fails.
    End(report, RunEnd::kNoInstallation);
    return true;
  }
  if (!what_if_ && TakeRunLock(platform_, bin_dir, lock) == RunStart::kBusy) {
    End(report, RunEnd::kBusy);
    return false;
  }
  if (!CheckInstalledManifest(platform_)) {
    End(report, RunEnd::kManifestTooLarge);
    return false;
  }
  return true;
}

namespace {

// Which patch the run took: the digest of the manifest's bytes as read,
// which names the patch whatever its path, in the report (with
// `digest`) and, with its directory, in a trace file's note. Not hashed
// when nobody reads it: a manifest may have 64 MiB.
void NotePatch(const std::string& source_dir, const PatchManifest& manifest,
               bool digest, RunReport* report) {
  if (!digest && !NotesGoAnywhere()) return;
  Sha256 hash;
  hash.Update(manifest.bytes().data(), manifest.bytes().size());
  Sha256Digest sha256;
  const bool hashed = hash.Finish(&sha256);
  if (hashed) report->manifest_sha256 = sha256;
  NoteInChannel("--- patch %s, manifest SHA-256 %s", source_dir.c_str(),
                hashed ? Sha256Hex(sha256).c_str() : "?");
}

}  // namespace

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
  if (manifest.load() == ProfileLoad::kTooLarge) {
    TraceManifestTooLarge(manifest.path());
  }
  if (manifest.load() != ProfileLoad::kLoaded) {
    // Straight after the reading, before another call sets the code.
    if (manifest.load() != ProfileLoad::kTooLarge && NotesGoAnywhere()) {
      NoteErrorInChannel(platform_.LastError(), manifest.path());
    }
    End(&report, RunEnd::kNoSourceManifest);
    return;
  }
  NotePatch(source_dir, manifest, digest_manifest_, &report);
  // Nothing in the manifest is believed before the installation it is for
  // is trusted (its registry holds the policy) and, where the policy pins
  // keys, the manifest's signature is checked on its bytes.
  const RunStart start = CheckInstallation(platform_, &inputs.bin_dir);
  if (start == RunStart::kRefused) {
    End(&report, RunEnd::kRefused);
    return;
  }
  // Pinned keys that cannot be read stop the run before any module: it
  // never falls back to unsigned.
  TrustPolicy policy;
  if (!ReadPolicy(&policy, &report)) return;
  const bool pinned = !policy.keys.empty();
  TrustedPatch trusted;
  if (pinned &&
      !VerifySignature(platform_, inputs, policy, manifest, &trusted)) {
    End(&report, RunEnd::kUntrusted);
    return;
  }
  std::vector<std::string> names;
  if (!ReadNames(manifest, pinned, &names, &report)) return;
  if (!pinned) report.ListModules(names);
  if (!inputs.bin_dir.empty()) report.bin_dir = inputs.bin_dir;
  // One run at a time on an installation, from before its first module
  // to its end, however the run ends.
  std::unique_ptr<InstallationLock> lock;
  if (!TakeLock(start, inputs.bin_dir, &lock, &report)) return;
  if (pinned) {
    if (!VerifyPatch(platform_, inputs, policy, manifest, names, &trusted,
                     &inputs.downgrade)) {
      End(&report, RunEnd::kUntrusted);
      return;
    }
    report.ListModules(names);
  }
  CModuleList list(platform_, inputs, manifest, lock.get());
  for (const std::string& name : names) list.AddModule(name);
  list.UpdateAll();
}

}  // namespace ks
