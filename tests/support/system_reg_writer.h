// The text of a system.reg as Wine writes it, for tests to lay in a prefix
// or to read back.
#ifndef KSUPDATE_TESTS_SUPPORT_SYSTEM_REG_WRITER_H_
#define KSUPDATE_TESTS_SUPPORT_SYSTEM_REG_WRITER_H_

#include <string>

#include "formats/win32_types.h"

namespace ks {

// Writes keys and values in Wine's format ("WINE REGISTRY Version 2").
// Names and string data are ANSI text in the process's code page: '\' and
// the closing quote or bracket are escaped with a '\', and every byte that
// is no printable ASCII is written as a four-digit \x escape of the
// character it stands for (four digits, so that a hex digit after it is not
// taken in).
class SystemRegWriter {
 public:
  // Starts the text: the header, and "#arch=win64" or "#arch=win32".
  explicit SystemRegWriter(bool win64);

  // Starts the key at `path` (relative to HKLM, components separated by
  // '\'), with a time stamp as Wine writes one; values written next go to
  // it.
  void Key(const std::string& path);
  // A REG_SZ value as a quoted string: "name"="data" (@ for an empty
  // name).
  void String(const std::string& name, const std::string& data);
  // A value of `type` as hex(type) data: the bytes of `data` as they are,
  // or for a text type (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) the UTF-16LE
  // of the characters that its ANSI bytes stand for.
  void Hex(const std::string& name, DWORD type, const std::string& data);

  const std::string& text() const { return text_; }

 private:
  // Appends the value's name and the '='.
  void Name(const std::string& name);

  std::string text_;
};

}  // namespace ks

#endif  // KSUPDATE_TESTS_SUPPORT_SYSTEM_REG_WRITER_H_
