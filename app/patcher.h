// The run object: one pass over the patch's modules.
#ifndef KSUPDATE_APP_PATCHER_H_
#define KSUPDATE_APP_PATCHER_H_

#include <string>

namespace ks {

class CPatcher {
 public:
  // Makes `base_path` the process-wide base path.
  explicit CPatcher(std::string base_path);
  // The base path keeps its value.
  virtual ~CPatcher();

  // Reads the module names of the source manifest into a module list and
  // updates each module in order. Never throws: an exception ends the run
  // quietly, leaving the modules after it untouched.
  void Run();

  // Every key of the source manifest's section "modules", in file order,
  // each followed by "|"; empty when the section yields no entry. The
  // section is read whole, however large.
  std::string ReadModuleNames();

  // The key of one section entry: the text before its first "=", or the
  // whole entry when it has none.
  std::string GetEntryKey(const std::string& entry);

  // The argument text the process was started with; read through
  // GetSourceDir().
  static std::string m_strBasePath;
};

}  // namespace ks

#endif  // KSUPDATE_APP_PATCHER_H_
