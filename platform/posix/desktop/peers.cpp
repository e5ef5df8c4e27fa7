// The bounds on other programs (peers.h), shared by the X11 and the Wayland clipboard.
#include "desktop/peers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"

int64_t PeerDeadline(int64_t start, size_t length) {
  return start + PEER_TIME_BASE + (int64_t)(length >> 10) * PEER_TIME_PER_MB / 1024;
}

int64_t EarlierDeadline(int64_t a, int64_t b) {
  if (a == NO_DEADLINE) return b;
  return b == NO_DEADLINE || a < b ? a : b;
}

// ---- Answers ----------------------------------------------------------------------------------
void EndAnswer(Answer* answer, AnswerEnding ending, void* session) {
  answer->active = false;
  ending(session, answer);
}

Answer* StartAnswer(AnswerTable* table, AnswerEnding ending, void* session, const char* data,
                    size_t length) {
  Answer* slot = nullptr;
  for (Answer& answer : table->slots) {
    if (!answer.active) {
      slot = &answer;
      break;
    }
    if (slot == nullptr || answer.lastStep < slot->lastStep) slot = &answer;
  }
  if (slot->active) EndAnswer(slot, ending, session);
  int64_t now = MonotonicMilliseconds();
  *slot = Answer{true, data, length, 0, now, PeerDeadline(now, length), 0, 0, 0, -1};
  return slot;
}

void AnswerMoved(Answer* answer, size_t count) {
  answer->sent += count;
  answer->lastStep = MonotonicMilliseconds();
}

int64_t ExpireAnswers(AnswerTable* table, AnswerEnding ending, void* session) {
  int64_t now = MonotonicMilliseconds();
  int64_t due = NO_DEADLINE;
  for (Answer& answer : table->slots) {
    if (!answer.active) continue;
    if (now >= answer.deadline) {
      EndAnswer(&answer, ending, session);
    } else {
      due = EarlierDeadline(due, answer.deadline);
    }
  }
  return due;
}

void EndAnswers(AnswerTable* table, AnswerEnding ending, void* session) {
  for (Answer& answer : table->slots) {
    if (answer.active) EndAnswer(&answer, ending, session);
  }
}

bool AnswersUnderWay(const AnswerTable* table) {
  for (const Answer& answer : table->slots) {
    if (answer.active) return true;
  }
  return false;
}

// ---- Reading ----------------------------------------------------------------------------------
void BeginPeerRead(PeerRead* read) {
  free(read->data);
  *read = PeerRead{true, nullptr, 0, 0, MonotonicMilliseconds(), 0};
}

bool AddToPeerRead(PeerRead* read, const void* bytes, size_t count) {
  if (!read->underWay) return false;
  if (count > READ_CAP - read->length) {
    char why[96];
    snprintf(why, sizeof why, "the owner's text is longer than %u MiB: not taken",
             READ_CAP >> 20);
    EndPeerRead(read, ERROR_NOT_ENOUGH_MEMORY, why);
    return false;
  }
  // Room for the NUL too; doubling keeps a long text's copying linear, and the cap bounds it.
  size_t needed = read->length + count + 1;
  if (needed > read->capacity) {
    size_t capacity = read->capacity != 0 ? read->capacity : 65536;
    while (capacity < needed) capacity *= 2;
    if (capacity > READ_CAP + 1) capacity = READ_CAP + 1;
    char* grown = (char*)realloc(read->data, capacity);
    if (grown == nullptr) {
      EndPeerRead(read, ERROR_NOT_ENOUGH_MEMORY, "no memory for the owner's text");
      return false;
    }
    read->data = grown;
    read->capacity = capacity;
  }
  memcpy(read->data + read->length, bytes, count);
  read->length += count;
  return true;
}

void EndPeerRead(PeerRead* read, unsigned long status, const char* why) {
  read->underWay = false;
  read->status = status;
  if (status == 0) return;
  free(read->data);
  read->data = nullptr;
  read->length = read->capacity = 0;
  if (why != nullptr) {
    char line[160];
    snprintf(line, sizeof line, "clipboard: %s", why);
    OutputDebugStringA(line);
  }
}

int64_t ExpirePeerRead(PeerRead* read) {
  if (!read->underWay) return NO_DEADLINE;
  int64_t deadline = PeerDeadline(read->started, read->length);
  if (MonotonicMilliseconds() < deadline) return deadline;
  char why[128];
  snprintf(why, sizeof why, "the owner sent %zu bytes of its text in %lld ms and no more: not taken",
           read->length, (long long)(deadline - read->started));
  EndPeerRead(read, ERROR_TIMEOUT, why);
  return NO_DEADLINE;
}

unsigned long TakePeerRead(PeerRead* read, char** data, size_t* length) {
  if (read->underWay) EndPeerRead(read, ERROR_TIMEOUT, nullptr);  // never finished
  if (read->status != 0) return read->status;
  if (read->data == nullptr) read->data = (char*)malloc(1);  // an empty text, for the NUL
  if (read->data == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  read->data[read->length] = '\0';
  *data = read->data;
  *length = read->length;
  read->data = nullptr;
  read->length = read->capacity = 0;
  return 0;
}
