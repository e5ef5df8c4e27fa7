// Keeping the clipboard's text alive after Quillet ends.
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended, until another program replaces it. On X11 the text lives only
// as long as someone answers for the selection, so the keeper (keeper.cpp), forked as
// the clipboard is closed, first:
// - asks a running clipboard manager to take the text over (the SAVE_TARGETS hand-off,
//   UTF8_STRING and STRING), serving every request meanwhile, and gives it
//   X11_MANAGER_WAIT to say it has. Its word counts only when it fetched the text from
//   us meanwhile: some window managers own CLIPBOARD_MANAGER and answer at once without
//   ever asking, and trusting them would lose the text;
// - where none takes it, carries on serving it on the same connection, so the selection
//   never changes hands, until another program takes it (after finishing answers under
//   way) or the display goes away.
// On a Wayland session there is no hand-off: the owner of CLIPBOARD_MANAGER is the
// compositor's own window manager there, which never answers (sway) or says yes after
// its bridge fetched the text for reasons of its own (weston).
#include "posix.h"
#include "desktop/x11/x11selection.h"

#define X11_MANAGER_WAIT 2000  // ms

static bool IsSaveAnswer(X11Session* session, const XEvent* event) {
  return event->type == SelectionNotify && event->xselection.requestor == session->window &&
         event->xselection.selection == session->atoms[ATOM_CLIPBOARD_MANAGER];
}

static bool SaveWithManager(X11Session* session) {
  Display* display = session->display;
  const Atom* atoms = session->atoms;
  if (XGetSelectionOwner(display, atoms[ATOM_CLIPBOARD_MANAGER]) == None) return false;
  long targets[2] = {(long)atoms[ATOM_UTF8_STRING], (long)XA_STRING};
  XChangeProperty(display, session->window, atoms[ATOM_TRANSFER_PROPERTY], XA_ATOM, 32,
                  PropModeReplace, (unsigned char*)targets, 2);
  XConvertSelection(display, atoms[ATOM_CLIPBOARD_MANAGER], atoms[ATOM_SAVE_TARGETS],
                    atoms[ATOM_TRANSFER_PROPERTY], session->window, CurrentTime);
  // The manager asks us for the targets meanwhile; X11WaitFor answers it.
  unsigned long deliveredBefore = session->textsDelivered;
  XEvent event;
  int64_t deadline = MonotonicMilliseconds() + X11_MANAGER_WAIT;
  if (!X11WaitFor(session, IsSaveAnswer, &event, deadline)) return false;
  // A yes without a fetch is hollow: nobody holds the text but us.
  return event.xselection.property != None && session->textsDelivered != deliveredBefore;
}

bool X11NeedsKeeper(X11Session* session, bool handOff) {
  X11ServePending(session);
  if (!session->owner || !X11OwnsSelection(session) || !session->hasText ||
      (handOff && SaveWithManager(session))) {
    X11Close(session);
    return false;
  }
  return true;
}
