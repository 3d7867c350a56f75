// The run's list of modules and the update of each: read, decide (the
// update rule, engine/update_rule.h), copy, record.
#ifndef KSUPDATE_ENGINE_MODULE_LIST_H_
#define KSUPDATE_ENGINE_MODULE_LIST_H_

#include <string>
#include <vector>

#include "engine/manifests.h"
#include "engine/run_inputs.h"
#include "engine/run_report.h"
#include "engine/update_rule.h"
#include "platform/platform.h"

namespace ks {

class CModuleList {
 public:
  // A list that updates through `platform`, as `inputs` asks, from the
  // patch manifest's one reading `manifest`, while the run holds `lock`
  // (null: none; a module whose target is the lock file, by any name, is
  // refused). All four outlive the list.
  CModuleList(Platform& platform, const RunInputs& inputs,
              const PatchManifest& manifest, const InstallationLock* lock);
  CModuleList(const CModuleList&) = delete;
  CModuleList& operator=(const CModuleList&) = delete;
  virtual ~CModuleList();

  // Appends a copy of `name`; empty and repeated names are kept.
  void AddModule(const std::string& name);

  // Updates every module in list order, each into its record of the run's
  // report (when it has one); a module that is skipped or fails does not
  // stop the others. An exception (memory, say) leaves at once.
  void UpdateAll();

  // Updates one module: traces "- Updating: NAME -", reads both versions,
  // decides (DecideModule), and copies the patch's file into bin when the
  // rule says so, then records the new version text in client.ver. Refuses
  // (and traces) a name that IsSafeModuleName refuses or that names the
  // lock file, and, once the patch has checksums, one without a valid
  // checksum; does nothing without an installation directory. A copy whose
  // bytes do not match the checksum, or whose source changed while it was
  // read, is not put in place and records nothing. In a what-if run nothing
  // is changed: a line says that a copy would follow. `record`, when not
  // null, gets what happened. True only when the file was copied (even if
  // client.ver could not record it: `record` says so, and a later run
  // records it).
  bool UpdateModule(const std::string& name, ModuleRecord* record = nullptr);

  // Fill `version` from the entry `name` of the installed ("client.ver") or
  // the source ("ksmodules.ver") manifest (see ReadManifestVersion).
  void ReadInstalledVersion(const std::string& name, ModuleVersion& version);
  void ReadNewVersion(const std::string& name, ModuleVersion& version);

  const std::vector<std::string>& modules() const { return m_modules; }

 private:
  // The path of `file_name` in the bin directory that the run holds
  // (Locations::InstalledFilePath); false when the registry now gives none
  // or another.
  bool BinPath(const std::string& file_name, std::string* path);
  // False for a name that IsSafeModuleName refuses or that names the lock
  // file.
  bool MayWrite(const std::string& name);
  // What the update rule does with `name` (DecideModule), from what is in
  // bin now and its checksum `expected` (null: none); false, with no
  // decision, when the installation directory cannot be read again.
  bool Decide(const std::string& name, const ModuleVersion& installed,
              const ModuleVersion& fresh, const Sha256Digest* expected,
              ModuleAction* action);
  // The copy that `action` calls for, and its record into `record`; as
  // UpdateModule returns.
  bool CopyAndRecord(const std::string& name, ModuleAction action,
                     const ModuleVersion& fresh, const Sha256Digest* expected,
                     ModuleRecord* record);
  // Records in client.ver the copy of `name` that `action` made: the new
  // version text, then the digest of the bytes put there (`expected`; none
  // without one), into `record`.
  void RecordCopy(const std::string& name, ModuleAction action,
                  const ModuleVersion& fresh, const Sha256Digest* expected,
                  ModuleRecord* record);
  // Removes the record of `name` from client.ver, durably (the profile
  // write's atomic replace), before a copy (kCopyBelowRecord). False when
  // it cannot be.
  bool RemoveRecord(const std::string& name);

  Platform& platform_;
  const RunInputs& inputs_;
  const PatchManifest& manifest_;
  const InstallationLock* lock_;
  std::vector<std::string> m_modules;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_LIST_H_
