#include "trace/trace.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace ks {
namespace {

std::vector<std::string> Lines() {
  return std::vector<std::string>(TraceLog.lines().begin(),
                                  TraceLog.lines().end());
}

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceLog.ResetForTesting(); }
  void TearDown() override { TraceLog.ResetForTesting(); }
};

TEST_F(TraceTest, KeepsTheLast34LinesInOrder) {
  for (int i = 1; i <= 34; ++i) Trace("line %d", i);
  ASSERT_EQ(TraceLog.count(), 34u);
  EXPECT_EQ(Lines().front(), "line 1");
  EXPECT_EQ(Lines().back(), "line 34");

  Trace("line %d", 35);
  EXPECT_EQ(TraceLog.count(), 34u);
  EXPECT_EQ(Lines().front(), "line 2");
  EXPECT_EQ(Lines().back(), "line 35");

  for (int i = 36; i <= 100; ++i) Trace("line %d", i);
  EXPECT_EQ(TraceLog.count(), 34u);
  EXPECT_EQ(TraceLog.lines().size(), 34u);
  EXPECT_EQ(Lines().front(), "line 67");
  EXPECT_EQ(Lines().back(), "line 100");
}

TEST_F(TraceTest, EmptyAndVerbatimLines) {
  Trace("%s", "");
  Trace("- Updating: %s -", "100% %s %n.dll");
  ASSERT_EQ(TraceLog.count(), 2u);
  EXPECT_EQ(Lines()[0], "");
  EXPECT_EQ(Lines()[1], "- Updating: 100% %s %n.dll -");
}

TEST_F(TraceTest, LongMessageIsCutToTheBuffer) {
  std::string name(50000, 'x');
  Trace("- Updating: %s -", name.c_str());
  ASSERT_EQ(TraceLog.count(), 1u);
  const std::string line = Lines()[0];
  EXPECT_EQ(line.size(), static_cast<size_t>(kTraceBufferSize - 1));
  EXPECT_EQ(line.substr(0, 12), "- Updating: ");
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The channel is opened once a process, so its cases run in child
// processes.
TEST(TraceChannelDeathTest, FileChannelGetsEveryLine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string path = ::testing::TempDir() + "ks_trace_channel.txt";
  std::remove(path.c_str());
  EXPECT_EXIT(
      {
        // Each line of the file after its stamp; the log in memory, and a
        // note's error, as they were.
        int stamps = 0;
        OpenTraceChannel(DefaultOutputs(), path.c_str(),
                         [&stamps] { return "s" + std::to_string(++stamps); });
        for (int i = 1; i <= 40; ++i) Trace("line %d", i);
        NoteErrorInChannel(2, "C:\\patch\\a.dll");
        std::exit(TraceLog.count() == 34 && TraceLog.lines().back() == "line 40"
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
#ifdef _WIN32
  const char line_end[] = "\r\n";
#else
  const char line_end[] = "\n";
#endif
  std::string expected;
  for (int i = 1; i <= 40; ++i) {
    expected +=
        "s" + std::to_string(i) + " line " + std::to_string(i) + line_end;
  }
  expected += "s41 --- error 2: " + DefaultOutputs()->SystemErrorText(2) +
              " : C:\\patch\\a.dll" + line_end;
  EXPECT_EQ(ReadAll(path), expected);
  std::remove(path.c_str());
}

TEST(TraceChannelDeathTest, DashWritesToStandardError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A person's console: no stamps there.
        OpenTraceChannel(DefaultOutputs(), "-", [] { return "stamp"; });
        Trace("- Updating: %s -", "a.dll");
        // A name's control characters are escaped on the way out only.
        Trace("- Updating: %s -", "a\x1b[2J\nb.dll");
        std::exit(
            TraceLog.lines().back() == "- Updating: a\x1b[2J\nb.dll -" ? 0 : 1);
      },
      ::testing::ExitedWithCode(0),
      "^- Updating: a.dll -\n- Updating: a\\\\x1B\\[2J\\\\x0Ab\\.dll -\n");
}

TEST(TraceChannelDeathTest, UnopenableChannelIsIgnored) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        OpenTraceChannel(DefaultOutputs(), "/nonexistent-dir/trace.txt");
        Trace("one");
        Trace("two");
        std::exit(TraceLog.count() >= 2 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Outputs that keep what the debugger's channel was sent.
class DebugLines : public Outputs {
 public:
  void DebugOutput(const char* line) override { lines.emplace_back(line); }
  std::unique_ptr<TraceOutput> OpenTraceOutput(const char* /*name*/,
                                               bool* refused) override {
    *refused = false;
    return nullptr;
  }
  std::string SystemErrorText(DWORD /*code*/) override { return ""; }
  bool ExitStatusHoldsWholeCodes() override { return true; }
  void LogRunEvent(const RunEvent& /*event*/) override {}
  bool LogsRunsByDefault() override { return false; }
  std::vector<std::string> lines;
};

TEST(TraceChannelDeathTest, DebuggerChannelGetsEachLineEscaped) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        DebugLines outputs;
        OpenTraceChannel(&outputs, "");
        Trace("- Updating: %s -", "a\tb.dll");
        Trace("plain");
        std::exit(outputs.lines ==
                          std::vector<std::string>{"- Updating: a\\x09b.dll -",
                                                   "plain"}
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

#ifndef _WIN32
// A link in the trace path's place (in a directory others may write) is
// not followed: its target keeps its bytes, and the refusal is a line.
TEST(TraceChannelDeathTest, LinkIsRefused) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string target = ::testing::TempDir() + "ks_trace_target.txt";
  const std::string link = ::testing::TempDir() + "ks_trace_link.txt";
  std::remove(link.c_str());
  std::ofstream(target, std::ios::binary | std::ios::trunc) << "mine\n";
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EXIT(
      {
        OpenTraceChannel(DefaultOutputs(), link.c_str());
        Trace("one");
        std::exit(TraceLog.lines().front() ==
                          "    - Trace file refused : " + link + " -"
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadAll(target), "mine\n");
  std::remove(link.c_str());
  std::remove(target.c_str());
}

// The directories of a trace file: made when missing, and never reached
// through a link, however far up it is.
TEST(TraceChannelDeathTest, DirectoriesAreMadeAndNoLinkOnTheWay) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string base = ::testing::TempDir() + "ks_trace_dirs";
  std::filesystem::remove_all(base);
  ASSERT_TRUE(std::filesystem::create_directories(base + "/real"));
  ASSERT_EQ(symlink((base + "/real").c_str(), (base + "/via").c_str()), 0);
  const std::string made = base + "/new/logs/trace.txt";
  const std::string linked = base + "/via/deeper/trace.txt";
  EXPECT_EXIT(
      {
        OpenTraceChannel(DefaultOutputs(), made.c_str());
        Trace("one");
        OpenTraceChannel(DefaultOutputs(), linked.c_str());
        std::exit(TraceLog.lines().back() ==
                          "    - Trace file refused : " + linked + " -"
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(ReadAll(made), "one\n");
  EXPECT_FALSE(std::filesystem::exists(base + "/real/deeper"));
  std::filesystem::remove_all(base);
}
#endif

}  // namespace
}  // namespace ks
