#include "engine/module_list.h"

#include <memory>
#include <optional>
#include <vector>

#include "engine/locations.h"
#include "engine/module_files.h"
#include "engine/module_names.h"
#include "trace/trace.h"

namespace ks {

namespace {

// A version text as the report gives it: none for the default of a
// missing entry, which is no record at all.
std::optional<std::string> Recorded(const std::string& version) {
  if (version == kDefaultVersion) return std::nullopt;
  return version;
}

// One module's line of the report, or nowhere: a module updated without a
// report (a test's) records nothing.
class Recorder {
 public:
  explicit Recorder(ModuleRecord* record) : record_(record) {}

  // The result, with the system's error code of the call that failed.
  void Result(ModuleResult result, DWORD error = 0) {
    if (record_ == nullptr) return;
    record_->result = result;
    record_->error = error;
  }
  void Versions(const ModuleVersion& installed, const ModuleVersion& fresh) {
    if (record_ == nullptr) return;
    record_->installed_before = Recorded(installed.strVersion);
    record_->installed_after = record_->installed_before;
    record_->new_version = fresh.strVersion;
  }
  void InstalledAfter(const std::string& version) {
    if (record_ != nullptr) record_->installed_after = Recorded(version);
  }
  void Digests(const ExpectedBytes* expected, const CopyReport& report) {
    if (record_ == nullptr || !report.actual || expected == nullptr ||
        !expected->sha256) {
      return;
    }
    record_->expected_digest = *expected->sha256;
    record_->actual_digest = report.actual;
  }
  void MovedAside(bool moved) {
    if (record_ != nullptr) record_->moved_aside = moved;
  }

 private:
  ModuleRecord* record_;
};

// The module is left alone: the registry names no bin directory now, or
// another one than the run holds (`held_bin`), which it never checked.
bool NoInstallation(Platform& platform, const std::string& held_bin,
                    Recorder* recorder) {
  const std::string bin = Locations::GetInstallBinDir(platform);
  if (!bin.empty() && !held_bin.empty() && bin != held_bin) {
    Trace("    - Installation directory changed : %s -", bin.c_str());
  } else {
    Trace("    - Installation directory not found -");
  }
  recorder->Result(ModuleResult::kNoInstallation);
  return false;
}

// Traces a failed copy of `source` to `target` as `report` tells it, and
// notes its result; false.
bool CopyFailed(const CopyReport& report, const std::string& source,
                const std::string& target, const ExpectedBytes* expected,
                Recorder* recorder) {
  const CopyFailure failure = DescribeCopyFailure(report.problem);
  if (failure.path != CopyFailure::Path::kNone) {
    Trace(failure.line, failure.path == CopyFailure::Path::kSource
                            ? source.c_str()
                            : target.c_str());
  } else if (failure.line != nullptr) {
    Trace("%s", failure.line);
  }
  Trace("    - Copy Failure -");
  // The code says which of the two paths failed and why: gone, in use, no
  // room, no right.
  if (!report.actual && report.error != 0) {
    NoteErrorInChannel(report.error, source + " -> " + target);
  }
  // A mismatch is told by its digests: the system's text for the code the
  // provider set says nothing to a person.
  recorder->Result(failure.result,
                   report.actual ? 0 : static_cast<DWORD>(report.error));
  recorder->Digests(expected, report);
  return false;
}

// The line for a module that the patch does not vouch for as it must.
void TraceMissing(ModuleResult missing) {
  Trace(missing == ModuleResult::kNoSize ? "    - No valid size -"
                                         : "    - No valid checksum -");
}

// The line that says what `action` found, with the target's path where it
// has one; false when the path cannot be read again.
bool TraceDecision(Platform& platform, const std::string& held_bin,
                   const std::string& name, ModuleAction action) {
  const Verdict verdict = VerdictOf(action);
  if (!verdict.with_path) {
    Trace("%s", verdict.line);
    return true;
  }
  std::string target;
  if (!Locations::InstalledFilePath(platform, name, &target, held_bin)) {
    return false;
  }
  Trace(verdict.line, target.c_str());
  return true;
}

}  // namespace

CModuleList::CModuleList(Platform& platform, const RunInputs& inputs,
                         const PatchManifest& manifest,
                         const InstallationLock* lock)
    : platform_(platform), inputs_(inputs), manifest_(manifest), lock_(lock) {}

CModuleList::~CModuleList() = default;

void CModuleList::AddModule(const std::string& name) {
  m_modules.push_back(name);
}

void CModuleList::ReadInstalledVersion(const std::string& name,
                                       ModuleVersion& version) {
  // Without the bin directory the run holds, the default of a missing
  // entry: never client.ver at the root of the drive, nor another bin's.
  std::string manifest;
  if (!BinPath(kInstalledManifestName, &manifest)) {
    version = VersionOf(kDefaultVersion);
    return;
  }
  ReadManifestVersion(platform_, manifest, name, version);
}

void CModuleList::ReadNewVersion(const std::string& name,
                                 ModuleVersion& version) {
  manifest_.ReadVersion(name, version);
}

void CModuleList::UpdateAll() {
  RunReport* report = inputs_.report;
  if (report != nullptr && report->modules.size() != m_modules.size()) {
    report->ListModules(m_modules);
  }
  if (manifest_.has_checksums() && !inputs_.what_if) {
    std::vector<ModuleRecord> own(report != nullptr ? 0 : m_modules.size());
    InstallWhole(report != nullptr ? &report->modules : &own);
    return;
  }
  for (size_t i = 0; i < m_modules.size(); ++i) {
    UpdateModule(m_modules[i],
                 report != nullptr ? &report->modules[i] : nullptr);
  }
}

struct CModuleList::Planned {
  enum class Step {
    kDecided,         // no copy: the verdict's result
    kCopy,            // a copy follows
    kStaged,          // its copy waits in the stage as `staged`
    kStageFailed,     // its copy failed: `failure`
    kNoInstallation,  // bin cannot be read again
    kRefusedName,
    kUnvouched,  // no valid checksum or size: `missing`
  };

