// The ANSI code page of the run: chosen from the locale's name, and the tables between its
// bytes and Unicode, learnt from glibc's iconv one character at a time as the text needs them.
//
// Contract kept from Windows (as Wine keeps it, and MultiByteToWideChar and
// WideCharToMultiByte without flags):
// - The ANSI code page follows the language of the user's locale, not its codeset: the
//   first of LC_ALL, LC_CTYPE and LANG that is set and not empty names it
//   (language[_territory][.codeset][@modifier]); the table is LOCALE_CODE_PAGES below.
//   Bare "zh" is Simplified Chinese, 936, as Windows' neutral "zh" is; Macau, Hong Kong and
//   Taiwan use 950. The choice is made once per run and never asks whether the locale is
//   installed. No name, C, POSIX and every other language give 1252.
// - Every byte and byte pair reads as one character. Where glibc's converter has none,
//   Windows' table decides: an undefined byte 0x80..0x9F is the C1 control of its value,
//   the other undefined bytes and the user-defined pairs of 936, 949 and 950 are
//   private-use characters (WINDOWS_ONLY), and any other undefined pair is the code page's
//   default character: U+30FB in 932, "?" in 936, 949 and 950.
// - In 932, 936, 949 and 950 a lead byte takes the next byte as its trail when that byte is
//   0x40 or above; no trail byte is lower, so line ends and NULs are never swallowed. A lead
//   byte at the end of the text, or before a lower byte, is kept as Windows keeps it: as
//   the default character, one for the byte.
// - Going back, a character has bytes only when they read back as that character: no best
//   fit, no base letter plus combining mark (glibc's 1255 and 1258 decompose, Windows does
//   not), none of glibc's one-way mappings (932's U+2014, U+2016, U+203E, U+2212, U+301C);
//   where two pairs read as one character, Windows' pick (950's box drawing). Else "?".
// - Windows-1252 comes from our own table (cp1252.cpp); a code page whose converter glibc
//   lacks falls back to 1252.
#include <errno.h>
#include <iconv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "desktop/text/desktoptext.h"

struct LocaleCodePage {
  const char* language;
  const char* territory;  // null: any
  const char* modifier;   // null: any
  unsigned codePage;
};

// The first row that fits the locale's name decides.
static const LocaleCodePage LOCALE_CODE_PAGES[] = {
    {"sr", nullptr, "latin", 1250},  // Serbian in Latin letters; Cyrillic below
    {"cs", nullptr, nullptr, 1250}, {"hu", nullptr, nullptr, 1250}, {"pl", nullptr, nullptr, 1250},
    {"ro", nullptr, nullptr, 1250}, {"sk", nullptr, nullptr, 1250}, {"sl", nullptr, nullptr, 1250},
    {"hr", nullptr, nullptr, 1250}, {"sq", nullptr, nullptr, 1250}, {"bs", nullptr, nullptr, 1250},
    {"sr", nullptr, nullptr, 1251}, {"ru", nullptr, nullptr, 1251}, {"uk", nullptr, nullptr, 1251},
    {"be", nullptr, nullptr, 1251}, {"bg", nullptr, nullptr, 1251}, {"mk", nullptr, nullptr, 1251},
    {"kk", nullptr, nullptr, 1251}, {"ky", nullptr, nullptr, 1251}, {"tt", nullptr, nullptr, 1251},
    {"mn", nullptr, nullptr, 1251}, {"el", nullptr, nullptr, 1253}, {"tr", nullptr, nullptr, 1254},
    {"az", nullptr, nullptr, 1254}, {"he", nullptr, nullptr, 1255}, {"ar", nullptr, nullptr, 1256},
    {"fa", nullptr, nullptr, 1256}, {"ur", nullptr, nullptr, 1256}, {"et", nullptr, nullptr, 1257},
    {"lv", nullptr, nullptr, 1257}, {"lt", nullptr, nullptr, 1257}, {"vi", nullptr, nullptr, 1258},
    {"th", nullptr, nullptr, 874},  {"ja", nullptr, nullptr, 932},  {"zh", "TW", nullptr, 950},
    {"zh", "HK", nullptr, 950},     {"zh", "MO", nullptr, 950},     {"zh", nullptr, nullptr, 936},
    {"ko", nullptr, nullptr, 949},
};

