// One run at a time on an installation.
#ifndef KSUPDATE_ENGINE_RUN_LOCK_H_
#define KSUPDATE_ENGINE_RUN_LOCK_H_

#include <memory>
#include <string>

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
  kBusy,            // another run held the lock past the bound, or
                    // (Windows) Windows Installer was installing all along
};

// Takes the installation's lock for the rest of the run, before its first
// module (with `take_lock`; a what-if run, which writes nothing, takes
// none): a run that holds it decides, copies and records its modules as if
// no other run existed. First the platform is asked whether the run may
// write there at all (TrustInstallation, which holds the installation),
// even when the registry gives no bin directory or names one that is not
// there: kRefused when it says no, with the line that says why; the run
// must then update nothing. kBusy when another run held the lock, or
// Windows Installer was installing, for kLockWaitMs. kGoOn otherwise, with the
// lock in *lock, or with none when the lock failed for another reason, which is
// traced: the run goes on as if it were alone. kNoInstallation, with no lock
// and no line, when there is no installation directory or no bin directory.
// *bin_dir gets the bin directory asked about ("" for none): the one that every
// path of the run in bin must lie in.
RunStart LockForRun(Platform& platform, bool take_lock,
                    std::unique_ptr<InstallationLock>* lock,
                    std::string* bin_dir);

// LockForRun in its two steps, for a run that reads what the installation
// says (its policy) before it takes the lock: CheckInstallation asks
// whether the run may write there and whether bin is there (kGoOn,
// kNoInstallation or kRefused, as LockForRun answers); TakeRunLock then
// takes the lock of that `bin_dir` (kGoOn or kBusy, as LockForRun).
RunStart CheckInstallation(Platform& platform, std::string* bin_dir);
RunStart TakeRunLock(Platform& platform, const std::string& bin_dir,
                     std::unique_ptr<InstallationLock>* lock);

// The line that says why TrustInstallation refused a run (its %s: the
// path refused).
const char* RefusalLine(Refusal why);

}  // namespace ks

#endif  // KSUPDATE_ENGINE_RUN_LOCK_H_
