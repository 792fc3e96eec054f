/* corvantis-bare-gtk: the least a GTK 3 program does to show a dialog: one
 * window with a line of text and an OK button. The yardstick of the
 * alert program's start-up (bench/alert_startup.sh). */
#include <gtk/gtk.h>

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Corvantis");
  gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
  gtk_container_set_border_width(GTK_CONTAINER(box), 16);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Corvantis Agent"), TRUE, TRUE, 0);
  GtkWidget* ok = gtk_button_new_with_label("OK");
  gtk_box_pack_end(GTK_BOX(box), ok, FALSE, FALSE, 0);
  g_signal_connect(ok, "clicked", G_CALLBACK(gtk_main_quit), NULL);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
