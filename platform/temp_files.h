// The names of the temporary files that the providers make beside a file
// they replace. Both providers follow one rule, so that a run of either
// build removes what a killed run of the other left.
#ifndef KSUPDATE_PLATFORM_TEMP_FILES_H_
#define KSUPDATE_PLATFORM_TEMP_FILES_H_

#include <cstring>
#include <set>
#include <string>

namespace ks {

// The prefix of every temporary file: a new file on its way in, or an old
// one set aside. A dot file, so that nobody takes it for a module, and ours
// alone: a run that ends normally leaves none.
inline constexpr char kTempPrefix[] = ".ksupdate-";

// True for a directory entry's name that one of our temporary files has.
inline bool IsTempName(const char* name) {
  return std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0;
}

// Remembers the directories already swept of stale temporary files: the
// first file a run makes in a directory removes what a killed run left
// there, and later ones need not look again.
class TempSweeps {
 public:
  // True the first time for `directory` (as the provider spells it).
  bool First(const std::string& directory) {
    return swept_.insert(directory).second;
  }

 private:
  std::set<std::string> swept_;
};

}  // namespace ks

#endif  // KSUPDATE_PLATFORM_TEMP_FILES_H_
