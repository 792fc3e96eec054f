#include "alert/alert_window.h"

#include <gdk/gdkkeysyms.h>
#include <gtk/gtk.h>

#include <algorithm>

namespace cv {

namespace {

// About the width of a standard message dialog's secondary text, and the
// narrowest the message gets before the window stops shrinking.
constexpr int kMaxWidthChars = 56;
constexpr int kMinWidthChars = 20;
// Space of the work area left free around the window: both sides together,
// and a window manager's title bar and borders on top of that.
constexpr int kScreenMargin = 48;
constexpr int kFrameAllowance = 40;
constexpr int kBorder = 18;
constexpr int kOuterSpacing = 12;
constexpr int kTextSpacing = 8;
// The message area is never lower than this, whatever the screen.
constexpr int kMinMessageHeight = 48;
// The window shows at most this many characters of a message; a longer one
// is shortened in the middle with "…". No message of the opener comes near
// it; the bound keeps the layout of any text quick.
constexpr glong kMaxShownChars = 4096;
// Lines break between words, or inside a word too long for a line; a
// message holding a run of more characters than this without a space
// breaks at any character instead: Pango's search for a break inside a
// long word grows with the square of its length.
constexpr size_t kMaxWordRun = 200;

void Dismiss(GtkWidget* window) {
  gtk_widget_destroy(window);
}

void OnOk(GtkButton*, gpointer window) { Dismiss(GTK_WIDGET(window)); }

gboolean OnDelete(GtkWidget* window, GdkEvent*, gpointer) {
  Dismiss(window);
  return TRUE;
}

// Once the window is on screen and painted: the urgency hint, and the icon.
// Looking the icon up in the theme and loading its images takes about as
// long as the rest of the window's set-up beyond a bare dialog (3 ms of 7 on
// an idle machine), so it waits until the message can be read; the window
// manager and the task bar take the icon when it comes.
gboolean AfterShown(gpointer window) {
  gtk_window_set_urgency_hint(GTK_WINDOW(window), TRUE);
  gtk_window_set_icon_name(GTK_WINDOW(window), kAlertIconName);
  return G_SOURCE_REMOVE;
}

// GDK sends the hint of a window only once it knows the window is shown,
// which is after the map event has been handled; an idle source runs after
// the first paint.
gboolean OnMapped(GtkWidget* window, GdkEvent*, gpointer) {
  g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, AfterShown, g_object_ref(window), g_object_unref);
  return FALSE;
}

void OnDestroy(GtkWidget*, gpointer) { gtk_main_quit(); }

// Enter and Escape dismiss the window wherever the focus is; every other key
// (Ctrl+C in the selected text, Tab, the arrows in the scrolled text) keeps
// its usual meaning.
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

// `text` as valid UTF-8 of at most kMaxShownChars characters.
std::string ShownText(const std::string& text) {
  char* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
  std::string out = valid;
  g_free(valid);
  glong length = g_utf8_strlen(out.c_str(), -1);
  if (length <= kMaxShownChars) return out;
  glong tail = (kMaxShownChars - 1) / 2;
  glong head = kMaxShownChars - 1 - tail;
  const char* start = out.c_str();
  const char* headEnd = g_utf8_offset_to_pointer(start, head);
  const char* tailStart = g_utf8_offset_to_pointer(start, length - tail);
  return std::string(start, headEnd) + "\u2026" + std::string(tailStart);
}

bool HasLongWord(const std::string& text) {
  size_t run = 0;
  for (char c : text) {
    run = (c == ' ' || c == '\n' || c == '\t') ? 0 : run + 1;
    if (run > kMaxWordRun) return true;
  }
  return false;
}

GtkWidget* NewLabel(const std::string& text, bool primary, int maxWidthChars) {
  GtkWidget* label = gtk_label_new(nullptr);
  if (primary) {
    char* markup = g_markup_printf_escaped("<span weight=\"bold\" size=\"larger\">%s</span>", text.c_str());
    gtk_label_set_markup(GTK_LABEL(label), markup);
    g_free(markup);
  } else {
    gtk_label_set_text(GTK_LABEL(label), text.c_str());
    gtk_label_set_selectable(GTK_LABEL(label), TRUE);
  }
  PangoAttrList* attrs = pango_attr_list_new();
  pango_attr_list_insert(attrs, pango_attr_insert_hyphens_new(FALSE));
  gtk_label_set_attributes(GTK_LABEL(label), attrs);
  pango_attr_list_unref(attrs);
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), HasLongWord(text) ? PANGO_WRAP_CHAR : PANGO_WRAP_WORD_CHAR);
  // A minimum width of its own spares the label its search for the
  // narrowest layout, which costs seconds for a long unbroken text.
  gtk_label_set_width_chars(GTK_LABEL(label), std::min(kMinWidthChars, maxWidthChars));
  gtk_label_set_max_width_chars(GTK_LABEL(label), maxWidthChars);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_halign(label, GTK_ALIGN_FILL);
  return label;
}

