#include "trace/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"

namespace ks {

CTraceLog::~CTraceLog() {
  m_lines.clear();
  m_count = 0;
}

void CTraceLog::Add(std::string line) {
  if (m_count > kBound - 1) {
    m_lines.pop_front();
    --m_count;
  }
  m_lines.push_back(std::move(line));
  ++m_count;
}

void CTraceLog::ResetForTesting() {
  m_lines.clear();
  m_count = 0;
}

namespace {

#if defined(_WIN32)
constexpr char kLineEnd[] = "\r\n";
#else
constexpr char kLineEnd[] = "\n";
#endif

// Where KSUPDATE_TRACE sends the lines for people: opened at the first line,
// kept for the process. A channel that cannot be opened stays closed.
class TraceChannel {
 public:
  ~TraceChannel() {
    if (file_ != nullptr && file_ != stderr) std::fclose(file_);
  }

  void Write(const std::string& line) {
    if (!opened_) Open();
    if (file_ == nullptr) return;
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fputs(file_ == stderr ? "\n" : kLineEnd, file_);
    // Flushed at once: a run that is killed keeps every line it made.
    std::fflush(file_);
  }

 private:
  void Open() {
    opened_ = true;
    const char* name = std::getenv("KSUPDATE_TRACE");
    if (name == nullptr || *name == '\0') return;
    if (std::strcmp(name, "-") == 0) {
      file_ = stderr;
      return;
    }
    // Binary mode, so that the line end is exactly the one we write.
    file_ = std::fopen(name, "ab");
  }

  bool opened_ = false;
  std::FILE* file_ = nullptr;
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
