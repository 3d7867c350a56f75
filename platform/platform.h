// The operating-system operations that ksupdate uses, behind one seam.
//
// The engine is handed a Platform and calls its operations, which carry the
// Win32 names and ANSI signatures: the real Win32 API on Windows, the
// Wine-prefix provider on Linux, or whatever a test hands it (usually a
// PlatformWrapper that changes a few operations and forwards the rest).
#ifndef KSUPDATE_PLATFORM_PLATFORM_H_
#define KSUPDATE_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/profile/calls.h"
#include "formats/win32_types.h"
#include "platform/copy_report.h"
#include "platform/sha256.h"

namespace ks {

// A lock that LockInstallation took. Destroying it releases the lock; the
// system releases it too when the process ends, however it ends, so a run
// that is killed never leaves its installation locked.
class InstallationLock {
 public:
  InstallationLock() = default;
  InstallationLock(const InstallationLock&) = delete;
  InstallationLock& operator=(const InstallationLock&) = delete;
  virtual ~InstallationLock() = default;

  // True when `path` names the lock file's own directory entry, by whatever
  // spelling (a case variant, trailing dots, its 8.3 short name, a way into
  // its directory through a link): a copy there would put a new file in
  // the lock file's place. Another hard link of the file is another entry,
  // which a copy replaces without touching the lock file: false. False too
  // when it cannot be told.
  virtual bool IsLockFile(LPCSTR path) const = 0;
};

// Copies made and checked beside their targets, put in place only when the
// caller says so (Platform::BeginStaging): a patch installed whole or not
// at all. Destroying it removes every staged copy not put in place.
class CopyStage {
 public:
  CopyStage() = default;
  CopyStage(const CopyStage&) = delete;
  CopyStage& operator=(const CopyStage&) = delete;
  virtual ~CopyStage() = default;

  // Copies `source` into a new temporary file beside `target` (in its
  // directory) as CopyFileA copies, with its refusals and its checks (the
  // size and checksum `expected`, a source that changes), and flushes it;
  // the target is not touched. Nonzero with the copy's number in *index;
  // on failure nothing is left, and *report (not null) says what, as
  // CopyFileA's does. A target that is read-only is no failure here:
  // PutInPlace refuses it.
  virtual BOOL Stage(LPCSTR source, LPCSTR target,
                     const ExpectedBytes* expected, std::size_t* index,
                     CopyReport* report) = 0;
  // Moves the staged copy `index` over its target, as CopyFileA puts its
  // copy in place (a read-only target or a directory refused; on Windows
  // a file in use moved aside: report->moved_aside). Not yet durable: see
  // Flush. Nonzero on success; on failure the target is as it was, the
  // staged copy is removed, and *report says what.
  virtual BOOL PutInPlace(std::size_t index, CopyReport* report) = 0;
  // Makes what PutInPlace did durable: each directory a copy went into is
  // flushed once (Linux). On Windows each move was written through, and
  // this does nothing. Nonzero on success.
  virtual BOOL Flush() = 0;
};

// What LockInstallation found.
enum class LockResult {
  kHeld,           // the lock is this process's
  kBusy,           // another process held it for the whole wait
  kInstallerBusy,  // (Windows) Windows Installer was installing for the
                   // whole wait (Global\_MSIExecute existed); nothing held
  kFailed,         // no lock can be had there; nothing is held
};

// Why TrustInstallation refused an installation.
enum class Refusal {
  kNotOwned,          // (Linux) the prefix, system.reg or a directory down
                      // to bin belongs to another user than the run's
                      // (and is not root's)
  kWritableByOthers,  // (Linux) another user may write one of them
  kLink,              // a directory on the way to bin is a symbolic link
                      // (Linux: below the drive's root), or a reparse
                      // point (Windows, elevated: from the installation
                      // directory down)
  kTooLarge,          // (Linux) system.reg is larger than its bound
};

struct InstallationRefusal {
  Refusal why = Refusal::kNotOwned;
  std::string path;  // what was refused: a host path on Linux
};

// Each operation has the contract of its Win32 namesake, limited to what the
// engine relies on; see the providers for the platform-specific details.
class Platform {
 public:
  Platform() = default;
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;
  virtual ~Platform() = default;