// The work area of the monitor the window will appear on (the primary one,
// else the first); a common laptop screen when GDK knows none.
GdkRectangle WorkArea(GtkWidget* window) {
  GdkRectangle area = {0, 0, 1280, 800};
  GdkDisplay* display = gtk_widget_get_display(window);
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (monitor == nullptr && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
  if (monitor != nullptr) gdk_monitor_get_workarea(monitor, &area);
  return area;
}

// The approximate width of a character of the window's font, in pixels.
int CharWidth(GtkWidget* window) {
  PangoFontMetrics* metrics = pango_context_get_metrics(gtk_widget_get_pango_context(window), nullptr, nullptr);
  int width = pango_font_metrics_get_approximate_char_width(metrics) / PANGO_SCALE;
  pango_font_metrics_unref(metrics);
  return width > 0 ? width : 8;
}

// How many characters of the message fit across `area` beside the frame.
int WidthCharsFor(int charWidth, const GdkRectangle& area) {
  int room = area.width - kScreenMargin - kFrameAllowance - 2 * kBorder;
  return std::clamp(room / charWidth, 10, kMaxWidthChars);
}

int NaturalHeight(GtkWidget* widget) {
  int minimum = 0;
  int natural = 0;
  gtk_widget_get_preferred_height(widget, &minimum, &natural);
  return natural;
}

}  // namespace

void SetAlertIdentity() {
  g_set_prgname(kAlertProgramName);
  g_set_application_name(kAlertApplicationName);
}

void RunAlertWindow(const AlertArgs& rawArgs, const std::string& startupId) {
  // Pango takes valid UTF-8 only; whatever the caller passed is shown.
  AlertArgs args = rawArgs;
  args.primary = ShownText(args.primary);
  args.message = ShownText(args.message);
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

  AtkObject* accessible = gtk_widget_get_accessible(window);
  atk_object_set_role(accessible, ATK_ROLE_ALERT);
  atk_object_set_description(accessible, args.message.c_str());

  GdkRectangle area = WorkArea(window);
  int widthChars = WidthCharsFor(CharWidth(window), area);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, kOuterSpacing);
  gtk_container_set_border_width(GTK_CONTAINER(box), kBorder);
  gtk_container_add(GTK_CONTAINER(window), box);

  GtkWidget* texts = gtk_box_new(GTK_ORIENTATION_VERTICAL, kTextSpacing);
  GtkWidget* primary = NewLabel(args.primary, true, widthChars);
  gtk_box_pack_start(GTK_BOX(texts), primary, FALSE, FALSE, 0);
  GtkWidget* message = NewLabel(args.message, false, widthChars);
  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
  // A scroll bar that shows there is more, not one that appears on hover.
  gtk_scrolled_window_set_overlay_scrolling(GTK_SCROLLED_WINDOW(scroller), FALSE);
  gtk_scrolled_window_set_propagate_natural_width(GTK_SCROLLED_WINDOW(scroller), TRUE);
  gtk_scrolled_window_set_propagate_natural_height(GTK_SCROLLED_WINDOW(scroller), TRUE);
  gtk_container_add(GTK_CONTAINER(scroller), message);
  gtk_box_pack_start(GTK_BOX(texts), scroller, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), texts, TRUE, TRUE, 0);

  GtkWidget* buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtk_widget_set_size_request(ok, 88, -1);
  gtk_widget_set_can_default(ok, TRUE);
  g_signal_connect(ok, "clicked", G_CALLBACK(OnOk), window);
  gtk_container_add(GTK_CONTAINER(buttons), ok);
  gtk_box_pack_end(GTK_BOX(box), buttons, FALSE, FALSE, 0);

  // The message gets what the work area leaves once everything else of the
  // window has its height (hidden widgets would ask for none).
  gtk_widget_show_all(box);
  int others = 2 * kBorder + kOuterSpacing + kTextSpacing + NaturalHeight(primary) + NaturalHeight(buttons);
  int room = area.height - kScreenMargin - kFrameAllowance - others;
  gtk_scrolled_window_set_max_content_height(GTK_SCROLLED_WINDOW(scroller), std::max(room, kMinMessageHeight));

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

int EndStartupSequence(const std::string& startupId) {
  if (startupId.empty()) return kAlertDismissed;
  gdk_set_allowed_backends("x11");
  int argc = 0;
  char** argv = nullptr;
  if (!gdk_init_check(&argc, &argv)) return kAlertNoDisplay;
  GdkDisplay* display = gdk_display_get_default();
  if (display == nullptr) return kAlertNoDisplay;
  gdk_notify_startup_complete_with_id(startupId.c_str());
  gdk_display_flush(display);
  return kAlertDismissed;
}

}  // namespace cv
