// The message dialog, in a plugin of its own so that GTK is loaded only when a message is
// shown, and then only in the child process messagebox.cpp forks for it: GTK's threads,
// its display connection and its signal settings never reach Quillet itself.
//
// Contract kept from Windows (a MessageBoxA with MB_OK): a window captioned with the
// caption, the error or the warning icon beside the text, and one OK button; the call
// blocks until the box is answered: OK, Enter, Escape and the window's close button all
// count as OK. The box is modal, centred and kept above the others. GDK picks Wayland or
// X11, whichever is reachable, and follows the desktop's scale and theme; GTK's own
// accessibility bridge exposes the text and the button to screen readers.
#include <gtk/gtk.h>

#define DIALOG_APP_ID "quillet"  // the .desktop file's name: its icon in task lists
#define TEXT_MAX_CHARS 60        // lines wrap past this many characters
#define SPACING 12

// The dialog's state while it waits. It ends on an answer only: anything else that could
// end a modal loop early (an unmap, a focus change, a stray key release) is ignored.
typedef struct {
  GMainLoop* loop;
  gboolean answered;
} DialogWait;

static void Answered(GtkDialog*, gint, gpointer data) {
  DialogWait* wait = (DialogWait*)data;
  wait->answered = TRUE;
  g_main_loop_quit(wait->loop);
}

// The close button: an answer too; the window stays until we destroy it.
static gboolean CloseAsked(GtkWidget* dialog, GdkEvent*, gpointer) {
  gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  return TRUE;
}

// The theme's full-colour error or warning picture. Themes of today (Adwaita since 45, as
// in Debian 13) carry only the one-colour symbolic form: that one is drawn in the theme's
// error or warning colour, so the box still says at a glance which kind it is.
static GtkWidget* MakeIcon(int warning) {
  const char* name = warning ? "dialog-warning" : "dialog-error";
  if (gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), name)) {
    return gtk_image_new_from_icon_name(name, GTK_ICON_SIZE_DIALOG);
  }
  GtkWidget* icon = gtk_image_new_from_icon_name(
      warning ? "dialog-warning-symbolic" : "dialog-error-symbolic", GTK_ICON_SIZE_DIALOG);
  GtkCssProvider* tint = gtk_css_provider_new();
  gtk_css_provider_load_from_data(
      tint, warning ? "image { color: @warning_color; }" : "image { color: @error_color; }", -1,
      nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(icon), GTK_STYLE_PROVIDER(tint),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(tint);
  return icon;
}

static GtkWidget* MakeDialog(const char* caption, const char* text, int warning) {
  GtkWidget* dialog = gtk_dialog_new();
  GtkWindow* window = GTK_WINDOW(dialog);
  gtk_window_set_title(window, caption);
  gtk_window_set_modal(window, TRUE);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(window, TRUE);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_DIALOG);

  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, SPACING);
  gtk_container_set_border_width(GTK_CONTAINER(row), SPACING);
  GtkWidget* icon = MakeIcon(warning);
  gtk_widget_set_valign(icon, GTK_ALIGN_START);
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_max_width_chars(GTK_LABEL(label), TEXT_MAX_CHARS);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_box_pack_start(GTK_BOX(row), icon, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(row), label, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), row, TRUE, TRUE, 0);

  GtkWidget* ok = gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", GTK_RESPONSE_OK);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  gtk_widget_grab_focus(ok);  // Enter presses it; Escape answers through the dialog itself
  gtk_widget_show_all(dialog);
  return dialog;
}

extern "C" __attribute__((visibility("default"))) int QuilletShowDialog(const char* caption,
                                                                         const char* text,
                                                                         int warning) {
  g_set_prgname(DIALOG_APP_ID);
  // gtk_init would end the process without a display; this one reports it.
  if (!gtk_init_check(nullptr, nullptr)) return 1;
  DialogWait wait = {g_main_loop_new(nullptr, FALSE), FALSE};
  GtkWidget* dialog = MakeDialog(caption, text, warning);
  g_signal_connect(dialog, "response", G_CALLBACK(Answered), &wait);
  g_signal_connect(dialog, "delete-event", G_CALLBACK(CloseAsked), nullptr);
  gtk_window_present(GTK_WINDOW(dialog));
  g_main_loop_run(wait.loop);
  gtk_widget_destroy(dialog);
  g_main_loop_unref(wait.loop);
  return wait.answered ? 0 : 1;
}
