#include "app/updater_app.h"

#include <ctime>
#include <string>

#include "app/patcher.h"
#include "app/result_file.h"
#include "app/settings.h"
#include "engine/run_report.h"
#include "platform/outputs.h"
#include "platform/platform.h"
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

}  // namespace

void CUpdaterApp::UseSystem(Platform* platform, Outputs* outputs) {
  platform_ = platform;
  outputs_ = outputs;
}

bool CUpdaterApp::InitInstance() {
  Platform& platform = platform_ != nullptr ? *platform_ : *DefaultPlatform();
  Outputs* outputs = outputs_ != nullptr ? outputs_ : DefaultOutputs();
  const Settings settings = ReadSettings();
  OpenTraceChannel(outputs, settings.trace.c_str());
  if (!settings.unknown_exit_codes.empty()) {
    Trace("    - Unknown KSUPDATE_EXIT_CODES ignored : %s -",
          settings.unknown_exit_codes.c_str());
  }
  if (!settings.odd_what_if.empty()) {
    Trace("    - KSUPDATE_WHATIF taken as 1 : %s -",
          settings.odd_what_if.c_str());
  }
  ResultHeader header;
  header.started = std::time(nullptr);
  RunReport report;
  {
    std::string argument_text(m_lpCmdLine);
    header.argument = argument_text;
    CPatcher patcher(platform, argument_text);
    patcher.SetRunOptions(settings.what_if, &report);
    patcher.Run();
  }
  m_exit_status = settings.msi_exit_codes
                      ? ExitStatusFor(report.Outcome(),
                                      outputs->ExitStatusHoldsWholeCodes())
                      : 0;
  if (!settings.result_path.empty()) {
    header.ended = std::time(nullptr);
    header.exit_status = m_exit_status;
    WriteResult(platform, *outputs, settings.result_path, header, report);
  }
  return false;
}

int CUpdaterApp::ExitInstance() { return m_exit_status; }

}  // namespace ks
