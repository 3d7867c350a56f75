// The run's list of modules and the update of each: decide, copy, record.
#ifndef KSUPDATE_ENGINE_MODULE_LIST_H_
#define KSUPDATE_ENGINE_MODULE_LIST_H_

#include <string>
#include <vector>

#include "engine/manifests.h"
#include "engine/run_report.h"
#include "platform/platform.h"

namespace ks {

// What a run tells its list before UpdateAll.
struct RunContext {
  // The installation lock the run holds: a module whose target is the lock
  // file, by any name, is refused.
  const InstallationLock* lock = nullptr;
  // The patch manifest has checksums, which each module must then have
  // (see SourceManifestPin).
  bool checksums_required = false;
  // Decide and trace as usual, but copy and record nothing.
  bool what_if = false;
  // Gets one record a module, in list order.
  RunReport* report = nullptr;
};

class CModuleList {
 public:
  CModuleList() = default;
  CModuleList(const CModuleList&) = delete;
  CModuleList& operator=(const CModuleList&) = delete;
  virtual ~CModuleList();

  // Appends a copy of `name`; empty and repeated names are kept.
  void AddModule(const std::string& name);

  // Updates every module in list order; a module that is skipped or fails
  // does not stop the others. An exception (memory, say) leaves at once.
  void UpdateAll();

  // Updates one module: traces "- Updating: NAME -", reads both versions,
  // and copies the patch's file into bin when the installed one is missing
  // or older, or when it is of the same version but its bytes are not the
  // ones the patch's checksum vouches for; then records the new version
  // text in client.ver. Refuses (and traces) a name that IsSafeModuleName
  // refuses or that names the lock file, and, once the patch has checksums,
  // one without a valid checksum; does nothing without an installation
  // directory. A copy whose bytes do not match the checksum, or whose
  // source changed while it was read, is not put in place and records
  // nothing. In a what-if run nothing is changed: a line says that a copy
  // would follow. True only when the file was copied.
  bool UpdateModule(const std::string& name);

  void UseRunContext(const RunContext& context) { context_ = context; }

  // Fill `version` from the entry `name` of the installed ("client.ver") or
  // the source ("ksmodules.ver") manifest (see ReadManifestVersion).
  void ReadInstalledVersion(const std::string& name, ModuleVersion& version);
  void ReadNewVersion(const std::string& name, ModuleVersion& version);

  const std::vector<std::string>& modules() const { return m_modules; }

 private:
  std::vector<std::string> m_modules;
  RunContext context_;
  // The record of the module that UpdateAll is updating, or null.
  ModuleRecord* record_ = nullptr;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_LIST_H_
