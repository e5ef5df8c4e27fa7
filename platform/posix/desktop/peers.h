// What the clipboard grants another program, the same on every connection: answers to
// readers of ours (one table of slots, one eviction rule, one deadline rule) and our own
// reading of an owner's text (one total deadline, a byte cap). Another program's pace and
// size never decide how long we wait or how much memory we take.
#ifndef QUILLET_PLATFORM_POSIX_PEERS_H
#define QUILLET_PLATFORM_POSIX_PEERS_H

#include <cstddef>
#include <cstdint>

// ---- The deadline rule ------------------------------------------------------------------
// How long one side may take over one text, from the request to the last byte. An honest
// program moves a pipe or a property at many MB per second, and even one that is busy for
// a few seconds first finishes well within this. A total, never reset by progress, so a
// peer that moves a page now and then cannot stretch it.
#define PEER_TIME_BASE 5000    // ms
#define PEER_TIME_PER_MB 1000  // ms for each MB (2^20 bytes) of the text
// The monotonic ms by which a text of length bytes asked for at start must have moved.
int64_t PeerDeadline(int64_t start, size_t length);

// ---- Answers to readers of ours ------------------------------------------------------------
// Answers under way at once on one connection. A request beyond this is never refused: it
// takes the slot of the reader that has been silent longest.
#define MAX_ANSWERS 16

struct Answer {
  bool active;
  const char* data;  // into the desktop's text, which outlives every answer from it
  size_t length;
  size_t sent;
  int64_t lastStep;  // when the reader asked or last took bytes (monotonic ms)
  int64_t deadline;  // PeerDeadline of the request
  // The reader: an X11 requestor's window, its property and the type answered; or a pipe.
  unsigned long window;
  unsigned long property;
  unsigned long type;
  int fd;
};

struct AnswerTable {
  Answer slots[MAX_ANSWERS];
};

// What the connection undoes as one of its answers ends (closing the pipe, say).
typedef void (*AnswerEnding)(void* session, Answer* answer);

// A slot for a new answer of length bytes from data, asked for now: a free one, else the
// one whose reader has been silent longest, ended first. Its reader fields are the
// caller's to fill.
Answer* StartAnswer(AnswerTable* table, AnswerEnding ending, void* session, const char* data,
                    size_t length);
// The reader took count more bytes.
void AnswerMoved(Answer* answer, size_t count);
void EndAnswer(Answer* answer, AnswerEnding ending, void* session);
// Ends the answers past their deadline; the earliest deadline of the others, or
// NO_DEADLINE when none is under way.
int64_t ExpireAnswers(AnswerTable* table, AnswerEnding ending, void* session);
void EndAnswers(AnswerTable* table, AnswerEnding ending, void* session);
bool AnswersUnderWay(const AnswerTable* table);

// ---- Reading another program's text ---------------------------------------------------------
// The most we take: far above any text for a handheld, and a bound on our memory whatever
// the owner sends.
#define READ_CAP (16u << 20)

struct PeerRead {
  bool underWay;
  char* data;  // malloc'd; what has arrived
  size_t length;
  size_t capacity;
  int64_t started;       // monotonic ms of the request
  unsigned long status;  // once ended: 0, or why there is no text
};

void BeginPeerRead(PeerRead* read);
// Appends count bytes. False when that passes READ_CAP or memory runs out: the read has
// ended then, and said why.
bool AddToPeerRead(PeerRead* read, const void* bytes, size_t count);
// Ends the read with status (0: the text is whole; else what arrived is dropped). why,
// unless null, goes to the system log as "clipboard: WHY".
void EndPeerRead(PeerRead* read, unsigned long status, const char* why);
// Ends a read that is past PeerDeadline of what has arrived. Its deadline while it runs
// on, or NO_DEADLINE when it is not under way.
int64_t ExpirePeerRead(PeerRead* read);
// Hands an ended read's text over: 0 with *data (malloc'd, NUL-terminated, the caller
// frees) and *length, or the status it ended with.
unsigned long TakePeerRead(PeerRead* read, char** data, size_t* length);

// The earlier of two deadlines (NO_DEADLINE is later than any).
int64_t EarlierDeadline(int64_t a, int64_t b);

#endif  // QUILLET_PLATFORM_POSIX_PEERS_H
