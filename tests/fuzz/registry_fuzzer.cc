// The system.reg reader on any text. Input: key path \0 file text.
//
// Whatever the text, the whole-file model (tests/registry_model.h) holds
// normalised key paths with all their ancestors, within its budget; written
// out again in Wine's format it parses to the same hive; the reader answers
// every key as the model holds it; and the 32-bit view of a path is
// normalised and stable.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/registry.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/support/registry_model.h"
#include "tests/support/system_reg_writer.h"

namespace ks::fuzz {
namespace {

using posix::ParseRegistry;
using posix::RegistryHive;
using posix::View32KeyPath;

bool IsNormal(const std::string& path) {
  return path.empty() || (path.front() != '\\' && path.back() != '\\' &&
                          path.find("\\\\") == std::string::npos);
}

// The hive in Wine's format, every value as hex data of its type.
std::string Write(const RegistryHive& hive) {
  SystemRegWriter writer(hive.win64);
  for (const auto& [path, values] : hive.keys) {
    writer.Key(path);
    for (const auto& [name, value] : values) {
      writer.Hex(name, value.type, value.data);
    }
  }
  return writer.text();
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
