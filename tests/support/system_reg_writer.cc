#include "tests/support/system_reg_writer.h"

#include <cstdio>
#include <string>

#include "formats/codepage.h"

namespace ks {
namespace {

// The UTF-16 unit that an ANSI byte stands for.
unsigned UnitOf(char c) { return AnsiToUnicode(std::string(1, c))[0]; }

std::string Escape(const std::string& text, char close) {
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == close || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%04x", UnitOf(c));
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

bool IsTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

}  // namespace

SystemRegWriter::SystemRegWriter(bool win64)
    : text_(
          "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n") {
  text_ += win64 ? "#arch=win64\n" : "#arch=win32\n";
}

void SystemRegWriter::Key(const std::string& path) {
  // Each component escaped on its own: the separators between them are the
  // only '\' that stays single in the name.
  text_ += "\n[";
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type bar = path.find('\\', start);
    text_ += Escape(path.substr(start, bar - start), ']');
    if (bar == std::string::npos) break;
    text_ += "\\\\";
    start = bar + 1;
  }
  text_ += "] 1700000000\n#time=1d9a0b1c2d3e4f5\n";
}

void SystemRegWriter::Name(const std::string& name) {
  text_ += name.empty() ? "@=" : "\"" + Escape(name, '"') + "\"=";
}

void SystemRegWriter::String(const std::string& name, const std::string& data) {
  Name(name);
  text_ += "\"" + Escape(data, '"') + "\"\n";
}

void SystemRegWriter::Hex(const std::string& name, DWORD type,
                          const std::string& data) {
  Name(name);
  char prefix[24];
  std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(type));
  text_ += prefix;
  bool first = true;
  for (char c : data) {
    char byte[16];
    if (IsTextType(type)) {
      const unsigned unit = UnitOf(c);
      std::snprintf(byte, sizeof byte, "%s%02x,%02x", first ? "" : ",",
                    unit & 0xFF, unit >> 8);
    } else {
      std::snprintf(byte, sizeof byte, "%s%02x", first ? "" : ",",
                    static_cast<unsigned char>(c));
    }
    text_ += byte;
    first = false;
  }
  text_ += "\n";
}

}  // namespace ks
