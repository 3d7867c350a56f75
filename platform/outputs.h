// What the system shows of a run, to people and to whoever started it: the
// debugger's channel, the trace channel, the texts of error codes and the
// width of an exit status. Apart from the seam (platform.h), whose
// operations the update decides by: these only report. Replaceable like
// the seam: a test hands the application outputs of its own.
#ifndef KSUPDATE_PLATFORM_OUTPUTS_H_
#define KSUPDATE_PLATFORM_OUTPUTS_H_

#include <memory>
#include <string>
#include <vector>

#include "formats/win32_types.h"

namespace ks {

// A channel that trace lines are sent to as they are made, for people to
// read: a file, a pipe, standard error.
class TraceOutput {
 public:
  TraceOutput() = default;
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;
  virtual ~TraceOutput() = default;
  // Sends `line` and the platform's line end. Never makes the caller wait:
  // a line that the channel cannot take now (a reader that stopped
  // reading, a reader gone) is dropped, and the run goes on.
  virtual void WriteLine(const std::string& line) = 0;
};

// What an event in the system's log is: information, a warning or an error.
enum class EventKind { kInformation, kWarning, kError };

// One event of a run, as the system's log takes it.
struct RunEvent {
  EventKind kind = EventKind::kInformation;
  // One for each kind of outcome: the outcome's Windows Installer code (0,
  // 1, 3010, 1603, 1605, 1612, 1618, 1620).
  DWORD id = 0;
  // The text a person reads, a line each.
  std::vector<std::string> lines;
  // What tools read, each on its own: outcome, code, patch directory,
  // manifest SHA-256, modules copied, modules failed.
  std::vector<std::string> fields;
};

// How long a process that ends waits for the debugger's lines still on
// their way (see Outputs::DebugOutput).
constexpr DWORD kDebugOutputExitBudgetMs = 1000;

class Outputs {
 public:
  Outputs() = default;
  Outputs(const Outputs&) = delete;
  Outputs& operator=(const Outputs&) = delete;
  virtual ~Outputs() = default;

  // Sends one line to the debugger's channel (OutputDebugStringA on
  // Windows; nothing elsewhere). Never makes the caller wait for whoever
  // listens there: on Windows the line is handed to a thread of its own,
  // and a process that ends waits at most kDebugOutputExitBudgetMs for the
  // lines still on their way; the rest are dropped.
  virtual void DebugOutput(const char* line) = 0;

  // Opens the channel `name`: "-" is standard error; anything else is a
  // file (a host path on Linux, a Windows path on Windows) that lines are
  // appended to, created when missing. Never waits either: null when it
  // cannot be opened at once (no such directory, no permission, a FIFO
  // that nobody reads). On Windows a pipe or console channel is written by
  // a thread of its own, like the debugger channel, with the same budget
  // at exit.
  //
  // The path often lies where others may write (a temporary directory)
  // while the run has more rights than they: null too, with *refused set,
  // when the name is a symbolic link (or on Windows any reparse point), is
  // no plain file, FIFO, pipe or character device, has a second hard link,
  // or (Linux) belongs to another user. A pipe's server may not
  // impersonate the run (Windows: SECURITY_IDENTIFICATION).
  virtual std::unique_ptr<TraceOutput> OpenTraceOutput(const char* name,
                                                       bool* refused) = 0;

  // The system's text for an error code that Platform::LastError() gave
  // (FormatMessage on Windows, strerror on Linux), without a line end; ""
  // when the system has none.
  virtual std::string SystemErrorText(DWORD code) = 0;

  // True where a process's exit status holds a Windows Installer code whole
  // (Windows); false where it has 8 bits (Linux). ExitStatusFor
  // (engine/run_report.h) decides by it.
  virtual bool ExitStatusHoldsWholeCodes() = 0;

  // Leaves `event` in the system's log (ANSI texts): on Windows in the
  // Application log from the source "ksupdate", of its kind and id, with
  // the run's user SID, its first insertion string the lines ended by CRLF
  // and the fields the insertion strings after it; on Linux one syslog(3)
  // message from "ksupdate", facility user, the lines joined by "; ".
  // Nothing is said when the log takes no event: the run is done either
  // way.
  virtual void LogRunEvent(const RunEvent& event) = 0;

  // Whether a run logs its event unless told otherwise: on Windows, where
  // admins look in the event log; not on Linux, where it is asked for.
  virtual bool LogsRunsByDefault() = 0;
};

// The outputs of this build's system. Live for the whole process.
Outputs* DefaultOutputs();

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_OUTPUTS_H_
