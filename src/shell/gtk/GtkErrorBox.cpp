// The error box of the GTK window.

#include <gtk/gtk.h>

#include "shell/ErrorBox.h"

namespace vt {

void ShowErrorBox(const std::string& Text) {
  // Modal, so that no click reaches a handler that is half way through.
  GtkWidget* box = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR,
                                          GTK_BUTTONS_OK, "%s", Text.c_str());
  gtk_window_set_title(GTK_WINDOW(box), "Veltrano RPG");
  gtk_dialog_run(GTK_DIALOG(box));
  gtk_widget_destroy(box);
}

}  // namespace vt
