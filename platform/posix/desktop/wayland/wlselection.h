// The Wayland clipboard as the clipboard functions use it: one connection to the
// compositor with a data-control device on the first seat, through which the selection is
// read and set whatever window has the focus. ext-data-control-v1 and
// wlr-data-control-unstable-v1 have the same shape, so one body of code drives either,
// through the interfaces of the protocol the compositor offers.
#ifndef QUILLET_PLATFORM_POSIX_WLSELECTION_H
#define QUILLET_PLATFORM_POSIX_WLSELECTION_H

#include <cstddef>
#include <cstdint>

#include "desktop/text/offeredtext.h"

struct pollfd;
struct wl_display;
struct wl_interface;
struct wl_proxy;

// The interfaces of one of the two protocols. The opcodes below hold for both (checked
// against the generated headers where they are included).
struct WlProtocol {
  const char* managerName;
  const wl_interface* manager;
  const wl_interface* device;
  const wl_interface* source;
  const wl_interface* offer;
};
enum WlOpcode {
  WL_MANAGER_CREATE_DATA_SOURCE = 0,
  WL_MANAGER_GET_DATA_DEVICE = 1,
  WL_MANAGER_DESTROY = 2,
  WL_DEVICE_SET_SELECTION = 0,
  WL_DEVICE_DESTROY = 1,
  WL_SOURCE_OFFER = 0,
  WL_SOURCE_DESTROY = 1,
  WL_OFFER_RECEIVE = 0,
  WL_OFFER_DESTROY = 1,
};

// Longest silence of a source while we read its text.
#define WL_READ_STEP_TIMEOUT 5000   // ms
// Longest wait for the compositor to answer a round trip.
#define WL_ROUNDTRIP_TIMEOUT 5000  // ms
#define WL_NO_DEADLINE (-1)
// Answers written at once; a new one beyond this replaces the one whose reader has been
// silent longest.
#define WL_MAX_WRITES 16
// Room a wait needs in its poll set: the connection and every reader's pipe.
#define WL_POLL_FDS (1 + WL_MAX_WRITES)

// An answer on its way into a reader's pipe (non-blocking), as fast as the reader reads.
struct WlWrite {
  bool active;
  int fd;
  const char* data;  // into the session's text, which stays until the last write ends
  size_t length;
  size_t sent;
  int64_t lastStep;  // monotonic ms the reader last took bytes
  int64_t deadline;  // by when it must have read it all (ReaderDeadline)
};

struct WlSession {
  wl_display* display;
  const WlProtocol* protocol;  // the data-control protocol in use
  wl_proxy* registry;
  wl_proxy* seat;
  wl_proxy* manager;
  wl_proxy* device;
  wl_proxy* introduced;  // the newest offer, until a selection event names it
  unsigned introducedTypes;
  wl_proxy* offer;       // the selection as the compositor offers it, or null
  unsigned offerTypes;   // bit i: the offer has MIME_TYPES[i]
  int64_t selectionAt;   // when the compositor last named the selection (monotonic ms)
  wl_proxy* source;      // ours while it is the selection
  bool owner;            // the selection is our source (until it is cancelled)
  bool lost;             // the connection failed, or the device was finished
  bool reading;          // between WlPrepareWait and WlFinishWait with a read prepared
  OfferedText text;      // what the source offers; utf8 null while it offers nothing
  WlWrite writes[WL_MAX_WRITES];
};

// Outcome of WlOpen.
enum WlOpenStatus { WL_OPENED, WL_NO_COMPOSITOR, WL_NO_DATA_CONTROL };

// ---- The connection (wlsession.cpp) --------------------------------------------------------
// Connects to $WAYLAND_DISPLAY and sets up the data-control device. Otherwise the
// session stays closed, and why is in why (one phrase, for the no-clipboard line).
WlOpenStatus WlOpen(WlSession* session, char* why, size_t size);
// Drops the source, the offer and the connection.
void WlClose(WlSession* session);
// The connection's descriptor, for a poll shared with another connection.
int WlConnection(WlSession* session);
// One wait shared with other connections: before the poll, serves pending events and
// sends our requests, then puts into fds (room for WL_POLL_FDS) the connection, unless it
// is lost, and the pipe of every answer under way, lowering *due to the earliest of their
// deadlines. Returns how many it put.
int WlPrepareWait(WlSession* session, struct pollfd* fds, int64_t* due);
// After that poll: reads and serves what arrived, and writes on into the pipes that can
// take more.
void WlFinishWait(WlSession* session, const struct pollfd* fds, int count);
// Serves what the compositor has sent and writes what the pipes take, without waiting.
void WlServePending(WlSession* session);
// Waits for the compositor to have handled every request sent so far. False at the
// deadline or when the connection is lost.
bool WlRoundtrip(WlSession* session);

// ---- The selection (wlselection.cpp) -------------------------------------------------------
// True when the selection (another program's) offers text we read.
bool WlOffersText(WlSession* session);
// Reads the selection's text as UTF-8: *data malloc'd and NUL-terminated, the caller
// frees. 0, ERROR_INVALID_DATA (no text offered), ERROR_TIMEOUT (the source fell silent),
// ERROR_NOT_ENOUGH_MEMORY, or another code for a failed pipe.
unsigned long WlReadSelection(WlSession* session, char** data, size_t* length);
// Makes a new source of ours the selection, offering text (CF_TEXT), or nothing when
// text is null. False when memory runs out or the compositor refuses.
bool WlTakeSelection(WlSession* session, const char* text);
// Listens to the session's device and to the offers it introduces.
void WlWatchDevice(WlSession* session);
// Destroys the source and the offers (the device and the rest stay), and ends the
// answers under way.
void WlDropSelection(WlSession* session);
// Drops the answers past their deadline, puts the pipes of the others into fds (room for
// WL_MAX_WRITES) and lowers *due to the earliest of their deadlines. Returns how many.
int WlWritesToPoll(WlSession* session, struct pollfd* fds, int64_t* due);
// Writes into each pipe the poll found ready as much as it takes; ends the answers
// written whole, and those whose reader went away.
void WlContinueWrites(WlSession* session, const struct pollfd* fds, int count);
// True while an answer is under way.
bool WlWritesUnderWay(const WlSession* session);
// Ends every answer under way (closing its pipe).
void WlEndWrites(WlSession* session);

#endif  // QUILLET_PLATFORM_POSIX_WLSELECTION_H