// Windows' characters for what glibc leaves undefined: bytes (lead 0) or pairs, numbered
// from codePoint through each lead's trails in order, stride code points per lead.
struct WindowsOnly {
  unsigned codePage;
  unsigned char leadFirst, leadLast, trailFirst, trailLast;
  uint16_t codePoint;
  uint16_t stride;
};

static const WindowsOnly WINDOWS_ONLY[] = {
    {1253, 0, 0, 0xAA, 0xAA, 0xF8F9, 0},
    {1253, 0, 0, 0xD2, 0xD2, 0xF8FA, 0},
    {1253, 0, 0, 0xFF, 0xFF, 0xF8FB, 0},
    {1255, 0, 0, 0xCA, 0xCA, 0x05BA, 0},
    {1255, 0, 0, 0xD9, 0xDF, 0xF88D, 0},
    {1255, 0, 0, 0xFB, 0xFC, 0xF894, 0},
    {1255, 0, 0, 0xFF, 0xFF, 0xF896, 0},
    {1257, 0, 0, 0xA1, 0xA1, 0xF8FC, 0},
    {1257, 0, 0, 0xA5, 0xA5, 0xF8FD, 0},
    {874, 0, 0, 0xDB, 0xDE, 0xF8C1, 0},
    {874, 0, 0, 0xFC, 0xFF, 0xF8C5, 0},
    {932, 0, 0, 0xA0, 0xA0, 0xF8F0, 0},
    {932, 0, 0, 0xFD, 0xFF, 0xF8F1, 0},
    {936, 0, 0, 0xFF, 0xFF, 0xF8F5, 0},
    {949, 0, 0, 0xFF, 0xFF, 0xF8F7, 0},
    {950, 0, 0, 0xFF, 0xFF, 0xF8F8, 0},
    // The user-defined areas.
    {936, 0xAA, 0xAF, 0xA1, 0xFE, 0xE000, 94},
    {936, 0xF8, 0xFE, 0xA1, 0xFE, 0xE234, 94},
    {936, 0xA1, 0xA7, 0x40, 0x7E, 0xE4C6, 96},
    {936, 0xA1, 0xA7, 0x80, 0xA0, 0xE505, 96},
    {949, 0xC9, 0xC9, 0xA1, 0xFE, 0xE000, 94},
    {949, 0xFE, 0xFE, 0xA1, 0xFE, 0xE05E, 94},
    {950, 0xFA, 0xFE, 0x40, 0x7E, 0xE000, 157},
    {950, 0xFA, 0xFE, 0xA1, 0xFE, 0xE03F, 157},
    {950, 0x81, 0x8D, 0x40, 0x7E, 0xEEB8, 157},
    {950, 0x81, 0x8D, 0xA1, 0xFE, 0xEEF7, 157},
    {950, 0x8E, 0xA0, 0x40, 0x7E, 0xE311, 157},
    {950, 0x8E, 0xA0, 0xA1, 0xFE, 0xE350, 157},
    // 936's other private-use pairs, in the gaps of its table.
    {936, 0xA2, 0xA2, 0xAB, 0xB0, 0xE766, 0},
    {936, 0xA2, 0xA2, 0xE3, 0xE4, 0xE76C, 0},
    {936, 0xA2, 0xA2, 0xEF, 0xF0, 0xE76E, 0},
    {936, 0xA2, 0xA2, 0xFD, 0xFE, 0xE770, 0},
    {936, 0xA4, 0xA4, 0xF4, 0xFE, 0xE772, 0},
    {936, 0xA5, 0xA5, 0xF7, 0xFE, 0xE77D, 0},
    {936, 0xA6, 0xA6, 0xB9, 0xC0, 0xE785, 0},
    {936, 0xA6, 0xA6, 0xD9, 0xDF, 0xE78D, 0},
    {936, 0xA6, 0xA6, 0xEC, 0xED, 0xE794, 0},
    {936, 0xA6, 0xA6, 0xF3, 0xF3, 0xE796, 0},
    {936, 0xA6, 0xA6, 0xF6, 0xFE, 0xE797, 0},
    {936, 0xA7, 0xA7, 0xC2, 0xD0, 0xE7A0, 0},
    {936, 0xA7, 0xA7, 0xF2, 0xFE, 0xE7AF, 0},
    {936, 0xA8, 0xA8, 0x96, 0xA0, 0xE7BC, 0},
    {936, 0xA8, 0xA8, 0xBC, 0xBC, 0xE7C7, 0},
    {936, 0xA8, 0xA8, 0xBF, 0xBF, 0xE7C8, 0},
    {936, 0xA8, 0xA8, 0xC1, 0xC4, 0xE7C9, 0},
    {936, 0xA8, 0xA8, 0xEA, 0xFE, 0xE7CD, 0},
    {936, 0xA9, 0xA9, 0x58, 0x58, 0xE7E2, 0},
    {936, 0xA9, 0xA9, 0x5B, 0x5B, 0xE7E3, 0},
    {936, 0xA9, 0xA9, 0x5D, 0x5F, 0xE7E4, 0},
    {936, 0xA9, 0xA9, 0x89, 0x95, 0xE7E7, 0},
    {936, 0xA9, 0xA9, 0x97, 0xA3, 0xE7F4, 0},
    {936, 0xA9, 0xA9, 0xF0, 0xFE, 0xE801, 0},
    {936, 0xD7, 0xD7, 0xFA, 0xFE, 0xE810, 0},
    {936, 0xFE, 0xFE, 0x50, 0x7E, 0xE815, 0},
    {936, 0xFE, 0xFE, 0x80, 0xA0, 0xE844, 0},
};

