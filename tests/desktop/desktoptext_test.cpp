// The clipboard's text translation between CF_TEXT and the desktop: every code page's
// bytes (1252's own table too) checked against glibc's converter and Windows' own tables
// (as Wine ships them), the choice of code page from the locale, and the line-end and
// character rules.
#include "desktop/text/desktoptext.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Runs a translation the way its callers do: count, then write; both must agree.
std::string Translate(Translation translation, const std::string& input) {
  size_t size = translation(input.data(), input.size(), nullptr);
  std::string out(size, '\xAA');
  size_t written = translation(input.data(), input.size(), &out[0]);
  EXPECT_EQ(size, written);
  return out;
}

const uint32_t NONE = 0xFFFFFFFFu;

// glibc's one code point for the bytes of a code page, or NONE.
uint32_t Glibc(unsigned codePage, const std::string& bytes) {
  std::string name = "CP" + std::to_string(codePage);
  iconv_t converter = iconv_open("UTF-32LE", name.c_str());
  if (converter == (iconv_t)-1) return 0xFFFFFFFEu;
  unsigned char out[8] = {};
  char* inPointer = const_cast<char*>(bytes.data());
  char* outPointer = (char*)out;
  size_t inLeft = bytes.size(), outLeft = sizeof out;
  size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  if (result != (size_t)-1) result = iconv(converter, nullptr, nullptr, &outPointer, &outLeft);
  iconv_close(converter);
  if (result == (size_t)-1 || outLeft != sizeof out - 4) return NONE;
  return out[0] | out[1] << 8 | out[2] << 16 | (uint32_t)out[3] << 24;
}

const struct {
  unsigned codePage;
  const char* name;
  Translation translation;
  std::string input;
  std::string expected;
} CASES[] = {
    // CF_TEXT to the desktop: CR LF to LF, nothing else.
    {1252, "crlf-to-lf", TextToUtf8, "a\r\nb\rc\n", "a\nb\rc\n"},
    {1252, "cr-cr-lf", TextToUtf8, "x\r\r\ny", "x\r\ny"},
    {1252, "only-line-ends", TextToUtf8, "\r\n\r\n\r", "\n\n\r"},
    {1252, "euro-e-acute", TextToUtf8, "\xE9\x80", "\xC3\xA9\xE2\x82\xAC"},
    {1252, "c1-pass-through", TextToUtf8, "\x81\x9D", "\xC2\x81\xC2\x9D"},
    {1252, "three-byte-top", TextToUtf8, "\x99", "\xE2\x84\xA2"},
    {1252, "empty", TextToUtf8, "", ""},
    {1252, "latin1-lacks-euro", TextToLatin1, "\xE9\x80\x81\r\n", "\xE9?\x81\n"},
    // The desktop to CF_TEXT: LF not after CR to CR LF.
    {1252, "handheld-lines", Utf8ToText, "a\nb c\n", "a\r\nb c\r\n"},
    {1252, "crlf-stays", Utf8ToText, "x\r\ny", "x\r\ny"},
    {1252, "lone-cr-then-lf", Utf8ToText, "a\r\rb\n\n", "a\r\rb\r\n\r\n"},
    {1252, "euro-e-acute-back", Utf8ToText, "\xC3\xA9\xE2\x82\xAC", "\xE9\x80"},
    {1252, "unmappable", Utf8ToText, "\xE6\x97\xA5\xC4\x80!", "??" "!"},
    {1252, "astral", Utf8ToText, "\xF0\x9F\x98\x80.", "?."},
    {1252, "c1-back", Utf8ToText, "\xC2\x81\xC2\x80", "\x81?"},
    {1252, "stray-bytes", Utf8ToText, "\xFF\x80" "a", "??a"},
    {1252, "truncated", Utf8ToText, "\xE2\x82" "a\xE2", "?a?"},
    {1252, "overlong", Utf8ToText, "\xC0\xAF\xE0\x80\xAF", "?????"},
    {1252, "surrogate", Utf8ToText, "\xED\xA0\x80", "???"},
    {1252, "beyond-unicode", Utf8ToText, "\xF4\x90\x80\x80", "????"},
    {1252, "nul-ends", Utf8ToText, std::string("a\nb\0c\n", 6), "a\r\nb"},
    {1252, "latin1-in", Latin1ToText, "\xE9\n\x80\x81", "\xE9\r\n?\x81"},
    {1252, "latin1-nul-ends", Latin1ToText, std::string("x\0y", 3), "x"},
    // Double-byte pages: pairs cut off, next to line ends, undefined or user-defined.
    {932, "trail-like-ascii", TextToUtf8, "\x83\x5C\x83\x40", "ソァ"},
    {932, "lead-cut-off", TextToUtf8, "a\x82", "a\xE3\x83\xBB"},
    {932, "lead-before-crlf", TextToUtf8, "\x82\r\nb", "\xE3\x83\xBB\nb"},
    {932, "undefined-pair", TextToUtf8, "\x85\x40", "\xE3\x83\xBB"},
    {936, "chinese-lead-cut-off", TextToUtf8, "\xD6\xD0\xCE\xC4\xD6", "中文?"},
    {950, "big5-lead-cut-off", TextToUtf8, "\xA4\xA4\xA4", "中?"},
    {950, "user-defined", TextToUtf8, "\x81\x40\xFA\x40", "\xEE\xBA\xB8\xEE\x80\x80"},
};

