// Whose Wine prefix a run is about to write.
#ifndef KSUPDATE_PLATFORM_POSIX_PREFIX_OWNER_H_
#define KSUPDATE_PLATFORM_POSIX_PREFIX_OWNER_H_

#include <string>

namespace ks::posix {

// True when the effective user owns the prefix directory and the directory
// that the drive holding `windows_path` is linked to (both followed to
// what they are). Wine refuses to run in a prefix its user does not own; a
// run with more rights than the owner (root updating every user's prefix)
// would otherwise write wherever that owner's system.reg and drive links
// send it. False, with the host path owned by someone else in *refused,
// otherwise. What cannot be looked at (a missing prefix or drive) is no
// refusal: nothing can be written there either.
bool OwnedByRunningUser(const std::string& prefix,
                        const std::string& windows_path, std::string* refused);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_PREFIX_OWNER_H_
