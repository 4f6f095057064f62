#include "shell/gtk/GtkWindow.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "shell/ErrorBox.h"
#include "shell/PanelLayout.h"
#include "shell/gtk/JpegPicture.h"

namespace vt {

namespace {

constexpr const char* KTitle = "Veltrano RPG";
constexpr const char* KIconName = "vtlaunch";
constexpr int KClientWidth = 720;
constexpr int KClientHeight = 405;
constexpr int KPictureHeight = 321;
// As tall as the buttons beside it, for GTK's larger line box.
constexpr TBox KStatusBox{16, 12, 440, 28};
constexpr double KBarRange = 1000.0;

// The panel's colour #182028, painted under its controls.
constexpr double KPanelRed = 0x18 / 255.0;
constexpr double KPanelGreen = 0x20 / 255.0;
constexpr double KPanelBlue = 0x28 / 255.0;

// The theme's light buttons would clash with the dark panel: dark translucent buttons with light
// text instead, each state told apart, and the bar in the accent colour on a dark trough. Sizes
// are set too: buttons as small as their place asks, and the bar's trough (16 + its 1-pixel
// border) filling the bar's 18 pixels, so it reads as a bar.
constexpr const char* KCss = R"(
window.vt-launcher { background-color: #101418; }
label.vt-status { color: #F0F0F0; font-size: 10pt; }
button.vt-button {
  min-height: 0; min-width: 0; padding: 2px 6px;
  color: #E8EDF2; background-image: none; background-color: rgba(255, 255, 255, 0.10);
  border: 1px solid rgba(255, 255, 255, 0.24); border-radius: 4px;
  box-shadow: none; text-shadow: none; -gtk-icon-shadow: none;
  outline-color: rgba(232, 237, 242, 0.55);
}
button.vt-button label { color: inherit; }
button.vt-button:hover { background-color: rgba(255, 255, 255, 0.20); border-color: rgba(255, 255, 255, 0.40); }
button.vt-button:active { background-color: rgba(0, 0, 0, 0.35); border-color: #3D8FD6; }
button.vt-button:disabled { color: rgba(232, 237, 242, 0.40); background-color: rgba(255, 255, 255, 0.04); border-color: rgba(255, 255, 255, 0.10); }
progressbar.vt-bar trough, progressbar.vt-bar progress { min-height: 16px; background-image: none; }
progressbar.vt-bar trough { background-color: #0C1014; border-color: #2C3844; }
progressbar.vt-bar progress { background-color: #3D8FD6; border-color: #3D8FD6; }
)";

void AddClass(GtkWidget* Widget, const char* Name) {
  gtk_style_context_add_class(gtk_widget_get_style_context(Widget), Name);
}

// Once per process: every window of it is on the default screen.
void InstallCss() {
  static bool installed = false;
  if (std::exchange(installed, true))
    return;
  GtkCssProvider* provider = gtk_css_provider_new();
  gtk_css_provider_load_from_data(provider, KCss, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(provider),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(provider);
}

gboolean DrawPanel(GtkWidget* Panel, cairo_t* Cairo, gpointer) {
  cairo_set_source_rgb(Cairo, KPanelRed, KPanelGreen, KPanelBlue);
  cairo_paint(Cairo);
  return FALSE;  // the children are drawn after this
}

void Place(GtkWidget* Fixed, GtkWidget* Child, int X, int Y, int Width, int Height) {
  gtk_widget_set_size_request(Child, Width, Height);
  gtk_fixed_put(GTK_FIXED(Fixed), Child, X, Y);
}

void FreePixels(guchar*, gpointer Picture) {
  delete static_cast<TRgbPicture*>(Picture);
}

}  // namespace

void TGtkLabel::SetText(const std::string& Text) {
  gtk_label_set_text(GTK_LABEL(FLabel), Text.c_str());
}

void TGtkLabel::SetTooltip(const std::string& Text) {
  gtk_widget_set_tooltip_text(FLabel, Text.empty() ? nullptr : Text.c_str());
}

void TGtkBar::SetPosition(int Position) {
  const int clamped = std::clamp(Position, 0, static_cast<int>(KBarRange));
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(FBar), clamped / KBarRange);
}

TGtkButton::TGtkButton(GtkWidget* Button) : FButton(Button) {
  g_signal_connect(FButton, "clicked", G_CALLBACK(Clicked), this);
}

void TGtkButton::SetVisible(bool Visible) {
  gtk_widget_set_visible(FButton, Visible);
}

void TGtkButton::OnClick(std::function<void()> Click) {
  FClick = std::move(Click);
}

void TGtkButton::Clicked(GtkButton*, gpointer Self) {
  // A copy, so that a handler replacing itself does not destroy the function running it.
  auto click = static_cast<TGtkButton*>(Self)->FClick;
  if (click)
    RunGuarded(click);
}

TGtkWindow::TGtkWindow()
    : FWindow(gtk_window_new(GTK_WINDOW_TOPLEVEL)),
      FPicture(gtk_image_new()),
      FStatus(gtk_label_new(nullptr)),
      FBar(gtk_progress_bar_new()),
      FPlay(gtk_button_new_with_label("Play anyway")),
      FRetry(gtk_button_new_with_label("Try again")),
      FQuit(gtk_button_new_with_label("Quit")) {
  InstallCss();
  GtkWindow* window = GTK_WINDOW(FWindow);
  gtk_window_set_title(window, KTitle);
  gtk_window_set_icon_name(window, KIconName);
  gtk_window_set_resizable(window, FALSE);
  gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_NORMAL);
  gtk_window_set_position(window, GTK_WIN_POS_CENTER);
  AddClass(FWindow, "vt-launcher");
  g_signal_connect(FWindow, "delete-event", G_CALLBACK(DeleteEvent), this);

  GtkWidget* client = gtk_fixed_new();
  gtk_widget_set_size_request(client, KClientWidth, KClientHeight);
  gtk_container_add(GTK_CONTAINER(FWindow), client);
  Place(client, FPicture, 0, 0, KClientWidth, KPictureHeight);

  GtkWidget* panel = gtk_fixed_new();
  g_signal_connect(panel, "draw", G_CALLBACK(DrawPanel), nullptr);
  Place(client, panel, 0, KClientHeight - KPanelHeight, KClientWidth, KPanelHeight);

  // One line that never wraps; what does not fit beside the shown buttons ends in an ellipsis,
  // which Pango places between whole characters (the tooltip has the text whole).
  GtkWidget* label = FStatus.Widget();
  gtk_label_set_line_wrap(GTK_LABEL(label), FALSE);
  gtk_label_set_single_line_mode(GTK_LABEL(label), TRUE);
  gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  AddClass(label, "vt-status");
  Place(panel, label, KStatusBox.Left, KStatusBox.Top, KStatusBox.Width, KStatusBox.Height);

  AddClass(FBar.Widget(), "vt-bar");
  Place(panel, FBar.Widget(), KBarBox.Left, KBarBox.Top, KBarBox.Width, KBarBox.Height);
  for (GtkWidget* button : {FPlay.Widget(), FRetry.Widget(), FQuit.Widget()})
    AddClass(button, "vt-button");
  Place(panel, FPlay.Widget(), KPlayBox.Left, KPlayBox.Top, KPlayBox.Width, KPlayBox.Height);
  Place(panel, FRetry.Widget(), KRetryBox.Left, KRetryBox.Top, KRetryBox.Width, KRetryBox.Height);
  Place(panel, FQuit.Widget(), KQuitBox.Left, KQuitBox.Top, KQuitBox.Width, KQuitBox.Height);

  gtk_widget_show_all(FWindow);
  // The status line's width follows the buttons from here on, however they are shown or hidden.
  for (GtkWidget* button : {FPlay.Widget(), FRetry.Widget(), FQuit.Widget()})
    g_signal_connect_swapped(button, "notify::visible", G_CALLBACK(FitStatus), this);
  FitStatus(this);
}

TGtkWindow::~TGtkWindow() {
  // Nothing of the window's teardown may size a status line that is going away.
  for (GtkWidget* button : {FPlay.Widget(), FRetry.Widget(), FQuit.Widget()})
    g_signal_handlers_disconnect_by_data(button, this);
  gtk_widget_destroy(FWindow);
}

bool TGtkWindow::LoadPicture(const std::string& JpegPath) {
  auto picture = std::make_unique<TRgbPicture>();
  if (!LoadJpegFile(JpegPath, *picture))
    return false;
  const int width = picture->Width;
  const int height = picture->Height;
  guchar* pixels = picture->Pixels.data();
  // The pixbuf borrows the decoded rows and frees them with the picture.
  GdkPixbuf* decoded = gdk_pixbuf_new_from_data(pixels, GDK_COLORSPACE_RGB, FALSE, 8, width, height,
                                                width * 3, FreePixels, picture.release());
  GdkPixbuf* scaled =
      gdk_pixbuf_scale_simple(decoded, KClientWidth, KPictureHeight, GDK_INTERP_BILINEAR);
  g_object_unref(decoded);
  if (!scaled)
    return false;
  gtk_image_set_from_pixbuf(GTK_IMAGE(FPicture), scaled);
  g_object_unref(scaled);
  return true;
}

void TGtkWindow::Close() {
  if (FClosed)
    return;
  FClosed = true;
  gtk_widget_hide(FWindow);
  if (gtk_main_level() > 0)
    gtk_main_quit();
}

void TGtkWindow::FitStatus(gpointer Self) {
  auto* self = static_cast<TGtkWindow*>(Self);
  const auto shown = [](const TGtkButton& Button) {
    return gtk_widget_get_visible(Button.Widget()) != FALSE;
  };
  const int width = StatusWidth(KStatusBox, {{KPlayBox, shown(self->FPlay)},
                                             {KRetryBox, shown(self->FRetry)},
                                             {KQuitBox, shown(self->FQuit)}});
  gtk_widget_set_size_request(self->FStatus.Widget(), width, KStatusBox.Height);
}

std::string TGtkWindow::StatusText() const {
  return gtk_label_get_text(GTK_LABEL(FStatus.Widget()));
}

gboolean TGtkWindow::DeleteEvent(GtkWidget*, GdkEvent*, gpointer Self) {
  auto* self = static_cast<TGtkWindow*>(Self);
  auto closeBox = self->FCloseBox;
  RunGuarded([&] {
    if (closeBox)
      closeBox();
    else
      self->Close();
  });
  return TRUE;  // the window is destroyed by its owner, not by the close box
}

void TGtkWaker::WakeUp() {
  if (!FPending.exchange(true))
    g_idle_add(RunIdle, this);
}

gboolean TGtkWaker::RunIdle(gpointer Self) {
  auto* self = static_cast<TGtkWaker*>(Self);
  // Cleared first: a call posted while these run schedules the next round.
  self->FPending = false;
  // A call that raised ends its round early; the calls behind it get another round.
  if (self->FQueue && !RunGuarded([self] { self->FQueue->RunPending(); }))
    self->WakeUp();
  return G_SOURCE_REMOVE;
}

}  // namespace vt