TEST(DesktopText, Translations) {
  for (const auto& c : CASES) {
    ASSERT_TRUE(UseCodePage(c.codePage)) << c.codePage;
    EXPECT_EQ(Translate(c.translation, c.input), c.expected) << c.codePage << " " << c.name;
  }
}

TEST(DesktopText, EveryByteSurvivesTheRoundTrip) {
  ASSERT_TRUE(UseCodePage(1252));
  std::string all;
  for (int byte = 1; byte < 256; ++byte) {
    if (byte != '\r' && byte != '\n') all += (char)byte;
  }
  all += "\r\nend\r\n";
  EXPECT_EQ(Translate(Utf8ToText, Translate(TextToUtf8, all)), all);
}

// ---- Code pages -------------------------------------------------------------------------

const unsigned CODE_PAGES[] = {1250, 1251, 1252, 1253, 1254, 1255, 1256,
                               1257, 1258, 874,  932,  936,  949,  950};

// Windows' table of a code page as Wine ships it (c_NNN.nls): each byte's and pair's
// character, and the bytes each character is written as (a best fit where not exact).
struct WindowsTable {
  std::vector<uint16_t> words;
  const uint16_t* single = nullptr;
  const uint16_t* offsets = nullptr;  // of each lead byte's row; null for one byte a character
  const void* wide = nullptr;
};

bool LoadWindowsTable(unsigned codePage, WindowsTable* table) {
  std::string path = "/usr/share/wine/nls/c_" + std::to_string(codePage) + ".nls";
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  uint16_t word;
  while (fread(&word, 2, 1, file) == 1) table->words.push_back(word);
  fclose(file);
  const uint16_t* w = table->words.data();
  size_t at = w[0];
  table->wide = w + at + w[at] + 1;
  table->single = w + at + 1;
  at += 257;
  if (w[at]) at += 256;  // glyphs
  if (w[at + 1]) table->offsets = w + at + 2;
  return true;
}

uint32_t WindowsCharacter(const WindowsTable& table, unsigned lead, unsigned trail) {
  if (lead == 0) return table.single[trail];
  return table.offsets[table.offsets[lead] + trail];
}

// The bytes Windows writes a character as, lead << 8 | trail for a pair; "?" unless they
// read back as the character.
unsigned WindowsBytes(const WindowsTable& table, uint32_t codePoint) {
  unsigned bytes = table.offsets ? ((const uint16_t*)table.wide)[codePoint]
                                 : ((const uint8_t*)table.wide)[codePoint];
  bool pair = bytes > 0xFF;
  bool exact = WindowsCharacter(table, pair ? bytes >> 8 : 0, bytes & 0xFF) == codePoint;
  return exact ? bytes : '?';
}

