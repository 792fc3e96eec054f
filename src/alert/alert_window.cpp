#include "alert/alert_window.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>


namespace cv {

namespace {

// About the width of a standard message dialog's secondary text.
constexpr int kMaxWidthChars = 56;

void Dismiss(GtkWidget* window) {
  gtk_widget_destroy(window);
}

void OnOk(GtkButton*, gpointer window) { Dismiss(GTK_WIDGET(window)); }

gboolean OnDelete(GtkWidget* window, GdkEvent*, gpointer) {
  Dismiss(window);
  return TRUE;
}

gboolean SetUrgent(gpointer window) {
  gtk_window_set_urgency_hint(GTK_WINDOW(window), TRUE);
  return G_SOURCE_REMOVE;
}

// GDK sends the hint of a window only once it knows the window is shown,
// which is after the map event has been handled.
gboolean OnMapped(GtkWidget* window, GdkEvent*, gpointer) {
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, SetUrgent, g_object_ref(window), g_object_unref);
  return FALSE;
}

void OnDestroy(GtkWidget*, gpointer) { gtk_main_quit(); }

// Enter and Escape dismiss the window wherever the focus is; every other key
// (Ctrl+C in the selected text, Tab) keeps its usual meaning.
gboolean OnKey(GtkWidget* window, GdkEventKey* event, gpointer) {
  switch (event->keyval) {
    case GDK_KEY_Escape:
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
      Dismiss(window);
      return TRUE;
    default:
      return FALSE;
  }
}

GtkWidget* NewLabel(const std::string& text, bool primary) {
  GtkWidget* label = gtk_label_new(nullptr);
  if (primary) {
    char* markup = g_markup_printf_escaped("<span weight=\"bold\" size=\"larger\">%s</span>", text.c_str());
    gtk_label_set_markup(GTK_LABEL(label), markup);
    g_free(markup);
  } else {
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  }
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_max_width_chars(GTK_LABEL(label), kMaxWidthChars);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_halign(label, GTK_ALIGN_FILL);
  return label;
}

}  // namespace

void RunAlertWindow(const AlertArgs& args, const std::string& startupId) {
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), kAlertTitle);
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(window), TRUE);
  g_signal_connect(window, "map-event", G_CALLBACK(OnMapped), nullptr);
  gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window), FALSE);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), nullptr);
  g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), nullptr);
  g_signal_connect(window, "key-press-event", G_CALLBACK(OnKey), nullptr);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(box), 18);
  gtk_container_add(GTK_CONTAINER(window), box);

  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, 8);
  gtk_box_pack_start(GTK_BOX(texts), NewLabel(args.primary, true), FALSE, FALSE, 0);
  GtkWidget* message = NewLabel(args.message, false);
  gtk_box_pack_start(GTK_BOX(texts), message, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), texts, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtk_widget_set_size_request(ok, 88, -1);
  gtk_widget_set_can_default(ok, TRUE);
  g_signal_connect(ok, "clicked", G_CALLBACK(OnOk), window);
  gtk_container_add(GTK_CONTAINER(buttons), ok);
  gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, FALSE, 0);

  if (!startupId.empty()) gtk_window_set_startup_id(GTK_WINDOW(window), startupId.c_str());
  // The selectable text would otherwise take the focus with all of it
  // selected, and Enter would only act on the selection.
  gtk_window_set_default(GTK_WINDOW(window), ok);
  gtk_window_set_focus(GTK_WINDOW(window), ok);
  gtk_widget_show_all(window);
  gtk_label_select_region(GTK_LABEL(message), 0, 0);
  gtk_window_present_with_time(GTK_WINDOW(window), StartupTimestamp(startupId));
  gtk_main();
}

}  // namespace cv
