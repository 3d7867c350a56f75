// The trace log: the most recent progress lines of a run, in memory.
#ifndef KSUPDATE_TRACE_TRACE_H_
#define KSUPDATE_TRACE_TRACE_H_

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "platform/outputs.h"

namespace ks {

// The process-wide list of trace lines, oldest first, bounded to the most
// recent kBound lines. Only Trace() adds to it.
class CTraceLog {
 public:
  static constexpr std::uint32_t kBound = 34;

  CTraceLog() = default;
  CTraceLog(const CTraceLog&) = delete;
  CTraceLog& operator=(const CTraceLog&) = delete;
  ~CTraceLog();

  // Appends `line`, first dropping the oldest line when the log is full.
  void Add(std::string line);

  // Read-only view, for inspection by tests.
  const std::list<std::string>& lines() const { return m_lines; }
  std::uint32_t count() const {
    return static_cast<std::uint32_t>(m_lines.size());
  }

  // Empties the log. For tests only: the program never clears it.
  void ResetForTesting();

 private:
  std::list<std::string> m_lines;
};

// The process-wide trace log.
extern CTraceLog TraceLog;

// Size of the formatting buffer, terminating zero included. Longer messages
// are cut to its size minus one.
constexpr int kTraceBufferSize = 20480;

// What begins each line of a trace file, before a blank: when and by which
// process it was written, so that the lines of runs that overlap in one
// file can be told apart.
using LineStamp = std::function<std::string()>;

// From now on, lines also go to `outputs`: to its debugger channel, and to
// the channel `name` as KSUPDATE_TRACE gives it (Outputs::OpenTraceOutput;
// null or empty for none), each line there but on standard error ("-")
// after what `stamp` gives (none when null). Called once, at the start of
// the run; before, lines go to TraceLog only. A channel refused for safety
// is said in a line of its own (in memory and the debugger's channel).
void OpenTraceChannel(Outputs* outputs, const char* name,
                      LineStamp stamp = nullptr);

// Closes what OpenTraceChannel opened, at the end of the run: lines go to
// TraceLog only again.
void CloseTraceChannel();

// Formats one message printf-style and adds it to TraceLog as one line. The
// line also goes to the channels that OpenTraceChannel opened, with control
// characters written as \xNN.
void Trace(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Formats one line as Trace does and sends it to the KSUPDATE_TRACE
// channel alone: not to TraceLog, nor the debugger's channel. For what a
// reader of a trace file needs beyond the run's own lines: where a run
// begins and ends, and a wait.
void NoteInChannel(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Whether a KSUPDATE_TRACE channel is open: a note that costs work to make
// need not be made without one.
bool NotesGoAnywhere();

// Says in the KSUPDATE_TRACE channel alone, as NoteInChannel does, the
// system's error `code` of a failed call, its text (Outputs::
// SystemErrorText) and the path it concerns, as "--- error N: text : path".
// The trace lines stay as they are: this note comes after the one that
// says what failed.
void NoteErrorInChannel(DWORD code, const std::string& path);

// How many lines Trace has made in this process (TraceLog keeps the last
// kBound of them).
std::uint64_t TraceCount();

}  // namespace ks

#endif  // KSUPDATE_TRACE_TRACE_H_
