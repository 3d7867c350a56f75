// Replacing a file so that readers and crashes only ever see the old or the
// new content.
#ifndef KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
#define KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/posix/held_dirs.h"

namespace ks::posix {

// The system calls whose failures FileReplacer must come through; each
// returns 0 or sets errno and returns -1, as the system's own do.
struct ReplacerCalls {
  // Exchanges two names of the directory `dir` atomically (renameat2 with
  // RENAME_EXCHANGE).
  int (*exchange)(int dir, const char* from, const char* to);
  int (*fsync)(int fd);
  int (*fdatasync)(int fd);

  // The system's own calls.
  static ReplacerCalls System();
};

// Replaces files that one process writes again and again (client.ver after
// every copy) more cheaply than a new file each time: while spares are held
// (HoldSpares) and where the file system can exchange two names atomically,
// the old file, once exchanged out, stays under its temporary name and is
// written over for the next replace of the same path, instead of a new file
// being made and the old one freed; once the file system or kernel refuses
// an exchange as unsupported, this replacer renames only. At most one such
// spare file is kept; the last ReleaseSpares() removes it, and so does the
// next run's sweep of stale temporary files if this process is killed.
//
// A spare is only an old file of this process's own making or one that had
// no other link: a file with a second hard link is never written over. A
// reader that still holds the old file open while two more replaces pass
// can see it change; what a name shows is always a whole file.
class FileReplacer {
 public:
  FileReplacer() : FileReplacer(ReplacerCalls::System()) {}
  // Makes its exchanges and flushes with `calls` (tests make them fail).
  explicit FileReplacer(const ReplacerCalls& calls) : calls_(calls) {}
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;
  ~FileReplacer() { DropSpare(); }

  // Writes `data` into a temporary file in the place's directory, flushes
  // it to disk and moves it to the place's name atomically. The new file
  // gets `mode` (before the umask) when nothing was there and the old
  // file's permission bits (never a set-id or sticky bit) when it was. A
  // symbolic link there is replaced, never written through.
  // Returns true on success; on failure the target is unchanged and no
  // temporary file is left but the spare.
  // `old_lstat`, when not null, is the target's lstat() just taken (the
  // file exists), which spares taking it again; `written`, when not null,
  // gets on success the fstat() of the new file, which is what a look at
  // the target gives until it changes again.
  bool Replace(const Place& target, const std::string& data, mode_t mode,
               const struct stat* old_lstat, struct stat* written);

  // Spares are kept from the first HoldSpares() until as many
  // ReleaseSpares(); the last one removes the spare file, if any.
  void HoldSpares() { ++holds_; }
  void ReleaseSpares() {
    if (--holds_ == 0) DropSpare();
  }

 private:
  // Removes the spare file, if any.
  void DropSpare();

  // True when the spare serves `target`: the same directory and name.
  bool Serves(const Place& target) const;
  // Writes `data` over the spare and exchanges it with the target; false
  // when the spare does not serve (then nothing was changed there).
  bool ReplaceWithSpare(const Place& target, const std::string& data,
                        const struct stat& old_stat, struct stat* written);
  // After the new file `fd` named `temp_name` was exchanged with the
  // target: keeps the old file, now named `temp_name`, as the spare when it
  // may be written over, else removes it. Takes `fd`.
  void KeepSpare(const Place& target, const std::string& temp_name, int fd,
                 const struct stat& old_stat);

  ReplacerCalls calls_;
  // The directory of the spare and of the target it serves, held, and its
  // identity; used to make an exchange durable.
  int dir_fd_ = -1;
  struct stat dir_stat_ {};
  std::string target_;  // the name that the spare serves
  std::string spare_name_;
  int spare_fd_ = -1;    // the file named spare_name_
  int current_fd_ = -1;  // the file that we last put at target_
  struct stat spare_stat_ {};
  struct stat current_stat_ {};
  bool exchange_works_ = true;
  int holds_ = 0;
};

// Creates a new, empty temporary file beside `target` (in its directory),
// with permission bits `mode` less the umask. Returns its descriptor and
// sets *temp_name, or returns -1 when the directory is not writable. The
// first time in a process that a directory (told by its host path) gets a
// temporary file, the temporary files that a killed run left there are
// removed, unless `sweep` is false (a directory that is not the
// installation's, where another run's temporary file may be on its way).
int CreateTempBeside(const Place& target, mode_t mode, std::string* temp_name,
                     bool sweep = true);

// Removes the temporary files that a killed run left in the directory
// that `dir` is (its name ".", as a held directory's place has it),
// unless this process has done so there already, as CreateTempBeside
// does for a target's directory (Platform::RemoveStaleTemps).
void SweepStaleTempsIn(const Place& dir);

// Flushes `fd` to disk, closes it and renames `temp_name` over `name`, both
// in the directory `dir`. On any failure the temporary file is removed and
// false returned; `fd` is closed either way.
bool CommitTempIn(int fd, int dir, const std::string& temp_name,
                  const std::string& name);

// The process's file-creation mask, which it leaves unchanged. Read once:
// nothing in this program changes it.
mode_t CurrentUmask();

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
