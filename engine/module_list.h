// The run's list of modules and the version reads of the two manifests.
#ifndef KSUPDATE_ENGINE_MODULE_LIST_H_
#define KSUPDATE_ENGINE_MODULE_LIST_H_

#include <cstdint>
#include <string>
#include <vector>

namespace ks {

extern const char kModulesSection[];  // "modules", in both manifests
extern const char kDefaultVersion[];  // for a missing entry

// One module's version as read from a manifest.
struct ModuleVersion {
  std::int32_t nVersion = 0;  // decides
  std::string strVersion;     // is what gets written
};

// atoi as the Windows runtime computes it: leading white space, one sign,
// decimal digits up to the first other character; 0 when there are none.
// Beyond the signed 32-bit range it saturates.
std::int32_t VersionAtoi(const char* text);

class CModuleList {
 public:
  CModuleList() = default;
  CModuleList(const CModuleList&) = delete;
  CModuleList& operator=(const CModuleList&) = delete;
  virtual ~CModuleList();

  // Appends a copy of `name`; empty and repeated names are kept.
  void AddModule(const std::string& name);

  // Updates every module in list order (see module_update.h).
  void UpdateAll();

  // Updates one module; true only when its file was copied.
  bool UpdateModule(const std::string& name);

  // Fill `version` from the entry `name` of the installed ("client.ver") or
  // the source ("ksmodules.ver") manifest; the default "0000000000" (number
  // 0) when the file, section or entry is missing. Texts are cut at 79
  // characters.
  void ReadInstalledVersion(const std::string& name, ModuleVersion& version);
  void ReadNewVersion(const std::string& name, ModuleVersion& version);

  const std::vector<std::string>& modules() const { return m_modules; }

 private:
  std::vector<std::string> m_modules;
};

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_LIST_H_
