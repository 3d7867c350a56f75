#include "app/settings.h"

#include <cstdlib>

#include "formats/text.h"

namespace ks {

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  std::string text = value != nullptr ? value : "";
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  settings.trace = Variable("KSUPDATE_TRACE");
  const std::string exit_codes = Variable("KSUPDATE_EXIT_CODES");
  settings.msi_exit_codes = !exit_codes.empty();
  if (!exit_codes.empty() && !EqualsIgnoringAsciiCase(exit_codes, "msi")) {
    settings.odd.push_back({"KSUPDATE_EXIT_CODES", exit_codes, "msi"});
  }
  settings.result_path = Variable("KSUPDATE_RESULT");
  const std::string what_if = Variable("KSUPDATE_WHATIF");
  settings.what_if = !what_if.empty() && what_if != "0";
  if (settings.what_if && what_if != "1") {
    settings.odd.push_back({"KSUPDATE_WHATIF", what_if, "1"});
  }
  const std::string event_log = Variable("KSUPDATE_EVENTLOG");
  if (event_log == "0" || event_log == "1") {
    settings.event_log = event_log == "1";
  } else if (!event_log.empty()) {
    settings.odd.push_back({"KSUPDATE_EVENTLOG", event_log, "unset"});
  }
  return settings;
}

}  // namespace ks
