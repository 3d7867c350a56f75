// The names of the modules: which the source manifest lists, and which of
// them a run may write.
#ifndef KSUPDATE_ENGINE_MODULE_NAMES_H_
#define KSUPDATE_ENGINE_MODULE_NAMES_H_

#include <cstddef>
#include <string>
#include <vector>

#include "engine/manifests.h"

namespace ks {

// The most names a patch may list; a manifest that lists more is refused.
constexpr std::size_t kMaxModuleNames = 65536;

// The module names of the source manifest's section "modules", in file
// order: the key of each entry (GetEntryKey), split by SplitModuleNames.
// Empty when the file or the section is missing or has no entry. The
// section is read whole, however large, but at most kMaxModuleNames + 1
// names are made of it: more says the manifest lists too many, at a cost
// that does not grow with how many more.
std::vector<std::string> ReadModuleNames(const PatchManifest& manifest);

// The key of one section entry: the text before its first "=", or the
// whole entry when it has none.
std::string GetEntryKey(const std::string& entry);

// The names that one key stands for: "|" separates names, so a key with n
// bars gives the n + 1 pieces between them, empty ones included ("a|b"
// gives "a" and "b", "" gives one empty name).
std::vector<std::string> SplitModuleNames(const std::string& key);

// False for a name that would lead out of the bin directory: one that
// begins with a separator, holds a colon (a drive or a stream), or has a
// component of dots such as ".."; for one with a component that Windows
// takes for a device (NUL, CON, COM1.txt, ...), on every platform; and for
// the run's own files in bin (the lock file, temporary files).
bool IsSafeModuleName(const std::string& name);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_MODULE_NAMES_H_
