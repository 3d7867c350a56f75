#include "app/updater_app.h"

#include <cstdlib>
#include <string>

#include "app/patcher.h"
#include "trace/trace.h"

namespace ks {

bool CUpdaterApp::InitInstance() {
  OpenTraceChannel(std::getenv("KSUPDATE_TRACE"));
  std::string argument_text(m_lpCmdLine);
  {
    CPatcher patcher(argument_text);
    patcher.Run();
  }
  return false;
}

}  // namespace ks
