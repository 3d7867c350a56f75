#include "app/updater_app.h"

#include <chrono>
#include <optional>
#include <string>

#include "app/patcher.h"
#include "app/result_file.h"
#include "app/settings.h"
#include "engine/run_report.h"
#include "ksupdate_version.h"
#include "platform/outputs.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/utc_time.h"
#include "trace/trace.h"

namespace ks {

namespace {

// Writes the result file, saying in the trace when it cannot be: the run is
// done either way.
void WriteResult(Platform& platform, Outputs& outputs, const std::string& path,
                 const ResultHeader& header, const RunReport& report) {
  bool refused = false;
  bool written = false;
  try {
    written = platform.WriteResultFile(path.c_str(),
                                       ResultJson(header, report, outputs),
                                       &refused) != FALSE;
  } catch (...) {
    // No memory for the text: not written, as below.
  }
  if (refused) {
    Trace("    - Result file refused : %s -", path.c_str());
  } else if (!written) {
    Trace("    - Result file not written : %s -", path.c_str());
  }
}

// The clock, or none when it cannot be read (a test's platform may throw
// there): the run goes on without a time.
std::optional<UtcSeconds> ReadClock(Platform& platform) {
  try {
    return UtcNow(platform);
  } catch (...) {
    return std::nullopt;
  }
}

// "time pid": what begins each line of a trace file. The clock is read at
// each line; a platform that cannot read it gives "?".
LineStamp StampOf(Platform& platform) {
  const std::string pid = std::to_string(ProcessId());
  return [&platform, pid] {
    std::string when = "?";
    try {
      FILETIME now{0, 0};
      platform.GetSystemTimeAsFileTime(&now);
      when = UtcMillisecondText(now);
    } catch (...) {
      // A test's platform may throw there; the line is written all the same.
    }
    return when + " " + pid;
  };
}

// Who runs, where, and which program: what an admin looks for first in a
// trace file that many computers' runs may share.
void NoteIdentity() {
  const RunIdentity identity = ReadRunIdentity();
  NoteInChannel("--- account %s%s, computer %s", identity.account.c_str(),
                identity.elevated ? " (elevated)" : "",
                identity.computer.c_str());
  NoteInChannel("--- program %s", identity.program.c_str());
}

// Says a setting that the run does not take as given.
void TraceOddSetting(const OddSetting& odd) {
  Trace("    - %s taken as %s : %s -", odd.name.c_str(), odd.taken.c_str(),
        odd.value.c_str());
}

}  // namespace

void CUpdaterApp::UseSystem(Platform* platform, Outputs* outputs) {
  platform_ = platform;
  outputs_ = outputs;
}

bool CUpdaterApp::InitInstance() {
  Platform& platform = platform_ != nullptr ? *platform_ : *DefaultPlatform();
  Outputs* outputs = outputs_ != nullptr ? outputs_ : DefaultOutputs();
  const auto began = std::chrono::steady_clock::now();
  const Settings settings = ReadSettings();
  OpenTraceChannel(outputs, settings.trace.c_str(), StampOf(platform));
  ResultHeader header;
  header.started = ReadClock(platform);
  header.argument = m_lpCmdLine;
  header.odd_settings = settings.odd;
  // A trace file may hold many runs: each begins and ends with a line.
  NoteInChannel(
      "=== ksupdate %s run of %s, process %lu%s: %s ===", KSUPDATE_VERSION,
      (header.started ? UtcText(*header.started) : "?").c_str(), ProcessId(),
      settings.what_if ? ", what-if" : "", header.argument.c_str());
  if (NotesGoAnywhere()) NoteIdentity();
  for (const OddSetting& odd : settings.odd) TraceOddSetting(odd);
  RunReport report;
  const bool log_event =
      settings.event_log.value_or(outputs->LogsRunsByDefault());
  {
    CPatcher patcher(platform, header.argument);
    patcher.SetRunOptions(settings.what_if, settings.msi_exit_codes, &report,
                          log_event);
    patcher.Run();
  }
  const DWORD outcome = report.Outcome();
  m_exit_status =
      settings.msi_exit_codes
          ? ExitStatusFor(outcome, outputs->ExitStatusHoldsWholeCodes())
          : 0;
  header.ended = ReadClock(platform);
  header.exit_status = m_exit_status;
  if (!settings.result_path.empty()) {
    WriteResult(platform, *outputs, settings.result_path, header, report);
  }
  if (log_event) {
    try {
      outputs->LogRunEvent(RunEventOf(header, report));
    } catch (...) {
      // No memory for the text: no event; the run is done either way.
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began)
          .count();
  NoteInChannel("=== ksupdate run ended: %s (%u), exit status %d, %.3f s ===",
                OutcomeName(outcome), static_cast<unsigned>(outcome),
                m_exit_status, seconds);
  // The platform that stamps the lines may not outlive this run.
  CloseTraceChannel();
  return false;
}

int CUpdaterApp::ExitInstance() { return m_exit_status; }

}  // namespace ks
