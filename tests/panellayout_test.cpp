// The status line's room beside the launcher's buttons, as both windows lay it out.

#include "shell/PanelLayout.h"

#include <gtest/gtest.h>

namespace vt {
namespace {

TEST(PanelLayout, StatusLineRunsToTheLeftmostShownButtonBesideIt) {
  // GTK's status box (28 high) and Win32's (20 high) share the buttons' first row only.
  for (const int height : {28, 20}) {
    const TBox status{16, 12, 440, height};
    struct TCase {
      bool Play, Retry, Quit;
      int Width;
    } cases[] = {
        {true, true, true, 440},     // all shown: up to "Play anyway"
        {true, false, false, 440},   //
        {false, true, true, 560},    // "Try again" sits below the line: up to "Quit"
        {false, false, true, 560},   //
        {false, true, false, 688},   // nothing beside it: to the panel's right margin
        {false, false, false, 688},  //
    };
    for (const TCase& c : cases) {
      SCOPED_TRACE(testing::Message() << "height " << height << ", play " << c.Play << ", retry "
                                      << c.Retry << ", quit " << c.Quit);
      EXPECT_EQ(StatusWidth(status, {{KPlayBox, c.Play}, {KRetryBox, c.Retry}, {KQuitBox, c.Quit}}),
                c.Width);
    }
  }
}

}  // namespace
}  // namespace vt
