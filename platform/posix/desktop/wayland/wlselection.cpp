// The Wayland selection through data-control: reading another program's offer, and
// offering our own text from a source of ours.
//
// Contract kept from Windows (GetClipboardData's and SetClipboardData's side of it):
// - The text is read as text/plain;charset=utf-8, else UTF8_STRING, else text/plain (all
//   taken as UTF-8), from a pipe read without blocking in the desktop's wait, with the
//   deadline and the cap of every read of another program's text (peers.h): a source that
//   falls silent or never stops writing cannot hang the program or fill its memory.
// - Once set, the text is offered to every program as text/plain;charset=utf-8,
//   UTF8_STRING, TEXT, STRING (Latin-1, "?" for what it lacks) and text/plain. An empty
//   clipboard (owned, no text yet) is a source that offers nothing.
// - Each request is answered in full unless the reader has not read it all by its
//   deadline or goes away; a vanished reader (SIGPIPE) harms nothing. Answers are never
//   written while the request is dispatched: each is written, without blocking, as its
//   pipe takes more, in the wait, so a reader that stops reading holds up no other reader
//   and no caller. They live in the answer slots (peers.h), as X11's do.
// - The selection stays ours until the compositor cancels our source (another program's
//   copy); answers under way still end then.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "desktop/text/offeredtext.h"
#include "posix.h"
#include "desktop/wayland/wlwing.h"

static const char* const MIME_TYPES[] = {"text/plain;charset=utf-8", "UTF8_STRING", "TEXT",
                                         "STRING", "text/plain"};
#define MIME_TYPE_COUNT (sizeof MIME_TYPES / sizeof MIME_TYPES[0])
#define LATIN1_TYPE 3  // STRING; the others carry UTF-8
// What we read, best first (indices into MIME_TYPES).
static const int READ_ORDER[] = {0, 1, 4};
#define READ_CHUNK 65536

static int MimeIndex(const char* mime) {
  for (size_t i = 0; i < MIME_TYPE_COUNT; ++i) {
    if (strcmp(mime, MIME_TYPES[i]) == 0) return (int)i;
  }
  return -1;
}

static void DestroyOffer(WlSession* session, wl_proxy* offer) {
  if (offer != nullptr) session->protocol->destroyOffer(offer);
}

// ---- Offers ---------------------------------------------------------------------------------
void WlOfferType(WlSession* session, wl_proxy* offer, const char* mime) {
  int index = MimeIndex(mime);
  if (offer == session->introduced && index >= 0) session->introducedTypes |= 1u << index;
}

void WlIntroduceOffer(WlSession* session, wl_proxy* offer) {
  DestroyOffer(session, session->introduced);  // introduced but never named
  session->introduced = offer;
  session->introducedTypes = 0;
}

void WlNameSelection(WlSession* session, wl_proxy* offer) {
  if (session->offer != offer) DestroyOffer(session, session->offer);
  session->offer = offer;
  session->offerTypes =
      offer != nullptr && offer == session->introduced ? session->introducedTypes : 0;
  if (offer == session->introduced) session->introduced = nullptr;
  session->selectionAt = MonotonicMilliseconds();
}

// The primary selection is not the clipboard: its offers are dropped.
void WlNamePrimarySelection(WlSession* session, wl_proxy* offer) {
  if (offer == nullptr || offer != session->introduced) return;
  DestroyOffer(session, offer);
  session->introduced = nullptr;
}

bool WlOffersText(const WlSession* session) {
  for (int index : READ_ORDER) {
    if (session->offerTypes & (1u << index)) return true;
  }
  return false;
}

int64_t WlSelectionNamedAt(const WlSession* session) { return session->selectionAt; }

// ---- Reading the selection ---------------------------------------------------------------------
static void EndRead(WlSession* session, unsigned long status, const char* why) {
  EndPeerRead(&session->read, status, why);
  if (session->readFd >= 0) close(session->readFd);
  session->readFd = -1;
}

void WlAskText(WlSession* session) {
  BeginPeerRead(&session->read);
  const char* mime = nullptr;
  for (int index : READ_ORDER) {
    if (mime == nullptr && (session->offerTypes & (1u << index))) mime = MIME_TYPES[index];
  }
  int ends[2];
  if (mime == nullptr || session->offer == nullptr || session->lost) {
    EndRead(session, ERROR_NOT_SUPPORTED, nullptr);
  } else if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    EndRead(session, ErrorFromErrno(errno), nullptr);
  } else {
    session->protocol->receive(session->offer, mime, ends[1]);
    close(ends[1]);  // the request holds its own copy until it is sent
    session->readFd = ends[0];
  }
}

