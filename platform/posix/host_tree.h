// The directories that the Linux provider holds for a run (the prefix, the
// installation's bin, the patch directory), and where a Windows path lies
// among them.
#ifndef KSUPDATE_PLATFORM_POSIX_HOST_TREE_H_
#define KSUPDATE_PLATFORM_POSIX_HOST_TREE_H_

#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "platform/posix/held_dirs.h"
#include "platform/posix/wine_paths.h"

namespace ks::posix {

// Why Locate reached no place.
enum class Located {
  kReached,
  kMissing,  // the path names no host file, or a directory on the way is
             // not there
  kLink,     // a directory on the way below bin or the patch directory is
             // a symbolic link
  kRefused,  // below bin, a directory that fails the owner rule; or, while
             // an installation is held, a path in neither bin nor the
             // patch directory
};

class HostTree {
 public:
  // The prefix directory, WinePrefix()'s: opened (following the links of
  // its path, which is given to us) the first time it is asked for with
  // that value, and held from then on, so that the path swapped for a link
  // afterwards changes nothing. Asked for with another value, every
  // directory held is let go. -1 when it cannot be opened (tried again at
  // the next call). *ownership gets the owner rule's answer for it.
  int Prefix(Ownership* ownership = nullptr);
  const std::string& prefix_path() const { return prefix_path_; }

  // The installation's part of TrustInstallation (platform.h). From the
  // prefix held: dosdevices, the drive's root (through the drive's link,
  // the one link followed) and each directory down to `bin_dir`, each
  // opened once without following a link and checked by the owner rule
  // before a name is looked up in it. True with bin held when all pass,
  // and when the way ends before bin (nothing held: nobody else can make
  // what is missing); false with *refused otherwise. A null `bin_dir`
  // holds nothing and refuses nothing. Whatever was held before is let go.
  bool HoldInstallation(const char* bin_dir, InstallationRefusal* refused);

  // OpenSourceDirectory (platform.h): the directory `dir` (the root of the
  // current drive for an empty one), found as MapPath finds it but from
  // the prefix held, with the links on its way followed (the way to it is
  // the caller's to choose), and held. False, holding nothing, when it
  // cannot be opened.
  bool HoldSource(const char* dir);

  // Lets go of bin and the patch directory (the prefix stays held).
  void Release() {
    bin_ = Held();
    source_ = Held();
  }

  // Where `windows_path` lies: *place gets the directory that holds it,
  // open, and its name there. Below the held bin it is reached from bin,
  // each directory on the way opened without following a link and checked
  // by the owner rule; below the held patch directory, from that, without
  // following a link. While an installation is held, nothing else is
  // reached. Otherwise (a tool's paths; a run whose bin is missing) its
  // directory is opened by the host path that MapPath gives.
  Located Locate(const char* windows_path, Place* place);

 private:
  struct Held {
    bool held = false;
    Route route;
    Fd dir;
    std::string host;
    // dir's, taken once when it was held.
    struct stat identity {};
  };
  // Holds `dir` as `held`.
  static void Hold(Held* held, Route route, Fd dir, std::string host);

  // True, with the components after its own in *rest, when `route` lies
  // below (or is) `held`'s directory.
  static bool Below(const Held& held, const Route& route,
                    std::vector<std::string>* rest);
  // The root of `route`'s drive, opened through the held prefix: the
  // drive's link in dosdevices followed, dosdevices itself not. With
  // `refused`, dosdevices and the root are checked by the owner rule;
  // false (with *refused set) when one fails.
  bool OpenDriveRoot(const Route& route, Fd* root, std::string* host,
                     InstallationRefusal* refused);

  std::string prefix_path_;
  bool prefix_opened_ = false;
  Fd prefix_;
  struct stat prefix_stat_ {};
  Held bin_;
  Held source_;
};

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_HOST_TREE_H_
