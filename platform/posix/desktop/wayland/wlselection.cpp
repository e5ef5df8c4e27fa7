// The Wayland selection through data-control: reading another program's offer, and
// offering our own text from a source of ours.
//
// Contract kept from Windows (GetClipboardData's and SetClipboardData's side of it):
// - The text is read as text/plain;charset=utf-8, else UTF8_STRING, else text/plain (all
//   taken as UTF-8). A source that falls silent for WL_READ_STEP_TIMEOUT ends the read
//   with ERROR_TIMEOUT: the clipboard never hangs the program.
// - Once set, the text is offered to every program as text/plain;charset=utf-8,
//   UTF8_STRING, TEXT, STRING (Latin-1, "?" for what it lacks) and text/plain. An empty
//   clipboard (owned, no text yet) is a source that offers nothing.
// - Each request is answered in full unless the reader has not read it all by its
//   deadline (ReaderDeadline) or goes away; a vanished reader (SIGPIPE) harms nothing.
//   Answers are never written while the request is dispatched: each is written, without
//   blocking, as its pipe takes more, in the waits on the connection (WlPrepareWait,
//   WlFinishWait), so a reader that stops reading holds up no other reader and no caller.
// - The selection stays ours until the compositor cancels our source (another program's
//   copy); answers under way still end then, and the text lasts until they have.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/wayland/wlselection.h"

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

static void Destroy(wl_proxy* proxy, uint32_t opcode) {
  if (proxy != nullptr)
    wl_proxy_marshal_flags(proxy, opcode, nullptr, 1, WL_MARSHAL_FLAG_DESTROY);
}

// ---- Offers ---------------------------------------------------------------------------------
static void OfferType(void* data, wl_proxy* offer, const char* mime) {
  WlSession* session = (WlSession*)data;
  int index = MimeIndex(mime);
  if (offer == session->introduced && index >= 0) session->introducedTypes |= 1u << index;
}

static void (*const OFFER_LISTENER[])(void) = {(void (*)(void))OfferType};

static void IntroduceOffer(void* data, wl_proxy*, wl_proxy* offer) {
  WlSession* session = (WlSession*)data;
  Destroy(session->introduced, WL_OFFER_DESTROY);  // introduced but never named
  session->introduced = offer;
  session->introducedTypes = 0;
  wl_proxy_add_listener(offer, (void (**)(void))OFFER_LISTENER, session);
}

static void NameSelection(void* data, wl_proxy*, wl_proxy* offer) {
  WlSession* session = (WlSession*)data;
  if (session->offer != offer) Destroy(session->offer, WL_OFFER_DESTROY);
  session->offer = offer;
  session->offerTypes = offer != nullptr && offer == session->introduced
                            ? session->introducedTypes
                            : 0;
  if (offer == session->introduced) session->introduced = nullptr;
  session->selectionAt = MonotonicMilliseconds();
}

// The primary selection is not the clipboard: its offers are dropped.
static void NamePrimarySelection(void* data, wl_proxy*, wl_proxy* offer) {
  WlSession* session = (WlSession*)data;
  if (offer == nullptr || offer != session->introduced) return;
  Destroy(offer, WL_OFFER_DESTROY);
  session->introduced = nullptr;
}

static void FinishDevice(void* data, wl_proxy*) {
  WlSession* session = (WlSession*)data;
  session->lost = true;
  session->owner = false;
}

static void (*const DEVICE_LISTENER[])(void) = {
    (void (*)(void))IntroduceOffer, (void (*)(void))NameSelection,
    (void (*)(void))FinishDevice, (void (*)(void))NamePrimarySelection};

void WlWatchDevice(WlSession* session) {
  wl_proxy_add_listener(session->device, (void (**)(void))DEVICE_LISTENER, session);
}

bool WlOffersText(WlSession* session) {
  for (int index : READ_ORDER) {
    if (session->offerTypes & (1u << index)) return true;
  }
  return false;
}

