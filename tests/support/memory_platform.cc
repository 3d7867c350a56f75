#include "tests/support/memory_platform.h"

#include <cstring>
#include <utility>

#include "engine/locations.h"
#include "formats/text.h"
#include "platform/sha256.h"
#include "platform/temp_files.h"

namespace ks {

// A profile file of the platform's, as the profile store reaches it.
class MemoryPlatform::FileIo : public profile::FileIo {
 public:
  FileIo(MemoryPlatform* platform, LPCSTR file) : platform_(platform) {
    if (file != nullptr) key_ = Key(file);
  }

  const std::string* path() const override {
    return key_.empty() ? nullptr : &key_;
  }
  Look LookAt() override {
    Look look;
    if (platform_->dirs_.count(key_) != 0) {
      look.exists = true;  // a directory: there, and no file
      return look;
    }
    const Entry* entry = platform_->Find(key_);
    if (entry == nullptr) return look;
    look.exists = true;
    look.stamped = true;
    look.stamp.words[0] = static_cast<std::uint64_t>(entry->writes);
    look.stamp.words[1] = entry->stamp;
    look.read_only = (entry->attributes & FILE_ATTRIBUTE_READONLY) != 0;
    look.size = entry->bytes.size();
    return look;
  }
  Read ReadWhole(std::string* contents, profile::Stamp* /*stamp*/,
                 std::uint64_t max_bytes) override {
    if (platform_->dirs_.count(key_) != 0) return Read::kFailed;
    const Entry* entry = platform_->Find(key_);
    if (entry == nullptr) return Read::kMissing;
    if (entry->bytes.size() > max_bytes) return Read::kTooLarge;
    *contents = entry->bytes;
    return Read::kRead;
  }
  bool Replace(const std::string& contents, Look* after) override {
    if (platform_->dirs_.count(Parent(key_)) == 0) return false;
    Entry& entry = platform_->files_[key_];
    entry.bytes = contents;
    ++entry.writes;
    entry.stamp = ++platform_->stamp_;
    *after = LookAt();
    return true;
  }

 private:
  static std::string Parent(const std::string& key) {
    const std::string::size_type slash = key.rfind('\\');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
  }

  MemoryPlatform* platform_;
  std::string key_;
};

MemoryPlatform::MemoryPlatform() = default;
MemoryPlatform::~MemoryPlatform() = default;

std::string MemoryPlatform::Key(const std::string& path) {
  std::string key;
  for (char c : path) {
    const char unit = c == '/' ? '\\' : static_cast<char>(UpperAscii(c));
    if (unit == '\\' && !key.empty() && key.back() == '\\') continue;
    key += unit;
  }
  while (key.size() > 3 && key.back() == '\\') key.pop_back();
  return key;
}

MemoryPlatform::Entry* MemoryPlatform::Find(const std::string& path) {
  auto found = files_.find(Key(path));
  return found != files_.end() ? &found->second : nullptr;
}

bool MemoryPlatform::Fail(DWORD error) {
  last_error_ = error;
  return false;
}

void MemoryPlatform::SetInstallDir(const std::string& value, bool present) {
  if (!present) {
    RemoveKey(kRegistryKeyPath);
    return;
  }
  SetValue(kRegistryKeyPath, kRegistryValueName, REG_SZ,
           value + std::string(1, '\0'));
}

void MemoryPlatform::SetValue(const std::string& key_path,
                              const std::string& name, DWORD type,
                              const std::string& data) {
  keys_[Key(key_path)][Key(name)] = Value{type, data};
}

void MemoryPlatform::RemoveKey(const std::string& key_path) {
  keys_.erase(Key(key_path));
}

void MemoryPlatform::MakeDir(const std::string& path) {
  std::string key = Key(path);
  while (!key.empty()) {
    dirs_.insert(key);
    const std::string::size_type slash = key.rfind('\\');
    if (slash == std::string::npos) break;
    key.resize(slash);
  }
}

void MemoryPlatform::Put(const std::string& path, const std::string& bytes,
                         bool read_only) {
  const std::string key = Key(path);
  const std::string::size_type slash = key.rfind('\\');
  if (slash != std::string::npos) MakeDir(key.substr(0, slash));
  Entry& entry = files_[key];
  entry.bytes = bytes;
  entry.attributes =
      read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE;
  entry.stamp = ++stamp_;
}

std::string MemoryPlatform::Get(const std::string& path) const {
  auto found = files_.find(Key(path));
  return found != files_.end() ? found->second.bytes : "<missing>";
}

bool MemoryPlatform::Has(const std::string& path) const {
  return files_.count(Key(path)) != 0;
}

int MemoryPlatform::writes(const std::string& path) const {
  auto found = files_.find(Key(path));
  return found != files_.end() ? found->second.writes : 0;
}

DWORD MemoryPlatform::GetPrivateProfileSectionA(LPCSTR section, LPSTR buffer,
                                                DWORD size, LPCSTR file) {
  FileIo io(this, file);
  return profiles_.GetSection(io, section, buffer, size);
}

DWORD MemoryPlatform::GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                               LPCSTR default_value,
                                               LPSTR buffer, DWORD size,
                                               LPCSTR file) {
  FileIo io(this, file);
  return profiles_.GetString(io, section, key, default_value, buffer, size);
}

