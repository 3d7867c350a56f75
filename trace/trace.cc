#include "trace/trace.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

namespace ks {

// Nothing depends on the order in which it and the application object are
// made or ended: neither uses the other then.
CTraceLog TraceLog;

CTraceLog::~CTraceLog() { m_lines.clear(); }

void CTraceLog::Add(std::string line) {
  if (m_lines.size() > kBound - 1) m_lines.pop_front();
  m_lines.push_back(std::move(line));
}

void CTraceLog::ResetForTesting() { m_lines.clear(); }

namespace {

// Where KSUPDATE_TRACE sends the lines for people: opened once, kept for
// the process. A channel that cannot be opened stays closed. The platform
// sees to it that no channel can make the run wait.
class TraceChannel {
 public:
  void Open(Outputs* outputs, const char* name, LineStamp stamp) {
    outputs_ = outputs;
    bool refused = false;
    output_ = outputs->OpenTraceOutput(name, &refused);
    // Standard error is a person's console, read as the run goes: the
    // stamps are for a file that many runs append to.
    stamp_ = name != nullptr && std::strcmp(name, "-") != 0 ? std::move(stamp)
                                                            : nullptr;
    if (refused) Trace("    - Trace file refused : %s -", name);
  }
  void Close() {
    output_.reset();
    stamp_ = nullptr;
    outputs_ = nullptr;
  }
  void Write(const std::string& line, bool debugger = true) {
    if (debugger && outputs_ != nullptr) outputs_->DebugOutput(line.c_str());
    if (output_ == nullptr) return;
    output_->WriteLine(stamp_ ? stamp_() + " " + line : line);
  }
  bool open() const { return output_ != nullptr; }
  std::string ErrorText(DWORD code) const {
    return outputs_ != nullptr ? outputs_->SystemErrorText(code)
                               : std::string();
  }

 private:
  Outputs* outputs_ = nullptr;
  std::unique_ptr<TraceOutput> output_;
  LineStamp stamp_;
};

TraceChannel& Channel() {
  static TraceChannel channel;
  return channel;
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// The line as the channels show it: a module name may hold any byte, and a
// control character in it must not end a line, move a terminal's cursor or
// hide text from whoever reads the log. Each is written as \xNN.
std::string ForChannels(const std::string& line) {
  if (std::none_of(line.begin(), line.end(), IsControl)) return line;
  std::string shown;
  for (char c : line) {
    if (!IsControl(c)) {
      shown += c;
      continue;
    }
    char escape[5];
    std::snprintf(escape, sizeof escape, "\\x%02X",
                  static_cast<unsigned char>(c));
    shown += escape;
  }
  return shown;
}

std::uint64_t g_trace_count = 0;

}  // namespace

void OpenTraceChannel(Outputs* outputs, const char* name, LineStamp stamp) {
  Channel().Open(outputs, name, std::move(stamp));
}

void CloseTraceChannel() { Channel().Close(); }

namespace {

// The line that `format` makes, cut to the trace's buffer.
std::string FormatLine(const char* format, va_list args) {
  char buffer[kTraceBufferSize];
  buffer[0] = '\0';
  // The count is not needed: a message that does not fit is cut, and the
  // buffer always ends in a zero.
  (void)std::vsnprintf(buffer, sizeof buffer, format, args);
  return buffer;
}

}  // namespace

void Trace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string line = FormatLine(format, args);
  va_end(args);
  Channel().Write(ForChannels(line));
  TraceLog.Add(std::move(line));
  ++g_trace_count;
}

void NoteInChannel(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string line = FormatLine(format, args);
  va_end(args);
  Channel().Write(ForChannels(line), /*debugger=*/false);
}

bool NotesGoAnywhere() { return Channel().open(); }

void NoteErrorInChannel(DWORD code, const std::string& path) {
  if (!Channel().open()) return;
  const std::string text = Channel().ErrorText(code);
  NoteInChannel("--- error %lu%s%s : %s", static_cast<unsigned long>(code),
                text.empty() ? "" : ": ", text.c_str(), path.c_str());
}

std::uint64_t TraceCount() { return g_trace_count; }

}  // namespace ks