unsigned OurBytes(uint32_t codePoint) {
  char out[2];
  size_t size = UnicodeToAnsi(codePoint, out);
  return size == 2 ? (unsigned char)out[0] << 8 | (unsigned char)out[1] : (unsigned char)out[0];
}

// Every byte, pair and character of every code page: glibc where it has a character,
// Windows' table where it has none, and Windows' choice of bytes on the way back.
TEST(CodePage, EveryByteAndCharacterAsGlibcAndWindows) {
  for (unsigned codePage : CODE_PAGES) {
    ASSERT_TRUE(UseCodePage(codePage)) << codePage;
    WindowsTable windows;
    bool haveWindows = LoadWindowsTable(codePage, &windows);
    int mismatches = 0;
    char first[120] = "";  // the first mismatch
    auto expect = [&](const char* what, unsigned bytes, uint32_t expected, uint32_t got) {
      if (expected != got && mismatches++ == 0)
        snprintf(first, sizeof first, "%u %s %04X: expected %04X, got %04X", codePage, what,
                 bytes, expected, got);
    };
    for (unsigned lead = 0; lead < 256; ++lead) {
      unsigned char bytes[2] = {(unsigned char)lead, 0};
      uint32_t codePoint;
      bytes[1] = 0x40;
      bool isLead = lead != 0 && AnsiToUnicode(bytes, bytes + 2, &codePoint) == 2;
      if (haveWindows) {
        expect("opens pairs", lead, windows.offsets && windows.offsets[lead], isLead);
      }
      for (unsigned trail = isLead ? 0x40 : 0; trail < (isLead ? 256u : 1u); ++trail) {
        bytes[1] = (unsigned char)trail;
        size_t size = isLead ? 2 : 1;
        AnsiToUnicode(bytes, bytes + size, &codePoint);
        uint32_t glibc = lead == 0 ? 0 : Glibc(codePage, std::string((char*)bytes, size));
        unsigned code = isLead ? lead << 8 | trail : lead;
        if (glibc != NONE) {
          expect("reads", code, glibc, codePoint);
        } else if (haveWindows) {
          expect("reads", code, WindowsCharacter(windows, isLead ? lead : 0, code & 0xFF),
                       codePoint);
        }
        // Written back, the character reads the same (some have two pairs).
        unsigned back = OurBytes(codePoint);
        unsigned char backBytes[2] = {(unsigned char)(back > 0xFF ? back >> 8 : back),
                                      (unsigned char)back};
        uint32_t again;
        AnsiToUnicode(backBytes, backBytes + (back > 0xFF ? 2 : 1), &again);
        expect("reads back", code, codePoint, again);
      }
    }
    for (uint32_t codePoint = 1; haveWindows && codePoint < 0x10000; ++codePoint) {
      if (codePoint >= 0xD800 && codePoint < 0xE000) continue;
      expect("writes", codePoint, WindowsBytes(windows, codePoint), OurBytes(codePoint));
    }
    EXPECT_EQ(mismatches, 0) << first;
    if (!haveWindows) ADD_FAILURE() << "no Windows table for " << codePage << " (wine's nls)";
  }
}

