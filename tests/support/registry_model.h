// A whole system.reg parsed into memory: the tests' model of what
// RegistryFile (platform/posix/registry.h) answers key by key. It reads the
// lines with the reader's own rules (platform/posix/registry_syntax.h) but
// walks the file in one simple pass, storing every key, so that the
// reader's skipping and key matching are checked against it.
#ifndef KSUPDATE_TESTS_SUPPORT_REGISTRY_MODEL_H_
#define KSUPDATE_TESTS_SUPPORT_REGISTRY_MODEL_H_

#include <map>
#include <string>

#include "platform/posix/registry.h"

namespace ks::posix {

// A parsed system.reg, keys and values as RegistryFile holds them.
struct RegistryHive {
  bool win64 = false;  // "#arch=win64"
  // Every key, by its normalised path relative to HKLM, mapped to its
  // values; a key's ancestors are stored too.
  std::map<std::string, RegistryValues, NameLess> keys;
};

// Parses the text as RegistryFile reads it. A key whose missing ancestors
// would take the paths stored past a budget of several times the text's
// size (8 bytes a byte of text, plus 1 MiB) is skipped, which only a
// crafted file of very deep keys reaches. Never throws on bad input (only
// std::bad_alloc).
RegistryHive ParseRegistry(const std::string& text);

// View32KeyPath for the hive's architecture.
std::string View32KeyPath(const RegistryHive& hive,
                          const std::string& key_path);

}  // namespace ks::posix

#endif  // KSUPDATE_TESTS_SUPPORT_REGISTRY_MODEL_H_