BOOL MemoryPlatform::WritePrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                LPCSTR value, LPCSTR file) {
  FileIo io(this, file);
  return profiles_.WriteString(io, section, key, value)
             ? TRUE
             : Fail(ERROR_ACCESS_DENIED);
}

LONG MemoryPlatform::RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD /*options*/,
                                   REGSAM /*desired*/, PHKEY result) {
  if (key != HKEY_LOCAL_MACHINE || sub_key == nullptr ||
      keys_.count(Key(sub_key)) == 0) {
    return ERROR_FILE_NOT_FOUND;
  }
  const std::uintptr_t handle = next_key_++;
  open_keys_[handle] = Key(sub_key);
  *result = reinterpret_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

LONG MemoryPlatform::RegQueryValueExA(HKEY key, LPCSTR value_name,
                                      LPDWORD /*reserved*/, LPDWORD type,
                                      LPBYTE data, LPDWORD data_size) {
  auto open = open_keys_.find(reinterpret_cast<std::uintptr_t>(key));
  if (open == open_keys_.end()) return ERROR_INVALID_HANDLE;
  auto found = keys_.find(open->second);
  if (found == keys_.end()) return ERROR_FILE_NOT_FOUND;
  auto value = found->second.find(Key(value_name != nullptr ? value_name : ""));
  if (value == found->second.end()) return ERROR_FILE_NOT_FOUND;
  if (type != nullptr) *type = value->second.type;
  const DWORD needed = static_cast<DWORD>(value->second.data.size());
  const DWORD offered = *data_size;
  *data_size = needed;
  if (data == nullptr) return ERROR_SUCCESS;
  if (offered < needed) return ERROR_MORE_DATA;
  std::memcpy(data, value->second.data.data(), needed);
  return ERROR_SUCCESS;
}

LONG MemoryPlatform::RegCloseKey(HKEY key) {
  return open_keys_.erase(reinterpret_cast<std::uintptr_t>(key)) != 0
             ? ERROR_SUCCESS
             : ERROR_INVALID_HANDLE;
}

DWORD MemoryPlatform::GetFileAttributesA(LPCSTR path) {
  if (path == nullptr) return INVALID_FILE_ATTRIBUTES;
  if (dirs_.count(Key(path)) != 0) return FILE_ATTRIBUTE_DIRECTORY;
  const Entry* entry = Find(path);
  if (entry == nullptr) {
    Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  return entry->attributes;
}

BOOL MemoryPlatform::SetFileAttributesA(LPCSTR path, DWORD attributes) {
  Entry* entry = path != nullptr ? Find(path) : nullptr;
  if (entry == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  entry->attributes = attributes == FILE_ATTRIBUTE_NORMAL
                          ? FILE_ATTRIBUTE_NORMAL
                          : attributes & ~FILE_ATTRIBUTE_DIRECTORY;
  return TRUE;
}

bool MemoryPlatform::PrepareCopy(LPCSTR source, LPCSTR target,
                                 const ExpectedBytes* expected, Entry* copy,
                                 CopyReport* report) {
  *report = CopyReport();
  const Entry* from = source != nullptr ? Find(source) : nullptr;
  if (from == nullptr) return Fail(ERROR_FILE_NOT_FOUND);
  const std::string key = Key(target);
  const std::string::size_type slash = key.rfind('\\');
  if (dirs_.count(key) != 0 || slash == std::string::npos ||
      dirs_.count(key.substr(0, slash)) == 0) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  if (expected != nullptr && expected->size &&
      from->bytes.size() != *expected->size) {
    report->problem = CopyReport::Problem::kSizeMismatch;
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if (expected != nullptr && expected->sha256) {
    Sha256 hash;
    hash.Update(from->bytes.data(), from->bytes.size());
    Sha256Digest digest;
    if (!hash.Finish(&digest)) return Fail(ERROR_INVALID_PARAMETER);
    if (digest != *expected->sha256) {
      report->problem = CopyReport::Problem::kChecksumMismatch;
      report->actual = digest;
      return Fail(ERROR_INVALID_PARAMETER);
    }
  }
  copy->bytes = from->bytes;
  copy->attributes = from->attributes;
  return true;
}

BOOL MemoryPlatform::PutCopy(const std::string& target, Entry copy) {
  const std::string key = Key(target);
  const Entry* to = Find(key);
  if (dirs_.count(key) != 0 ||
      (to != nullptr && (to->attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  copy.writes = to != nullptr ? to->writes + 1 : 1;
  copy.stamp = ++stamp_;
  files_[key] = std::move(copy);
  return TRUE;
}

BOOL MemoryPlatform::CopyFileA(LPCSTR source, LPCSTR target,
                               BOOL fail_if_exists,
                               const ExpectedBytes* expected,
                               CopyReport* report) {
  CopyReport own;
  CopyReport& result = report != nullptr ? *report : own;
  Entry copy;
  if (!PrepareCopy(source, target, expected, &copy, &result)) return FALSE;
  if (fail_if_exists != FALSE && Find(target) != nullptr) {
    return Fail(ERROR_ACCESS_DENIED);
  }
  return PutCopy(target, std::move(copy));
}

// Copies kept aside until put in place.
class MemoryPlatform::Staging : public CopyStage {
 public:
  explicit Staging(MemoryPlatform* platform) : platform_(platform) {}

  BOOL Stage(LPCSTR source, LPCSTR target, const ExpectedBytes* expected,
             std::size_t* index, CopyReport* report) override {
    Entry copy;
    if (!platform_->PrepareCopy(source, target, expected, &copy, report)) {
      return FALSE;
    }
    staged_.emplace_back(target, std::move(copy));
    *index = staged_.size() - 1;
    return TRUE;
  }
  BOOL PutInPlace(std::size_t index, CopyReport* report) override {
    *report = CopyReport();
    if (index >= staged_.size())
      return platform_->Fail(ERROR_INVALID_PARAMETER);
    return platform_->PutCopy(staged_[index].first,
                              std::move(staged_[index].second));
  }
  BOOL Flush() override { return TRUE; }

 private:
  MemoryPlatform* platform_;
  std::vector<std::pair<std::string, Entry>> staged_;
};

std::unique_ptr<CopyStage> MemoryPlatform::BeginStaging() {
  return std::make_unique<Staging>(this);
}

BOOL MemoryPlatform::WriteProfileStrings(
    LPCSTR file, const std::vector<ProfileWrite>& writes) {
  FileIo io(this, file);
  return profiles_.WriteStrings(io, writes) ? TRUE : Fail(ERROR_ACCESS_DENIED);
}

BOOL MemoryPlatform::HashFile(LPCSTR path, Sha256Digest* digest,
                              CopyReport* report) {
  const Entry* entry = path != nullptr ? Find(path) : nullptr;
  if (entry == nullptr) {
    if (report != nullptr) report->error = ERROR_FILE_NOT_FOUND;
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  Sha256 hash;
  hash.Update(entry->bytes.data(), entry->bytes.size());
  return hash.Finish(digest) ? TRUE : FALSE;
}

ProfileLoad MemoryPlatform::LoadProfileFile(LPCSTR file,
                                            std::string* contents) {
  FileIo io(this, file);
  return profiles_.LoadFile(io, contents);
}

ProfileLoad MemoryPlatform::ReadFileBytes(LPCSTR file, DWORD max_bytes,
                                          std::string* contents) {
  FileIo io(this, file);
  return profile::ReadWholeFile(io, max_bytes, contents);
}

BOOL MemoryPlatform::TrustInstallation(LPCSTR /*bin_dir*/,
                                       InstallationRefusal* /*refused*/) {
  return TRUE;
}

BOOL MemoryPlatform::WriteResultFile(LPCSTR path, const std::string& data,
                                     bool* refused) {
  *refused = false;
  if (path == nullptr) return FALSE;
  Put(path, data);
  return TRUE;
}

namespace {

// Held by this process alone: a memory drive has no other.
class MemoryLock : public InstallationLock {
 public:
  explicit MemoryLock(std::string key) : key_(std::move(key)) {}
  bool IsLockFile(LPCSTR path) const override {
    std::string key;
    for (const char* p = path; *p != '\0'; ++p) {
      key += static_cast<char>(UpperAscii(*p == '/' ? '\\' : *p));
    }
    return key == key_;
  }

 private:
  std::string key_;
};

}  // namespace

LockResult MemoryPlatform::LockInstallation(
    LPCSTR path, DWORD /*timeout_ms*/,
    std::unique_ptr<InstallationLock>* lock) {
  if (path == nullptr) return LockResult::kFailed;
  if (!Has(path)) Put(path, "");
  *lock = std::make_unique<MemoryLock>(Key(path));
  return LockResult::kHeld;
}

void MemoryPlatform::RemoveStaleTemps(LPCSTR dir) {
  if (dir == nullptr) return;
  std::string prefix = Key(dir) + "\\";
  std::string temp = kTempPrefix;
  for (char& c : temp) c = static_cast<char>(UpperAscii(c));
  prefix += temp;
  for (auto it = files_.lower_bound(prefix);
       it != files_.end() &&
       it->first.compare(0, prefix.size(), prefix) == 0;) {
    // A temporary file of bin itself, not of a folder below it.
    if (it->first.find('\\', prefix.size()) == std::string::npos) {
      it = files_.erase(it);
    } else {
      ++it;
    }
  }
}

BOOL MemoryPlatform::OpenSourceDirectory(LPCSTR /*dir*/) { return TRUE; }

void MemoryPlatform::ReleaseDirectories() {}

DWORD MemoryPlatform::LastError() { return last_error_; }

void MemoryPlatform::GetSystemTimeAsFileTime(LPFILETIME time) {
  *time = clock_;
}

}  // namespace ks
