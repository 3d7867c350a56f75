// The result file on Linux.
#ifndef KSUPDATE_PLATFORM_POSIX_RESULT_OUTPUT_H_
#define KSUPDATE_PLATFORM_POSIX_RESULT_OUTPUT_H_

#include <string>

namespace ks::posix {

// WriteResultFile on a host path (see platform.h).
bool WriteHostResultFile(const std::string& path, const std::string& data,
                         bool* refused);

}  // namespace ks::posix

#endif  // KSUPDATE_PLATFORM_POSIX_RESULT_OUTPUT_H_
