// The clipboard's text translation between CF_TEXT and the desktop: the Windows-1252
// table checked against glibc's converter, and the line-end and character rules.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "desktop/desktoptext.h"

namespace {

// Runs a translation the way its callers do: count, then write; both must agree.
std::string Translate(Translation translation, const std::string& input) {
  size_t size = translation(input.data(), input.size(), nullptr);
  std::string out(size, '\xAA');
  size_t written = translation(input.data(), input.size(), &out[0]);
  EXPECT_EQ(size, written);
  return out;
}

// glibc's code point for a Windows-1252 byte, or 0xFFFFFFFF where it has none.
uint32_t GlibcCp1252(unsigned char byte) {
  iconv_t converter = iconv_open("UTF-32LE", "CP1252");
  if (converter == (iconv_t)-1) return 0xFFFFFFFEu;
  char in[1] = {(char)byte};
  unsigned char out[4] = {0, 0, 0, 0};
  char* inPointer = in;
  char* outPointer = (char*)out;
  size_t inLeft = 1, outLeft = 4;
  size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == (size_t)-1) return 0xFFFFFFFFu;
  return out[0] | out[1] << 8 | out[2] << 16 | (uint32_t)out[3] << 24;
}

TEST(Cp1252, EveryByteMatchesGlibcAndComesBack) {
  // glibc leaves these five undefined; Windows passes them through as C1 controls.
  const unsigned char passThrough[] = {0x81, 0x8D, 0x8F, 0x90, 0x9D};
  for (int byte = 0; byte < 256; ++byte) {
    uint32_t codePoint = Cp1252ToUnicode((unsigned char)byte);
    bool c1 = false;
    for (unsigned char b : passThrough) c1 = c1 || b == byte;
    if (c1) {
      EXPECT_EQ(codePoint, (uint32_t)byte) << "byte " << byte;
    } else {
      EXPECT_EQ(codePoint, GlibcCp1252((unsigned char)byte)) << "byte " << byte;
    }
    EXPECT_EQ(UnicodeToCp1252(codePoint), byte) << "byte " << byte;
  }
}

TEST(Cp1252, CharactersWithoutAByte) {
  // The C1 controls that 0x80..0x9F do not pass, and what lies beyond the table.
  const uint32_t none[] = {0x80, 0x8E, 0x9F, 0x100, 0x2015, 0x20AD, 0xFFFD, 0x1F600};
  for (uint32_t codePoint : none) {
    EXPECT_EQ(UnicodeToCp1252(codePoint), NO_CP1252_BYTE) << std::hex << codePoint;
  }
}

struct Case {
  const char* name;
  Translation translation;
  std::string input;
  std::string expected;
};

const Case CASES[] = {
    // CF_TEXT to the desktop: CR LF to LF, nothing else.
    {"crlf-to-lf", TextToUtf8, "a\r\nb\rc\n", "a\nb\rc\n"},
    {"cr-cr-lf", TextToUtf8, "x\r\r\ny", "x\r\ny"},
    {"only-line-ends", TextToUtf8, "\r\n\r\n\r", "\n\n\r"},
    {"euro-e-acute", TextToUtf8, "\xE9\x80", "\xC3\xA9\xE2\x82\xAC"},
    {"c1-pass-through", TextToUtf8, "\x81\x9D", "\xC2\x81\xC2\x9D"},
    {"three-byte-top", TextToUtf8, "\x99", "\xE2\x84\xA2"},
    {"empty", TextToUtf8, "", ""},
    {"latin1-lacks-euro", TextToLatin1, "\xE9\x80\x81\r\n", "\xE9?\x81\n"},
    // The desktop to CF_TEXT: LF not after CR to CR LF.
    {"handheld-lines", Utf8ToText, "a\nb c\n", "a\r\nb c\r\n"},
    {"crlf-stays", Utf8ToText, "x\r\ny", "x\r\ny"},
    {"lone-cr-then-lf", Utf8ToText, "a\r\rb\n\n", "a\r\rb\r\n\r\n"},
    {"euro-e-acute-back", Utf8ToText, "\xC3\xA9\xE2\x82\xAC", "\xE9\x80"},
    {"unmappable", Utf8ToText, "\xE6\x97\xA5\xC4\x80!", "??" "!"},
    {"astral", Utf8ToText, "\xF0\x9F\x98\x80.", "?."},
    {"c1-back", Utf8ToText, "\xC2\x81\xC2\x80", "\x81?"},
    {"stray-bytes", Utf8ToText, "\xFF\x80" "a", "??a"},
    {"truncated", Utf8ToText, "\xE2\x82" "a\xE2", "?a?"},
    {"overlong", Utf8ToText, "\xC0\xAF\xE0\x80\xAF", "?????"},
    {"surrogate", Utf8ToText, "\xED\xA0\x80", "???"},
    {"beyond-unicode", Utf8ToText, "\xF4\x90\x80\x80", "????"},
    {"nul-ends", Utf8ToText, std::string("a\nb\0c\n", 6), "a\r\nb"},
    {"latin1-in", Latin1ToText, "\xE9\n\x80\x81", "\xE9\r\n?\x81"},
    {"latin1-nul-ends", Latin1ToText, std::string("x\0y", 3), "x"},
};

TEST(DesktopText, Translations) {
  for (const Case& c : CASES) {
    EXPECT_EQ(Translate(c.translation, c.input), c.expected) << c.name;
  }
}

TEST(DesktopText, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte != '\r' && byte != '\n') all += (char)byte;
  }
  all += "\r\nend\r\n";
  EXPECT_EQ(Translate(Utf8ToText, Translate(TextToUtf8, all)), all);
}

}  // namespace
