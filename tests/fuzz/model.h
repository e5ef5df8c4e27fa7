// What the rules say, written the plain way, for the fuzzers to hold the programs to:
// byte-at-a-time line-end conversions and the atoi-like parse.
#ifndef QUILLET_TESTS_FUZZ_MODEL_H
#define QUILLET_TESTS_FUZZ_MODEL_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the fuzzer (or the replay) with what broke.
#define EXPECT_THAT(condition, what)                                             \
  do {                                                                           \
    if (!(condition)) {                                                          \
      fprintf(stderr, "%s:%d: %s\n  (%s)\n", __FILE__, __LINE__, what, #condition); \
      abort();                                                                   \
    }                                                                            \
  } while (0)

namespace model {

// The bytes before the first NUL.
inline std::string UpToNul(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

// CR LF to LF; a lone CR or LF stays.
inline std::string Strip(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

// A CR before every LF, whatever precedes it.
inline std::string Expand(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// atoi's reading (blanks, one sign, digits), held to the 32-bit range.
inline int64_t Atoi(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  int sign = 1;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) sign = text[i++] == '-' ? -1 : 1;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < 10000000000LL) value = value * 10 + (text[i] - '0');
  }
  value *= sign;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return value;
}

// "%011lu"
inline std::string LengthField(size_t length) {
  char field[32];
  snprintf(field, sizeof field, "%011lu", (unsigned long)length);
  return field;
}

// Reads the fuzzer's input front to back; past the end every byte is 0.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::string Bytes(size_t n) {
    std::string bytes;
    while (n-- > 0 && at < size) bytes += (char)data[at++];
    return bytes;
  }
  bool Done() const { return at >= size; }
};

}  // namespace model

#endif  // QUILLET_TESTS_FUZZ_MODEL_H
