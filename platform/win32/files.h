// Whole-file reads and atomic replaces on Windows, for the provider's copy
// and profile write: a crash, a kill or a full disk leaves every target as
// it was or as it was meant to become, whole, never in between.
#ifndef KSUPDATE_PLATFORM_WIN32_FILES_H_
#define KSUPDATE_PLATFORM_WIN32_FILES_H_

#include <cstdint>
#include <string>

#include "platform/copy_report.h"
#include "platform/sha256.h"

namespace ks::win32 {

// Reads a whole file. True with its bytes in *contents. False with *missing
// true when nothing readable is there (no file, or a directory), false with
// *missing false when a file is there but could not be read. A sharing
// violation (a scanner that has the file open for a moment) is waited out
// for a bounded time first.
// A file of more than `max_bytes` is not read whole: false, with the error
// ERROR_FILE_TOO_LARGE.
bool ReadWholeFile(const std::string& path, std::string* contents,
                   bool* missing, std::uint64_t max_bytes);

// Replaces the file at `path` by one holding `data`, or creates it: the data
// go to a new temporary file beside it, reach the disk, and the temporary
// file is moved over `path`. A replaced file keeps its attributes and its
// security descriptor. Fails, leaving `path` as it was and no temporary file
// behind, when `path` is a directory or a read-only file, its directory is
// missing or not writable, or the move is refused for longer than a bounded
// wait. Never leaves `path` missing.
// The first file made in a directory removes the stale temporary files
// there, unless `sweep` is false.
bool ReplaceFileContents(const std::string& path, const std::string& data,
                         bool sweep = true);

// SetFileAttributesA as the engine relies on it, through handles: the file
// at `path` is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), and its
// attributes changed through a handle checked to be that file. A reparse
// point there is left as it is (TRUE): its target may lie anywhere, and a
// copy replaces the link, not the file it names. False (with the last
// error) when nothing is there or the attributes cannot be changed.
bool SetAttributes(const std::string& path, unsigned long attributes);

// Removes the temporary files that a killed run left beside `path` (in its
// directory: "bin\" stands for bin itself), unless this process has done so
// there already (Platform::RemoveStaleTemps).
void SweepStaleTemps(const std::string& path);

// WriteResultFile of the platform (see platform.h) with the Win32 API:
// refused when something at `path` is a reparse point, a directory, no
// disk file, or has a second hard link; then ReplaceFileContents, without
// the sweep.
bool WriteResultFile(const std::string& path, const std::string& data,
                     bool* refused);

// CopyFileA(source, target, fail_if_exists) as the engine relies on it, made
// atomic: the source's bytes go into a new temporary file beside the target,
// which reaches the disk and is then moved over the target. The new file has
// the source's attributes and last-write time, as CopyFileA gives them; a
// replaced target's security descriptor is kept. Fails when the source is
// missing or a directory, the target is a directory or a read-only file, the
// target's directory is missing, or fail_if_exists and the target exists;
// then the target is as it was and no temporary file is left. The source is
// opened without following a reparse point (a symbolic link or junction in
// its place is refused, as is anything but a disk file) and shared with no
// writer, so that another process that has it open for writing makes the
// copy fail. With `expected`, the bytes are hashed as they are written and
// the file is put in place only when their SHA-256 matches. A target that
// cannot be replaced because it is in use (a loaded DLL, a running EXE) is
// moved aside and the new file moved in; the old one is deleted at once if
// it can be, else by a later run's sweep. A kill between those two moves
// leaves the target missing, never torn. `report`, when not null, gets
// what happened.
bool CopyFileAtomically(const std::string& source, const std::string& target,
                        bool fail_if_exists, const ExpectedBytes* expected,
                        CopyReport* report);

// Whether the open file `file` (opened with READ_CONTROL) belongs to this
// process's user, to Administrators or to SYSTEM: the owners a file of a
// run's own (its trace, its result) has. A file that another account made
// where users may create files (%ProgramData%) would let that account read
// what the run writes there, or keep it from writing. False when the owner
// cannot be read. Under Wine a host file of another user's belongs to
// Anonymous Logon.
bool OwnedByRunOrAdministrators(void* file);  // in installation.cc

// The SHA-256 of a whole file; false when it cannot be opened or read.
bool HashWholeFile(const std::string& path, Sha256Digest* digest);

// CopyFileAtomically's copy into a new temporary file beside `target`,
// checked and flushed, not yet in place; its path in *temp_path and the
// attributes given it in *attributes. False with *report (the last error
// in it) and nothing left.
bool StageCopy(const std::string& source, const std::string& target,
               const ExpectedBytes* expected, std::string* temp_path,
               unsigned long* attributes, CopyReport* report);

// Moves the staged copy `temp_path` (with StageCopy's `attributes`) over
// `target` as CopyFileAtomically
// puts its copy in place (a read-only, hidden or system target refused; a
// file in use moved aside). False with *report, the staged copy removed.
bool PutStagedCopy(const std::string& temp_path, const std::string& target,
                   unsigned long attributes, CopyReport* report);

// Removes a staged copy that is not put in place.
void DiscardStagedCopy(const std::string& temp_path, const std::string& target);

}  // namespace ks::win32

#endif  // KSUPDATE_PLATFORM_WIN32_FILES_H_