  // What the patch vouches for, when it vouches for anything.
  const ExpectedBytes* vouched() const {
    return expected.sha256 || expected.size ? &expected : nullptr;
  }

  Step step = Step::kDecided;
  ModuleResult missing = ModuleResult::kNoChecksum;
  ModuleAction action = ModuleAction::kKeepCurrent;
  ModuleVersion fresh;
  ExpectedBytes expected;
  std::size_t staged = 0;
  CopyReport failure;
};

bool CModuleList::UpdateModule(const std::string& name, ModuleRecord* record) {
  Recorder recorder(record);
  Trace("- Updating: %s -", name.c_str());
  // Without an installation every path would fall back to the root of the
  // current drive: write nothing there. Every use of a path in bin below
  // reads the registry again (see locations.h); a read that finds no
  // installation stops the module there, untouched, and a later run takes
  // it up again.
  const Planned planned = PlanModule(name, record);
  if (!TellDecision(name, planned, record)) return false;
  if (inputs_.what_if) {
    if (!CheckSource(name, planned.vouched(), record)) return false;
    Trace("    - What-if run: not copied -");
    recorder.Result(VerdictOf(planned.action).what_if);
    return false;
  }
  return CopyAndRecord(name, planned.action, planned.fresh, planned.vouched(),
                       record);
}

CModuleList::Planned CModuleList::PlanModule(const std::string& name,
                                             ModuleRecord* record) {
  using Step = Planned::Step;
  Planned planned;
  std::string target;
  if (!BinPath(name, &target)) {
    planned.step = Step::kNoInstallation;
  } else if (!MayWrite(name)) {
    planned.step = Step::kRefusedName;
  } else if (!ReadExpected(name, &planned.expected, &planned.missing)) {
    planned.step = Step::kUnvouched;
  } else {
    ModuleVersion installed;
    ReadInstalledVersion(name, installed);
    ReadNewVersion(name, planned.fresh);
    Recorder(record).Versions(installed, planned.fresh);
    if (!Decide(name, installed, planned.fresh, planned.vouched(),
                &planned.action)) {
      planned.step = Step::kNoInstallation;
    } else {
      planned.step = Copies(planned.action) ? Step::kCopy : Step::kDecided;
    }
  }
  return planned;
}

bool CModuleList::TellDecision(const std::string& name, const Planned& planned,
                               ModuleRecord* record) {
  using Step = Planned::Step;
  Recorder own(record);
  Recorder* recorder = &own;
  switch (planned.step) {
    case Step::kNoInstallation:
      return NoInstallation(platform_, inputs_.bin_dir, recorder);
    case Step::kRefusedName:
      Trace("    - Invalid module name -");
      recorder->Result(ModuleResult::kRefusedName);
      return false;
    case Step::kUnvouched:
      TraceMissing(planned.missing);
      recorder->Result(planned.missing);
      return false;
    case Step::kDecided:
    case Step::kCopy:
    case Step::kStaged:
    case Step::kStageFailed:
      break;
  }
  if (!TraceDecision(platform_, inputs_.bin_dir, name, planned.action)) {
    return NoInstallation(platform_, inputs_.bin_dir, recorder);
  }
  if (planned.step != Step::kDecided) return true;
  recorder->Result(VerdictOf(planned.action).result);
  return false;
}

CModuleList::Planned CModuleList::Plan(const std::string& name,
                                       CopyStage* stage, ModuleRecord* record) {
  using Step = Planned::Step;
  Planned planned = PlanModule(name, record);
  if (planned.step != Step::kDecided && planned.step != Step::kCopy) {
    return planned;
  }
  std::string target;
  if (!BinPath(name, &target)) {
    planned.step = Step::kNoInstallation;
  } else if (planned.step == Step::kCopy) {
    planned.step =
        stage->Stage(SourcePath(name).c_str(), target.c_str(),
                     &planned.expected, &planned.staged, &planned.failure)
            ? Step::kStaged
            : Step::kStageFailed;
  }
  return planned;
}

bool CModuleList::Tell(const std::string& name, Planned* planned, bool withheld,
                       CopyStage* stage, ModuleRecord* record) {
  using Step = Planned::Step;
  Recorder recorder(record);
  Trace("- Updating: %s -", name.c_str());
  if (!TellDecision(name, *planned, record)) return false;
  if (planned->step == Step::kStaged && withheld) {
    Trace("    - Not copied: another module failed -");
    recorder.Result(ModuleResult::kWithheld);
    return false;
  }
  std::string target;
  CopyReport report = planned->failure;
  if (planned->step == Step::kStaged) {
    if (!BinPath(name, &target)) {
      return NoInstallation(platform_, inputs_.bin_dir, &recorder);
    }
    // A file that is there loses its attributes (read-only, hidden) first.
    if (ReplacesFile(planned->action)) {
      SetFileAttr(platform_, target, FILE_ATTRIBUTE_NORMAL);
    }
    if (stage->PutInPlace(planned->staged, &report)) {
      recorder.MovedAside(report.moved_aside);
      Trace("    - Copy Success -");
      return true;
    }
  }
  BinPath(name, &target);
  return CopyFailed(report, SourcePath(name), target, &planned->expected,
                    &recorder);
}

void CModuleList::InstallWhole(std::vector<ModuleRecord>* records) {
  using Step = Planned::Step;
  std::unique_ptr<CopyStage> stage = platform_.BeginStaging();
  std::vector<Planned> plans;
  plans.reserve(m_modules.size());
  bool withheld = false;
  for (size_t i = 0; i < m_modules.size(); ++i) {
    plans.push_back(Plan(m_modules[i], stage.get(), &(*records)[i]));
    // Only a copy that fails withholds the others: a name refused or
    // without a checksum would never be copied by any run of this patch.
    withheld = withheld || plans.back().step == Step::kStageFailed;
  }
  if (!withheld) RemoveStaleRecords(plans, records);
  std::vector<size_t> placed;
  for (size_t i = 0; i < plans.size(); ++i) {
    if (Tell(m_modules[i], &plans[i], withheld, stage.get(), &(*records)[i])) {
      placed.push_back(i);
    }
  }
  if (!placed.empty()) RecordPlaced(plans, placed, stage.get(), records);
}

void CModuleList::RemoveStaleRecords(const std::vector<Planned>& plans,
                                     std::vector<ModuleRecord>* records) {
  // A record at or above the patch's version (a missing file's, or a
  // downgraded one's) goes before any copy is put in place, all in one
  // write; when it cannot be written, the copies go on, and their record
  // fails as well.
  std::vector<ProfileWrite> stale;
  for (size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].step == Planned::Step::kStaged &&
        RemovesRecordFirst(plans[i].action)) {
      stale.push_back({kModulesSection, m_modules[i], std::nullopt});
    }
  }
  std::string manifest;
  if (stale.empty() || !BinPath(kInstalledManifestName, &manifest) ||
      !platform_.WriteProfileStrings(manifest.c_str(), stale)) {
    return;
  }
  for (size_t i = 0; i < plans.size(); ++i) {
    if (plans[i].step == Planned::Step::kStaged &&
        RemovesRecordFirst(plans[i].action)) {
      Recorder(&(*records)[i]).InstalledAfter(kDefaultVersion);
    }
  }
}

