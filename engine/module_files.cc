#include "engine/module_files.h"

namespace ks {

bool IsFileExist(Platform& platform, const std::string& path) {
  DWORD attributes = platform.GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return true;
}

bool SetFileAttr(Platform& platform, const std::string& path,
                 DWORD attributes) {
  return platform.SetFileAttributesA(path.c_str(), attributes) == 1;
}

bool CopyModuleFile(Platform& platform, const std::string& source,
                    const std::string& target, const ExpectedBytes* expected,
                    CopyReport* report) {
  return platform.CopyFileA(source.c_str(), target.c_str(), FALSE, expected,
                            report) != 0;
}

bool FileHasDigest(Platform& platform, const std::string& path,
                   const Sha256Digest& expected) {
  Sha256Digest digest;
  return platform.HashFile(path.c_str(), &digest, nullptr) != FALSE &&
         digest == expected;
}

}  // namespace ks
