// The run's list of modules and the update of each: read, decide (the
// update rule, engine/update_rule.h), copy, record.
#ifndef KSUPDATE_ENGINE_MODULE_LIST_H_
#define KSUPDATE_ENGINE_MODULE_LIST_H_

#include <cstddef>
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
  // stop the others. A patch with checksums goes in whole or not at all
  // (InstallWhole). An exception (memory, say) leaves at once.
  void UpdateAll();

  // Updates one module: traces "- Updating: NAME -", reads both versions,
  // decides (DecideModule), and copies the patch's file into bin when the
  // rule says so, then records the new version text in client.ver. Refuses
  // (and traces) a name that IsSafeModuleName refuses or that names the
  // lock file, and, once the patch has checksums, one without a valid
  // checksum; does nothing without an installation directory. A copy whose
  // bytes do not match the checksum, or whose source changed while it was
  // read, is not put in place and records nothing. In a what-if run nothing
  // is changed: the patch's file is checked as the copy would (there, and
  // with its checksum), and a line says that a copy would follow. `record`,
  // when not null, gets what happened. True only when the file was copied (even
  // if client.ver could not record it: `record` says so, and a later run
  // records it).
  bool UpdateModule(const std::string& name, ModuleRecord* record = nullptr);

  // Fill `version` from the entry `name` of the installed ("client.ver") or
  // the source ("ksmodules.ver") manifest (see ReadManifestVersion).
  void ReadInstalledVersion(const std::string& name, ModuleVersion& version);
  void ReadNewVersion(const std::string& name, ModuleVersion& version);

  const std::vector<std::string>& modules() const { return m_modules; }

 private:
  struct Planned;

  // A patch with checksums, installed whole or not at all: every copy the
  // rule asks for is first made and checked beside its target (nothing
  // traced yet); only when every one was are they put in place, in list
  // order, each module traced as UpdateModule traces it, the directories
  // flushed once and client.ver written once for all of them. When one
  // fails, nothing is put in place: its lines say why, and each other copy
  // "Not copied". A what-if run never gets here.
  void InstallWhole(std::vector<ModuleRecord>* records);
  // The one opening sequence of a module, for a single update and a staged
  // patch alike: its path in bin, its name, what the patch vouches for, its
  // versions (into `record`), and the rule's decision. Nothing traced.
  Planned PlanModule(const std::string& name, ModuleRecord* record);
  // Traces what `planned` found (a refusal, or the decision's line) and,
  // when no copy follows, notes the module's result; true when a copy
  // follows.
  bool TellDecision(const std::string& name, const Planned& planned,
                    ModuleRecord* record);
  // What InstallWhole's first pass finds for `name` (PlanModule), staging
  // its copy in `stage` when the rule asks for one.
  Planned Plan(const std::string& name, CopyStage* stage, ModuleRecord* record);
  // InstallWhole's record of the staged copies that remove theirs first,
  // in one write, before any copy is put in place.
  void RemoveStaleRecords(const std::vector<Planned>& plans,
                          std::vector<ModuleRecord>* records);
  // InstallWhole's end: the stage flushed, then one write of the versions
  // and digests of the copies `placed`, and their results.
  void RecordPlaced(const std::vector<Planned>& plans,
                    const std::vector<size_t>& placed, CopyStage* stage,
                    std::vector<ModuleRecord>* records);
  // The patch's file of `name`.
  std::string SourcePath(const std::string& name) const;
  // What the patch vouches for the bytes of `name` (its checksum, its size),
  // into *expected; false, with the result that says what is missing, when
  // a section the patch has holds no valid entry for it.
  bool ReadExpected(const std::string& name, ExpectedBytes* expected,
                    ModuleResult* missing) const;
  // Traces `planned` as UpdateModule would and, unless `withheld`, puts
  // its copy in place; true when it did (the record still to be written).
  bool Tell(const std::string& name, Planned* planned, bool withheld,
            CopyStage* stage, ModuleRecord* record);

  // What-if: whether the patch's file of `name` is there, and has the
  // checksum `expected` (null: none), as a copy would find it; false, with
  // the lines and result (into `record`) that the copy's failure gives.
  bool CheckSource(const std::string& name, const ExpectedBytes* expected,
                   ModuleRecord* record);
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
              const ModuleVersion& fresh, const ExpectedBytes* expected,
              ModuleAction* action);
  // The copy that `action` calls for, and its record into `record`; as
  // UpdateModule returns.
  bool CopyAndRecord(const std::string& name, ModuleAction action,
                     const ModuleVersion& fresh, const ExpectedBytes* expected,
                     ModuleRecord* record);
  // Records in client.ver the copy of `name` that `action` made: the new
  // version text, then the digest of the bytes put there (`expected`; none
  // without one), into `record`.
  void RecordCopy(const std::string& name, ModuleAction action,
                  const ModuleVersion& fresh, const ExpectedBytes* expected,
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
