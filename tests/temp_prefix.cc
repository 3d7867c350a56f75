#include "tests/temp_prefix.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace ks {

namespace fs = std::filesystem;

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
  // Read-only files and directories made by a test must not stop cleanup.
  for (auto it = fs::recursive_directory_iterator(root_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink()) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      ignored);
    }
  }
  fs::remove_all(root_, ignored);
}

std::string TempPrefix::Host(const std::string& relative) const {
  return root_ + "/drive_c/" + relative;
}

void TempPrefix::Write(const std::string& relative, const std::string& contents,
                       mode_t mode) const {
  fs::path path = Host(relative);
  fs::create_directories(path.parent_path());
  std::error_code ignored;
  fs::permissions(path, fs::perms::owner_write, fs::perm_options::add, ignored);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  chmod(path.c_str(), mode);
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
  fs::create_directories(Host(relative));
}

void TempPrefix::SetInstallDir(const std::string& value, bool present,
                               bool win64) const {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  std::string text =
      "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n";
  text += win64 ? "#arch=win64\n\n" : "#arch=win32\n\n";
  if (present) {
    text +=
        win64 ? "[Software\\\\Wow6432Node\\\\Kestrova\\\\Plennet Groupware "
                "6.5] 1700000000\n"
              : "[Software\\\\Kestrova\\\\Plennet Groupware 6.5] 1700000000\n";
    text += "#time=1d9a0b1c2d3e4f5\n";
    text += "\"KestrovaDir32\"=\"" + escaped + "\"\n";
  }
  // A new inode each time, as Wine's own save does, so that the provider's
  // change check sees even a same-size rewrite within one clock tick.
  std::string temp = root_ + "/system.reg.new";
  std::ofstream(temp, std::ios::binary | std::ios::trunc) << text;
  fs::rename(temp, root_ + "/system.reg");
}

}  // namespace ks
