#include "app/argument_text.h"

#include "platform/process.h"

namespace ks {

std::string ArgumentText(const char* command_line) {
  if (command_line == nullptr) return std::string();
  // Bytes compare as unsigned: a name byte above 127 is not a blank.
  const auto* p = reinterpret_cast<const unsigned char*>(command_line);
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p > ' ') ++p;
  }
  while (*p != 0 && *p <= ' ') ++p;
  return std::string(reinterpret_cast<const char*>(p));
}

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += HostWordToAnsi(argv[i]);
  }
  return text;
}

}  // namespace ks
