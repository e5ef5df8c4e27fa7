// The message dialog, in a plugin of its own so that FLTK is loaded only when a message
// is shown (messagebox.cpp loads it).
//
// Contract kept from Windows (a MessageBoxA with MB_OK): a window captioned with the
// caption, the error or the warning icon beside the text, and one OK button; the call
// blocks until OK is pressed (Enter, Escape and the window's close button count as OK).
// The window is centred on the screen and stays above others, as a system-modal box would.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>

#define MARGIN 14
#define ICON_SIZE 40
#define BUTTON_WIDTH 90
#define BUTTON_HEIGHT 28
#define TEXT_MIN_WIDTH 180
#define TEXT_MAX_WIDTH 420
#define TEXT_SIZE 14
#define TEXT_SLACK 8
#define DIALOG_CLASS "Quillet"

static void Dismiss(Fl_Widget* widget, void*) { widget->window()->hide(); }
static void CloseWindow(Fl_Widget* window, void*) { window->hide(); }

// The error icon is a red disc with a white cross, the warning icon a yellow sign with a
// black "!": the two pictures users know from the system's own boxes.
static void AddIcon(int x, int y, bool warning) {
  Fl_Box* icon = new Fl_Box(x, y, ICON_SIZE, ICON_SIZE, warning ? "!" : "X");
  icon->box(warning ? FL_ROUNDED_BOX : FL_OVAL_BOX);
  icon->color(warning ? fl_rgb_color(250, 200, 30) : fl_rgb_color(210, 40, 40));
  icon->labelcolor(warning ? FL_BLACK : FL_WHITE);
  icon->labelfont(FL_HELVETICA_BOLD);
  icon->labelsize(26);
}

extern "C" __attribute__((visibility("default"))) int QuilletShowDialog(const char* caption,
                                                                         const char* text,
                                                                         int warning) {
  // FLTK ends the process when it cannot open the display itself: open it here first.
  // It also installs its own X error handlers, process-wide; the clipboard's connection
  // keeps the ones it had.
  if (fl_display == nullptr) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;
    XErrorHandler errorHandler = XSetErrorHandler(nullptr);
    XIOErrorHandler ioErrorHandler = XSetIOErrorHandler(nullptr);
    fl_open_display(display);
    XSetErrorHandler(errorHandler);
    XSetIOErrorHandler(ioErrorHandler);
  }

  // Size the text: its own lines where they fit, wrapped at TEXT_MAX_WIDTH where not.
  fl_font(FL_HELVETICA, TEXT_SIZE);
  int textWidth = 0, textHeight = 0;
  fl_measure(text, textWidth, textHeight, 0);
  if (textWidth > TEXT_MAX_WIDTH) {
    textWidth = TEXT_MAX_WIDTH;
    fl_measure(text, textWidth, textHeight, 0);
  }
  textWidth += TEXT_SLACK;  // the label keeps a small inner margin
  if (textWidth < TEXT_MIN_WIDTH) textWidth = TEXT_MIN_WIDTH;
  if (textHeight < ICON_SIZE) textHeight = ICON_SIZE;
  int width = MARGIN + ICON_SIZE + MARGIN + textWidth + MARGIN;
  int height = MARGIN + textHeight + MARGIN + BUTTON_HEIGHT + MARGIN;

  Fl_Window* window = new Fl_Window(width, height, caption);
  AddIcon(MARGIN, MARGIN, warning != 0);
  Fl_Box* message = new Fl_Box(2 * MARGIN + ICON_SIZE, MARGIN, textWidth, textHeight, text);
  message->align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
  message->labelsize(TEXT_SIZE);
  Fl_Return_Button* ok = new Fl_Return_Button((width - BUTTON_WIDTH) / 2,
                                              height - MARGIN - BUTTON_HEIGHT, BUTTON_WIDTH,
                                              BUTTON_HEIGHT, "OK");
  ok->callback(Dismiss);
  window->end();
  window->callback(CloseWindow);  // Escape and the close button
  window->set_modal();
  window->xclass(DIALOG_CLASS);
  window->position((Fl::w() - width) / 2, (Fl::h() - height) / 2);
  window->show();
  ok->take_focus();

  while (window->shown()) Fl::wait();
  delete window;  // takes its widgets with it
  Fl::flush();
  return 0;
}
