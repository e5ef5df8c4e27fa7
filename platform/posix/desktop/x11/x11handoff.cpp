// Handing the clipboard's text to a clipboard manager, so that it outlives Quillet without
// a keeper of ours (the freedesktop SAVE_TARGETS hand-off, UTF8_STRING and STRING).
//
// Contract kept from Windows: a text set on the clipboard stays there after the program
// that set it has ended. The manager's word counts only when it fetched the text from us
// while we waited (serving every request meanwhile): some window managers own
// CLIPBOARD_MANAGER and answer at once without ever asking, and trusting them would lose
// the text. A manager that never answers is given X11_MANAGER_WAIT.
#include "posix.h"
#include "desktop/x11/x11wing.h"

bool X11AskManager(X11Session* session) {
  Display* display = session->display;
  const Atom* atoms = session->atoms;
  if (XGetSelectionOwner(display, atoms[ATOM_CLIPBOARD_MANAGER]) == None) return false;
  long targets[2] = {(long)atoms[ATOM_UTF8_STRING], (long)XA_STRING};
  XChangeProperty(display, session->window, atoms[ATOM_TRANSFER_PROPERTY], XA_ATOM, 32,
                  PropModeReplace, (unsigned char*)targets, 2);
  XConvertSelection(display, atoms[ATOM_CLIPBOARD_MANAGER], atoms[ATOM_SAVE_TARGETS],
                    atoms[ATOM_TRANSFER_PROPERTY], session->window, CurrentTime);
  session->managerSaved = false;
  session->deliveredBefore = session->delivered;
  session->step = X11_STEP_MANAGER;
  session->stepDeadline = MonotonicMilliseconds() + X11_MANAGER_WAIT;
  return true;
}

void X11ServeManagerEvent(X11Session* session, const XEvent* event) {
  if (session->step != X11_STEP_MANAGER || event->type != SelectionNotify ||
      event->xselection.requestor != session->window ||
      event->xselection.selection != session->atoms[ATOM_CLIPBOARD_MANAGER])
    return;
  // A yes without a fetch is hollow: nobody holds the text but us.
  session->managerSaved =
      event->xselection.property != None && session->delivered != session->deliveredBefore;
  X11EndStep(session);
}

bool X11ManagerSaved(const X11Session* session) { return session->managerSaved; }
