// Inside the Wayland clipboard: the session record, the protocol table and what its files
// share. Nothing outside desktop/wayland/ includes this; the rest goes through wayland.h.
#ifndef QUILLET_PLATFORM_POSIX_WLWING_H
#define QUILLET_PLATFORM_POSIX_WLWING_H

#include <wayland-client.h>

#include "desktop/peers.h"
#include "desktop/wayland/wayland.h"

#define WL_ROUNDTRIP_TIMEOUT 5000  // ms for the compositor to answer a round trip

struct WlSession;

// One of the two data-control protocols, which have the same shape: its requests, typed
// by its generated header (wlsession.cpp), with our listeners attached where objects are
// made.
struct WlProtocol {
  const char* managerName;
  const wl_interface* manager;
  wl_proxy* (*getDevice)(wl_proxy* manager, wl_seat* seat, WlSession* session);
  wl_proxy* (*createSource)(wl_proxy* manager, WlSession* session);
  void (*offerType)(wl_proxy* source, const char* mime);
  void (*setSelection)(wl_proxy* device, wl_proxy* source);
  void (*receive)(wl_proxy* offer, const char* mime, int fd);
  void (*destroyManager)(wl_proxy* manager);
  void (*destroyDevice)(wl_proxy* device);
  void (*destroySource)(wl_proxy* source);
  void (*destroyOffer)(wl_proxy* offer);
};

#define WL_PROTOCOL_COUNT 2

struct WlSession {
  wl_display* display;
  const WlProtocol* protocol;  // the data-control protocol in use
  wl_registry* registry;
  uint32_t seatName;  // what the registry announced, until bound
  uint32_t managerNames[WL_PROTOCOL_COUNT];
  wl_seat* seat;
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
  bool polled;           // the connection is in the wait's poll set, a read prepared
  bool flushing;         // our requests wait for room in the socket
  const OfferedText* text;  // what our source offers; null while it offers nothing
  AnswerTable answers;      // writes into readers' pipes
  // A round trip under way, until when, and whether the last one was confirmed.
  wl_callback* sync;
  int64_t syncDeadline;
  bool synced;
  // Reading the selection from a pipe.
  PeerRead read;
  int readFd;
  bool readPolled;
};

void WlLose(WlSession* session);

// ---- Event handlers (wlselection.cpp), behind the typed listeners --------------------------------
void WlIntroduceOffer(WlSession* session, wl_proxy* offer);
void WlOfferType(WlSession* session, wl_proxy* offer, const char* mime);
void WlNameSelection(WlSession* session, wl_proxy* offer);
void WlNamePrimarySelection(WlSession* session, wl_proxy* offer);
void WlSendText(WlSession* session, wl_proxy* source, const char* mime, int32_t fd);
void WlCancelSource(WlSession* session, wl_proxy* source);

// ---- The pipes in the wait (wlselection.cpp) --------------------------------------------------
// Puts the pipe being read and the answers' pipes into fds, ending what is past its
// deadline and lowering *due. Returns how many.
int WlPipesToPoll(WlSession* session, struct pollfd* fds, int64_t* due);
// Reads and writes on where the poll found the pipes ready.
void WlContinuePipes(WlSession* session, const struct pollfd* fds, int count);
// Drops our source, the offers, the read and the answers.
void WlDropSelection(WlSession* session);

#endif  // QUILLET_PLATFORM_POSIX_WLWING_H
