// CF_TEXT, the Windows text format, against the desktop's text: the ANSI code page of the
// user's locale, the byte table of Windows-1252 and the translations both ways, line ends
// included.
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

// ---- The ANSI code page (codepage.cpp) ------------------------------------------------
#define DEFAULT_CODE_PAGE 1252u
// The code page Windows gives a locale such as "ru_RU.UTF-8"; DEFAULT_CODE_PAGE for null.
unsigned CodePageOfLocale(const char* name);
// The first of LC_ALL, LC_CTYPE and LANG that is set and not empty, or null.
const char* LocaleOfEnvironment(void);
// The run's code page, chosen from the environment on the first call.
unsigned AnsiCodePage(void);
// Makes codePage the run's code page instead; false (and 1252 in use) when it is not one
// of the table's or glibc has no converter for it.
bool UseCodePage(unsigned codePage);
// One CF_TEXT character from [p, end), p < end, in the run's code page: the bytes it took.
size_t AnsiToUnicode(const unsigned char* p, const unsigned char* end, uint32_t* codePoint);
// The CF_TEXT bytes of a character (1 or 2, "?" when it has none), written to out unless
// out is null; the count.
size_t UnicodeToAnsi(uint32_t codePoint, char* out);

// ---- Translations (desktoptext.cpp) -----------------------------------------------------
typedef size_t (*Translation)(const char* in, size_t length, char* out);
// Each reads length bytes of input and writes the translation to out, or only counts it
// when out is null; the result is the translation's length in bytes. No NUL is written,
// so a caller sizes with a null out, allocates the size plus one and translates again.
//
// CF_TEXT to the desktop: each CR LF becomes LF (a lone CR stays); bytes are in the run's
// code page (AnsiCodePage). Latin-1 gets "?" for a character it lacks.
size_t TextToUtf8(const char* text, size_t length, char* out);
size_t TextToLatin1(const char* text, size_t length, char* out);
// The desktop to CF_TEXT: each LF not preceded by CR becomes CR LF; a character without
// bytes in the code page, and each malformed UTF-8 sequence, becomes "?". A NUL ends the
// text, as it ends every CF_TEXT.
size_t Utf8ToText(const char* desktop, size_t length, char* out);
size_t Latin1ToText(const char* desktop, size_t length, char* out);

#endif  // QUILLET_PLATFORM_POSIX_DESKTOPTEXT_H
