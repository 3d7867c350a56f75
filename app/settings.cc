#include "app/settings.h"

#include <cstdlib>

#include "platform/text.h"

namespace ks {

namespace {

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

Settings ReadSettings() {
  Settings settings;
  settings.trace = Variable("KSUPDATE_TRACE");
  const std::string exit_codes = Variable("KSUPDATE_EXIT_CODES");
  settings.msi_exit_codes = EqualsIgnoringAsciiCase(exit_codes, "msi");
  if (!exit_codes.empty() && !settings.msi_exit_codes) {
    settings.unknown_exit_codes = exit_codes;
  }
  settings.result_path = Variable("KSUPDATE_RESULT");
  const std::string what_if = Variable("KSUPDATE_WHATIF");
  settings.what_if = !what_if.empty() && what_if != "0";
  if (settings.what_if && what_if != "1") settings.odd_what_if = what_if;
  return settings;
}

}  // namespace ks
