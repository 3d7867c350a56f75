// The fuzz targets' input format: fields separated by zero bytes, the last
// field taking the rest (zero bytes included). Fields that become C strings
// cannot hold a zero anyway, so the format loses nothing, and seeds stay
// readable.
#ifndef KSUPDATE_TESTS_FUZZ_FUZZ_INPUT_H_
#define KSUPDATE_TESTS_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace ks::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : text_(reinterpret_cast<const char*>(data), size) {}

  // The next field, up to the next zero byte (or the end).
  std::string Field() {
    std::size_t end = text_.find('\0', pos_);
    if (end == std::string::npos) end = text_.size();
    std::string field = text_.substr(pos_, end - pos_);
    pos_ = end < text_.size() ? end + 1 : end;
    return field;
  }

  // The next field read as a decimal number, reduced below `limit`.
  std::size_t Number(std::size_t limit) {
    std::string field = Field();
    unsigned long long value = std::strtoull(field.c_str(), nullptr, 10);
    return static_cast<std::size_t>(value % limit);
  }

  // Everything not yet taken.
  std::string Rest() {
    std::string rest = text_.substr(pos_);
    pos_ = text_.size();
    return rest;
  }

 private:
  std::string text_;
  std::size_t pos_ = 0;
};

// A property that must hold: when it does not, abort with its description,
// and libFuzzer keeps the input that broke it.
inline void Check(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace ks::fuzz

#endif  // KSUPDATE_TESTS_FUZZ_FUZZ_INPUT_H_
