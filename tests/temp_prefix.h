// A throw-away Wine-prefix-style tree for tests: drive C: is
// <root>/drive_c, the registry is <root>/system.reg. While it lives,
// WINEPREFIX names it and the current directory is its drive_c.
#ifndef KSUPDATE_TESTS_TEMP_PREFIX_H_
#define KSUPDATE_TESTS_TEMP_PREFIX_H_

#include <sys/types.h>

#include <string>

namespace ks {

class TempPrefix {
 public:
  TempPrefix();
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;
  ~TempPrefix();

  const std::string& root() const { return root_; }
  // The host path of a path relative to drive C:, '/' separated.
  std::string Host(const std::string& relative) const;

  // Writes a file under drive C:, making its directories.
  void Write(const std::string& relative, const std::string& contents,
             mode_t mode = 0644) const;
  // The file's contents, or "<missing>".
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

  // Writes system.reg with the installation directory value (escaped as
  // Wine does), or without the key when `present` is false.
  void SetInstallDir(const std::string& value, bool present = true,
                     bool win64 = false) const;

 private:
  std::string root_;
  std::string old_cwd_;
  std::string old_prefix_;
  bool had_prefix_ = false;
};

}  // namespace ks

#endif  // KSUPDATE_TESTS_TEMP_PREFIX_H_