void CModuleList::RecordPlaced(const std::vector<Planned>& plans,
                               const std::vector<size_t>& placed,
                               CopyStage* stage,
                               std::vector<ModuleRecord>* records) {
  // The copies are durable before client.ver names them: a record is never
  // ahead of its file.
  // The versions first: they replace lines that are there, which is
  // cheap; the digests are mostly new lines.
  std::vector<ProfileWrite> writes;
  writes.reserve(2 * placed.size());
  for (size_t i : placed) {
    writes.push_back(
        {kModulesSection, m_modules[i], plans[i].fresh.strVersion});
  }
  for (size_t i : placed) {
    writes.push_back(
        {kChecksumSection, m_modules[i], Sha256Hex(*plans[i].expected.sha256)});
  }
  std::string manifest;
  const bool recorded = stage->Flush() &&
                        BinPath(kInstalledManifestName, &manifest) &&
                        platform_.WriteProfileStrings(manifest.c_str(), writes);
  const DWORD error = recorded ? 0 : platform_.LastError();
  for (size_t i : placed) {
    Recorder recorder(&(*records)[i]);
    if (!recorded) {
      recorder.Result(ModuleResult::kRecordFailed, error);
      continue;
    }
    recorder.InstalledAfter(plans[i].fresh.strVersion);
    recorder.Result(VerdictOf(plans[i].action).result);
  }
}