// Characters two pairs read as, where Windows writes the other pair than glibc.
struct PreferredPair {
  unsigned codePage;
  uint16_t codePoint, bytes;
};

static const PreferredPair PREFERRED_PAIRS[] = {
    {950, 0x2550, 0xF9F9},
    {950, 0x255E, 0xF9E9},
    {950, 0x2561, 0xF9EB},
    {950, 0x256A, 0xF9EA},
};

#define LEAD_BYTE 0xFFFFu   // in single: the byte opens a pair
#define NOT_LEARNT 0u       // in pairs and bytes: not asked yet (no pair reads as U+0000)
#define NO_BYTES 0xFFFFu    // in bytes: the character has none (0xFF opens no pair)
#define LOWEST_TRAIL 0x40u  // below it, a byte after a lead byte stands on its own
#define NO_CONVERTER ((iconv_t)-1)

struct AnsiTables {
  unsigned codePage;
  uint16_t defaultCharacter;  // what an undefined pair or a lone lead byte reads as
  iconv_t toUnicode, fromUnicode;
  uint16_t single[256];     // the character of each byte, or LEAD_BYTE
  uint16_t pairs[0x10000];  // by lead << 8 | trail
  uint16_t bytes[0x10000];  // by code point: a byte, or lead << 8 | trail
};

static AnsiTables tables = {0, 0, NO_CONVERTER, NO_CONVERTER, {}, {}, {}};
static bool chosen = false;

static bool SpanIs(const char* start, size_t length, const char* word) {
  return length == strlen(word) && strncasecmp(start, word, length) == 0;
}

unsigned CodePageOfLocale(const char* name) {
  if (name == nullptr) return DEFAULT_CODE_PAGE;
  size_t languageLength = strcspn(name, "_.@");
  const char* territory = name + languageLength;
  size_t territoryLength = 0;
  if (*territory == '_') territoryLength = strcspn(++territory, ".@");
  const char* modifier = strchr(name, '@');
  modifier = modifier ? modifier + 1 : "";
  for (const LocaleCodePage& row : LOCALE_CODE_PAGES) {
    if (!SpanIs(name, languageLength, row.language)) continue;
    if (row.territory && !SpanIs(territory, territoryLength, row.territory)) continue;
    if (row.modifier && strcasecmp(modifier, row.modifier) != 0) continue;
    return row.codePage;
  }
  return DEFAULT_CODE_PAGE;
}

