// Answers profile reads and writes through the provider of its build, so
// that the Linux provider and Wine can be compared on the same files.
//
//   profile_probe [--reference] COMMANDS OUTPUT
//
// --reference (Windows builds only) calls the system's own profile
// functions instead of the provider: the reference that both providers are
// compared with under Wine.
//
// COMMANDS holds one command a line, fields separated by tabs, each field
// escaped (\t \n \r \\ \xHH) or "<null>" for a null pointer:
//   section FILE SECTION SIZE
//   string  FILE SECTION KEY DEFAULT SIZE
//   write   FILE SECTION KEY VALUE
//   decode  BYTES   (ANSI to UTF-16, answered as 4 hex digits a unit)
//   encode  UNITS   (4 hex digits a unit, to ANSI)
// OUTPUT gets one line per command: the call's result and the bytes it
// left in the buffer (up to the result plus two, within the size), escaped.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "formats/codepage.h"
#include "platform/platform.h"

#ifdef _WIN32
// clang-format off
#include <windows.h>
// clang-format on
#endif

namespace {

using Field = std::optional<std::string>;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Field Unescape(const std::string& text) {
  if (text == "<null>") return std::nullopt;
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 't') {
      out += '\t';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out +=
          static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Escape(const char* data, size_t size) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

const char* Ptr(const Field& field) { return field ? field->c_str() : nullptr; }

std::vector<Field> Split(const std::string& line) {
  std::vector<Field> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(Unescape(line.substr(start, tab - start)));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

// The profile functions of the provider or of the system.
struct Api {
  ks::DWORD (*section)(ks::LPCSTR, ks::LPSTR, ks::DWORD, ks::LPCSTR);
  ks::DWORD (*string)(ks::LPCSTR, ks::LPCSTR, ks::LPCSTR, ks::LPSTR, ks::DWORD,
                      ks::LPCSTR);
  ks::BOOL (*write)(ks::LPCSTR, ks::LPCSTR, ks::LPCSTR, ks::LPCSTR);
};

constexpr Api kProvider = {
    [](ks::LPCSTR s, ks::LPSTR b, ks::DWORD n, ks::LPCSTR f) -> ks::DWORD {
      return ks::DefaultPlatform()->GetPrivateProfileSectionA(s, b, n, f);
    },
    [](ks::LPCSTR s, ks::LPCSTR k, ks::LPCSTR d, ks::LPSTR b, ks::DWORD n,
       ks::LPCSTR f) -> ks::DWORD {
      return ks::DefaultPlatform()->GetPrivateProfileStringA(s, k, d, b, n, f);
    },
    [](ks::LPCSTR s, ks::LPCSTR k, ks::LPCSTR v, ks::LPCSTR f) -> ks::BOOL {
      return ks::DefaultPlatform()->WritePrivateProfileStringA(s, k, v, f);
    }};

#ifdef _WIN32
constexpr Api kReference = {
    [](ks::LPCSTR s, ks::LPSTR b, ks::DWORD n, ks::LPCSTR f) -> ks::DWORD {
      return ::GetPrivateProfileSectionA(s, b, n, f);
    },
    [](ks::LPCSTR s, ks::LPCSTR k, ks::LPCSTR d, ks::LPSTR b, ks::DWORD n,
       ks::LPCSTR f) -> ks::DWORD {
      return ::GetPrivateProfileStringA(s, k, d, b, n, f);
    },
    [](ks::LPCSTR s, ks::LPCSTR k, ks::LPCSTR v, ks::LPCSTR f) -> ks::BOOL {
      return ::WritePrivateProfileStringA(s, k, v, f);
    }};
#endif

// Runs one command; the answer line, or "bad command".
std::string Run(const Api& api, const std::vector<Field>& f) {
  if (f.empty() || !f[0]) return "bad command";
  const std::string& verb = *f[0];
  // A marked buffer shows how far each call writes.
  if (verb == "section" && f.size() == 4 && f[3]) {
    auto size =
        static_cast<ks::DWORD>(std::strtoul(f[3]->c_str(), nullptr, 10));
    std::vector<char> buffer(size + 1, '\x7f');
    ks::DWORD result = api.section(Ptr(f[2]), buffer.data(), size, Ptr(f[1]));
    size_t shown = std::min<size_t>(size, static_cast<size_t>(result) + 2);
    return "section " + std::to_string(result) + " " +
           Escape(buffer.data(), shown);
  }
  if (verb == "string" && f.size() == 6 && f[5]) {
    auto size =
        static_cast<ks::DWORD>(std::strtoul(f[5]->c_str(), nullptr, 10));
    std::vector<char> buffer(size + 1, '\x7f');
    ks::DWORD result = api.string(Ptr(f[2]), Ptr(f[3]), Ptr(f[4]),
                                  buffer.data(), size, Ptr(f[1]));
    size_t shown = std::min<size_t>(size, static_cast<size_t>(result) + 1);
    return "string " + std::to_string(result) + " " +
           Escape(buffer.data(), shown);
  }
  if (verb == "write" && f.size() == 5) {
    ks::BOOL result = api.write(Ptr(f[2]), Ptr(f[3]), Ptr(f[4]), Ptr(f[1]));
    return std::string("write ") + (result ? "ok" : "failed");
  }
  // The code page in both modes: the Windows provider is the system's own.
  if (verb == "decode" && f.size() == 2 && f[1]) {
    std::string answer = "decode ";
    char hex[8];
    for (char16_t unit : ks::AnsiToUnicode(*f[1])) {
      std::snprintf(hex, sizeof hex, "%04x", static_cast<unsigned>(unit));
      answer += hex;
    }
    return answer;
  }
  if (verb == "encode" && f.size() == 2 && f[1]) {
    std::u16string units;
    for (size_t i = 0; i + 4 <= f[1]->size(); i += 4) {
      units += static_cast<char16_t>(
          std::strtoul(f[1]->substr(i, 4).c_str(), nullptr, 16));
    }
    const std::string ansi = ks::UnicodeToAnsi(units);
    return "encode " + Escape(ansi.data(), ansi.size());
  }
  return "bad command";
}

}  // namespace

int main(int argc, char** argv) {
  const Api* api = &kProvider;
  if (argc == 4 && std::string(argv[1]) == "--reference") {
#ifdef _WIN32
    api = &kReference;
    ++argv;
    --argc;
#else
    std::fprintf(stderr, "profile_probe: --reference needs a Windows build\n");
    return 2;
#endif
  }
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: profile_probe [--reference] COMMANDS OUTPUT\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  std::FILE* out = std::fopen(argv[2], "wb");
  if (in == nullptr || out == nullptr) return 2;
  std::string line;
  for (int c = std::fgetc(in);; c = std::fgetc(in)) {
    if (c == EOF || c == '\n') {
      if (!line.empty()) {
        std::string answer = Run(*api, Split(line));
        std::fprintf(out, "%s\n", answer.c_str());
      }
      line.clear();
      if (c == EOF) break;
    } else {
      line += static_cast<char>(c);
    }
  }
  std::fclose(in);
  std::fclose(out);
  return 0;
}
