// The Win32 status line's text as it fits its room: whole when it fits, else cut between whole
// characters (never inside a surrogate pair) with an ellipsis, and no wider than the room.

#include <gtest/gtest.h>

#include <string>

#include "shell/win32/Win32Controls.h"

namespace vt {
namespace {

TEST(FittedText, CutsBetweenWholeCharactersWithAnEllipsis) {
  HDC dc = GetDC(nullptr);
  ASSERT_NE(dc, nullptr);
  HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  const std::wstring texts[] = {
      L"Update failed: could not connect to the server",
      // U+1F3F0 (castle) and U+1D11E (clef) need two UTF-16 units each.
      L"\U0001F3F0\U0001F3F0 Veltrano \U0001D11E\U0001D11E\U0001D11E\U0001F3F0 update",
      std::wstring(40, L'\u00E9'),
  };
  for (const std::wstring& text : texts) {
    SIZE whole{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &whole);
    SIZE dots{};
    GetTextExtentPoint32W(dc, L"\u2026", 1, &dots);
    for (int width = 0; width <= whole.cx + 4; ++width) {
      SCOPED_TRACE(testing::Message() << "width " << width);
      const std::wstring shown = FittedText(dc, text, width);
      if (width >= whole.cx) {
        EXPECT_EQ(shown, text);
        continue;
      }
      ASSERT_FALSE(shown.empty());
      ASSERT_EQ(shown.back(), L'\u2026');
      const std::wstring start = shown.substr(0, shown.size() - 1);
      EXPECT_EQ(text.compare(0, start.size(), start), 0);
      if (!start.empty()) {
        const wchar_t last = start.back();
        EXPECT_FALSE(last >= 0xD800 && last <= 0xDBFF) << "a surrogate pair is cut";
      }
      SIZE extent{};
      GetTextExtentPoint32W(dc, shown.c_str(), static_cast<int>(shown.size()), &extent);
      if (!start.empty()) {
        EXPECT_LE(extent.cx, width);
      }
    }
  }
  SelectObject(dc, old);
  ReleaseDC(nullptr, dc);
}

TEST(FittedText, WholeCharactersNeverEndsInsideASurrogatePair) {
  const std::wstring text = L"a\U0001F3F0b";  // a, high, low, b
  struct {
    size_t Count, Expected;
  } cases[] = {{0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 4}, {9, 4}};
  for (const auto& c : cases)
    EXPECT_EQ(WholeCharacters(text, c.Count), c.Expected) << c.Count;
}

}  // namespace
}  // namespace vt