std::string CModuleList::SourcePath(const std::string& name) const {
  return inputs_.locations.GetSourceDir() + "\\" + name;
}

bool CModuleList::CheckSource(const std::string& name,
                              const ExpectedBytes* expected,
                              ModuleRecord* record) {
  Recorder recorder(record);
  const std::string source = SourcePath(name);
  // Read as the copy would read it (a link refused), also without a
  // checksum to match.
  Sha256Digest digest;
  CopyReport report;
  if (platform_.HashFile(source.c_str(), &digest, &report) != FALSE) {
    if (expected == nullptr || !expected->sha256 ||
        digest == *expected->sha256) {
      return true;
    }
    report.actual = digest;
    report.problem = CopyReport::Problem::kChecksumMismatch;
  }
  // The lines and the result of the copy that would fail.
  return CopyFailed(report, source, "", expected, &recorder);
}

bool CModuleList::ReadExpected(const std::string& name, ExpectedBytes* expected,
                               ModuleResult* missing) const {
  Sha256Digest digest;
  switch (manifest_.ReadChecksum(name, &digest)) {
    case ModuleChecksum::kInvalid:
      *missing = ModuleResult::kNoChecksum;
      return false;
    case ModuleChecksum::kValid:
      expected->sha256 = digest;
      break;
    case ModuleChecksum::kNone:
      break;
  }
  std::uint64_t size = 0;
  switch (manifest_.ReadSize(name, &size)) {
    case ModuleSize::kInvalid:
      *missing = ModuleResult::kNoSize;
      return false;
    case ModuleSize::kValid:
      expected->size = size;
      break;
    case ModuleSize::kNone:
      break;
  }
  return true;
}

bool CModuleList::BinPath(const std::string& file_name, std::string* path) {
  return Locations::InstalledFilePath(platform_, file_name, path,
                                      inputs_.bin_dir);
}

bool CModuleList::MayWrite(const std::string& name) {
  std::string target;
  return IsSafeModuleName(name) &&
         !(lock_ != nullptr && BinPath(name, &target) &&
           lock_->IsLockFile(target.c_str()));
}

