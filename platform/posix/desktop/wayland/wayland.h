// The Wayland clipboard as the clipboard functions use it: one connection to the
// compositor with a data-control device on the first seat, through which the selection is
// read and set whatever window has the focus. Every step that needs another program (a
// round trip, a source's text) is asked here and waited for in the desktop's one wait
// (desktop.h), which feeds this connection through WlPrepareWait and WlFinishWait;
// WlWaiting says when the step is over. Each step has a deadline of its own.
#ifndef QUILLET_PLATFORM_POSIX_WAYLAND_H
#define QUILLET_PLATFORM_POSIX_WAYLAND_H

#include <cstddef>
#include <cstdint>

#include "desktop/peers.h"

struct OfferedText;
struct WlSession;
struct pollfd;

// Room the connection needs in the wait's poll set: itself, the pipe we read from and
// every answer's pipe.
#define WL_POLL_FDS (2 + MAX_ANSWERS)

// ---- The connection (wlsession.cpp) ----------------------------------------------------------
// Connects to $WAYLAND_DISPLAY and asks for its globals (WlWaiting until they are in).
// Null when no compositor is there, with why (one phrase, for the no-clipboard line).
WlSession* WlConnect(char* why, size_t size);
// Once the globals are in: binds the seat and the data-control manager the compositor
// offers (ext_data_control_manager_v1, else zwlr_data_control_manager_v1) and asks for
// the device, whose first selection comes with the next round trip (WlWaiting). False
// when the compositor offers no data-control.
bool WlBindDevice(WlSession* session);
// Drops the source, the offers, the answers under way and the connection.
void WlClose(WlSession* session);
int WlConnection(const WlSession* session);
// The connection failed, or the compositor finished our device.
bool WlLost(const WlSession* session);
// Asks the compositor to confirm every request sent so far (WlWaiting until it has).
void WlSync(WlSession* session);
// Whether the last round trip was confirmed in time.
bool WlSynced(const WlSession* session);
// True while a step awaits the compositor or a source.
bool WlWaiting(const WlSession* session);
// Before the one wait's poll: serves the events already received, sends our requests,
// ends what is past its deadline; puts into fds (room for WL_POLL_FDS) the connection,
// unless it is lost, the pipe being read and every answer's pipe, and lowers *due to the
// earliest deadline. Returns how many it put.
int WlPrepareWait(WlSession* session, struct pollfd* fds, int64_t* due);
// The wait ends without its poll.
void WlCancelWait(WlSession* session);
// After the poll: reads and serves what arrived, reads on from the pipe being read and
// writes on into the answers' pipes that take more.
void WlFinishWait(WlSession* session, const struct pollfd* fds, int count);

// ---- The selection (wlselection.cpp) ---------------------------------------------------------
// True when the selection (another program's) offers text we read.
bool WlOffersText(const WlSession* session);
// When the compositor last named a selection (monotonic ms).
int64_t WlSelectionNamedAt(const WlSession* session);
// Asks the selection's source for its text as UTF-8 (WlWaiting until it is whole or given
// up: the same deadline and cap as every read of another program's text, peers.h).
void WlAskText(WlSession* session);
// The text: 0 with *data (malloc'd, NUL-terminated, the caller frees) and *length, or
// ERROR_NOT_SUPPORTED (no text offered), ERROR_TIMEOUT, ERROR_NOT_ENOUGH_MEMORY, or another
// code for a failed pipe.
unsigned long WlTakeText(WlSession* session, char** data, size_t* length);
// Makes a new source of ours the selection, offering text (the desktop's, which outlives
// the session's use of it), or nothing when text is null, and syncs (WlWaiting): WlOwner
// then says whether the compositor made it the selection. Answers from the old text end.
void WlOffer(WlSession* session, const OfferedText* text);
// Whether our source is the selection as far as we have heard.
bool WlOwner(const WlSession* session);
bool WlAnswersUnderWay(const WlSession* session);
// The pipes of the answers under way, into fds (room for MAX_ANSWERS); how many.
int WlAnswerPipes(const WlSession* session, int* fds);
// Ends every answer under way (closing its pipe).
void WlEndAnswers(WlSession* session);

#endif  // QUILLET_PLATFORM_POSIX_WAYLAND_H
