#include "app/result_file.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace ks
