#include "tests/support/temp_prefix.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <unistd.h>

#include "tests/support/system_reg_writer.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace ks {

namespace fs = std::filesystem;

namespace {

// Read-only files and directories made by a test must not stop cleanup.
void RemoveTree(const std::string& path) {
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(path, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      ignored);
    }
  }
  fs::remove_all(path, ignored);
}

#ifdef _WIN32
const char kVendorKey[] = "SOFTWARE\\Kestrova";
const char kInstallKey[] = "SOFTWARE\\Kestrova\\Plennet Groupware 6.5";

std::string Lower(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

void DeleteInstallKey() {
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, KEY_WOW64_32KEY, 0);
  RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_32KEY, 0);
}
#endif

}  // namespace

#ifdef _WIN32

TempPrefix::TempPrefix() : root_("C:\\") {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVendorKey, 0,
                    KEY_READ | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
    RegCloseKey(key);
    throw std::runtime_error("the registry already has a Kestrova key");
  }
  for (const auto& entry : fs::directory_iterator(root_)) {
    baseline_.insert(Lower(entry.path().filename().string()));
  }
  old_cwd_ = fs::current_path().string();
  fs::current_path(root_);
}

TempPrefix::~TempPrefix() {
  std::error_code ignored;
  fs::current_path(old_cwd_, ignored);
  DeleteInstallKey();
  for (const std::string& tree : Trees()) RemoveTree(tree);
}

std::string TempPrefix::Host(const std::string& relative) const {
  std::string path = root_ + relative;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::vector<std::string> TempPrefix::Trees() const {
  std::vector<std::string> trees;
  for (const auto& entry : fs::directory_iterator(root_)) {
    if (baseline_.count(Lower(entry.path().filename().string())) == 0) {
      trees.push_back(entry.path().string());
    }
  }
  return trees;
}

std::string TempPrefix::Owned(const std::string& relative) const {
  if (baseline_.count(Lower(relative.substr(0, relative.find('/')))) != 0) {
    throw std::runtime_error("not a path of the tests: C:\\" + relative);
  }
  return Host(relative);
}

void TempPrefix::SetInstallDir(const std::string& value, bool present,
                               bool /*win64*/) const {
  DeleteInstallKey();
  if (!present) return;
  HKEY key = nullptr;
  LONG status =
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, kInstallKey, 0, nullptr, 0,
                      KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExA(key, "KestrovaDir32", 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) throw std::runtime_error("registry write");
}

#else

TempPrefix::TempPrefix() {
  std::string pattern =
      (fs::temp_directory_path() / "ksprefix-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp");
  root_ = name.data();
  fs::create_directories(root_ + "/drive_c");
  fs::create_directories(root_ + "/dosdevices");
  fs::create_directory_symlink("../drive_c", root_ + "/dosdevices/c:");
  fs::create_directory_symlink("/", root_ + "/dosdevices/z:");
  const char* prefix = std::getenv("WINEPREFIX");
  had_prefix_ = prefix != nullptr;
  if (had_prefix_) old_prefix_ = prefix;
  setenv("WINEPREFIX", root_.c_str(), 1);
  old_cwd_ = fs::current_path().string();
  fs::current_path(root_ + "/drive_c");
}

TempPrefix::~TempPrefix() {
  std::error_code ignored;
  fs::current_path(old_cwd_, ignored);
  if (had_prefix_) {
    setenv("WINEPREFIX", old_prefix_.c_str(), 1);
  } else {
    unsetenv("WINEPREFIX");
  }
  RemoveTree(root_);
}

std::string TempPrefix::Host(const std::string& relative) const {
  return root_ + "/drive_c/" + relative;
}

std::vector<std::string> TempPrefix::Trees() const { return {root_}; }

std::string TempPrefix::Owned(const std::string& relative) const {
  return Host(relative);
}

void TempPrefix::SetInstallDir(const std::string& value, bool present,
                               bool win64) const {
  SystemRegWriter reg(win64);
  if (present) {
    reg.Key(win64 ? "Software\\Wow6432Node\\Kestrova\\Plennet Groupware 6.5"
                  : "Software\\Kestrova\\Plennet Groupware 6.5");
    reg.String("KestrovaDir32", value);
  }
  // A new inode each time, as Wine's own save does, so that the provider's
  // change check sees even a same-size rewrite within one clock tick.
  std::string temp = root_ + "/system.reg.new";
  std::ofstream(temp, std::ios::binary | std::ios::trunc) << reg.text();
  fs::rename(temp, root_ + "/system.reg");
}

#endif

void TempPrefix::Write(const std::string& relative, const std::string& contents,
                       mode_t mode) const {
  fs::path path = Owned(relative);
  fs::create_directories(path.parent_path());
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ignored);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  // On Windows the owner's write bit is the read-only attribute.
  fs::permissions(path, static_cast<fs::perms>(mode), fs::perm_options::replace,
                  ignored);
}

std::string TempPrefix::Read(const std::string& relative) const {
  std::ifstream in(Host(relative), std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool TempPrefix::Exists(const std::string& relative) const {
  std::error_code ignored;
  return fs::exists(fs::symlink_status(Host(relative), ignored));
}

void TempPrefix::MakeDir(const std::string& relative) const {
  fs::create_directories(Owned(relative));
}

}  // namespace ks
