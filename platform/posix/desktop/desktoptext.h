// CF_TEXT, the Windows text format, against the desktop's text: the byte table of
// Windows-1252 and the translations both ways, line ends included.
#ifndef QUILLET_PLATFORM_POSIX_DESKTOPTEXT_H
#define QUILLET_PLATFORM_POSIX_DESKTOPTEXT_H

#include <cstddef>
#include <cstdint>

// What a character without a byte of the target encoding becomes.
#define UNMAPPABLE_CHARACTER '?'
#define NO_CP1252_BYTE (-1)

// ---- Windows-1252 (cp1252.cpp) ----------------------------------------------------------
// The Unicode code point of a Windows-1252 byte (every byte has one).
uint32_t Cp1252ToUnicode(unsigned char byte);
// The Windows-1252 byte of a code point, or NO_CP1252_BYTE.
int UnicodeToCp1252(uint32_t codePoint);

// ---- Translations (desktoptext.cpp) -----------------------------------------------------
typedef size_t (*Translation)(const char* in, size_t length, char* out);
// Each reads length bytes of input and writes the translation to out, or only counts it
// when out is null; the result is the translation's length in bytes. No NUL is written,
// so a caller sizes with a null out, allocates the size plus one and translates again.
//
// CF_TEXT to the desktop: each CR LF becomes LF (a lone CR stays); bytes are
// Windows-1252. Latin-1 gets "?" for a character it lacks.
size_t TextToUtf8(const char* text, size_t length, char* out);
size_t TextToLatin1(const char* text, size_t length, char* out);
// The desktop to CF_TEXT: each LF not preceded by CR becomes CR LF; a character without a
// Windows-1252 byte, and each malformed UTF-8 sequence, becomes "?". A NUL ends the text,
// as it ends every CF_TEXT.
size_t Utf8ToText(const char* desktop, size_t length, char* out);
size_t Latin1ToText(const char* desktop, size_t length, char* out);

#endif  // QUILLET_PLATFORM_POSIX_DESKTOPTEXT_H
