// The clipboard's connection to the Wayland compositor: the globals it needs, the
// data-control protocol the compositor offers, and waits on the connection that end.
//
// Contract kept from Windows (OpenClipboard's side of it):
// - A Wayland clipboard exists where $WAYLAND_DISPLAY names a compositor that offers
//   ext_data_control_manager_v1 (preferred) or zwlr_data_control_manager_v1, and a seat.
//   Without data-control (GNOME) the X11 clipboard serves instead.
// - The clipboard never stops the program: every wait on the compositor has a deadline,
//   and a lost connection ends only the clipboard's use of it.
#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "desktop/wayland/wlselection.h"
#include "ext-data-control-v1-client.h"
#include "wlr-data-control-unstable-v1-client.h"

// One body of code drives both protocols: their requests must line up.
#define SAME_OPCODE(name, value)                                                    \
  static_assert(EXT_DATA_CONTROL_##name == (value) && ZWLR_DATA_CONTROL_##name == (value), \
                #name)
SAME_OPCODE(MANAGER_V1_CREATE_DATA_SOURCE, WL_MANAGER_CREATE_DATA_SOURCE);
SAME_OPCODE(MANAGER_V1_GET_DATA_DEVICE, WL_MANAGER_GET_DATA_DEVICE);
SAME_OPCODE(MANAGER_V1_DESTROY, WL_MANAGER_DESTROY);
SAME_OPCODE(DEVICE_V1_SET_SELECTION, WL_DEVICE_SET_SELECTION);
SAME_OPCODE(DEVICE_V1_DESTROY, WL_DEVICE_DESTROY);
SAME_OPCODE(SOURCE_V1_OFFER, WL_SOURCE_OFFER);
SAME_OPCODE(SOURCE_V1_DESTROY, WL_SOURCE_DESTROY);
SAME_OPCODE(OFFER_V1_RECEIVE, WL_OFFER_RECEIVE);
SAME_OPCODE(OFFER_V1_DESTROY, WL_OFFER_DESTROY);

// In order of preference.
static const WlProtocol PROTOCOLS[] = {
    {"ext_data_control_manager_v1", &ext_data_control_manager_v1_interface,
     &ext_data_control_device_v1_interface, &ext_data_control_source_v1_interface,
     &ext_data_control_offer_v1_interface},
    {"zwlr_data_control_manager_v1", &zwlr_data_control_manager_v1_interface,
     &zwlr_data_control_device_v1_interface, &zwlr_data_control_source_v1_interface,
     &zwlr_data_control_offer_v1_interface},
};
#define PROTOCOL_COUNT (sizeof PROTOCOLS / sizeof PROTOCOLS[0])

// What the registry announced, until the best of it is bound.
struct Globals {
  uint32_t seat;
  uint32_t managers[PROTOCOL_COUNT];
};

static void AnnounceGlobal(void* data, wl_registry*, uint32_t name, const char* interface,
                           uint32_t) {
  Globals* globals = (Globals*)data;
  if (strcmp(interface, wl_seat_interface.name) == 0 && globals->seat == 0)
    globals->seat = name;
  for (size_t i = 0; i < PROTOCOL_COUNT; ++i) {
    if (strcmp(interface, PROTOCOLS[i].managerName) == 0) globals->managers[i] = name;
  }
}

static void RemoveGlobal(void*, wl_registry*, uint32_t) {}

static const wl_registry_listener REGISTRY_LISTENER = {AnnounceGlobal, RemoveGlobal};

static void Lose(WlSession* session) {
  session->lost = true;
  session->owner = false;
}

int WlConnection(WlSession* session) { return wl_display_get_fd(session->display); }

// Sends what is queued. False when the connection failed or the deadline passed.
static bool Flush(WlSession* session, int64_t deadline) {
  while (wl_display_flush(session->display) < 0) {
    if (errno != EAGAIN) return false;
    struct pollfd connection = {WlConnection(session), POLLOUT, 0};
    int64_t left = deadline - MonotonicMilliseconds();
    if (left <= 0) return false;
    if (poll(&connection, 1, (int)left) < 0 && errno != EINTR) return false;
  }
  return true;
}

// Serves pending events and prepares to read. False when the connection is lost.
static bool PrepareRead(WlSession* session) {
  if (session->lost) return false;
  while (wl_display_prepare_read(session->display) != 0) {
    if (wl_display_dispatch_pending(session->display) < 0) {
      Lose(session);
      return false;
    }
  }
  if (!Flush(session, MonotonicMilliseconds() + WL_ROUNDTRIP_TIMEOUT)) {
    wl_display_cancel_read(session->display);
    Lose(session);
    return false;
  }
  return true;
}

int WlPrepareWait(WlSession* session, struct pollfd* fds, int64_t* due) {
  if (session->display == nullptr) return 0;
  int count = 0;
  session->reading = PrepareRead(session);
  if (session->reading) fds[count++] = {WlConnection(session), POLLIN, 0};
  return count + WlWritesToPoll(session, fds + count, due);
}

void WlFinishWait(WlSession* session, const struct pollfd* fds, int count) {
  if (session->display == nullptr) return;
  if (session->reading) {
    session->reading = false;
    if (fds[0].revents == 0) {
      wl_display_cancel_read(session->display);
    } else if (wl_display_read_events(session->display) < 0) {
      Lose(session);
    }
    if (!session->lost && wl_display_dispatch_pending(session->display) < 0) Lose(session);
    ++fds;
    --count;
  }
  WlContinueWrites(session, fds, count);
}

// Serves what arrives, and writes on, until deadline. False when the connection is lost.
static bool ServeUntil(WlSession* session, int64_t deadline) {
  struct pollfd fds[WL_POLL_FDS];
  int64_t due = deadline;
  int count = WlPrepareWait(session, fds, &due);
  int64_t left = due - MonotonicMilliseconds();
  if (poll(fds, (nfds_t)count, left > 0 ? (int)left : 0) <= 0) {
    for (int i = 0; i < count; ++i) fds[i].revents = 0;
  }
  WlFinishWait(session, fds, count);
  return !session->lost;
}

void WlServePending(WlSession* session) { ServeUntil(session, 0); }

static void RoundtripDone(void* data, wl_callback*, uint32_t) { *(bool*)data = true; }
static const wl_callback_listener ROUNDTRIP_LISTENER = {RoundtripDone};

bool WlRoundtrip(WlSession* session) {
  if (session->lost) return false;
  bool done = false;
  wl_callback* callback = wl_display_sync(session->display);
  if (callback == nullptr) return false;
  wl_callback_add_listener(callback, &ROUNDTRIP_LISTENER, &done);
  int64_t deadline = MonotonicMilliseconds() + WL_ROUNDTRIP_TIMEOUT;
  while (!done && MonotonicMilliseconds() < deadline && ServeUntil(session, deadline)) {
  }
  wl_callback_destroy(callback);
  return done;
}

// Binds the seat and the preferred manager the registry announced. False when either
// is missing.
static bool BindGlobals(WlSession* session, const Globals* globals) {
  wl_registry* registry = (wl_registry*)session->registry;
  for (size_t i = 0; i < PROTOCOL_COUNT && session->manager == nullptr; ++i) {
    if (globals->managers[i] == 0) continue;
    session->protocol = &PROTOCOLS[i];
    session->manager =
        (wl_proxy*)wl_registry_bind(registry, globals->managers[i], PROTOCOLS[i].manager, 1);
  }
  if (session->manager == nullptr || globals->seat == 0) return false;
  session->seat = (wl_proxy*)wl_registry_bind(registry, globals->seat, &wl_seat_interface, 1);
  session->device = wl_proxy_marshal_flags(session->manager, WL_MANAGER_GET_DATA_DEVICE,
                                           session->protocol->device, 1, 0, nullptr,
                                           session->seat);
  return session->seat != nullptr && session->device != nullptr;
}

WlOpenStatus WlOpen(WlSession* session, char* why, size_t size) {
  memset(session, 0, sizeof *session);
  const char* name = getenv("WAYLAND_DISPLAY");
  session->display = wl_display_connect(nullptr);
  if (session->display == nullptr) {
    snprintf(why, size, "cannot connect to Wayland display %s (%s)", name ? name : "",
             strerror(errno));
    return WL_NO_COMPOSITOR;
  }
  Globals globals;
  memset(&globals, 0, sizeof globals);
  session->registry = (wl_proxy*)wl_display_get_registry(session->display);
  wl_registry_add_listener((wl_registry*)session->registry, &REGISTRY_LISTENER, &globals);
  bool answered = WlRoundtrip(session);
  // The first selection event follows the device's creation: the second round trip.
  if (answered && BindGlobals(session, &globals)) {
    WlWatchDevice(session);
    if (WlRoundtrip(session)) return WL_OPENED;
  }
  snprintf(why, size, answered ? "Wayland display %s offers no data-control"
                               : "Wayland display %s does not answer",
           name ? name : "");
  WlClose(session);
  return answered ? WL_NO_DATA_CONTROL : WL_NO_COMPOSITOR;
}

void WlClose(WlSession* session) {
  if (session->display == nullptr) return;
  WlDropSelection(session);
  if (session->device != nullptr)
    wl_proxy_marshal_flags(session->device, WL_DEVICE_DESTROY, nullptr, 1,
                           WL_MARSHAL_FLAG_DESTROY);
  if (session->manager != nullptr)
    wl_proxy_marshal_flags(session->manager, WL_MANAGER_DESTROY, nullptr, 1,
                           WL_MARSHAL_FLAG_DESTROY);
  if (session->seat != nullptr) wl_proxy_destroy(session->seat);
  if (session->registry != nullptr) wl_proxy_destroy(session->registry);
  wl_display_disconnect(session->display);
  memset(session, 0, sizeof *session);
}
