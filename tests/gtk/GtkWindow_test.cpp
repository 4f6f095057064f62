// The GTK window on a real display (skipped without one, e.g. run it under xvfb-run): the
// controls sit where the layout says, and clicks, tooltips, the bar and the main-thread queue
// reach GTK as the window's logic expects.

#include "shell/gtk/GtkWindow.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace vt {
namespace {

class GtkWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!gtk_init_check(nullptr, nullptr))
      GTEST_SKIP() << "no display";
  }
  static void Settle() {
    for (int i = 0; i < 20; ++i) {
      while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  static GtkAllocation Place(TButtonControl& Button) {
    GtkAllocation box;
    gtk_widget_get_allocation(dynamic_cast<TGtkButton&>(Button).Widget(), &box);
    return box;
  }
};

TEST_F(GtkWindowTest, ButtonsAndBarSitWhereTheLayoutPutsThem) {
  TGtkWindow window;
  Settle();
  // Allocations are relative to the window: the panel starts 321 pixels down.
  const GtkAllocation play = Place(window.PlayButton());
  EXPECT_EQ(play.x, 476);
  EXPECT_EQ(play.y, 321 + 12);
  EXPECT_EQ(play.width, 110);
  EXPECT_EQ(play.height, 30);
  const GtkAllocation retry = Place(window.RetryButton());
  EXPECT_EQ(retry.y, 321 + 46);
  const GtkAllocation quit = Place(window.QuitButton());
  EXPECT_EQ(quit.x, 596);
  EXPECT_EQ(quit.width, 108);
  GtkAllocation bar;
  gtk_widget_get_allocation(dynamic_cast<TGtkBar&>(window.Bar()).Widget(), &bar);
  EXPECT_EQ(bar.x, 16);
  EXPECT_EQ(bar.y, 321 + 44);
  EXPECT_EQ(bar.width, 440);
  EXPECT_EQ(bar.height, 18);
}

TEST_F(GtkWindowTest, StatusLineWidensWhenTheButtonsBesideItHide) {
  TGtkWindow window;
  GtkWidget* label = dynamic_cast<TGtkLabel&>(window.Status()).Widget();
  const auto width = [&] {
    Settle();
    GtkAllocation box;
    gtk_widget_get_allocation(label, &box);
    return box.width;
  };
  window.Status().SetText(std::string(400, 'x'));
  EXPECT_EQ(width(), 440);
  window.PlayButton().SetVisible(false);
  EXPECT_EQ(width(), 560);
  window.QuitButton().SetVisible(false);
  EXPECT_EQ(width(), 688);
  window.PlayButton().SetVisible(true);
  EXPECT_EQ(width(), 440);
  // Cut with an ellipsis, not by the next control: the text itself is kept whole.
  EXPECT_TRUE(gtk_label_get_layout(GTK_LABEL(label)) &&
              pango_layout_is_ellipsized(gtk_label_get_layout(GTK_LABEL(label))));
  EXPECT_EQ(window.StatusText(), std::string(400, 'x'));
}

TEST_F(GtkWindowTest, ButtonsAreDarkOnTheDarkPanel) {
  TGtkWindow window;
  Settle();
  GtkStyleContext* style =
      gtk_widget_get_style_context(dynamic_cast<TGtkButton&>(window.QuitButton()).Widget());
  const auto colour = [style](const char* Property, GtkStateFlags State) {
    GdkRGBA* value = nullptr;
    gtk_style_context_save(style);
    gtk_style_context_set_state(style, State);
    gtk_style_context_get(style, State, Property, &value, nullptr);
    gtk_style_context_restore(style);
    const GdkRGBA copy = value ? *value : GdkRGBA{};
    gdk_rgba_free(value);
    return copy;
  };
  // Light text on a faint, translucent fill that the panel shows through.
  const GdkRGBA text = colour("color", GTK_STATE_FLAG_NORMAL);
  EXPECT_GT(text.red + text.green + text.blue, 2.4);
  const GdkRGBA fill = colour("background-color", GTK_STATE_FLAG_NORMAL);
  EXPECT_LT(fill.alpha, 0.5);
  // Each state looks different from the others.
  const GdkRGBA hover = colour("background-color", GTK_STATE_FLAG_PRELIGHT);
  const GdkRGBA pressed = colour("background-color", GTK_STATE_FLAG_ACTIVE);
  const GdkRGBA dimmed = colour("color", GTK_STATE_FLAG_INSENSITIVE);
  EXPECT_FALSE(gdk_rgba_equal(&hover, &fill));
  EXPECT_FALSE(gdk_rgba_equal(&pressed, &fill));
  EXPECT_FALSE(gdk_rgba_equal(&pressed, &hover));
  EXPECT_LT(dimmed.alpha, text.alpha);
}

TEST_F(GtkWindowTest, ControlsPassTheirStateToGtk) {
  TGtkWindow window;
  GtkWidget* label = dynamic_cast<TGtkLabel&>(window.Status()).Widget();
  window.Status().SetText("Update failed: a long reason");
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), "Update failed: a long reason");
  // GTK hands out a copy of the tooltip, ours to free.
  const auto tooltip = [label] {
    std::unique_ptr<gchar, decltype(&g_free)> text(gtk_widget_get_tooltip_text(label), g_free);
    return text ? std::optional<std::string>(text.get()) : std::nullopt;
  };
  window.Status().SetTooltip("the whole reason");
  EXPECT_EQ(tooltip(), "the whole reason");
  window.Status().SetTooltip("");
  EXPECT_EQ(tooltip(), std::nullopt);

  GtkWidget* bar = dynamic_cast<TGtkBar&>(window.Bar()).Widget();
  window.Bar().SetPosition(250);
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)), 0.25);
  window.Bar().SetPosition(1000);
  EXPECT_DOUBLE_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)), 1.0);

  GtkWidget* play = dynamic_cast<TGtkButton&>(window.PlayButton()).Widget();
  window.PlayButton().SetVisible(false);
  EXPECT_FALSE(gtk_widget_get_visible(play));
  int clicks = 0;
  window.PlayButton().OnClick([&] { ++clicks; });
  gtk_button_clicked(GTK_BUTTON(play));
  EXPECT_EQ(clicks, 1);
  window.PlayButton().OnClick({});
  gtk_button_clicked(GTK_BUTTON(play));
  EXPECT_EQ(clicks, 1);

  EXPECT_FALSE(window.LoadPicture("/nonexistent/background1.jpeg"));
}

TEST_F(GtkWindowTest, CallsPostedFromAnotherThreadRunOnTheLoop) {
  TGtkWaker waker;
  TCallQueue queue([&waker] { waker.WakeUp(); });
  waker.Attach(queue);
  int ran = 0;
  std::thread poster([&] {
    for (int i = 0; i < 50; ++i)
      queue.Post(nullptr, [&ran] { ++ran; });
  });
  poster.join();
  EXPECT_EQ(ran, 0);  // nothing runs until the loop does
  Settle();
  EXPECT_EQ(ran, 50);
}

}  // namespace
}  // namespace vt
