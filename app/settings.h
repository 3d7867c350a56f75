// The program's settings: four environment variables, read once at the
// start of the process. A run without any of them behaves as it always has.
#ifndef KSUPDATE_APP_SETTINGS_H_
#define KSUPDATE_APP_SETTINGS_H_

#include <string>

namespace ks {

struct Settings {
  // KSUPDATE_TRACE: where trace lines also go (see OpenTraceChannel).
  std::string trace;
  // KSUPDATE_EXIT_CODES=msi (in any case): the exit status carries the
  // outcome (RunReport::Outcome, ExitStatusFor). Any other value is
  // ignored and kept in `unknown_exit_codes`, to be said in the trace.
  bool msi_exit_codes = false;
  std::string unknown_exit_codes;
  // KSUPDATE_RESULT: the result file to write at the end; empty for none.
  std::string result_path;
  // KSUPDATE_WHATIF: on for any value but "" and "0", so that a value
  // mistyped for a dry run never updates anything; one other than "1" is
  // kept in `odd_what_if`, to be said in the trace.
  bool what_if = false;
  std::string odd_what_if;
};

// The settings of this process's environment.
Settings ReadSettings();

}  // namespace ks

#endif  // KSUPDATE_APP_SETTINGS_H_
