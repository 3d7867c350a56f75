// The installation as the Windows provider holds it for a run: the
// directories from the installation directory down to bin, open, and what
// an elevated run refuses on the way to a file below bin.
#ifndef KSUPDATE_PLATFORM_WIN32_INSTALLATION_H_
#define KSUPDATE_PLATFORM_WIN32_INSTALLATION_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ks::win32 {

// Whether the process runs elevated (its token's TokenElevation: an
// administrator's full token, or SYSTEM); false when it cannot be told.
bool IsElevated();

// The SID of the process's user (TokenUser), as bytes; empty when it
// cannot be read.
std::vector<unsigned char> ProcessUserSid();

// Directories held open for as long as the object lives, shared for reading
// and writing but not for deleting: while a handle without
// FILE_SHARE_DELETE is open, Windows refuses to rename or delete the
// directory (a rename asks for DELETE access), so that nobody can put a
// junction or another directory in its place.
class HeldDirectories {
 public:
  HeldDirectories() = default;
  HeldDirectories(const HeldDirectories&) = delete;
  HeldDirectories& operator=(const HeldDirectories&) = delete;
  ~HeldDirectories();

  // Opens the directory `path` as itself (FILE_FLAG_OPEN_REPARSE_POINT: a
  // junction or a link is not followed) and holds it. False when it cannot
  // be opened; *reparse tells whether it is a reparse point (then it is
  // held all the same).
  bool Hold(const std::string& path, bool* reparse);

 private:
  std::vector<void*> handles_;
};

// Whether every directory between the directory `root` and the file `path`
// below it is no reparse point: each is opened as itself and held in
// *held (while that lives), so that none can be swapped for one before
// the caller's use of `path`. True for a path that is not below `root`
// or lies directly in it.
bool NoReparsePointBelow(const std::string& root, const std::string& path,
                         HeldDirectories* held);

// The directory of a trace or result file at `path`, held in *held (while
// that lives) from its drive's root (or share) down, so that none can be
// swapped before the caller opens the file by `path`: each one that is
// missing made (by an elevated run with a protected DACL: SYSTEM and
// Administrators full control, Users read), each opened as itself. False
// with *refused when one is a reparse point, or when the file's own
// directory belongs to another account than the run's, Administrators or
// SYSTEM; false without when one cannot be opened or made. True at once
// for a device's path (\\.\pipe\...).
bool HoldOutputDirectory(const std::string& path, HeldDirectories* held,
                         bool* refused);

// TrustInstallation on Windows (platform.h): holds the installation
// directory (bin's parent) and bin, and for an elevated run refuses either
// that is a reparse point (Refusal::kLink, with its path). A directory that
// cannot be opened is no refusal: nothing can be written there either.
class HeldInstallation {
 public:
  bool Hold(const char* bin_dir, InstallationRefusal* refused);

  // Whether a write may reach `path`: for an elevated run, a path below the
  // held bin through subfolders must find none of them a reparse point;
  // each is held in *held (while it lives) so that none can be swapped
  // before the write. True otherwise.
  bool MayWrite(const std::string& path, HeldDirectories* held) const;

  // Closes what Hold holds.
  void Release() {
    held_.reset();
    bin_.clear();
  }

 private:
  std::string bin_;
  bool elevated_ = false;
  std::unique_ptr<HeldDirectories> held_;
};

}  // namespace ks::win32

#endif  // KSUPDATE_PLATFORM_WIN32_INSTALLATION_H_
