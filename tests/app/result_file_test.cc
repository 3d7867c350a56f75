#include "app/result_file.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ksupdate_version.h"
#include "tests/support/data_file.h"

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
  // For tools, the same counted in full, and what the run never knew empty.
  const RunEvent event = RunEventOf({}, report);
  EXPECT_EQ(event.id, msi::kFailure);
  EXPECT_EQ(event.lines, lines);
  EXPECT_EQ(event.fields,
            (std::vector<std::string>{"failure", "1603", "", "", "0", "2000"}));
}

// The texts of the array or object `key` of tests/data/result_file.json, the
// one statement of the result file's format that the Python tools read too:
// each quoted text (for an object, keys and values).
std::vector<std::string> Listed(const std::string& key) {
  const std::string value = DataValue("result_file.json", key);
  EXPECT_NE(value, "(no " + key + ")");
  return QuotedTexts(value);
}

// The names of the object `key` of fields and their types, in order.
std::vector<std::string> FieldNames(const std::string& key) {
  const std::vector<std::string> texts = Listed(key);
  std::vector<std::string> names;
  for (size_t i = 0; i < texts.size(); i += 2) names.push_back(texts[i]);
  return names;
}

// The format is stated once: what this program writes is what the data
// file lists, field for field and word for word.
TEST(ResultFile, WritesWhatItsFormatFileLists) {
  RunReport report;
  report.modules.push_back(ModuleRecord());
  report.trust.emplace();
  const std::string json = ResultJson({}, report, *DefaultOutputs());
  std::vector<std::string> fields;
  const std::regex top("\n  \"([a-z_]+)\":");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), top);
       it != std::sregex_iterator(); ++it) {
    fields.push_back((*it)[1]);
  }
  EXPECT_EQ(fields, FieldNames("fields"));
  std::vector<std::string> module_fields;
  const std::regex inner("[{,] ?\"([a-z_]+)\":");
  const size_t modules = json.find("\"modules\"");
  const std::string module = json.substr(modules);
  for (auto it = std::sregex_iterator(module.begin(), module.end(), inner);
       it != std::sregex_iterator(); ++it) {
    module_fields.push_back((*it)[1]);
  }
  EXPECT_EQ(module_fields, FieldNames("module_fields"));
  std::vector<std::string> trust_fields;
  const size_t trust = json.find("\"trust\": {");
  const std::string trust_text =
      json.substr(trust + 9, json.find('}', trust) - trust - 8);
  for (auto it =
           std::sregex_iterator(trust_text.begin(), trust_text.end(), inner);
       it != std::sregex_iterator(); ++it) {
    trust_fields.push_back((*it)[1]);
  }
  EXPECT_EQ(trust_fields, Listed("trust_fields"));

  std::vector<std::string> results;
  for (int r = 0; r <= static_cast<int>(ModuleResult::kWouldRepair); ++r) {
    results.push_back(ModuleResultName(static_cast<ModuleResult>(r)));
  }
  EXPECT_EQ(results, Listed("module_results"));
  std::vector<std::string> ends;
  for (int e = static_cast<int>(RunEnd::kNoSourceManifest);
       e <= static_cast<int>(RunEnd::kException); ++e) {
    ends.push_back(RunEndName(static_cast<RunEnd>(e)));
  }
  const std::vector<std::string> listed_ends = Listed("run_ends");
  EXPECT_EQ(std::set<std::string>(ends.begin(), ends.end()),
            std::set<std::string>(listed_ends.begin(), listed_ends.end()));
  const std::vector<std::string> outcomes = Listed("outcomes");
  for (size_t i = 0; i + 1 < outcomes.size(); i += 2) {
    const DWORD code = static_cast<DWORD>(std::stoul(outcomes[i]));
    EXPECT_EQ(OutcomeName(code), outcomes[i + 1]) << code;
  }
}

}  // namespace
}  // namespace ks
