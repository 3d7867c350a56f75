#include "app/patcher.h"

#include <utility>

#include "engine/module_list.h"

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
    list.UpdateAll();
  } catch (...) {
    // Whatever went wrong (memory, a text too long) ends the run quietly.
  }
}

}  // namespace ks