  // Copies the section's lines as consecutive zero-terminated texts, closed
  // by an empty text. When they do not fit, the first size-2 bytes are kept,
  // followed by two zero bytes, and size-2 is returned. Returns the number of
  // bytes written without the final zero; 0 for a missing file or section.
  virtual DWORD GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer,
                                          DWORD size, LPCSTR file) = 0;
  // Copies the key's value, or `default_value` when the file, section or key
  // is missing, as a zero-terminated text of at most size-1 characters.
  // Returns the number of characters copied.
  virtual DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                         LPCSTR default_value, LPSTR buffer,
                                         DWORD size, LPCSTR file) = 0;
  // Sets key=value in the section, creating the file, the section or the key
  // when missing. Returns nonzero on success.
  virtual BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key,
                                          LPCSTR value, LPCSTR file) = 0;
  // Opens `sub_key` under `key`. ERROR_SUCCESS and a handle in *result, or an
  // error code and *result untouched.
  virtual LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD options,
                             REGSAM desired, PHKEY result) = 0;
  // Reads a value. ERROR_SUCCESS with the bytes in `data` and their count in
  // *data_size; ERROR_MORE_DATA with the needed count in *data_size when the
  // buffer is too small; ERROR_FILE_NOT_FOUND for a missing value.
  virtual LONG RegQueryValueExA(HKEY key, LPCSTR value_name, LPDWORD reserved,
                                LPDWORD type, LPBYTE data,
                                LPDWORD data_size) = 0;
  virtual LONG RegCloseKey(HKEY key) = 0;
  // The attribute bits, or INVALID_FILE_ATTRIBUTES for a missing path.
  virtual DWORD GetFileAttributesA(LPCSTR path) = 0;
  // Replaces the attribute bits. Nonzero on success.
  virtual BOOL SetFileAttributesA(LPCSTR path, DWORD attributes) = 0;
  // Copies `source` to `target`, replacing it unless fail_if_exists. Nonzero
  // on success. Beyond the Win32 call: the new file is put in place only
  // when it is whole. When `expected` is not null, what it gives is checked:
  // a source of another size is refused before a byte of it is read
  // (report->problem kSizeMismatch), and the bytes are hashed as they are
  // written and the new file put in place only when their SHA-256 is its. A
  // source that changes while it is read, or that is a symbolic link or no
  // plain file, is not copied; nor is a file whose way from the patch directory
  // or from bin holds a link (see OpenSourceDirectory and TrustInstallation).
  // `report`, when not null, gets what happened (on success too: moved_aside).
  virtual BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists,
                         const ExpectedBytes* expected, CopyReport* report) = 0;
  // The plain Win32 call: no checksum, no report.
  BOOL CopyFileA(LPCSTR source, LPCSTR target, BOOL fail_if_exists) {
    return CopyFileA(source, target, fail_if_exists, nullptr, nullptr);
  }
  // A stage for copies that go in place together (CopyStage); never null.
  virtual std::unique_ptr<CopyStage> BeginStaging() = 0;
  // Makes every change of `writes`, in order, to the profile file, each as
  // WritePrivateProfileStringA would, and replaces the file once with the
  // result: a reader or a kill sees all of them or none. Nonzero on
  // success; on failure the file is as it was.
  virtual BOOL WriteProfileStrings(LPCSTR file,
                                   const std::vector<ProfileWrite>& writes) = 0;
  // The SHA-256 of the file's bytes, the file opened as a copy opens its
  // source: TRUE with it in *digest; FALSE when the file is missing, no
  // plain file or cannot be read, and then `report`, when not null, gets
  // the error and, for a source that a copy refuses (a symbolic link on
  // Linux), the problem kSourceRefused.
  virtual BOOL HashFile(LPCSTR path, Sha256Digest* digest,
                        CopyReport* report) = 0;
  // Reads the profile file whole, refusing one larger than
  // kMaxProfileFileBytes (never read at all). With `contents`, its bytes go
  // there when kLoaded (else it is emptied): the run takes the patch
  // manifest from this one reading (PatchManifest). Without, the reading is
  // kept as any read's is, and the result tells what a read would find.
  virtual ProfileLoad LoadProfileFile(LPCSTR file, std::string* contents) = 0;
  // Reads the file whole into *contents (emptied unless kLoaded), as a
  // profile file is read (the same refusals: no plain file, a link on
  // Linux), refusing one larger than `max_bytes` without reading it; kept
  // nowhere. For small files beside a manifest: its signature.
  virtual ProfileLoad ReadFileBytes(LPCSTR file, DWORD max_bytes,
                                    std::string* contents) = 0;
  // Whether the run may write the installation whose bin directory is
  // `bin_dir` (null: whether the registry it came from may be believed),
  // asked once, before the run writes anything there. TRUE holds the
  // installation for the rest of the process (until the next call): what
  // the run does in bin later goes through what was checked here, and a
  // path that the registry now puts elsewhere reaches nothing of it.
  // FALSE, with *refused, refuses the run. What cannot be looked at (no
  // prefix, no drive, no bin) is no refusal: nothing is held, and nothing
  // can be written there either.
  // On Linux, as Wine refuses a prefix that its user does not own, and
  // since the run may have more rights than whoever else can write there:
  // the prefix, its system.reg, its dosdevices, the drive's root and each
  // directory from there down to bin must be the effective user's or
  // root's and writable by no other user (unless sticky), and no
  // directory below the drive's root may be a symbolic link; system.reg
  // no larger than its bound. Each directory is opened once, without
  // following a link, and checked before anything is read from it; bin
  // stays open, and every later file operation below it resolves from it.
  // On Windows, for an elevated run: no directory from the installation
  // directory down to bin may be a reparse point; each is held open so
  // that it cannot be renamed or replaced while the run goes on. Else
  // TRUE: the system's access checks decide.
  virtual BOOL TrustInstallation(LPCSTR bin_dir,
                                 InstallationRefusal* refused) = 0;
  // Holds the patch directory `dir` for the rest of the process (until the
  // next call), before anything is read from it. On Linux every later read
  // of a file below it (the manifest, the modules) resolves from the
  // directory held, and follows no symbolic link below it: a subfolder of
  // the patch that is a link is refused as a module that is one. The way
  // to `dir` itself may hold links. FALSE when it cannot be opened
  // (nothing is held). On Windows the directory is noted: an elevated run
  // reads no file below it through a reparse point in a subfolder; TRUE.
  virtual BOOL OpenSourceDirectory(LPCSTR dir) = 0;
  // Lets go of what TrustInstallation and OpenSourceDirectory hold: the
  // run is over. Later paths are found as before either call (on Windows
  // the directories can be renamed and removed again).
  virtual void ReleaseDirectories() = 0;
  // The system's error code of the last operation above that failed on
  // this thread: GetLastError() on Windows, errno on Linux. (Not named
  // after the Win32 call: the providers' own code calls that one.)
  virtual DWORD LastError() = 0;
  // Writes `data` as the file `path` (a host path on Linux, a Windows path
  // on Windows), atomically: a temporary file beside it, flushed, renamed
  // over it, so that a reader or a kill sees the old file or the new one,
  // whole. As the trace file may, `path` often lies where others can write
  // while the run has more rights than they: refused, with *refused set,
  // when something is at `path` that is a symbolic link (on Windows any
  // reparse point), no plain file, has a second hard link, or (Linux)
  // belongs to another user. FALSE on refusal or failure, with nothing
  // left behind.
  virtual BOOL WriteResultFile(LPCSTR path, const std::string& data,
                               bool* refused) = 0;
  // Takes the exclusive lock that a run holds on its installation: a lock
  // on the file `path`, which is created empty when missing and stays in
  // place. While another process holds it, tries again until `timeout_ms`
  // have passed. kHeld with the lock in *lock; kBusy when another process
  // held it all that time; kInstallerBusy (Windows) when Windows Installer
  // was installing all that time: it may be repairing this very client, and
  // no run starts while it does; kFailed when the file cannot be opened or
  // made, is no plain file, or its file system has no locks. A lock taken by
  // the Linux build and one taken by the Windows build under Wine exclude each
  // other on the same file.
  virtual LockResult LockInstallation(
      LPCSTR path, DWORD timeout_ms,
      std::unique_ptr<InstallationLock>* lock) = 0;
  // Removes from the directory `dir` the temporary files (temp_files.h)
  // that a killed run left there, once per directory and process; what
  // cannot be removed stays, unsaid. The engine calls it for bin as soon as
  // it holds the installation's lock: no other run can then have one on
  // its way there, and a run with nothing to write must not leave what a
  // killed one left. (A provider's first temporary file in a directory
  // also sweeps it, for a run that could take no lock.)
  virtual void RemoveStaleTemps(LPCSTR dir) = 0;
  // The system's clock, UTC, in *time; cannot fail. The only clock that a
  // run reads for a date (UtcNow): on Windows the system's own, never the
  // C runtime's time(), whose time_t has 32 bits in the 32-bit build.
  virtual void GetSystemTimeAsFileTime(LPFILETIME time) = 0;
};

