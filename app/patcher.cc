#include "app/patcher.h"

#include <memory>
#include <utility>

#include "engine/module_list.h"
#include "engine/module_update.h"

namespace ks {

CPatcher::CPatcher(std::string base_path) {
  m_strBasePath = std::move(base_path);
}

CPatcher::~CPatcher() = default;

void CPatcher::Run() {
  try {
    CModuleList list;
    std::string names = ReadModuleNames();
    std::string::size_type start = 0;
    for (;;) {
      std::string::size_type bar = names.find('|', start);
      if (bar == std::string::npos) break;
      list.AddModule(names.substr(start, bar - start));
      start = bar + 1;
    }
    // One run at a time on an installation, from before its first module
    // to its end, however the run ends.
    std::unique_ptr<InstallationLock> lock;
    if (list.modules().empty() || !LockForRun(&lock)) return;
    list.UpdateAll();
  } catch (...) {
    // Whatever went wrong (memory, a text too long) ends the run quietly.
  }
}

}  // namespace ks
