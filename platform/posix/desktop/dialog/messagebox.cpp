// Message boxes on Linux: a dialog on the desktop, a line on standard error, a pause on
// the terminal.
//
// Contract kept from Windows (MessageBoxA with MB_OK and an icon, no owner window):
// - The call returns only once the user has answered, and then returns IDOK.
// - With a display (Wayland or X11): a dialog captioned with the caption, showing the
//   error icon (MB_ICONHAND) or the warning icon (MB_ICONEXCLAMATION), the text and one
//   OK button; OK, Enter, Escape or the window's close button dismiss it.
// - Every message is also written to standard error as one line, "Quillet: error: TEXT"
//   or "Quillet: warning: TEXT", the text's own line ends shown as blanks (those at its
//   end left out).
// - Without a display (or without the plugin): that line alone, and when standard input
//   is a terminal, "Press Enter to continue" and a wait for Enter there.
//
// The dialog toolkit (GTK) lives in a plugin, DIALOG_PLUGIN, loaded in a child process
// forked for each message: GTK starts threads (D-Bus, settings, accessibility), ignores
// SIGPIPE process-wide and opens connections of its own, none of which may reach a run
// that still serves the clipboard, forks its keeper at exit or its tone helper later. The
// child keeps nothing of ours (no descriptor but the standard ones, no signal handler)
// and never returns to our code: it ends with _exit, so our atexit work (the clipboard's
// hand-off) never runs in it.
#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"

// The plugin's one entry: 0 once the dialog was shown and answered, non-zero when it
// could not be shown (no display reachable).
#define DIALOG_PLUGIN "quillet-dialog.so"
#define DIALOG_ENTRY "QuilletShowDialog"
typedef int (*ShowDialogFunction)(const char* caption, const char* text, int warning);
// Where the plugin lies relative to the program: beside it in the build tree, in
// lib/quillet once installed.
static const char* const PLUGIN_PLACES[] = {"/", "/../lib/quillet/"};
#define DIALOG_ANSWERED 0
#define DIALOG_NOT_SHOWN 1
#define DIALOG_PROCESS_NAME "quillet-dialog"

#define ENTER_PROMPT "Press Enter to continue"

static void Mirror(const char* kind, const char* text) {
  fprintf(stderr, "Quillet: %s: ", kind);
  // One line: the message's own line ends are shown as blanks, those that end it dropped.
  size_t length = strlen(text);
  while (length > 0 && text[length - 1] == '\n') --length;
  for (size_t i = 0; i < length; ++i) fputc(text[i] == '\n' ? ' ' : text[i], stderr);
  fputc('\n', stderr);
  fflush(stderr);
}

static ShowDialogFunction LoadDialog(void) {
  char program[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length <= 0) return nullptr;
  program[length] = '\0';
  char* slash = strrchr(program, '/');
  if (slash == nullptr) return nullptr;
  *slash = '\0';
  for (const char* place : PLUGIN_PLACES) {
    char path[PATH_MAX + 64];
    snprintf(path, sizeof path, "%s%s%s", program, place, DIALOG_PLUGIN);
    void* plugin = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) continue;
    ShowDialogFunction show = (ShowDialogFunction)dlsym(plugin, DIALOG_ENTRY);
    if (show != nullptr) return show;
    dlclose(plugin);
  }
  return nullptr;
}

static bool Set(const char* name) {
  const char* value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Shows the dialog in a child and waits for it: true once it was answered.
static bool ShowDialog(const char* caption, const char* text, bool warning) {
  if (!Set("WAYLAND_DISPLAY") && !Set("DISPLAY")) return false;
  pid_t parent = getpid();
  pid_t child = fork();
  if (child == 0) {
    // Dies with us, keeps only the standard streams (on /dev/null, so GTK's own
    // complaints never reach the user), takes the ending signals as a fresh program would.
    LeaveCaller(DIALOG_PROCESS_NAME, parent, false, nullptr, 0);
    ShowDialogFunction show = LoadDialog();
    _exit(show != nullptr ? show(caption, text, warning ? 1 : 0) : DIALOG_NOT_SHOWN);
  }
  if (child < 0) return false;
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == DIALOG_ANSWERED;
}

static void WaitForEnter(void) {
  fputs(ENTER_PROMPT, stderr);
  fflush(stderr);
  char c = 0;
  // Up to the end of the line, or of the input.
  while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
  }
}

int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  const char* text = lpText ? lpText : "";
  bool warning = (uType & 0xF0) == MB_ICONEXCLAMATION;
  Mirror(warning ? "warning" : "error", text);
  if (!ShowDialog(lpCaption ? lpCaption : "Error", text, warning) && isatty(STDIN_FILENO))
    WaitForEnter();
  return IDOK;
}
