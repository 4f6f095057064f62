// A GTK module for first_frame.sh, loaded into vtlaunch through GTK_MODULES so that the
// launcher carries no timing hook of its own. When the first top-level window has drawn its
// first frame it prints, on standard error:
//
//   first frame: <wall-clock ns> ns, status "<the status line then>"

#include <gtk/gtk.h>
#include <time.h>

#include <cstdio>
#include <string>

namespace {

// The launcher's status line: the first label with its style class.
std::string StatusOf(GtkWidget* Widget) {
  if (GTK_IS_LABEL(Widget) &&
      gtk_style_context_has_class(gtk_widget_get_style_context(Widget), "vt-status"))
    return gtk_label_get_text(GTK_LABEL(Widget));
  std::string found;
  if (GTK_IS_CONTAINER(Widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(Widget));
    for (GList* child = children; child && found.empty(); child = child->next)
      found = StatusOf(GTK_WIDGET(child->data));
    g_list_free(children);
  }
  return found;
}

gboolean AfterFirstDraw(GtkWidget* Window, cairo_t*, gpointer) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  g_signal_handlers_disconnect_by_func(Window, reinterpret_cast<gpointer>(AfterFirstDraw), nullptr);
  std::fprintf(stderr, "first frame: %lld%09ld ns, status \"%s\"\n",
               static_cast<long long>(now.tv_sec), now.tv_nsec, StatusOf(Window).c_str());
  return FALSE;
}

// Runs as each widget is realized; the first top-level window gets the draw hook, and the hook
// removes itself after that.
gboolean Realized(GSignalInvocationHint*, guint, const GValue* Params, gpointer) {
  GObject* object = static_cast<GObject*>(g_value_get_object(&Params[0]));
  if (!GTK_IS_WINDOW(object) || !gtk_widget_is_toplevel(GTK_WIDGET(object)))
    return TRUE;
  g_signal_connect_after(object, "draw", G_CALLBACK(AfterFirstDraw), nullptr);
  return FALSE;
}

}  // namespace

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***) {
  // The widget class makes its signals when it is first used, which may not have happened yet;
  // the reference is kept for the process's life.
  g_type_class_ref(GTK_TYPE_WIDGET);
  g_signal_add_emission_hook(g_signal_lookup("realize", GTK_TYPE_WIDGET), 0, Realized, nullptr,
                             nullptr);
}
