// The clipboard's text crosses from CF_TEXT to the desktop's text here, both ways.
//
// Contract kept from Windows (as Wine keeps it for its X11 clipboard):
// - CF_TEXT holds bytes of the ANSI code page (codepage.cpp: the user's locale decides,
//   1252 by default) with CR LF line ends; the desktop holds UTF-8 (or Latin-1 for the old
//   STRING target) with LF line ends.
// - To the desktop every CR LF becomes LF and nothing else changes: a lone CR stays, so a
//   text "x CR CR LF y" is seen there as "x CR LF y". No trail byte of a double-byte code
//   page is a CR or LF, so the line ends are found byte by byte.
// - From the desktop every LF not preceded by CR becomes CR LF, and a CR LF stays as it
//   is. A character the code page lacks, or a malformed UTF-8 sequence (counted the way
//   Unicode recommends: the longest valid start of a sequence), becomes one "?". A NUL
//   ends the text, as CF_TEXT ends at its first NUL.
// - Counting and writing give the same length: the code page's tables are filled as
//   characters are first met, and both passes read the same entries.
#include "desktop/text/desktoptext.h"

#define REPLACEMENT_CHARACTER 0xFFFDu  // stands for a malformed sequence; has no byte

// Writes one character in the desktop's encoding; returns the bytes it takes. out may be
// null to count only.
typedef size_t (*EncodeFunction)(uint32_t codePoint, char* out);
// Reads one character from [p, end), p < end; returns the bytes it took (at least one).
typedef size_t (*DecodeFunction)(const unsigned char* p, const unsigned char* end,
                                 uint32_t* codePoint);

static size_t EncodeUtf8(uint32_t codePoint, char* out) {
  // The code pages reach no further than U+FFFF, so three bytes always do.
  if (codePoint < 0x80) {
    if (out) out[0] = (char)codePoint;
    return 1;
  }
  if (codePoint < 0x800) {
    if (out) {
      out[0] = (char)(0xC0 | (codePoint >> 6));
      out[1] = (char)(0x80 | (codePoint & 0x3F));
    }
    return 2;
  }
  if (out) {
    out[0] = (char)(0xE0 | (codePoint >> 12));
    out[1] = (char)(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = (char)(0x80 | (codePoint & 0x3F));
  }
  return 3;
}

static size_t EncodeLatin1(uint32_t codePoint, char* out) {
  if (out) out[0] = codePoint < 0x100 ? (char)codePoint : UNMAPPABLE_CHARACTER;
  return 1;
}

static size_t DecodeLatin1(const unsigned char* p, const unsigned char*, uint32_t* codePoint) {
  *codePoint = *p;
  return 1;
}

static bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

static size_t DecodeUtf8(const unsigned char* p, const unsigned char* end, uint32_t* codePoint) {
  unsigned char lead = p[0];
  if (lead < 0x80) {
    *codePoint = lead;
    return 1;
  }
  size_t size;
  uint32_t value;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    *codePoint = REPLACEMENT_CHARACTER;
    return 1;
  }
  for (size_t i = 1; i < size; ++i) {
    bool fits = p + i < end && (i == 1 ? p[i] >= low && p[i] <= high : IsContinuation(p[i]));
    if (!fits) {
      *codePoint = REPLACEMENT_CHARACTER;  // the valid start so far counts as one
      return i;
    }
    value = (value << 6) | (p[i] & 0x3F);
  }
  *codePoint = value;
  return size;
}

static size_t FromText(const char* text, size_t length, EncodeFunction encode, char* out) {
  const unsigned char* p = (const unsigned char*)text;
  const unsigned char* end = p + length;
  size_t written = 0;
  AnsiCodePage();
  while (p < end) {
    if (p[0] == '\r' && p + 1 < end && p[1] == '\n') {
      ++p;
      continue;
    }
    uint32_t codePoint;
    p += AnsiToUnicode(p, end, &codePoint);
    written += encode(codePoint, out ? out + written : nullptr);
  }
  return written;
}

static size_t ToText(const char* desktop, size_t length, DecodeFunction decode, char* out) {
  const unsigned char* p = (const unsigned char*)desktop;
  const unsigned char* end = p + length;
  size_t written = 0;
  uint32_t previous = 0;
  AnsiCodePage();
  while (p < end) {
    uint32_t codePoint;
    p += decode(p, end, &codePoint);
    if (codePoint == 0) break;
    if (codePoint == '\n' && previous != '\r') {
      if (out) out[written] = '\r';
      ++written;
    }
    written += UnicodeToAnsi(codePoint, out ? out + written : nullptr);
    previous = codePoint;
  }
  return written;
}

size_t TextToUtf8(const char* text, size_t length, char* out) {
  return FromText(text, length, EncodeUtf8, out);
}

size_t TextToLatin1(const char* text, size_t length, char* out) {
  return FromText(text, length, EncodeLatin1, out);
}

size_t Utf8ToText(const char* desktop, size_t length, char* out) {
  return ToText(desktop, length, DecodeUtf8, out);
}

size_t Latin1ToText(const char* desktop, size_t length, char* out) {
  return ToText(desktop, length, DecodeLatin1, out);
}
