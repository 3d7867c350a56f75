#include "engine/run_report.h"

#include <gtest/gtest.h>

#include <string>

namespace ks {
namespace {

RunReport With(std::initializer_list<ModuleResult> results) {
  RunReport report;
  for (ModuleResult result : results) {
    report.modules.push_back(ModuleRecord());
    report.modules.back().result = result;
  }
  return report;
}

// Which code wins when a run has several things to say.
TEST(RunReport, OutcomeOfEachEnd) {
  EXPECT_EQ(With({}).Outcome(), 0u);
  RunReport moved = With({ModuleResult::kCopied, ModuleResult::kCurrent});
  moved.modules[0].moved_aside = true;
  EXPECT_EQ(moved.Outcome(), 3010u);
  moved.modules.push_back(ModuleRecord());  // not reached
  EXPECT_EQ(moved.Outcome(), 1603u);
  RunReport busy = With({ModuleResult::kNotReached});
  busy.end = RunEnd::kBusy;
  EXPECT_EQ(busy.Outcome(), 1618u);
  RunReport what_if =
      With({ModuleResult::kCurrent, ModuleResult::kNewerInstalled});
  what_if.what_if = true;
  EXPECT_EQ(what_if.Outcome(), 0u);
  what_if.modules[1].result = ModuleResult::kWouldRepair;
  EXPECT_EQ(what_if.Outcome(), 1u);
  what_if.modules[0].result = ModuleResult::kRefusedName;
  EXPECT_EQ(what_if.Outcome(), 1603u);
  RunReport none = With({ModuleResult::kNoInstallation});
  none.end = RunEnd::kNoInstallation;
  EXPECT_EQ(none.Outcome(), 1605u);
}

}  // namespace
}  // namespace ks
