// The lines of a system.reg as RegistryFile reads them, for code that reads
// the same text another way (the tests' whole-file model) with the same
// rules. Not for the program's other code: it asks RegistryFile.
#ifndef KSUPDATE_PLATFORM_POSIX_REGISTRY_SYNTAX_H_
#define KSUPDATE_PLATFORM_POSIX_REGISTRY_SYNTAX_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/posix/registry.h"

namespace ks::posix::registry_syntax {

// Hands out the lines of a text without their "\n" or "\r\n". A last line
// without its "\n" is held back: Wine ends every line it writes, so such a
// line was cut short, and a cut hex list or dword would still parse, as
// wrong data.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}
  // Reads from `pos`, which must be the start of a line.
  LineReader(std::string_view text, size_t pos) : text_(text), pos_(pos) {}

  // Where the next line starts.
  size_t pos() const { return pos_; }

  // Sets *line to the next whole line; false when none is left.
  bool Next(std::string_view* line) {
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) return false;
    size_t next = end + 1;
    if (end > pos_ && text_[end - 1] == '\r') --end;
    *line = text_.substr(pos_, end - pos_);
    pos_ = next;
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// The index of the first byte of `s` from `i` on that is no blank or tab.
size_t SkipSpaces(std::string_view s, size_t i);

// Reads the first line: true when it is the header "WINE REGISTRY
// Version 2". A text without it holds no keys.
bool ReadHeader(LineReader* lines);

// Handles an option line (one that starts with '#', leading blanks
// dropped): "#arch=win64" sets *win64, "#arch=win32" clears it, and any
// other option leaves it.
void ReadOption(std::string_view line, bool* win64);

// Parses a key line "[name] timestamp" (`line` starts with '[') into the
// key's normalised path: components joined by one '\', none empty; "" for
// a name of separators only. False when the line does not parse.
bool ParseKeyLine(std::string_view line, std::string* path);

// Parses a value line, "name"=data or @=data (`line` starts with '"' or
// '@'); more lines are taken from `lines` when hex data continues there.
// False when the line does not parse (the lines that its data took stay
// taken).
bool ParseValueLine(std::string_view line, LineReader* lines, std::string* name,
                    RegistryValue* value);

}  // namespace ks::posix::registry_syntax

#endif  // KSUPDATE_PLATFORM_POSIX_REGISTRY_SYNTAX_H_