const char* LocaleOfEnvironment(void) {
  static const char* const VARIABLES[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* variable : VARIABLES) {
    const char* value = getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return nullptr;
}

// Windows' character for a byte (lead 0) or pair that glibc leaves undefined, or 0.
static uint32_t WindowsOnlyCharacter(unsigned lead, unsigned trail) {
  for (const WindowsOnly& row : WINDOWS_ONLY) {
    if (row.codePage != tables.codePage || lead < row.leadFirst || lead > row.leadLast ||
        trail < row.trailFirst || trail > row.trailLast)
      continue;
    return row.codePoint + (lead - row.leadFirst) * row.stride + (trail - row.trailFirst);
  }
  return 0;
}

// The way back: the byte or pair of WINDOWS_ONLY that reads as codePoint, or NO_BYTES.
static unsigned WindowsOnlyBytes(uint32_t codePoint) {
  for (const WindowsOnly& row : WINDOWS_ONLY) {
    if (row.codePage != tables.codePage || codePoint < row.codePoint) continue;
    unsigned offset = codePoint - row.codePoint;
    unsigned width = row.trailLast - row.trailFirst + 1u;
    unsigned lead = row.leadFirst + (row.stride ? offset / row.stride : 0u);
    unsigned trail = row.trailFirst + (row.stride ? offset % row.stride : offset);
    if (lead <= row.leadLast && trail - row.trailFirst < width) {
      return lead ? lead << 8 | trail : trail;
    }
  }
  return NO_BYTES;
}

// Runs one whole conversion, flushing what a composing converter holds back; the bytes
// written, or 0 when it fails (incomplete is then set for input that stops mid-character).
static size_t Convert(iconv_t converter, const char* in, size_t length, char* out, size_t room,
                      bool* incomplete) {
  iconv(converter, nullptr, nullptr, nullptr, nullptr);
  char* inPointer = const_cast<char*>(in);
  char* outPointer = out;
  size_t inLeft = length, outLeft = room;
  size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
  if (incomplete) *incomplete = result == (size_t)-1 && errno == EINVAL;
  if (result == (size_t)-1 ||
      iconv(converter, nullptr, nullptr, &outPointer, &outLeft) == (size_t)-1)
    return 0;
  return room - outLeft;
}

// glibc's one character for the bytes, or 0.
static uint32_t IconvCharacter(const unsigned char* in, size_t length, bool* incomplete) {
  unsigned char out[8];
  if (Convert(tables.toUnicode, (const char*)in, length, (char*)out, sizeof out, incomplete) != 4)
    return 0;
  uint32_t codePoint = out[0] | out[1] << 8 | out[2] << 16 | (uint32_t)out[3] << 24;
  return codePoint < 0x10000 ? codePoint : 0;
}

static uint16_t LearnSingle(unsigned byte) {
  if (byte == 0) return 0;
  unsigned char in = (unsigned char)byte;
  bool incomplete = false;
  uint32_t codePoint = IconvCharacter(&in, 1, &incomplete);
  if (codePoint != 0) return (uint16_t)codePoint;
  if (incomplete) return LEAD_BYTE;
  for (const WindowsOnly& row : WINDOWS_ONLY) {
    if (row.codePage == tables.codePage && row.leadFirst && byte >= row.leadFirst &&
        byte <= row.leadLast)
      return LEAD_BYTE;  // opens only user-defined pairs
  }
  codePoint = WindowsOnlyCharacter(0, byte);
  if (codePoint != 0) return (uint16_t)codePoint;
  return byte >= 0x80 && byte <= 0x9F ? (uint16_t)byte : tables.defaultCharacter;
}

static uint16_t PairCharacter(unsigned lead, unsigned trail) {
  uint16_t* entry = &tables.pairs[lead << 8 | trail];
  if (*entry == NOT_LEARNT) {
    const unsigned char in[2] = {(unsigned char)lead, (unsigned char)trail};
    uint32_t codePoint = IconvCharacter(in, 2, nullptr);
    if (codePoint == 0) codePoint = WindowsOnlyCharacter(lead, trail);
    *entry = codePoint ? (uint16_t)codePoint : tables.defaultCharacter;
  }
  return *entry;
}

static unsigned LearnBytes(uint32_t codePoint) {
  if (tables.codePage == DEFAULT_CODE_PAGE) {
    int byte = UnicodeToCp1252(codePoint);
    return byte == NO_CP1252_BYTE ? NO_BYTES : (unsigned)byte;
  }
  for (const PreferredPair& row : PREFERRED_PAIRS) {
    if (row.codePage == tables.codePage && row.codePoint == codePoint) return row.bytes;
  }
  const unsigned char in[4] = {(unsigned char)codePoint, (unsigned char)(codePoint >> 8), 0, 0};
  unsigned char out[8];
  size_t size = Convert(tables.fromUnicode, (const char*)in, 4, (char*)out, sizeof out, nullptr);
  // Taken only when the bytes read back as the character.
  if (size == 1 && tables.single[out[0]] == codePoint) return out[0];
  if (size == 2 && tables.single[out[0]] == LEAD_BYTE && out[1] >= LOWEST_TRAIL &&
      PairCharacter(out[0], out[1]) == codePoint)
    return out[0] << 8 | out[1];
  if (codePoint >= 0x80 && codePoint <= 0x9F && tables.single[codePoint] == codePoint)
    return codePoint;
  return WindowsOnlyBytes(codePoint);
}

bool UseCodePage(unsigned codePage) {
  if (tables.toUnicode != NO_CONVERTER) iconv_close(tables.toUnicode);
  if (tables.fromUnicode != NO_CONVERTER) iconv_close(tables.fromUnicode);
  tables.toUnicode = tables.fromUnicode = NO_CONVERTER;
  if (chosen) {
    memset(tables.pairs, 0, sizeof tables.pairs);
    memset(tables.bytes, 0, sizeof tables.bytes);
  }
  chosen = true;
  bool known = codePage == DEFAULT_CODE_PAGE;
  for (const LocaleCodePage& row : LOCALE_CODE_PAGES) known = known || row.codePage == codePage;
  char name[16];
  snprintf(name, sizeof name, "CP%u", codePage);
  if (known && codePage != DEFAULT_CODE_PAGE) {
    tables.toUnicode = iconv_open("UTF-32LE", name);
    tables.fromUnicode = iconv_open(name, "UTF-32LE");
  }
  if (tables.toUnicode == NO_CONVERTER || tables.fromUnicode == NO_CONVERTER) {
    if (tables.toUnicode != NO_CONVERTER) iconv_close(tables.toUnicode);
    if (tables.fromUnicode != NO_CONVERTER) iconv_close(tables.fromUnicode);
    tables.toUnicode = tables.fromUnicode = NO_CONVERTER;
    tables.codePage = DEFAULT_CODE_PAGE;
    tables.defaultCharacter = UNMAPPABLE_CHARACTER;
    for (unsigned byte = 0; byte < 256; ++byte)
      tables.single[byte] = (uint16_t)Cp1252ToUnicode(byte);
    return codePage == DEFAULT_CODE_PAGE;
  }
  tables.codePage = codePage;
  tables.defaultCharacter = codePage == 932 ? 0x30FB : UNMAPPABLE_CHARACTER;
  for (unsigned byte = 0; byte < 256; ++byte) tables.single[byte] = LearnSingle(byte);
  return true;
}

unsigned AnsiCodePage(void) {
  if (!chosen) UseCodePage(CodePageOfLocale(LocaleOfEnvironment()));
  return tables.codePage;
}

size_t AnsiToUnicode(const unsigned char* p, const unsigned char* end, uint32_t* codePoint) {
  uint16_t single = tables.single[p[0]];
  if (single != LEAD_BYTE) {
    *codePoint = single;
    return 1;
  }
  if (end - p < 2 || p[1] < LOWEST_TRAIL) {
    *codePoint = tables.defaultCharacter;
    return 1;
  }
  *codePoint = PairCharacter(p[0], p[1]);
  return 2;
}

size_t UnicodeToAnsi(uint32_t codePoint, char* out) {
  unsigned bytes = NO_BYTES;
  if (codePoint < 0x10000) {
    bytes = tables.bytes[codePoint];
    if (bytes == NOT_LEARNT) tables.bytes[codePoint] = (uint16_t)(bytes = LearnBytes(codePoint));
  }
  if (bytes < 0x100) {
    if (out) out[0] = (char)bytes;
    return 1;
  }
  if (bytes == NO_BYTES) {
    if (out) out[0] = UNMAPPABLE_CHARACTER;
    return 1;
  }
  if (out) {
    out[0] = (char)(bytes >> 8);
    out[1] = (char)bytes;
  }
  return 2;
}
