#include "tests/support/registry_model.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/registry_syntax.h"

namespace ks::posix {
namespace {

using registry_syntax::LineReader;
using registry_syntax::ParseKeyLine;
using registry_syntax::ParseValueLine;
using registry_syntax::SkipSpaces;

// Fills a hive line by line, keeping track of the key that values go to.
class HiveBuilder {
 public:
  HiveBuilder(RegistryHive* hive, size_t text_size)
      : hive_(hive), key_budget_(8 * text_size + (1u << 20)) {}

  // Handles "[name] timestamp". A line that does not parse leaves no key
  // open, so that its values do not land in the previous key.
  void KeyLine(std::string_view line) {
    current_ = nullptr;
    std::string path;
    if (ParseKeyLine(line, &path) && !path.empty()) current_ = OpenKey(path);
  }

  // Handles "name"=data or @=data.
  void ValueLine(std::string_view line, LineReader* lines) {
    std::string name;
    RegistryValue value;
    if (!ParseValueLine(line, lines, &name, &value)) return;
    // Values outside any key have nowhere to go (the data was still
    // consumed, continuation lines included).
    if (current_ == nullptr) return;
    current_->insert_or_assign(std::move(name), std::move(value));
  }

 private:
  // The key at `path`, created with every missing ancestor. Each key
  // stores its whole path, so a crafted file of very deep, distinct keys
  // would grow the hive quadratically; a budget on the bytes of the paths
  // added, far above what a real file needs, stops that: a key that would
  // exceed it is skipped (nullptr).
  RegistryValues* OpenKey(const std::string& path) {
    auto found = hive_->keys.find(path);
    if (found != hive_->keys.end()) return &found->second;
    // Where each ancestor's path ends, shallowest first.
    std::vector<size_t> ends;
    for (size_t i = path.find('\\'); i != std::string::npos;
         i = path.find('\\', i + 1)) {
      ends.push_back(i);
    }
    // The ancestors of a stored key are all stored, so the stored ones are
    // a leading run of `ends`, found by bisection: a line costs a few
    // lookups however deep it is.
    size_t stored = 0;
    size_t missing = ends.size();
    while (stored < missing) {
      size_t mid = stored + (missing - stored) / 2;
      if (hive_->keys.count(path.substr(0, ends[mid])) != 0) {
        stored = mid + 1;
      } else {
        missing = mid;
      }
    }
    size_t cost = path.size();
    for (size_t i = stored; i < ends.size() && cost <= key_budget_; ++i) {
      cost += ends[i];
    }
    if (cost > key_budget_) return nullptr;
    key_budget_ -= cost;
    for (size_t i = stored; i < ends.size(); ++i) {
      hive_->keys.emplace(path.substr(0, ends[i]), RegistryValues());
    }
    return &hive_->keys.emplace(path, RegistryValues()).first->second;
  }

  RegistryHive* hive_;
  size_t key_budget_;
  RegistryValues* current_ = nullptr;
};

}  // namespace

RegistryHive ParseRegistry(const std::string& text) {
  RegistryHive hive;
  LineReader lines(text);
  if (!registry_syntax::ReadHeader(&lines)) return hive;
  HiveBuilder builder(&hive, text.size());
  std::string_view line;
  while (lines.Next(&line)) {
    line.remove_prefix(SkipSpaces(line, 0));
    if (line.empty()) continue;
    switch (line[0]) {
      case '[':
        builder.KeyLine(line);
        break;
      case '"':
      case '@':
        builder.ValueLine(line, &lines);
        break;
      case '#':
        registry_syntax::ReadOption(line, &hive.win64);
        break;
      default:
        break;
    }
  }
  return hive;
}

std::string View32KeyPath(const RegistryHive& hive,
                          const std::string& key_path) {
  return View32KeyPath(hive.win64, key_path);
}

}  // namespace ks::posix
