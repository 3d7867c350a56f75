// The run's list of modules and the update of each: decide, copy, record.
#ifndef KSUPDATE_ENGINE_MODULE_LIST_H_
#define KSUPDATE_ENGINE_MODULE_LIST_H_

#include <string>
#include <vector>

#include "engine/manifests.h"

namespace ks {

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
  // or older, then records the new version text in client.ver. Refuses
  // (and traces) a name that IsSafeModuleName refuses, and does nothing
  // without an installation directory. True only when the file was copied.
  bool UpdateModule(const std::string& name);

  // Fill `version` from the entry `name` of the installed ("client.ver") or
  // the source ("ksmodules.ver") manifest (see ReadManifestVersion).
  void ReadInstalledVersion(const std::string& name, ModuleVersion& version);
  void ReadNewVersion(const std::string& name, ModuleVersion& version);

  const std::vector<std::string>& modules() const { return m_modules; }

 private:
  std::vector<std::string> m_modules;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_LIST_H_
