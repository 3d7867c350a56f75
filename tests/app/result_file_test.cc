#include "app/result_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ksupdate_version.h"

namespace ks {
namespace {

// Every text of the run is JSON, whatever bytes a name holds.
TEST(ResultFile, QuotesEveryText) {
  RunReport report;
  report.modules.push_back(ModuleRecord());
  report.modules[0].result = ModuleResult::kCopyFailed;
  report.modules[0].name = "a\"b\\c\x01\xE9.dll";
  report.modules[0].error = 2;
  ResultHeader header;
  header.argument = "C:\\p q\\setup.exe";
  const std::string json = ResultJson(header, report, *DefaultOutputs());
  EXPECT_NE(json.find("\"argument\": \"C:\\\\p q\\\\setup.exe\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"name\": \"a\\\"b\\\\c\\u0001\xC3\xA9.dll\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"error\": {\"code\": 2, \"message\": \""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"source_directory\": null"), std::string::npos);
}

// A mismatch says which digests differ, not the system's text for a code.
TEST(ResultFile, MismatchGivesBothDigests) {
  RunReport report;
  report.modules.push_back(ModuleRecord());
  report.modules[0].result = ModuleResult::kChecksumMismatch;
  Sha256Digest expected;
  Sha256Digest actual;
  expected.bytes.fill(0xab);
  actual.bytes.fill(0x01);
  report.modules[0].expected_digest = expected;
  report.modules[0].actual_digest = actual;
  const std::string json = ResultJson({}, report, *DefaultOutputs());
  std::string ab;
  std::string one;
  for (int i = 0; i < 32; ++i) {
    ab += "ab";
    one += "01";
  }
  EXPECT_NE(json.find("\"error\": null, \"checksum\": {\"expected\": \"" + ab +
                      "\", \"actual\": \"" + one + "\"}"),
            std::string::npos)
      << json;
}

// An event stays far below ReportEvent's 32K characters however many
// modules failed; the current ones are only counted.
TEST(RunEvent, BoundedAndSaysWhatWasLeftOut) {
  RunReport report;
  report.modules.resize(3000);
  for (size_t i = 0; i < report.modules.size(); ++i) {
    report.modules[i].name = "plugins\\module" + std::to_string(i) + ".dll";
    report.modules[i].result =
        i % 3 == 0 ? ModuleResult::kCurrent : ModuleResult::kCopyFailed;
  }
  report.modules[1].installed_after = "5";
  const std::vector<std::string> lines = RunEventLines({}, report);
  size_t chars = 0;
  for (const std::string& line : lines) chars += line.size() + 2;
  EXPECT_LT(chars, 16500u);
  EXPECT_EQ(lines[0],
            "ksupdate " KSUPDATE_VERSION ": failure (1603), exit status 0");
  EXPECT_EQ(lines[2], "plugins\\module1.dll: copy failed, none -> 5");
  EXPECT_EQ(lines[lines.size() - 1], "1000 modules current");
  EXPECT_NE(lines[lines.size() - 2].find(" more modules not shown"),
            std::string::npos);
  EXPECT_EQ(RunEventKind(msi::kRestartRequired), EventKind::kWarning);
  EXPECT_EQ(RunEventKind(msi::kBusy), EventKind::kError);
}

}  // namespace
}  // namespace ks
