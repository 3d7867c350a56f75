#include "engine/update_rule.h"

#include <gtest/gtest.h>

#include <optional>

namespace ks {
namespace {

struct Row {
  bool present;
  bool recorded;
  int installed;
  int fresh;
  bool digest;
  std::optional<bool> match;
  ModuleAction action;
  bool recorded_digest = false;
  bool downgrade = false;
};

TEST(DecideModule, Table) {
  using A = ModuleAction;
  const Row rows[] = {
      // Missing: copied whatever the versions say; a record at or above the
      // patch's goes first.
      {false, false, 0, 5, false, {}, A::kCopyMissing},
      {false, true, 3, 5, false, {}, A::kCopyMissing},
      {false, true, 5, 5, false, {}, A::kCopyBelowRecord},
      {false, true, 9, 5, true, {}, A::kCopyBelowRecord},
      {false, false, 0, 0, false, {}, A::kCopyMissing},
      {false, true, -2, -3, false, {}, A::kCopyBelowRecord},
      // Older: replaced; the bytes are not asked for.
      {true, true, 3, 5, false, {}, A::kReplace},
      {true, false, 0, 5, true, {}, A::kReplace},
      {true, true, -1, 0, false, {}, A::kReplace},
      // Newer: kept, whatever the bytes.
      {true, true, 6, 5, true, false, A::kKeepNewer},
      {true, true, 6, 5, false, {}, A::kKeepNewer},
      // The same version: the bytes decide when a checksum vouches for them.
      {true, true, 5, 5, false, {}, A::kKeepCurrent},
      {true, false, 0, 0, false, {}, A::kKeepCurrent},
      {true, true, 5, 5, true, {}, A::kCheckBytes},
      {true, true, 5, 5, true, true, A::kKeepCurrent},
      {true, true, 5, 5, true, false, A::kRepair},
      // ... the bytes this installation recorded, where it recorded them
      // (CheckedAgainst); a record without a patch checksum asks nothing.
      {true, true, 5, 5, true, {}, A::kCheckBytes, true},
      {true, true, 5, 5, true, true, A::kKeepCurrent, true},
      {true, true, 5, 5, true, false, A::kRepair, true},
      {true, true, 5, 5, false, {}, A::kKeepCurrent, true},
      {true, true, 3, 5, true, {}, A::kReplace, true},
      // A verified patch that downgrades: a newer one is replaced too, its
      // record first; the rest as ever.
      {true, true, 2147483647, 5, true, {}, A::kDowngrade, false, true},
      {true, true, 3, 5, true, {}, A::kReplace, false, true},
      {true, true, 5, 5, true, false, A::kRepair, false, true},
      {true, true, 5, 5, true, true, A::kKeepCurrent, false, true},
      {false, true, 9, 5, true, {}, A::kCopyBelowRecord, false, true},
  };
  for (const Row& row : rows) {
    ModuleFacts facts;
    facts.file_present = row.present;
    facts.recorded = row.recorded;
    facts.installed_version = row.installed;
    facts.new_version = row.fresh;
    facts.has_digest = row.digest;
    facts.bytes_match = row.match;
    facts.has_recorded_digest = row.recorded_digest;
    facts.downgrade = row.downgrade;
    EXPECT_EQ(CheckedAgainst(facts), row.recorded_digest
                                         ? BytesReference::kRecorded
                                         : BytesReference::kPatch);
    EXPECT_EQ(DecideModule(facts), row.action)
        << "present " << row.present << ", recorded " << row.recorded << ", "
        << row.installed << " -> " << row.fresh << ", digest " << row.digest
        << ", match " << (row.match ? (*row.match ? "yes" : "no") : "unasked")
        << ", recorded digest " << row.recorded_digest << ", downgrade "
        << row.downgrade;
    EXPECT_EQ(Copies(row.action), row.action != A::kKeepCurrent &&
                                      row.action != A::kKeepNewer &&
                                      row.action != A::kCheckBytes);
    // No record may stay above a file put in its place.
    EXPECT_EQ(RemovesRecordFirst(row.action),
              row.action == A::kCopyBelowRecord || row.action == A::kDowngrade);
  }
}

TEST(DescribeCopyFailure, EachProblemItsResultAndLine) {
  using P = CopyReport::Problem;
  EXPECT_EQ(DescribeCopyFailure(P::kNone).result, ModuleResult::kCopyFailed);
  EXPECT_EQ(DescribeCopyFailure(P::kNone).line, nullptr);
  EXPECT_EQ(DescribeCopyFailure(P::kChecksumMismatch).result,
            ModuleResult::kChecksumMismatch);
  EXPECT_STREQ(DescribeCopyFailure(P::kSourceChanged).line,
               "    - Patch file is being written -");
  const CopyFailure refused = DescribeCopyFailure(P::kSourceRefused);
  EXPECT_EQ(refused.result, ModuleResult::kSourceRefused);
  EXPECT_EQ(refused.path, CopyFailure::Path::kSource);
  EXPECT_STREQ(refused.line, "    - Patch file refused : %s -");
  const CopyFailure target = DescribeCopyFailure(P::kTargetRefused);
  EXPECT_EQ(target.result, ModuleResult::kTargetRefused);
  EXPECT_EQ(target.path, CopyFailure::Path::kTarget);
  EXPECT_STREQ(target.line, "    - Target path refused : %s -");
}

}  // namespace
}  // namespace ks
