// The result file: what a run did, as JSON, for a deployment tool to read.
#ifndef KSUPDATE_APP_RESULT_FILE_H_
#define KSUPDATE_APP_RESULT_FILE_H_

#include <ctime>
#include <string>

#include "engine/run_report.h"
#include "platform/outputs.h"

namespace ks {

// What a result file says beyond the run's report.
struct ResultHeader {
  std::string argument;     // the argument text
  std::time_t started = 0;  // when the run began and ended
  std::time_t ended = 0;
  int exit_status = 0;  // the status the process exits with
};

// The result file's text: one JSON object, UTF-8, every text of the run
// (ANSI in the process's code page) converted, error codes with their
// system's texts from `outputs`; docs/manifests.md lists the fields. Format
// version 1.
std::string ResultJson(const ResultHeader& header, const RunReport& report,
                       Outputs& outputs);

// The outcome's name in the result file ("success", "failure", ...).
const char* OutcomeName(DWORD outcome);

}  // namespace ks

#endif  // KSUPDATE_APP_RESULT_FILE_H_
