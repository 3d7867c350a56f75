// The statements in tests/data/ that the program and the Python tools are
// both held to, as the C++ tests read them.
#ifndef KSUPDATE_TESTS_SUPPORT_DATA_FILE_H_
#define KSUPDATE_TESTS_SUPPORT_DATA_FILE_H_

#include <string>
#include <vector>

namespace ks {

// The value of `key` in the JSON file tests/data/`file` as its text: a
// string without its quotes, an array or object whole ([...] or {...}, not
// nested), or a number's digits. "(no KEY)" when the key is not there.
std::string DataValue(const std::string& file, const std::string& key);

// The quoted texts of a value DataValue gave, in order (for an object, its
// keys and values).
std::vector<std::string> QuotedTexts(const std::string& value);

}  // namespace ks

#endif  // KSUPDATE_TESTS_SUPPORT_DATA_FILE_H_
