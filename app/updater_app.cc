#include "app/updater_app.h"

#include <string>

#include "app/patcher.h"

namespace ks {

bool CUpdaterApp::InitInstance() {
  std::string argument_text(m_lpCmdLine);
  {
    CPatcher patcher(argument_text);
    patcher.Run();
  }
  return false;
}

}  // namespace ks
