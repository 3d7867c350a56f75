// Replacing a file so that readers and crashes only ever see the old or the
// new content.
#ifndef KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
#define KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace ks::posix {

// The system calls whose failures FileReplacer must come through; each
// returns 0 or sets errno and returns -1, as the system's own do.
struct ReplacerCalls {
  // Exchanges the two names atomically (renameat2 with RENAME_EXCHANGE).
  int (*exchange)(const char* from, const char* to);
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

  // Writes `data` into a temporary file in the directory of `path`, flushes
  // it to disk and moves it to `path` atomically. The new file gets `mode`
  // (before the umask) when `path` did not exist and the old file's mode
  // when it did. A symbolic link at `path` is replaced, never written
  // through.
  // Returns true on success; on failure `path` is unchanged and no temporary
  // file is left but the spare.
  // `old_lstat`, when not null, is the lstat() of `path` just taken (the
  // file exists), which spares taking it again; `written`, when not null,
  // gets on success the fstat() of the new file, which is what a stat() of
  // `path` gives until it changes again.
  bool Replace(const std::string& path, const std::string& data, mode_t mode,
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

  // Writes `data` over the spare and exchanges it with `path`; false when
  // the spare does not serve (then nothing was changed at `path`).
  bool ReplaceWithSpare(const std::string& path, const std::string& data,
                        const struct stat& old_stat, struct stat* written);
  // After the new file `fd` at `temp_path` was exchanged with `path`: keeps
  // the old file, now at `temp_path`, as the spare when it may be written
  // over, else removes it. Takes `fd`.
  void KeepSpare(const std::string& path, const std::string& temp_path, int fd,
                 const struct stat& old_stat);

  ReplacerCalls calls_;
  std::string target_;  // the path that the spare serves
  std::string spare_path_;
  int spare_fd_ = -1;    // the file at spare_path_
  int current_fd_ = -1;  // the file that we last put at target_
  struct stat spare_stat_ {};
  struct stat current_stat_ {};
  int dir_fd_ = -1;  // their directory, to make an exchange durable
  bool exchange_works_ = true;
  int holds_ = 0;
};

// Creates a new, empty temporary file in the directory of `path`, with
// permission bits `mode` less the umask. Returns its descriptor and sets
// *temp_path, or returns -1 when the directory is missing or not writable.
// The first time in a process that a directory gets a temporary file, the
// temporary files that a killed run left there are removed, unless `sweep`
// is false (a directory that is not the installation's, where another
// run's temporary file may be on its way).
int CreateTempBeside(const std::string& path, mode_t mode,
                     std::string* temp_path, bool sweep = true);

// Flushes `fd` to disk, closes it and renames `temp_path` over `path`.
// On any failure the temporary file is removed and false returned; `fd` is
// closed either way.
bool CommitTemp(int fd, const std::string& temp_path, const std::string& path);

// The process's file-creation mask, which it leaves unchanged. Read once:
// nothing in this program changes it.
mode_t CurrentUmask();

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_ATOMIC_FILE_H_