// Takes what the pipe holds now, up to the cap; the end of the pipe ends the read.
static void ReadOn(WlSession* session) {
  char chunk[READ_CHUNK];
  for (;;) {
    ssize_t got = read(session->readFd, chunk, sizeof chunk);
    if (got > 0) {
      if (!AddToPeerRead(&session->read, chunk, (size_t)got)) {
        EndRead(session, session->read.status, nullptr);  // said already
        return;
      }
    } else if (got == 0) {
      EndRead(session, 0, nullptr);
      return;
    } else if (errno != EINTR) {
      if (errno != EAGAIN) EndRead(session, ErrorFromErrno(errno), "the owner's pipe failed");
      return;
    }
  }
}

unsigned long WlTakeText(WlSession* session, char** data, size_t* length) {
  if (session->read.underWay) EndRead(session, ERROR_TIMEOUT, nullptr);
  return TakePeerRead(&session->read, data, length);
}

// ---- Answers ---------------------------------------------------------------------------------
static void EndWrite(void*, Answer* write) { close(write->fd); }

bool WlAnswersUnderWay(const WlSession* session) { return AnswersUnderWay(&session->answers); }

void WlEndAnswers(WlSession* session) { EndAnswers(&session->answers, EndWrite, session); }

int WlAnswerPipes(const WlSession* session, int* fds) {
  int count = 0;
  for (const Answer& write : session->answers.slots) {
    if (write.active) fds[count++] = write.fd;
  }
  return count;
}

int WlPipesToPoll(WlSession* session, struct pollfd* fds, int64_t* due) {
  int count = 0;
  session->readPolled = false;
  if (session->read.underWay) {
    int64_t deadline = ExpirePeerRead(&session->read);
    if (session->read.underWay) {
      *due = EarlierDeadline(*due, deadline);
      fds[count++] = {session->readFd, POLLIN, 0};
      session->readPolled = true;
    } else {
      EndRead(session, session->read.status, nullptr);  // said already
    }
  }
  *due = EarlierDeadline(*due, ExpireAnswers(&session->answers, EndWrite, session));
  for (const Answer& write : session->answers.slots) {
    if (write.active) fds[count++] = {write.fd, POLLOUT, 0};
  }
  return count;
}

// As much as the pipe takes now. False when the answer has ended (whole, or the reader
// went away).
static bool WriteOn(Answer* write) {
  while (write->sent < write->length) {
    ssize_t written = ::write(write->fd, write->data + write->sent, write->length - write->sent);
    if (written > 0) {
      AnswerMoved(write, (size_t)written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return written < 0 && errno == EAGAIN;
    }
  }
  return false;
}

void WlContinuePipes(WlSession* session, const struct pollfd* fds, int count) {
  if (session->readPolled) {
    if (fds[0].revents != 0) ReadOn(session);
    ++fds;
    --count;
  }
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);  // a reader that went away is no reason to die
  for (int i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    for (Answer& write : session->answers.slots) {
      if (write.active && write.fd == fds[i].fd && !WriteOn(&write))
        EndAnswer(&write, EndWrite, session);
    }
  }
  sigaction(SIGPIPE, &previous, nullptr);
}

// ---- Our source -------------------------------------------------------------------------------
// Only takes the request: the wait writes the answer.
void WlSendText(WlSession* session, wl_proxy* source, const char* mime, int32_t fd) {
  int index = MimeIndex(mime);
  const OfferedText* text = session->text;
  if (source != session->source || text == nullptr || index < 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    close(fd);
    return;
  }
  bool latin1 = index == LATIN1_TYPE;
  Answer* write = StartAnswer(&session->answers, EndWrite, session,
                              latin1 ? text->latin1 : text->utf8,
                              latin1 ? text->latin1Length : text->utf8Length);
  write->fd = fd;
}

void WlCancelSource(WlSession* session, wl_proxy* source) {
  if (source == session->source) {
    session->source = nullptr;
    session->owner = false;
  }
  session->protocol->destroySource(source);
}

void WlOffer(WlSession* session, const OfferedText* text) {
  if (text != nullptr && text->utf8 == nullptr) text = nullptr;
  wl_proxy* source = session->lost ? nullptr
                                   : session->protocol->createSource(session->manager, session);
  // Our previous source is replaced: nothing more is asked of it, and answers from its
  // text end with it.
  if (session->source != nullptr) session->protocol->destroySource(session->source);
  session->source = source;
  WlEndAnswers(session);
  session->text = text;
  session->owner = source != nullptr;
  if (source == nullptr) return;
  for (size_t i = 0; text != nullptr && i < MIME_TYPE_COUNT; ++i)
    session->protocol->offerType(source, MIME_TYPES[i]);
  session->protocol->setSelection(session->device, source);
  WlSync(session);
}

bool WlOwner(const WlSession* session) { return session->owner && !session->lost; }

void WlDropSelection(WlSession* session) {
  WlEndAnswers(session);
  EndRead(session, ERROR_INVALID_DATA, nullptr);
  if (session->source != nullptr) session->protocol->destroySource(session->source);
  DestroyOffer(session, session->offer);
  DestroyOffer(session, session->introduced);
  session->source = session->offer = session->introduced = nullptr;
  session->owner = false;
  session->text = nullptr;
}
