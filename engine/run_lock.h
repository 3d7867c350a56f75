// One run at a time on an installation.
#ifndef KSUPDATE_ENGINE_RUN_LOCK_H_
#define KSUPDATE_ENGINE_RUN_LOCK_H_

#include <memory>

#include "platform/platform.h"

namespace ks {

// How long a run waits for another one on the same installation to end:
// five minutes. A whole update of a large client takes seconds (about a
// second for 800 MiB on tmpfs, a minute or so on a slow disk or share), so
// a run that waits this long waits for one that is stuck (a hung drive),
// and it is better to leave the installation to that one than to stall
// whoever started us for ever.
constexpr DWORD kLockWaitMs = 5 * 60 * 1000;

// What LockForRun found.
enum class RunStart {
  kGoOn,            // update the modules
  kNoInstallation,  // no installation or bin directory: nothing can be
                    // written there, but the modules are still gone
                    // through, as a run always has
  kRefused,         // the platform refuses the installation to this run
  kBusy,            // another run held the lock past the bound
};

// Takes the installation's lock for the rest of the run, before its first
// module (with `take_lock`; a what-if run, which writes nothing, takes
// none): a run that holds it decides, copies and records its modules as if
// no other run existed. kBusy when another run held it for kLockWaitMs, and
// kRefused when the platform refuses the installation to this run
// (TrustInstallation): the run must then update nothing, and this traces
// why. kGoOn otherwise, with the lock in *lock, or with none when the lock
// failed for another reason, which is traced: the run goes on as if it were
// alone. kNoInstallation, with no lock and no line, when there is no
// installation directory or no bin directory.
RunStart LockForRun(Platform& platform, bool take_lock,
                    std::unique_ptr<InstallationLock>* lock);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_RUN_LOCK_H_