// Reads the pipe to its end. 0, ERROR_TIMEOUT or ERROR_NOT_ENOUGH_MEMORY.
static unsigned long ReadToEnd(int fd, char** data, size_t* length) {
  const ReadLimits limits = {NO_LIMIT, WL_READ_STEP_TIMEOUT, WL_READ_STEP_TIMEOUT, true};
  char* text = nullptr;
  size_t size = 0;
  size_t capacity = 0;
  for (;;) {
    if (capacity - size < READ_CHUNK + 1) {
      // Doubling keeps a long text's copying linear.
      capacity = capacity * 2 > size + READ_CHUNK + 1 ? capacity * 2 : size + READ_CHUNK + 1;
      char* grown = (char*)realloc(text, capacity);
      if (grown == nullptr) {
        free(text);
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      text = grown;
    }
    DWORD count = 0;
    DWORD status = ReadWithin(fd, (BYTE*)text + size, READ_CHUNK, &limits, &count);
    size += count;
    if (count > 0) continue;
    if (status == 0) {  // silence past the limit
      free(text);
      return ERROR_TIMEOUT;
    }
    break;  // the end of the pipe
  }
  text[size] = '\0';
  *data = text;
  *length = size;
  return 0;
}

unsigned long WlReadSelection(WlSession* session, char** data, size_t* length) {
  const char* mime = nullptr;
  for (int index : READ_ORDER) {
    if (mime == nullptr && (session->offerTypes & (1u << index))) mime = MIME_TYPES[index];
  }
  if (mime == nullptr || session->offer == nullptr) return ERROR_INVALID_DATA;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return ErrorFromErrno(errno);
  wl_proxy_marshal_flags(session->offer, WL_OFFER_RECEIVE, nullptr, 1, 0, mime, ends[1]);
  close(ends[1]);  // the compositor has its own copy once the request is sent
  WlServePending(session);
  unsigned long status = ReadToEnd(ends[0], data, length);
  close(ends[0]);
  return status;
}

// ---- Answers ---------------------------------------------------------------------------------
bool WlWritesUnderWay(const WlSession* session) {
  for (const WlWrite& write : session->writes) {
    if (write.active) return true;
  }
  return false;
}

static void EndWrite(WlSession* session, WlWrite* write) {
  close(write->fd);
  write->active = false;
  // A text no source offers any more was kept only for the answers under way.
  if (session->source == nullptr && !WlWritesUnderWay(session))
    FreeOfferedText(&session->text);
}

void WlEndWrites(WlSession* session) {
  for (WlWrite& write : session->writes) {
    if (write.active) EndWrite(session, &write);
  }
}

// A free slot, else the one whose reader has been silent longest, given up.
static WlWrite* FreeWriteSlot(WlSession* session) {
  WlWrite* oldest = nullptr;
  for (WlWrite& write : session->writes) {
    if (!write.active) return &write;
    if (oldest == nullptr || write.lastStep < oldest->lastStep) oldest = &write;
  }
  EndWrite(session, oldest);
  return oldest;
}

int WlWritesToPoll(WlSession* session, struct pollfd* fds, int64_t* due) {
  int64_t now = MonotonicMilliseconds();
  int count = 0;
  for (WlWrite& write : session->writes) {
    if (!write.active) continue;
    if (now >= write.deadline) {
      EndWrite(session, &write);
      continue;
    }
    fds[count++] = {write.fd, POLLOUT, 0};
    if (*due == WL_NO_DEADLINE || write.deadline < *due) *due = write.deadline;
  }
  return count;
}

// As much as the pipe takes now. False when the answer has ended (whole, or the reader
// went away).
static bool WriteOn(WlWrite* write) {
  while (write->sent < write->length) {
    ssize_t written = ::write(write->fd, write->data + write->sent, write->length - write->sent);
    if (written > 0) {
      write->sent += (size_t)written;
      write->lastStep = MonotonicMilliseconds();
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return written < 0 && errno == EAGAIN;
    }
  }
  return false;
}

void WlContinueWrites(WlSession* session, const struct pollfd* fds, int count) {
  struct sigaction ignore, previous;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);  // a reader that went away is no reason to die
  for (int i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    for (WlWrite& write : session->writes) {
      if (write.active && write.fd == fds[i].fd && !WriteOn(&write)) EndWrite(session, &write);
    }
  }
  sigaction(SIGPIPE, &previous, nullptr);
}

// ---- Our source -------------------------------------------------------------------------------
// Only takes the request: the wait on the connection writes the answer.
static void SendText(void* data, wl_proxy* source, const char* mime, int32_t fd) {
  WlSession* session = (WlSession*)data;
  int index = MimeIndex(mime);
  const OfferedText* text = &session->text;
  if (source != session->source || text->utf8 == nullptr || index < 0 ||
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
    close(fd);
    return;
  }
  bool latin1 = index == LATIN1_TYPE;
  size_t length = latin1 ? text->latin1Length : text->utf8Length;
  int64_t now = MonotonicMilliseconds();
  *FreeWriteSlot(session) = WlWrite{true, fd, latin1 ? text->latin1 : text->utf8, length, 0,
                                    now, ReaderDeadline(now, length)};
}

static void CancelSource(void* data, wl_proxy* source) {
  WlSession* session = (WlSession*)data;
  if (source == session->source) {
    session->source = nullptr;
    session->owner = false;
    if (!WlWritesUnderWay(session)) FreeOfferedText(&session->text);
  }
  Destroy(source, WL_SOURCE_DESTROY);
}

static void (*const SOURCE_LISTENER[])(void) = {(void (*)(void))SendText,
                                                (void (*)(void))CancelSource};

bool WlTakeSelection(WlSession* session, const char* text) {
  if (session->lost) return false;
  OfferedText offered = {nullptr, 0, nullptr, 0};
  if (text != nullptr && !MakeOfferedText(text, &offered)) return false;
  wl_proxy* source =
      wl_proxy_marshal_flags(session->manager, WL_MANAGER_CREATE_DATA_SOURCE,
                             session->protocol->source, 1, 0, nullptr);
  if (source == nullptr) {
    FreeOfferedText(&offered);
    return false;
  }
  wl_proxy_add_listener(source, (void (**)(void))SOURCE_LISTENER, session);
  for (size_t i = 0; text != nullptr && i < MIME_TYPE_COUNT; ++i)
    wl_proxy_marshal_flags(source, WL_SOURCE_OFFER, nullptr, 1, 0, MIME_TYPES[i]);
  wl_proxy_marshal_flags(session->device, WL_DEVICE_SET_SELECTION, nullptr, 1, 0, source);
  // Our previous source is replaced: nothing more is asked of it, and answers from its
  // text end with it.
  Destroy(session->source, WL_SOURCE_DESTROY);
  session->source = nullptr;
  WlEndWrites(session);
  FreeOfferedText(&session->text);
  session->source = source;
  session->text = offered;
  session->owner = true;
  return WlRoundtrip(session) && session->owner;
}

void WlDropSelection(WlSession* session) {
  WlEndWrites(session);
  Destroy(session->source, WL_SOURCE_DESTROY);
  Destroy(session->offer, WL_OFFER_DESTROY);
  Destroy(session->introduced, WL_OFFER_DESTROY);
  session->source = session->offer = session->introduced = nullptr;
  session->owner = false;
  FreeOfferedText(&session->text);
}
