// The program's settings: environment variables, read once at the start of
// the process. A run without any of them behaves as it always has.
#ifndef KSUPDATE_APP_SETTINGS_H_
#define KSUPDATE_APP_SETTINGS_H_

#include <optional>
#include <string>
#include <vector>

namespace ks {

// A value the run did not take as given, and what it did instead: said in
// the trace and the result file.
struct OddSetting {
  std::string name;   // "KSUPDATE_EXIT_CODES"
  std::string value;  // as the environment gave it, blanks trimmed
  std::string taken;  // what the run made of it: "ignored", "1"
};

struct Settings {
  // Every value is read without the blanks (spaces, tabs) around it, as
  // `set NAME=value && ...` in cmd leaves one before the "&&".

  // KSUPDATE_TRACE: where trace lines also go (see OpenTraceChannel).
  std::string trace;
  // KSUPDATE_EXIT_CODES=msi (in any case): the exit status carries the
  // outcome (RunReport::Outcome, ExitStatusFor). Any other value but none
  // is taken as msi, and said to be odd: a failure reported as success is
  // the worse mistake.
  bool msi_exit_codes = false;
  // KSUPDATE_RESULT: the result file to write at the end; empty for none.
  std::string result_path;
  // KSUPDATE_WHATIF: on for any value but "" and "0", so that a value
  // mistyped for a dry run never updates anything.
  bool what_if = false;
  // KSUPDATE_EVENTLOG: "1" logs the run's event in the system's log (the
  // event log on Windows, syslog on Linux), "0" does not; unset, the
  // platform decides (Outputs::LogsRunsByDefault). Any other value is
  // taken as unset.
  std::optional<bool> event_log;
  // The values above that the run did not take as given, in that order.
  std::vector<OddSetting> odd;
};

// The settings of this process's environment.
Settings ReadSettings();

}  // namespace ks

#endif  // KSUPDATE_APP_SETTINGS_H_
