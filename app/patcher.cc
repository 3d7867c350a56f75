#include "app/patcher.h"

#include <memory>
#include <utility>

#include "engine/locations.h"
#include "engine/manifests.h"
#include "engine/module_list.h"
#include "engine/module_names.h"
#include "engine/run_lock.h"

namespace ks {

CPatcher::CPatcher(std::string base_path) {
  m_strBasePath = std::move(base_path);
  UseBasePath(m_strBasePath);
}

CPatcher::~CPatcher() = default;

void CPatcher::Run() {
  try {
    CModuleList list;
    const SourceManifestPin pin;
    if (!pin.usable()) return;
    for (const std::string& name : ReadModuleNames()) list.AddModule(name);
    // One run at a time on an installation, from before its first module
    // to its end, however the run ends.
    std::unique_ptr<InstallationLock> lock;
    if (list.modules().empty() || !LockForRun(&lock) ||
        !CheckInstalledManifest()) {
      return;
    }
    list.UseLock(lock.get());
    list.RequireChecksums(pin.has_checksums());
    list.UpdateAll();
  } catch (...) {
    // Whatever went wrong (memory, a text too long) ends the run quietly.
  }
}

}  // namespace ks
