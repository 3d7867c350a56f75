// The result file: what a run did, as JSON, for a deployment tool to read.
#ifndef KSUPDATE_APP_RESULT_FILE_H_
#define KSUPDATE_APP_RESULT_FILE_H_

#include <optional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "engine/run_report.h"
#include "platform/outputs.h"
#include "platform/utc_time.h"

namespace ks {

// What a result file says beyond the run's report.
struct ResultHeader {
  std::string argument;  // the argument text
  // When the run began and ended; none when the clock could not be read.
  std::optional<UtcSeconds> started;
  std::optional<UtcSeconds> ended;
  int exit_status = 0;  // the status the process exits with
  // The settings that the run did not take as given.
  std::vector<OddSetting> odd_settings;
};

// The result file's text: one JSON object, UTF-8, every text of the run
// (ANSI in the process's code page) converted, error codes with their
// system's texts from `outputs`; docs/manifests.md lists the fields. Format
// version 1.
std::string ResultJson(const ResultHeader& header, const RunReport& report,
                       Outputs& outputs);

// The event a run leaves in the system's log (Outputs::LogRunEvent): an
// error for a failure (any outcome but success, would change and restart
// required), a warning when a restart is needed, else information; its id
// the outcome's code. Its lines: "ksupdate VERSION: OUTCOME (CODE), exit
// status N", the argument, the reason of an early end, then "NAME: RESULT,
// BEFORE -> AFTER" for each module that is not current (", error N" after
// a failed call), and how many are; at most about 16,000 characters, the
// modules beyond said as a count. Its fields: the outcome's name, its code,
// the patch directory, the manifest's SHA-256 (each "" when unknown), and
// how many modules were copied and how many failed.
EventKind RunEventKind(DWORD outcome);
std::vector<std::string> RunEventLines(const ResultHeader& header,
                                       const RunReport& report);
RunEvent RunEventOf(const ResultHeader& header, const RunReport& report);

// The outcome's name in the result file ("success", "failure", ...).
const char* OutcomeName(DWORD outcome);

}  // namespace ks

#endif  // KSUPDATE_APP_RESULT_FILE_H_
