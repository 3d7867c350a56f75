#include "engine/module_files.h"

#include "platform/platform.h"

namespace ks {

bool IsFileExist(const std::string& path) {
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return true;
}

bool SetFileAttr(const std::string& path, DWORD attributes) {
  return SetFileAttributesA(path.c_str(), attributes) == 1;
}

bool CopyModuleFile(const std::string& source, const std::string& target,
                    const Sha256Digest* expected, CopyReport* report) {
  return CopyFileA(source.c_str(), target.c_str(), FALSE, expected, report) !=
         0;
}

bool FileHasDigest(const std::string& path, const Sha256Digest& expected) {
  Sha256Digest digest;
  return HashFile(path.c_str(), &digest) != FALSE && digest == expected;
}

}  // namespace ks