bool CModuleList::Decide(const std::string& name,
                         const ModuleVersion& installed,
                         const ModuleVersion& fresh,
                         const ExpectedBytes* expected, ModuleAction* action) {
  std::string target;
  if (!BinPath(name, &target)) return false;
  ModuleFacts facts;
  facts.file_present = IsFileExist(platform_, target);
  facts.recorded = installed.strVersion != kDefaultVersion;
  facts.installed_version = installed.nVersion;
  facts.new_version = fresh.nVersion;
  facts.has_digest = expected != nullptr && expected->sha256.has_value();
  facts.downgrade = inputs_.downgrade;
  *action = DecideModule(facts);
  if (*action == ModuleAction::kCheckBytes) {
    std::string manifest;
    Sha256Digest recorded;
    facts.has_recorded_digest =
        BinPath(kInstalledManifestName, &manifest) &&
        ReadRecordedDigest(platform_, manifest, name, &recorded);
    facts.bytes_match = FileHasDigest(
        platform_, target,
        CheckedAgainst(facts) == BytesReference::kRecorded ? recorded
                                                           : *expected->sha256);
    *action = DecideModule(facts);
  }
  return true;
}

bool CModuleList::CopyAndRecord(const std::string& name, ModuleAction action,
                                const ModuleVersion& fresh,
                                const ExpectedBytes* expected,
                                ModuleRecord* record) {
  Recorder recorder(record);
  std::string target;
  // When the record cannot be removed, client.ver cannot be written at
  // all: the copy goes on, so that the client has its module, and the
  // record after it fails as well.
  if (RemovesRecordFirst(action) && RemoveRecord(name)) {
    recorder.InstalledAfter(kDefaultVersion);
  }
  // A file that is there loses its attributes (read-only, hidden) first.
  if (ReplacesFile(action)) {
    if (!BinPath(name, &target)) {
      return NoInstallation(platform_, inputs_.bin_dir, &recorder);
    }
    SetFileAttr(platform_, target, FILE_ATTRIBUTE_NORMAL);
  }
  if (!BinPath(name, &target)) {
    return NoInstallation(platform_, inputs_.bin_dir, &recorder);
  }
  const std::string source = SourcePath(name);
  CopyReport report;
  if (!CopyModuleFile(platform_, source, target, expected, &report)) {
    return CopyFailed(report, source, target, expected, &recorder);
  }
  recorder.MovedAside(report.moved_aside);
  Trace("    - Copy Success -");
  RecordCopy(name, action, fresh, expected, record);
  return true;
}

void CModuleList::RecordCopy(const std::string& name, ModuleAction action,
                             const ModuleVersion& fresh,
                             const ExpectedBytes* expected,
                             ModuleRecord* record) {
  Recorder recorder(record);
  // A manifest path without the installation is not written, as a failed
  // write is not: the copy stands and a later run records it.
  std::string manifest;
  if (!BinPath(kInstalledManifestName, &manifest) ||
      !platform_.WritePrivateProfileStringA(kModulesSection, name.c_str(),
                                            fresh.strVersion.c_str(),
                                            manifest.c_str())) {
    recorder.Result(ModuleResult::kRecordFailed, platform_.LastError());
    return;
  }
  // A record reads back as written.
  recorder.InstalledAfter(fresh.strVersion);
  recorder.Result(VerdictOf(action).result);
  // Then the bytes put there, for a later run of this version to check the
  // file against (CheckedAgainst): the digest that the copy was checked
  // against; a copy without one leaves no record of other bytes. Without
  // this record a later run checks against its patch, as before: its
  // results are not looked at.
  Sha256Digest recorded;
  if (!BinPath(kInstalledManifestName, &manifest)) return;
  if (expected != nullptr && expected->sha256) {
    platform_.WritePrivateProfileStringA(kChecksumSection, name.c_str(),
                                         Sha256Hex(*expected->sha256).c_str(),
                                         manifest.c_str());
  } else if (ReadRecordedDigest(platform_, manifest, name, &recorded)) {
    platform_.WritePrivateProfileStringA(kChecksumSection, name.c_str(),
                                         nullptr, manifest.c_str());
  }
}

bool CModuleList::RemoveRecord(const std::string& name) {
  std::string manifest;
  return BinPath(kInstalledManifestName, &manifest) &&
         platform_.WritePrivateProfileStringA(kModulesSection, name.c_str(),
                                              nullptr, manifest.c_str());
}

}  // namespace ks
