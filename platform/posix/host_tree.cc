#include "platform/posix/host_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/wine_locale.h"

namespace ks::posix {

namespace {

std::string JoinHost(const std::string& base, const std::string& name) {
  return base.empty() || base.back() != '/' ? base + "/" + name : base + name;
}

// Sets *refused for what the owner rule found of `path`; false.
bool Refuse(Ownership ownership, const std::string& path,
            InstallationRefusal* refused) {
  refused->why = ownership == Ownership::kNotOwned ? Refusal::kNotOwned
                                                   : Refusal::kWritableByOthers;
  refused->path = path;
  return false;
}

// Checks the open directory `fd` (at `host`) by the owner rule: true when
// it passes, else false with *refused set.
bool Judge(int fd, const std::string& host, InstallationRefusal* refused) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Refuse(Ownership::kNotOwned, host, refused);
  const Ownership ownership = CheckOwnership(st);
  return ownership == Ownership::kTrusted || Refuse(ownership, host, refused);
}

// The place of a host path by its name, its directory opened as the path
// says (links followed): the way a tool's paths have always gone.
Located PlaceByPath(const std::string& host, Place* place) {
  const std::string::size_type cut = host.rfind('/');
  if (cut == std::string::npos) return Located::kMissing;
  const std::string dir = cut == 0 ? "/" : host.substr(0, cut);
  std::string name = host.substr(cut + 1);
  place->Own(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  place->name = name.empty() ? "." : std::move(name);
  place->host = host;
  return place->valid() ? Located::kReached : Located::kMissing;
}

Located FromReach(Reach reach) {
  switch (reach) {
    case Reach::kReached:
      return Located::kReached;
    case Reach::kMissing:
      return Located::kMissing;
    case Reach::kLink:
      return Located::kLink;
    case Reach::kUntrusted:
      break;
  }
  return Located::kRefused;
}

}  // namespace

int HostTree::Prefix(Ownership* ownership) {
  std::string path = WinePrefix();
  if (path != prefix_path_) {
    prefix_opened_ = false;
    prefix_.reset();
    bin_ = Held();
    source_ = Held();
    prefix_path_ = std::move(path);
  }
  if (!prefix_opened_) {
    prefix_.reset(
        ::open(prefix_path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    prefix_opened_ =
        prefix_.valid() && ::fstat(prefix_.get(), &prefix_stat_) == 0;
    if (!prefix_opened_) prefix_.reset();
  }
  if (ownership != nullptr && prefix_opened_) {
    *ownership = CheckOwnership(prefix_stat_);
  }
  return prefix_opened_ ? prefix_.get() : -1;
}

bool HostTree::Below(const Held& held, const Route& route,
                     std::vector<std::string>* rest) {
  const std::vector<std::string>& own = held.route.components;
  if (!held.held || route.drive != held.route.drive ||
      route.components.size() < own.size()) {
    return false;
  }
  for (size_t i = 0; i < own.size(); ++i) {
    if (route.components[i] != own[i]) return false;
  }
  rest->assign(route.components.begin() + static_cast<long>(own.size()),
               route.components.end());
  return true;
}

bool HostTree::OpenDriveRoot(const Route& route, Fd* root, std::string* host,
                             InstallationRefusal* refused) {
  if (route.drive == '\0') {
    *host = "/";
    root->reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  } else {
    *host = prefix_path_ + "/dosdevices";
    Fd devices(OpenDirectoryIn(prefix_.get(), "dosdevices"));
    if (!devices.valid()) {
      if (refused != nullptr && errno == ELOOP) {
        refused->why = Refusal::kLink;
        refused->path = *host;
        return false;
      }
      return true;
    }
    if (refused != nullptr && !Judge(devices.get(), *host, refused)) {
      return false;
    }
    // The drive's link ("c:" -> "../drive_c"): the mapping itself, the one
    // link that is followed.
    const std::string letter{route.drive, ':'};
    *host = JoinHost(*host, letter);
    root->reset(::openat(devices.get(), letter.c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  }
  return !root->valid() || refused == nullptr ||
         Judge(root->get(), *host, refused);
}

bool HostTree::HoldInstallation(const char* bin_dir,
                                InstallationRefusal* refused) {
  bin_ = Held();
  Ownership ownership = Ownership::kTrusted;
  if (Prefix(&ownership) < 0) return true;
  if (ownership != Ownership::kTrusted) {
    return Refuse(ownership, prefix_path_, refused);
  }
  Route route;
  if (bin_dir == nullptr ||
      !RoutePath(prefix_path_, bin_dir, ProcessLocale(), &route)) {
    return true;
  }
  Fd dir;
  std::string host;
  if (!OpenDriveRoot(route, &dir, &host, refused)) return false;
  if (!dir.valid()) return true;
  // Each directory is checked before a name is looked up in it.
  for (const std::string& component : route.components) {
    const std::string name = EntryFor(dir.get(), component);
    if (name.empty()) return true;
    Fd next(OpenDirectoryIn(dir.get(), name));
    host = JoinHost(host, name);
    if (!next.valid()) {
      if (errno != ELOOP) return true;
      refused->why = Refusal::kLink;
      refused->path = host;
      return false;
    }
    if (!Judge(next.get(), host, refused)) return false;
    dir = std::move(next);
  }
  Hold(&bin_, std::move(route), std::move(dir), std::move(host));
  return true;
}

bool HostTree::HoldSource(const char* dir) {
  source_ = Held();
  if (dir == nullptr || Prefix() < 0) return false;
  // With a separator after it, "" is the root of the current drive, as the
  // paths built on it are.
  Route route;
  if (!RoutePath(prefix_path_, std::string(dir) + "\\", ProcessLocale(),
                 &route)) {
    return false;
  }
  // From the prefix held, as bin is: a prefix swapped after its first use
  // lends the run no patch of its own. The way to the patch directory is
  // the caller's to choose: links on it are followed.
  Fd found;
  std::string host;
  if (!OpenDriveRoot(route, &found, &host, nullptr) || !found.valid()) {
    return false;
  }
  for (const std::string& component : route.components) {
    std::string name = EntryFor(found.get(), component);
    if (name.empty()) return false;
    found.reset(::openat(found.get(), name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!found.valid()) return false;
    host = JoinHost(host, name);
  }
  Hold(&source_, std::move(route), std::move(found), std::move(host));
  return true;
}

void HostTree::Hold(Held* held, Route route, Fd dir, std::string host) {
  held->held = true;
  held->route = std::move(route);
  held->dir = std::move(dir);
  held->host = std::move(host);
  if (::fstat(held->dir.get(), &held->identity) != 0) held->identity = {};
}

Located HostTree::Locate(const char* windows_path, Place* place) {
  place->Own(-1);
  if (windows_path == nullptr || Prefix() < 0) return Located::kMissing;
  Route route;
  if (!RoutePath(prefix_path_, windows_path, ProcessLocale(), &route)) {
    return Located::kMissing;
  }
  std::vector<std::string> rest;
  if (Below(bin_, route, &rest)) {
    return FromReach(ReachBelow(bin_.dir.get(), bin_.host, rest,
                                /*judge=*/true, place, &bin_.identity));
  }
  if (Below(source_, route, &rest)) {
    return FromReach(ReachBelow(source_.dir.get(), source_.host, rest,
                                /*judge=*/false, place, &source_.identity));
  }
  if (bin_.held) return Located::kRefused;
  HostPath host;
  if (!MapPath(prefix_path_, windows_path, &host)) return Located::kMissing;
  return PlaceByPath(host.path, place);
}

}  // namespace ks::posix
