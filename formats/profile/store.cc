#include "formats/profile/store.h"

#include <memory>
#include <string>
#include <utility>

#include "formats/profile/profile.h"

namespace ks::profile {

DWORD Store::GetSection(FileIo& file, LPCSTR section, LPSTR buffer,
                        DWORD size) {
  const File* profile = Load(file);
  if (profile == nullptr) {
    return profile::GetSection(std::string(), section, buffer, size);
  }
  return profile->GetSection(section, buffer, size);
}

DWORD Store::GetString(FileIo& file, LPCSTR section, LPCSTR key,
                       LPCSTR default_value, LPSTR buffer, DWORD size) {
  const File* profile = Load(file);
  if (profile == nullptr) {
    return profile::GetString(std::string(), false, section, key, default_value,
                              buffer, size);
  }
  return profile->GetString(section, key, default_value, buffer, size);
}

bool Store::WriteString(FileIo& file, LPCSTR section, LPCSTR key,
                        LPCSTR value) {
  return Change(file, [&](File* profile, bool* changed) {
    return profile->WriteString(section, key, value, changed);
  });
}

bool Store::WriteStrings(FileIo& file,
                         const std::vector<ProfileWrite>& writes) {
  return Change(file, [&](File* profile, bool* changed) {
    return profile->WriteStrings(writes, changed);
  });
}

bool Store::Change(FileIo& file,
                   const std::function<bool(File*, bool*)>& change) {
  const std::string* path = file.path();
  if (path == nullptr) return false;
  const FileIo::Look look = file.LookAt();
  // Windows and Wine open the file for writing first, which a read-only
  // one refuses; on Linux root could write it anyway, so the attribute
  // decides.
  if (look.exists && look.read_only) return false;
  std::unique_ptr<File> profile;
  Stamp stamp;
  const Found found = Take(file, *path, look, &profile, &stamp);
  if (found == Found::kUnreadable || found == Found::kTooLarge) return false;
  if (found == Found::kMissing) {
    profile = std::make_unique<File>(std::string());
  }
  // From here on a failure leaves the file out of the cache.
  bool changed = false;
  if (!change(profile.get(), &changed)) return false;
  if (!changed) {
    if (found == Found::kFile) {
      Keep(*path, look.stamped, stamp, std::move(profile));
    }
    return true;
  }
  FileIo::Look after;
  if (!file.Replace(profile->contents(), &after)) return false;
  Keep(*path, after.stamped, after.stamp, std::move(profile));
  return true;
}

ProfileLoad ReadWholeFile(FileIo& io, std::uint64_t max_bytes,
                          std::string* contents) {
  contents->clear();
  if (io.path() == nullptr) return ProfileLoad::kMissing;
  const FileIo::Look look = io.LookAt();
  if (!look.exists) return ProfileLoad::kMissing;
  if (look.stamped && look.size > max_bytes) return ProfileLoad::kTooLarge;
  Stamp stamp = look.stamp;
  switch (io.ReadWhole(contents, &stamp, max_bytes)) {
    case FileIo::Read::kRead:
      return ProfileLoad::kLoaded;
    case FileIo::Read::kMissing:
      return ProfileLoad::kMissing;
    case FileIo::Read::kTooLarge:
      contents->clear();
      return ProfileLoad::kTooLarge;
    case FileIo::Read::kFailed:
      break;
  }
  contents->clear();
  return ProfileLoad::kUnreadable;
}

Store::Found Store::Take(FileIo& io, const std::string& path,
                         const FileIo::Look& look, std::unique_ptr<File>* file,
                         Stamp* stamp, std::string* bytes) {
  auto cached = files_.find(path);
  if (cached != files_.end()) {
    const bool current = look.stamped && cached->second.stamp == look.stamp;
    if (current && bytes != nullptr) {
      *bytes = cached->second.file->TakeContents();
    } else if (current) {
      *file = std::move(cached->second.file);
    }
    files_.erase(cached);
    if (current) {
      *stamp = look.stamp;
      return Found::kFile;
    }
  }
  if (!look.exists) return Found::kMissing;
  // Not even opened: a file of any size must not make us allocate for it.
  if (look.stamped && look.size > kMaxProfileFileBytes) {
    return Found::kTooLarge;
  }
  std::string contents;
  *stamp = look.stamp;
  switch (io.ReadWhole(&contents, stamp, kMaxProfileFileBytes)) {
    case FileIo::Read::kRead:
      break;
    case FileIo::Read::kMissing:
      return Found::kMissing;
    case FileIo::Read::kFailed:
      return Found::kUnreadable;
    case FileIo::Read::kTooLarge:
      return Found::kTooLarge;
  }
  if (bytes != nullptr) {
    *bytes = std::move(contents);
  } else {
    *file = std::make_unique<File>(std::move(contents));
  }
  return Found::kFile;
}

File* Store::Load(FileIo& io) {
  const std::string* path = io.path();
  if (path == nullptr) return nullptr;
  const FileIo::Look look = io.LookAt();
  auto cached = files_.find(*path);
  if (look.stamped && cached != files_.end() &&
      cached->second.stamp == look.stamp) {
    return cached->second.file.get();
  }
  std::unique_ptr<File> file;
  Stamp stamp;
  if (Take(io, *path, look, &file, &stamp) != Found::kFile) return nullptr;
  return Keep(*path, look.stamped, stamp, std::move(file));
}

ProfileLoad Store::LoadFile(FileIo& io, std::string* contents) {
  if (contents != nullptr) contents->clear();
  const std::string* path = io.path();
  if (path == nullptr) return ProfileLoad::kMissing;
  const FileIo::Look look = io.LookAt();
  std::unique_ptr<File> file;
  Stamp stamp;
  // A caller that takes the bytes reads them once, and alone: they are
  // neither parsed nor kept here (the patch manifest may be 64 MiB, and is
  // believed only once its signature is checked).
  const Found found = Take(io, *path, look, &file, &stamp, contents);
  ProfileLoad load = ProfileLoad::kLoaded;
  switch (found) {
    case Found::kFile:
      break;
    case Found::kMissing:
      load = ProfileLoad::kMissing;
      break;
    case Found::kUnreadable:
      load = ProfileLoad::kUnreadable;
      break;
    case Found::kTooLarge:
      load = ProfileLoad::kTooLarge;
      break;
  }
  if (file != nullptr) Keep(*path, look.stamped, stamp, std::move(file));
  return load;
}

File* Store::Keep(const std::string& path, bool stamped, const Stamp& stamp,
                  std::unique_ptr<File> file) {
  File* kept = file.get();
  if (!stamped) {
    unstamped_ = std::move(file);
    return kept;
  }
  if (files_.size() >= kMaxFiles && files_.count(path) == 0) files_.clear();
  Entry& entry = files_[path];
  entry.stamp = stamp;
  entry.file = std::move(file);
  return kept;
}

}  // namespace ks::profile