// Every operation of Platform but BeginStaging (whose stage the wrappers
// wrap as well), written once: X(result, name, (parameters), (arguments)).
// PlatformWrapper forwards each; the tests' hooked, in-memory and crash
// platforms declare, count, hook or time each from this list. A new
// operation goes into Platform, with its contract, and here.
#define KS_PLATFORM_OPERATIONS(X)                                              \
  X(DWORD, GetPrivateProfileSectionA,                                          \
    (LPCSTR section, LPSTR buffer, DWORD size, LPCSTR file),                   \
    (section, buffer, size, file))                                             \
  X(DWORD, GetPrivateProfileStringA,                                           \
    (LPCSTR section, LPCSTR key, LPCSTR default_value, LPSTR buffer,           \
     DWORD size, LPCSTR file),                                                 \
    (section, key, default_value, buffer, size, file))                         \
  X(BOOL, WritePrivateProfileStringA,                                          \
    (LPCSTR section, LPCSTR key, LPCSTR value, LPCSTR file),                   \
    (section, key, value, file))                                               \
  X(LONG, RegOpenKeyExA,                                                       \
    (HKEY key, LPCSTR sub_key, DWORD options, REGSAM desired, PHKEY result),   \
    (key, sub_key, options, desired, result))                                  \
  X(LONG, RegQueryValueExA,                                                    \
    (HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data, \
     LPDWORD data_size),                                                       \
    (key, value_name, reserved, type, data, data_size))                        \
  X(LONG, RegCloseKey, (HKEY key), (key))                                      \
  X(DWORD, GetFileAttributesA, (LPCSTR path), (path))                          \
  X(BOOL, SetFileAttributesA, (LPCSTR path, DWORD attributes),                 \
    (path, attributes))                                                        \
  X(BOOL, CopyFileA,                                                           \
    (LPCSTR source, LPCSTR target, BOOL fail_if_exists,                        \
     const ExpectedBytes* expected, CopyReport* report),                       \
    (source, target, fail_if_exists, expected, report))                        \
  X(BOOL, WriteProfileStrings,                                                 \
    (LPCSTR file, const std::vector<ProfileWrite>& writes), (file, writes))    \
  X(BOOL, HashFile, (LPCSTR path, Sha256Digest * digest, CopyReport * report), \
    (path, digest, report))                                                    \
  X(ProfileLoad, LoadProfileFile, (LPCSTR file, std::string * contents),       \
    (file, contents))                                                          \
  X(ProfileLoad, ReadFileBytes,                                                \
    (LPCSTR file, DWORD max_bytes, std::string * contents),                    \
    (file, max_bytes, contents))                                               \
  X(BOOL, TrustInstallation, (LPCSTR bin_dir, InstallationRefusal * refused),  \
    (bin_dir, refused))                                                        \
  X(BOOL, OpenSourceDirectory, (LPCSTR dir), (dir))                            \
  X(void, ReleaseDirectories, (), ())                                          \
  X(DWORD, LastError, (), ())                                                  \
  X(BOOL, WriteResultFile,                                                     \
    (LPCSTR path, const std::string& data, bool* refused),                     \
    (path, data, refused))                                                     \
  X(LockResult, LockInstallation,                                              \
    (LPCSTR path, DWORD timeout_ms, std::unique_ptr<InstallationLock> * lock), \
    (path, timeout_ms, lock))                                                  \
  X(void, RemoveStaleTemps, (LPCSTR dir), (dir))                               \
  X(void, GetSystemTimeAsFileTime, (LPFILETIME time), (time))

// Each operation of KS_PLATFORM_OPERATIONS declared as an override.
#define KS_PLATFORM_OVERRIDE(result, name, parameters, arguments) \
  result name parameters override;

// Forwards every operation to another Platform; override the ones to change.
class PlatformWrapper : public Platform {
 public:
  explicit PlatformWrapper(Platform* target) : target_(target) {}

  Platform* target() const { return target_; }

#define KS_FORWARD(result, name, parameters, arguments) \
  result name parameters override { return target_->name arguments; }
  KS_PLATFORM_OPERATIONS(KS_FORWARD)
#undef KS_FORWARD
  std::unique_ptr<CopyStage> BeginStaging() override {
    return target_->BeginStaging();
  }

 private:
  Platform* target_;
};

// The provider of this build: the Win32 API or the Wine-prefix provider.
// Lives for the whole process.
Platform* DefaultPlatform();

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_PLATFORM_H_
