// The system.reg reader on any text. Input: key path \0 file text.
//
// Whatever the text, the whole-file model (tests/registry_model.h) holds
// normalised key paths with all their ancestors, within its budget; written
// out again in Wine's format it parses to the same hive; the reader answers
// every key as the model holds it; and the 32-bit view of a path is
// normalised and stable.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/posix/registry.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/registry_model.h"

namespace ks::fuzz {
namespace {

using posix::ParseRegistry;
using posix::RegistryHive;
using posix::View32KeyPath;

bool IsNormal(const std::string& path) {
  return path.empty() || (path.front() != '\\' && path.back() != '\\' &&
                          path.find("\\\\") == std::string::npos);
}

// A stored name as escaped text: `close` and '\' escaped, every byte that is
// not printable ASCII as a four-digit \x escape of its character in the ANSI
// code page (so that a hex digit after it is not taken in).
std::string Escape(const std::string& name, char close) {
  std::string out;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == close || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7F) {
      // The character that the stored ANSI byte stands for.
      const unsigned unit = ks::AnsiToUnicode(std::string(1, c))[0];
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%04x", unit);
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

// The hive in Wine's format, every value as hex data of its type: text
// types as the UTF-16LE of the characters that their ANSI bytes stand for.
std::string Write(const RegistryHive& hive) {
  std::string text = "WINE REGISTRY Version 2\n";
  text += hive.win64 ? "#arch=win64\n" : "#arch=win32\n";
  for (const auto& [path, values] : hive.keys) {
    text += "\n[";
    std::string::size_type start = 0;
    for (;;) {
      std::string::size_type bar = path.find('\\', start);
      text += Escape(path.substr(start, bar - start), ']');
      if (bar == std::string::npos) break;
      text += "\\\\";
      start = bar + 1;
    }
    text += "] 0\n";
    for (const auto& [name, value] : values) {
      text += name.empty() ? "@" : "\"" + Escape(name, '"') + "\"";
      char type[24];
      std::snprintf(type, sizeof type, "=hex(%x):", value.type);
      text += type;
      bool first = true;
      for (char c : value.data) {
        char byte[16];
        if (IsTextType(value.type)) {
          const unsigned unit = ks::AnsiToUnicode(std::string(1, c))[0];
          std::snprintf(byte, sizeof byte, "%s%02x,%02x", first ? "" : ",",
                        unit & 0xFF, unit >> 8);
        } else {
          std::snprintf(byte, sizeof byte, "%s%02x", first ? "" : ",",
                        static_cast<unsigned char>(c));
        }
        text += byte;
        first = false;
      }
      text += "\n";
    }
  }
  return text;
}

bool SameHive(const RegistryHive& a, const RegistryHive& b) {
  if (a.win64 != b.win64 || a.keys.size() != b.keys.size()) return false;
  for (auto x = a.keys.begin(), y = b.keys.begin(); x != a.keys.end();
       ++x, ++y) {
    if (x->first != y->first || x->second.size() != y->second.size()) {
      return false;
    }
    for (auto v = x->second.begin(), w = y->second.begin();
         v != x->second.end(); ++v, ++w) {
      if (v->first != w->first || v->second.type != w->second.type ||
          v->second.data != w->second.data) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace
}  // namespace ks::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace ks::fuzz;  // NOLINT(google-build-using-namespace)
  FuzzInput input(data, size);
  const std::string key_path = input.Field();
  const std::string text = input.Rest();
  const RegistryHive hive = ParseRegistry(text);

  std::size_t stored = 0;
  for (const auto& [path, values] : hive.keys) {
    Check(!path.empty() && IsNormal(path), "a stored key path is normalised");
    std::string::size_type bar = path.rfind('\\');
    Check(bar == std::string::npos || hive.keys.count(path.substr(0, bar)) == 1,
          "a stored key's parent is stored");
    stored += path.size();
  }
  Check(stored <= 8 * text.size() + (1u << 20),
        "the key paths stay within their budget");

  Check(SameHive(ParseRegistry(Write(hive)), hive),
        "a hive written out parses to the same hive");

  // The file read key by key answers as the whole parse: for the asked key
  // and for every stored one.
  const ks::posix::RegistryFile file(text);
  Check(file.win64() == hive.win64, "a read file knows the architecture");
  auto same_key = [&](const std::string& path) {
    const ks::posix::RegistryValues* got = file.FindKey(path);
    auto want = hive.keys.find(path);
    // Far below its budget the parse dropped no ancestor key.
    if (want == hive.keys.end()) return got == nullptr || stored >= (1u << 19);
    RegistryHive one, other;
    one.keys[path] = want->second;
    if (got != nullptr) other.keys[path] = *got;
    return got != nullptr && SameHive(one, other);
  };
  Check(same_key(View32KeyPath(hive.win64, key_path)),
        "a read file finds the asked key as the parse does");
  int checked = 0;
  for (const auto& entry : hive.keys) {
    if (++checked > 64) break;
    Check(same_key(entry.first), "a read file holds every parsed key");
  }

  const std::string view = View32KeyPath(hive, key_path);
  Check(IsNormal(view), "a 32-bit view path is normalised");
  Check(View32KeyPath(hive, view) == view, "a 32-bit view path is stable");
  if (!hive.win64) {
    Check(view == View32KeyPath(hive, "\\" + key_path + "\\"),
          "a win32 prefix views every path as itself");
  }
  return 0;
}
