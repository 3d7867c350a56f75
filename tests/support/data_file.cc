#include "tests/support/data_file.h"

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace ks {

std::string DataValue(const std::string& file, const std::string& key) {
  std::ifstream in(std::string(KSUPDATE_TEST_DATA) + "/" + file);
  std::stringstream text;
  text << in.rdbuf();
  const std::string all = text.str();
  const size_t at = all.find("\"" + key + "\":");
  if (at == std::string::npos) return "(no " + key + ")";
  const size_t from = all.find_first_not_of(" \n", all.find(':', at) + 1);
  if (from == std::string::npos) return "(no " + key + ")";
  const char open = all[from];
  const size_t to = open == '"'   ? all.find('"', from + 1)
                    : open == '[' ? all.find(']', from)
                    : open == '{' ? all.find('}', from)
                                  : all.find_first_of(",\n}", from) - 1;
  if (open == '"') return all.substr(from + 1, to - from - 1);
  return all.substr(from, to - from + 1);
}

std::vector<std::string> QuotedTexts(const std::string& value) {
  std::vector<std::string> texts;
  const std::regex quoted("\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(value.begin(), value.end(), quoted);
       it != std::sregex_iterator(); ++it) {
    texts.push_back((*it)[1]);
  }
  return texts;
}

}  // namespace ks