TEST(CodePage, FromTheLocaleName) {
  const struct {
    const char* locale;
    unsigned codePage;
  } cases[] = {
      {"cs_CZ.UTF-8", 1250}, {"hu_HU", 1250}, {"pl_PL.ISO-8859-2", 1250}, {"ro_RO", 1250},
      {"sk_SK", 1250}, {"sl_SI", 1250}, {"hr_HR", 1250}, {"sq_AL", 1250}, {"bs_BA", 1250},
      {"sr_RS@latin", 1250}, {"sr_ME.UTF-8@latin", 1250}, {"sr_RS.UTF-8", 1251},
      {"ru_RU.UTF-8", 1251}, {"uk_UA.KOI8-U", 1251}, {"be_BY", 1251}, {"bg_BG", 1251},
      {"mk_MK", 1251}, {"kk_KZ", 1251}, {"ky_KG", 1251}, {"tt_RU", 1251}, {"mn_MN", 1251},
      {"ru", 1251}, {"el_GR@euro", 1253}, {"tr_TR", 1254}, {"az_AZ", 1254}, {"he_IL", 1255},
      {"ar_EG.UTF-8", 1256}, {"fa_IR", 1256}, {"ur_PK", 1256}, {"et_EE", 1257}, {"lv_LV", 1257},
      {"lt_LT", 1257}, {"vi_VN", 1258}, {"th_TH.TIS-620", 874}, {"ja_JP.UTF-8", 932},
      {"ja", 932}, {"ko_KR.EUC-KR", 949}, {"zh_CN.GB18030", 936}, {"zh_SG", 936}, {"zh", 936},
      {"zh_TW.UTF-8", 950}, {"zh_HK.BIG5-HKSCS", 950}, {"zh_MO", 950}, {"de_DE@euro", 1252},
      {"en_US.UTF-8", 1252}, {"C", 1252}, {"C.UTF-8", 1252}, {"POSIX", 1252}, {"", 1252},
      {nullptr, 1252},
      // Whole words only: a language that begins like one of the table's is not it.
      {"rup_MK", 1252}, {"tr", 1254}, {"trv_TW", 1252}, {"sr_RS@latn", 1251},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodePageOfLocale(c.locale), c.codePage) << (c.locale ? c.locale : "(none)");
  }
}

TEST(CodePage, LcAllThenLcCtypeThenLang) {
  const struct {
    const char* lcAll;  // null: unset
    const char* lcCtype;
    const char* lang;
    unsigned codePage;
  } cases[] = {
      {"ja_JP.UTF-8", "ru_RU.UTF-8", "el_GR.UTF-8", 932},
      {"", "ru_RU.UTF-8", "el_GR.UTF-8", 1251},
      {nullptr, "", "el_GR.UTF-8", 1253},
      {nullptr, "C", "el_GR.UTF-8", 1252},
      {"", "", "", 1252},
      {nullptr, nullptr, nullptr, 1252},
  };
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const auto& c : cases) {
    const char* values[] = {c.lcAll, c.lcCtype, c.lang};
    for (int i = 0; i < 3; ++i) values[i] ? setenv(names[i], values[i], 1) : unsetenv(names[i]);
    EXPECT_EQ(CodePageOfLocale(LocaleOfEnvironment()), c.codePage)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcCtype ? c.lcCtype : "-") << " "
        << (c.lang ? c.lang : "-");
  }
  for (const char* name : names) unsetenv(name);
}

// A text of every pair of each double-byte code page survives the way to the desktop and
// back, but for the pairs that read as a character written otherwise.
TEST(CodePage, DoubleByteRoundTrip) {
  for (unsigned codePage : {932u, 936u, 949u, 950u}) {
    ASSERT_TRUE(UseCodePage(codePage));
    std::string text;
    for (unsigned lead = 0x81; lead < 0xFF; ++lead) {
      for (unsigned trail = 0x40; trail < 0xFF; ++trail) {
        const unsigned char pair[2] = {(unsigned char)lead, (unsigned char)trail};
        uint32_t codePoint;
        if (AnsiToUnicode(pair, pair + 2, &codePoint) != 2 ||
            OurBytes(codePoint) != (lead << 8 | trail))
          continue;
        text += (char)lead;
        text += (char)trail;
      }
      text += "\r\n";
    }
    EXPECT_GT(text.size(), 14000u) << codePage;
    EXPECT_EQ(Translate(Utf8ToText, Translate(TextToUtf8, text)), text) << codePage;
  }
}

}  // namespace
