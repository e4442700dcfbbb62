// Where a popup menu opens: inside the usable screen, turned to the side with
// room when it would run past an edge.
#include <gtest/gtest.h>

#include "platform/ui_internal.h"

namespace {

TEST(PopupFit, StaysOnTheScreen) {
  const SDL_Rect screen{0, 0, 1920, 1080};
  const SDL_Rect second{1920, 24, 1280, 1000};  // a screen to the right, below a top bar
  struct Row {
    SDL_Rect area;
    int x, y;  // asked
    int fx, fy;  // given
  } rows[] = {
      {screen, 100, 100, 100, 100},      // room: where asked
      {screen, 1800, 100, 1520, 100},    // past the right edge: opens to the left of the point
      {screen, 100, 1000, 100, 660},     // past the bottom (the Canvases list near the foot of the window): upwards
      {screen, 1900, 1070, 1620, 730},   // both
      {screen, -50, -20, 0, 0},          // left of and above the screen: held inside
      {second, 3150, 500, 2870, 500},    // on the second screen
      {second, 2000, 10, 2000, 24},      // under its top bar
      {SDL_Rect{0, 0, 200, 300}, 50, 50, 0, 0},  // a screen smaller than the menu keeps its top left corner
  };
  for (const Row& row : rows) {
    int x = row.x;
    int y = row.y;
    ui_fit_popup(row.area, 280, 340, &x, &y);
    EXPECT_EQ(x, row.fx) << row.x << "," << row.y;
    EXPECT_EQ(y, row.fy) << row.x << "," << row.y;
  }
}

}  // namespace
