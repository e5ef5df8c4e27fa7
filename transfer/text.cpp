// The two line-end conversions between the clipboard's CR LF and the wire's LF.
#include <cstring>

#include "transfer/transfer.h"

// Finds the next byte c in [from, end), or end.
static char* Next(char* from, const char* end, char c) {
  char* found = (char*)memchr(from, c, (size_t)(end - from));
  return found ? found : (char*)end;
}

void StripCarriageReturns(char* text) {
  char* end = text + strlen(text);
  char* read = Next(text, end, '\r');
  char* write = read;
  // read always stands on a CR here; move the run up to the next CR in one piece, leaving
  // the CR behind when an LF follows it.
  while (read < end) {
    char* runStart = read[1] == '\n' ? read + 1 : read;
    char* runEnd = Next(read + 1, end, '\r');
    size_t runLength = (size_t)(runEnd - runStart);
    memmove(write, runStart, runLength);
    write += runLength;
    read = runEnd;
  }
  *write = '\0';
}

HGLOBAL ExpandLineFeeds(HGLOBAL block) {
  char* text = (char*)GlobalLock(block);
  if (text == nullptr) return block;
  // One pass finds both the line feeds and the end.
  size_t lineFeeds = 0;
  char* tail = text;
  for (char* lineFeed; (lineFeed = strchr(tail, '\n')) != nullptr; tail = lineFeed + 1) {
    ++lineFeeds;
  }
  char* end = tail + strlen(tail);

  HGLOBAL expanded = GlobalAlloc(GMEM_MOVEABLE, (size_t)(end - text) + lineFeeds + 1);
  char* out = expanded ? (char*)GlobalLock(expanded) : nullptr;
  if (out == nullptr) {
    if (expanded) GlobalFree(expanded);
    GlobalUnlock(block);
    return block;
  }
  // Every LF gets a CR before it, whatever precedes it.
  for (char* read = text; read < end;) {
    char* lineFeed = Next(read, end, '\n');
    size_t runLength = (size_t)(lineFeed - read);
    memcpy(out, read, runLength);
    out += runLength;
    if (lineFeed == end) break;
    *out++ = '\r';
    *out++ = '\n';
    read = lineFeed + 1;
  }
  *out = '\0';
  GlobalUnlock(expanded);
  GlobalUnlock(block);
  GlobalFree(block);
  return expanded;
}
