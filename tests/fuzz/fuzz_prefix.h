// A small Wine prefix for the path fuzz targets, made once per process and
// removed at its exit: drive C: only, an installation at C:\Client with a
// few entries in bin, and C:\Client as the current directory.
#ifndef KSUPDATE_TESTS_FUZZ_FUZZ_PREFIX_H_
#define KSUPDATE_TESTS_FUZZ_FUZZ_PREFIX_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ks::fuzz {

inline std::string& PrefixRoot() {
  static std::string root;
  return root;
}

inline void RemovePrefix() {
  std::error_code ignored;
  std::filesystem::remove_all(PrefixRoot(), ignored);
}

// The prefix's directory, made on the first call.
inline const std::string& FuzzPrefix() {
  std::string& root = PrefixRoot();
  if (!root.empty()) return root;
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "ksfuzz-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) std::abort();
  root = name.data();
  std::atexit(RemovePrefix);
  fs::create_directories(root + "/dosdevices");
  fs::create_directory_symlink("../drive_c", root + "/dosdevices/c:");
  fs::create_directories(root + "/drive_c/Client/bin/Sub");
  fs::create_directories(root + "/drive_c/Client/bin/plugins");
  fs::create_directories(root + "/drive_c/Windows");
  std::ofstream(root + "/drive_c/Client/bin/A.DLL") << "a";
  std::ofstream(root + "/drive_c/Client/bin/client.ver") << "[modules]\n";
  if (chdir((root + "/drive_c/Client").c_str()) != 0) std::abort();
  return root;
}

}  // namespace ks::fuzz

#endif  // KSUPDATE_TESTS_FUZZ_FUZZ_PREFIX_H_
