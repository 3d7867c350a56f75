// The argument text: what a caller hands ksupdate, as one text.
#ifndef KSUPDATE_APP_ARGUMENT_TEXT_H_
#define KSUPDATE_APP_ARGUMENT_TEXT_H_

#include <string>

namespace ks {

// The argument text of a raw Windows command line: the program's name (in
// quotes when it starts with one) and the blanks after it removed, the rest
// unchanged. A null line gives the empty text.
std::string ArgumentText(const char* command_line);

// The argument text rebuilt from words already split by the host: argv[1..]
// in the ANSI code page (HostWordToAnsi) joined by one blank; no word gives
// the empty text.
std::string JoinArguments(int argc, const char* const* argv);

}  // namespace ks

#endif  // KSUPDATE_APP_ARGUMENT_TEXT_H_
