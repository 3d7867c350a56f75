// A throw-away installation tree for tests. On Linux a Wine-prefix-style
// tree: drive C: is <root>/drive_c, the registry is <root>/system.reg, and
// while it lives WINEPREFIX names it and the current directory is its
// drive_c. On Windows the real drive C: and registry (run the tests in a
// Wine prefix of their own): the files go to the same paths on C:\, the
// current directory is C:\, and what the prefix made is removed when it
// ends.
#ifndef KSUPDATE_TESTS_SUPPORT_TEMP_PREFIX_H_
#define KSUPDATE_TESTS_SUPPORT_TEMP_PREFIX_H_

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace ks {

class TempPrefix {
 public:
  // On Windows, throws when the registry already has the vendor's key: the
  // tests would overwrite and then delete a real installation's value.
  TempPrefix();
  TempPrefix(const TempPrefix&) = delete;
  TempPrefix& operator=(const TempPrefix&) = delete;
  ~TempPrefix();

  // The prefix directory; C:\ on Windows.
  const std::string& root() const { return root_; }
  // The host path of a path relative to drive C:, '/' separated.
  std::string Host(const std::string& relative) const;
  // The host paths that hold everything the tests lay and a run may write:
  // the prefix directory on Linux; on Windows the entries of C:\ that were
  // not there when the prefix was made.
  std::vector<std::string> Trees() const;

  // Writes a file under drive C:, making its directories. A mode without
  // the owner's write bit is the read-only attribute on Windows. On Windows,
  // throws for a path under an entry of C:\ that the prefix did not make.
  void Write(const std::string& relative, const std::string& contents,
             mode_t mode = 0644) const;
  // The file's contents, or "<missing>".
  std::string Read(const std::string& relative) const;
  bool Exists(const std::string& relative) const;
  void MakeDir(const std::string& relative) const;

  // Sets the installation directory value, or removes its key when
  // `present` is false. Linux: writes system.reg (escaped as Wine does, in a
  // win64 prefix's layout when `win64`). Windows: the real registry's 32-bit
  // view, whatever `win64` says.
  void SetInstallDir(const std::string& value, bool present = true,
                     bool win64 = false) const;

 private:
  // Host(relative), for a path the prefix may write.
  std::string Owned(const std::string& relative) const;

  std::string root_;
  std::string old_cwd_;
  std::string old_prefix_;
  bool had_prefix_ = false;
  // Windows: the lower-case names in C:\ before the prefix was made.
  std::set<std::string> baseline_;
};

}  // namespace ks

#endif  // KSUPDATE_TESTS_SUPPORT_TEMP_PREFIX_H_
