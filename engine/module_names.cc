#include "engine/module_names.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "engine/locations.h"
#include "engine/manifests.h"
#include "formats/codepage.h"
#include "formats/text.h"
#include "platform/temp_files.h"

namespace ks {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Windows drops trailing dots and blanks from a path component, so ". ."
// and "..." may reach the parent as ".." does.
bool IsDotsComponent(const std::string& component) {
  int dots = 0;
  for (char c : component) {
    if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      return false;
    }
  }
  return dots >= 2 && component.front() == '.';
}

// A component that Windows opens as a device in any directory: CON, PRN,
// AUX, NUL, COM0-COM9 and LPT0-LPT9, also with the superscript digits 1 to
// 3, in any case, and with whatever follows a '.' or trailing blanks
// ("Naming Files, Paths, and Namespaces" lists these as reserved). A copy
// to one succeeds without a file, so client.ver would record a module that
// is not there.
bool IsDeviceComponent(std::string_view component) {
  std::u16string name = AnsiToUnicode(component.substr(0, component.find('.')));
  while (!name.empty() && name.back() == u' ') name.pop_back();
  std::u16string upper;
  for (char16_t c : name.substr(0, 3)) upper += UpperAscii(c);
  if (name.size() == 3) {
    return upper == u"CON" || upper == u"PRN" || upper == u"AUX" ||
           upper == u"NUL";
  }
  if (name.size() != 4 || (upper != u"COM" && upper != u"LPT")) return false;
  const char16_t digit = name[3];
  return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' ||
         digit == u'\u00B2' || digit == u'\u00B3';
}

// The run's own files beside the modules: a copy over the lock file would
// let a second run in, and a module named like a temporary file would be
// removed as stale by the next run. As Windows does, trailing dots and
// blanks do not count.
bool IsRunsOwnFile(const std::string& name) {
  const std::string::size_type slash = FindLastAnsiChar(name, "\\/");
  const std::string file =
      name.substr(slash == std::string::npos ? 0 : slash + 1);
  if (IsTempName(file.c_str())) return true;
  return slash == std::string::npos && SameFileName(file, kLockFileName);
}

// Appends the names of `key` to *names until it holds more than `max`.
void AppendModuleNames(std::string_view key, std::size_t max,
                       std::vector<std::string>* names) {
  for (std::string::size_type start = 0; names->size() <= max;) {
    // '|' may be the trail byte of a double-byte character.
    const std::string::size_type bar = FindAnsiChar(key, '|', start);
    names->emplace_back(key.substr(start, bar - start));
    if (bar == std::string::npos) return;
    start = bar + 1;
  }
}

}  // namespace

std::vector<std::string> ReadModuleNames(const PatchManifest& manifest) {
  std::vector<std::string> names;
  // Each key as the section's list gives it, read where it lies: a list of
  // the whole section would cost a copy of it or more, and one cut at a
  // buffer would leave the modules past the cut silently old. Past the
  // names allowed, nothing more is looked at.
  manifest.ForEachListedKey(kModulesSection, [&names](std::string_view key) {
    AppendModuleNames(key, kMaxModuleNames, &names);
    return names.size() <= kMaxModuleNames;
  });
  return names;
}

std::string GetEntryKey(const std::string& entry) {
  std::string::size_type equals = entry.find('=');
  if (equals == std::string::npos) return entry;
  return entry.substr(0, equals);
}

std::vector<std::string> SplitModuleNames(const std::string& key) {
  std::vector<std::string> names;
  AppendModuleNames(key, SIZE_MAX, &names);
  return names;
}

bool IsSafeModuleName(const std::string& name) {
  if (!name.empty() && IsSeparator(name.front())) return false;
  if (IsRunsOwnFile(name)) return false;
  if (FindAnsiChar(name, ':') != std::string::npos) return false;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type end = start;
    while (end < name.size() && !IsSeparator(name[end])) {
      end = NextAnsiChar(name, end);
    }
    const std::string component = name.substr(start, end - start);
    if (IsDotsComponent(component) || IsDeviceComponent(component)) {
      return false;
    }
    if (end == name.size()) return true;
    start = end + 1;
  }
}

}  // namespace ks
