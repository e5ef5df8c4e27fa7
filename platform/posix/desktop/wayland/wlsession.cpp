// The clipboard's connection to the Wayland compositor: the globals it needs, the
// data-control protocol the compositor offers, round trips, and the connection's part in
// the desktop's one wait.
//
// Contract kept from Windows (OpenClipboard's side of it):
// - A Wayland clipboard exists where $WAYLAND_DISPLAY names a compositor that offers
//   ext_data_control_manager_v1 (preferred) or zwlr_data_control_manager_v1, and a seat.
//   Without data-control (GNOME) the X11 clipboard serves instead.
// - The clipboard never stops the program: every round trip has a deadline, our requests
//   are sent without blocking (what the socket does not take waits for the next poll),
//   and a lost connection ends only the clipboard's use of it.
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/wayland/wlwing.h"
#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

// One protocol's listeners and requests, through its generated header: each listener is
// the protocol's own struct filled by event name, so the compiler holds every handler to
// its event's place and arguments, and every request to its own signature.
#define DATA_CONTROL_PROTOCOL(P)                                                            \
  static const P##_offer_v1_listener P##_OFFER = {                                         \
      .offer = [](void* s, P##_offer_v1* offer, const char* mime) {                         \
        WlOfferType((WlSession*)s, (wl_proxy*)offer, mime);                                 \
      }};                                                                                    \
  static const P##_device_v1_listener P##_DEVICE = {                                       \
      .data_offer =                                                                         \
          [](void* s, P##_device_v1*, P##_offer_v1* offer) {                                \
            P##_offer_v1_add_listener(offer, &P##_OFFER, s);                                \
            WlIntroduceOffer((WlSession*)s, (wl_proxy*)offer);                              \
          },                                                                                 \
      .selection = [](void* s, P##_device_v1*,                                              \
                      P##_offer_v1* offer) { WlNameSelection((WlSession*)s, (wl_proxy*)offer); }, \
      .finished = [](void* s, P##_device_v1*) { WlLose((WlSession*)s); },                   \
      .primary_selection =                                                                  \
          [](void* s, P##_device_v1*, P##_offer_v1* offer) {                                \
            WlNamePrimarySelection((WlSession*)s, (wl_proxy*)offer);                        \
          }};                                                                                \
  static const P##_source_v1_listener P##_SOURCE = {                                       \
      .send =                                                                               \
          [](void* s, P##_source_v1* source, const char* mime, int32_t fd) {                \
            WlSendText((WlSession*)s, (wl_proxy*)source, mime, fd);                         \
          },                                                                                 \
      .cancelled = [](void* s, P##_source_v1* source) {                                     \
        WlCancelSource((WlSession*)s, (wl_proxy*)source);                                   \
      }};                                                                                    \
  static const WlProtocol P##_PROTOCOL = {                                                 \
      #P "_manager_v1",                                                                     \
      &P##_manager_v1_interface,                                                            \
      [](wl_proxy* manager, wl_seat* seat, WlSession* s) {                                  \
        P##_device_v1* device = P##_manager_v1_get_data_device((P##_manager_v1*)manager, seat); \
        if (device != nullptr) P##_device_v1_add_listener(device, &P##_DEVICE, s);          \
        return (wl_proxy*)device;                                                           \
      },                                                                                     \
      [](wl_proxy* manager, WlSession* s) {                                                 \
        P##_source_v1* source = P##_manager_v1_create_data_source((P##_manager_v1*)manager); \
        if (source != nullptr) P##_source_v1_add_listener(source, &P##_SOURCE, s);          \
        return (wl_proxy*)source;                                                           \
      },                                                                                     \
      [](wl_proxy* source, const char* mime) { P##_source_v1_offer((P##_source_v1*)source, mime); }, \
      [](wl_proxy* device, wl_proxy* source) {                                              \
        P##_device_v1_set_selection((P##_device_v1*)device, (P##_source_v1*)source);        \
      },                                                                                     \
      [](wl_proxy* offer, const char* mime, int fd) {                                       \
        P##_offer_v1_receive((P##_offer_v1*)offer, mime, fd);                               \
      },                                                                                     \
      [](wl_proxy* manager) { P##_manager_v1_destroy((P##_manager_v1*)manager); },          \
      [](wl_proxy* device) { P##_device_v1_destroy((P##_device_v1*)device); },              \
      [](wl_proxy* source) { P##_source_v1_destroy((P##_source_v1*)source); },              \
      [](wl_proxy* offer) { P##_offer_v1_destroy((P##_offer_v1*)offer); },                  \
  };

DATA_CONTROL_PROTOCOL(ext_data_control)
DATA_CONTROL_PROTOCOL(zwlr_data_control)

// In order of preference.
static const WlProtocol* const PROTOCOLS[WL_PROTOCOL_COUNT] = {&ext_data_control_PROTOCOL,
                                                                &zwlr_data_control_PROTOCOL};

static void AnnounceGlobal(void* data, wl_registry*, uint32_t name, const char* interface,
                           uint32_t) {
  WlSession* session = (WlSession*)data;
  if (strcmp(interface, wl_seat_interface.name) == 0 && session->seatName == 0)
    session->seatName = name;
  for (size_t i = 0; i < WL_PROTOCOL_COUNT; ++i) {
    if (strcmp(interface, PROTOCOLS[i]->managerName) == 0) session->managerNames[i] = name;
  }
}

static void RemoveGlobal(void*, wl_registry*, uint32_t) {}

static const wl_registry_listener REGISTRY_LISTENER = {.global = AnnounceGlobal,
                                                       .global_remove = RemoveGlobal};

void WlLose(WlSession* session) {
  session->lost = true;
  session->owner = false;
}

bool WlLost(const WlSession* session) { return session->lost; }

int WlConnection(const WlSession* session) { return wl_display_get_fd(session->display); }

// ---- Round trips ------------------------------------------------------------------------------
static void EndSync(WlSession* session, bool confirmed) {
  if (session->sync != nullptr) wl_callback_destroy(session->sync);
  session->sync = nullptr;
  session->synced = confirmed;
}

static void SyncDone(void* data, wl_callback*, uint32_t) { EndSync((WlSession*)data, true); }
static const wl_callback_listener SYNC_LISTENER = {.done = SyncDone};

void WlSync(WlSession* session) {
  EndSync(session, false);
  if (session->lost) return;
  session->sync = wl_display_sync(session->display);
  if (session->sync == nullptr) return;
  wl_callback_add_listener(session->sync, &SYNC_LISTENER, session);
  session->syncDeadline = MonotonicMilliseconds() + WL_ROUNDTRIP_TIMEOUT;
}

bool WlSynced(const WlSession* session) { return session->synced && !session->lost; }

bool WlWaiting(const WlSession* session) {
  return (!session->lost && session->sync != nullptr) || session->read.underWay;
}

// ---- Opening --------------------------------------------------------------------------------------
WlSession* WlConnect(char* why, size_t size) {
  const char* name = getenv("WAYLAND_DISPLAY");
  wl_display* display = wl_display_connect(nullptr);
  WlSession* session = display != nullptr ? (WlSession*)calloc(1, sizeof *session) : nullptr;
  if (session == nullptr) {
    snprintf(why, size, "cannot connect to Wayland display %s (%s)", name ? name : "",
             strerror(display != nullptr ? ENOMEM : errno));
    if (display != nullptr) wl_display_disconnect(display);
    return nullptr;
  }
  session->display = display;
  session->readFd = -1;
  session->registry = wl_display_get_registry(display);
  wl_registry_add_listener(session->registry, &REGISTRY_LISTENER, session);
  WlSync(session);
  return session;
}

bool WlBindDevice(WlSession* session) {
  for (size_t i = 0; i < WL_PROTOCOL_COUNT && session->manager == nullptr; ++i) {
    if (session->managerNames[i] == 0) continue;
    session->protocol = PROTOCOLS[i];
    session->manager = (wl_proxy*)wl_registry_bind(session->registry, session->managerNames[i],
                                                   PROTOCOLS[i]->manager, 1);
  }
  if (session->manager == nullptr || session->seatName == 0) return false;
  session->seat =
      (wl_seat*)wl_registry_bind(session->registry, session->seatName, &wl_seat_interface, 1);
  if (session->seat == nullptr) return false;
  session->device = session->protocol->getDevice(session->manager, session->seat, session);
  if (session->device == nullptr) return false;
  WlSync(session);
  return true;
}

void WlClose(WlSession* session) {
  WlDropSelection(session);
  EndSync(session, false);
  if (session->device != nullptr) session->protocol->destroyDevice(session->device);
  if (session->manager != nullptr) session->protocol->destroyManager(session->manager);
  if (session->seat != nullptr) wl_seat_destroy(session->seat);
  if (session->registry != nullptr) wl_registry_destroy(session->registry);
  wl_display_disconnect(session->display);
  free(session);
}

// ---- The wait ---------------------------------------------------------------------------------------
// Sends what is queued, as far as the socket takes it now.
static void Flush(WlSession* session) {
  session->flushing = false;
  if (wl_display_flush(session->display) >= 0) return;
  if (errno == EAGAIN) {
    session->flushing = true;
  } else {
    WlLose(session);
  }
}

int WlPrepareWait(WlSession* session, struct pollfd* fds, int64_t* due) {
  int count = 0;
  session->polled = false;
  if (!session->lost) {
    while (wl_display_prepare_read(session->display) != 0) {
      if (wl_display_dispatch_pending(session->display) < 0) {
        WlLose(session);
        break;
      }
    }
  }
  if (!session->lost) {
    Flush(session);
    if (session->lost) {
      wl_display_cancel_read(session->display);
    } else {
      session->polled = true;
      fds[count++] = {WlConnection(session), (short)(POLLIN | (session->flushing ? POLLOUT : 0)), 0};
    }
  }
  if (session->sync != nullptr && MonotonicMilliseconds() >= session->syncDeadline)
    EndSync(session, false);
  if (session->sync != nullptr && !session->lost)
    *due = EarlierDeadline(*due, session->syncDeadline);
  return count + WlPipesToPoll(session, fds + count, due);
}

void WlCancelWait(WlSession* session) {
  if (session->polled) wl_display_cancel_read(session->display);
  session->polled = false;
}

void WlFinishWait(WlSession* session, const struct pollfd* fds, int count) {
  if (session->polled) {
    session->polled = false;
    if (fds[0].revents & POLLOUT) Flush(session);
    if (session->lost || (fds[0].revents & ~POLLOUT) == 0) {
      wl_display_cancel_read(session->display);
    } else if (wl_display_read_events(session->display) < 0) {
      WlLose(session);
    }
    if (!session->lost && wl_display_dispatch_pending(session->display) < 0) WlLose(session);
    ++fds;
    --count;
  }
  if (session->lost && session->sync != nullptr) EndSync(session, false);
  WlContinuePipes(session, fds, count);
}
