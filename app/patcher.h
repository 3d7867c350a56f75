// The run object: one pass over the patch's modules.
#ifndef KSUPDATE_APP_PATCHER_H_
#define KSUPDATE_APP_PATCHER_H_

#include <string>

namespace ks {

class CPatcher {
 public:
  // Makes `base_path` the process-wide base path, the one the engine's
  // locations read.
  explicit CPatcher(std::string base_path);
  // The base path keeps its value.
  virtual ~CPatcher();

  // Reads the module names of the source manifest into a module list and,
  // holding the installation's lock, updates each module in order. Never
  // throws: an exception ends the run quietly, leaving the modules after it
  // untouched.
  void Run();

  // The argument text the process was started with.
  static std::string m_strBasePath;
};

}  // namespace ks

#endif  // KSUPDATE_APP_PATCHER_H_
