#include "app/patcher.h"

#include <memory>
#include <utility>

#include "engine/locations.h"
#include "engine/manifests.h"
#include "engine/module_list.h"
#include "engine/module_names.h"
#include "engine/run_lock.h"
#include "engine/run_report.h"

namespace ks {

CPatcher::CPatcher(std::string base_path) {
  m_strBasePath = std::move(base_path);
  UseBasePath(m_strBasePath);
}

CPatcher::~CPatcher() = default;

void CPatcher::SetRunOptions(bool what_if, RunReport* report) {
  what_if_ = what_if;
  report_ = report;
}

void CPatcher::Run() {
  // Without a report of the caller's, one of our own: the run reads the
  // same either way.
  RunReport own_report;
  RunReport& report = report_ != nullptr ? *report_ : own_report;
  report.what_if = what_if_;
  try {
    CModuleList list;
    const std::string source_dir = GetSourceDir();
    if (!source_dir.empty()) report.source_dir = source_dir;
    const SourceManifestPin pin;
    if (pin.load() != ProfileLoad::kLoaded) {
      report.end = RunEnd::kNoSourceManifest;
    }
    if (!pin.usable()) return;
    for (const std::string& name : ReadModuleNames()) list.AddModule(name);
    report.ListModules(list.modules());
    if (list.modules().empty()) return;
    const std::string bin_dir = GetInstallBinDir();
    if (!bin_dir.empty()) report.bin_dir = bin_dir;
    // One run at a time on an installation, from before its first module
    // to its end, however the run ends.
    std::unique_ptr<InstallationLock> lock;
    switch (LockForRun(!what_if_, &lock)) {
      case RunStart::kGoOn:
        if (!CheckInstalledManifest()) {
          report.end = RunEnd::kManifestTooLarge;
          return;
        }
        break;
      case RunStart::kNoInstallation:
        // Gone through all the same: each module says so, or fails.
        report.end = RunEnd::kNoInstallation;
        break;
      case RunStart::kRefused:
        report.end = RunEnd::kRefused;
        return;
      case RunStart::kBusy:
        report.end = RunEnd::kBusy;
        return;
    }
    RunContext context;
    context.lock = lock.get();
    context.checksums_required = pin.has_checksums();
    context.what_if = what_if_;
    context.report = &report;
    list.UseRunContext(context);
    list.UpdateAll();
  } catch (...) {
    // Whatever went wrong (memory, a text too long) ends the run quietly.
    report.end = RunEnd::kException;
  }
}

}  // namespace ks
