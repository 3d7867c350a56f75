#include "trace/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/platform.h"

namespace ks {

CTraceLog::~CTraceLog() { m_lines.clear(); }

void CTraceLog::Add(std::string line) {
  if (m_lines.size() > kBound - 1) m_lines.pop_front();
  m_lines.push_back(std::move(line));
}

void CTraceLog::ResetForTesting() { m_lines.clear(); }

namespace {

// Where KSUPDATE_TRACE sends the lines for people: opened at the first line,
// kept for the process. A channel that cannot be opened stays closed. The
// platform sees to it that no channel can make the run wait.
class TraceChannel {
 public:
  void Write(const std::string& line) {
    if (!opened_) {
      opened_ = true;
      output_ = OpenTraceOutput(std::getenv("KSUPDATE_TRACE"));
    }
    if (output_ != nullptr) output_->WriteLine(line);
  }

 private:
  bool opened_ = false;
  std::unique_ptr<TraceOutput> output_;
};

TraceChannel& Channel() {
  static TraceChannel channel;
  return channel;
}

}  // namespace

void Trace(const char* format, ...) {
  char buffer[kTraceBufferSize];
  buffer[0] = '\0';
  va_list args;
  va_start(args, format);
  // The count is not needed: a message that does not fit is cut, and the
  // buffer always ends in a zero.
  (void)std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::string line(buffer);

  DebugOutput(line.c_str());
  Channel().Write(line);
  TraceLog.Add(std::move(line));
}

}  // namespace ks
