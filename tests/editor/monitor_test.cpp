// The Timeline tab's monitor driven as a user drives it: the canvas previews
// and the Canvases menu, the clip layers composed from real media, the inset
// of the top clip (its button, wheel and drag), the side column, the progress
// knob, the titles, and the Export button's refusal. Positions are checked
// against plain arithmetic on the 1334 x 872 window, and pictures by the
// pixels the editor drew.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

constexpr uint32_t kCanvasGround = 0x090B0A;  // an empty canvas picture
constexpr uint32_t kBadColour = 0xA7142A;     // a title background that starts with "#" but is no colour
constexpr char kExportRefused[] = "Preview every open canvas in Timeline before exporting.";

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// The colour of frame n of coded.mp4.
uint32_t coded(int n) {
  return static_cast<uint32_t>(8 * (n % 30)) << 16 | static_cast<uint32_t>(64 * (n / 30)) << 8 | 128;
}

::testing::AssertionResult near_colour(uint32_t got, uint32_t want, int tolerance = 14) {
  for (int shift : {16, 8, 0}) {
    const int a = static_cast<int>((got >> shift) & 255);
    const int b = static_cast<int>((want >> shift) & 255);
    if (std::abs(a - b) > tolerance) {
      char text[64];
      std::snprintf(text, sizeof text, "#%06X is not near #%06X", got, want);
      return ::testing::AssertionFailure() << text;
    }
  }
  return ::testing::AssertionSuccess();
}

std::string text_of(Rect r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

// What the Canvases menu showed last and what it answers.
struct CanvasMenu {
  static inline std::vector<std::string> labels;
  static inline std::vector<uint64_t> commands;
  static inline uint64_t answer = 0;
  static inline int shown = 0;
  static uint64_t popup(int32_t, int32_t, const UiMenuEntry* entries, uint64_t count) {
    ++shown;
    labels.clear();
    commands.clear();
    for (uint64_t i = 0; i < count; ++i) {
      labels.emplace_back(entries[i].label);
      commands.push_back(entries[i].command);
    }
    return answer;
  }
};

class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {nullptr, nullptr, CanvasMenu::popup};
    ui_set_dialog_hooks(&hooks);
    CanvasMenu::labels.clear();
    CanvasMenu::commands.clear();
    CanvasMenu::answer = 0;
    CanvasMenu::shown = 0;
    for (const char* name : {"coded.mp4", "corner.mp4", "tone-stereo.wav"})
      ASSERT_EQ(::symlink(fixture(name).c_str(), dir.file(name).c_str()), 0);
  }
  void TearDown() override {
    editor.reset();
    ui_set_dialog_hooks(nullptr);
  }

  // Starts the editor on a project.json holding `json` and opens the Timeline tab.
  void open(const std::string& json) {
    editor.reset();
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
    ASSERT_EQ(app->active_tab, KELVRA_TAB_TIMELINE);
  }

  template <typename Condition>
  bool step_until(Condition done, int frames = 300) {
    for (int i = 0; i < frames; ++i) {
      if (done()) return true;
      editor->step();
    }
    return done();
  }
  // Steps until the pixel at (x, y) is near `want`; the check that follows reports the colour.
  void wait_for(int x, int y, uint32_t want) {
    step_until([&] { return near_colour(editor->pixel(x, y), want); });
  }

  void wheel(int notches, int x, int y) {
    kelvra_test::push_wheel(editor->window_id, notches, x, y);
    editor->step();
  }
  // A press, moves in three steps, and a release.
  void drag(int x0, int y0, int x1, int y1) {
    editor->button(true, x0, y0);
    editor->step();
    for (int i = 1; i <= 3; ++i) editor->motion(x0 + (x1 - x0) * i / 3, y0 + (y1 - y0) * i / 3);
    editor->step();
    editor->button(false, x1, y1);
    editor->step();
  }
  // A press on the ruler above the lanes at timeline time t.
  void scrub(double t) {
    const int x = app->clip_lanes.x + static_cast<int>(std::lround(t * app->pixels_per_second));
    editor->click(Rect{x, app->clip_lanes.y + 5, 1, 1});
  }
  // Opens the Canvases menu and answers it with `command` (0: nothing chosen).
  void choose_canvas(uint64_t command) {
    CanvasMenu::answer = command;
    editor->click(app->canvases_button);
  }
  void undo() { editor->key(SDLK_z, KMOD_LCTRL); }

  // Pixels in `r` that differ from `ground`, and the rightmost of them.
  int marked(Rect r, uint32_t ground, int* rightmost = nullptr) {
    int count = 0;
    if (rightmost != nullptr) *rightmost = -1;
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x)
        if (editor->pixel(x, y) != ground) {
          ++count;
          if (rightmost != nullptr) *rightmost = std::max(*rightmost, x);
        }
    return count;
  }
  // Whether some pixel in `r` is near `ink` (text is smoothed, so its strongest pixels are near it).
  bool has_ink(Rect r, uint32_t ink) {
    for (int y = r.y; y < r.y + r.height; ++y)
      for (int x = r.x; x < r.x + r.width; ++x)
        if (near_colour(editor->pixel(x, y), ink, 40)) return true;
    return false;
  }
  Rect primary() {
    Rect picture;
    kelvra_primary_picture(&picture, app);
    return picture;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// ------------------------------------------------------------ canvases

TEST_F(Monitor, CanvasesMenuOpensCellsInPresetOrder) {
  open(R"({"sources": [], "primaryCanvas": "fullhd", "canvasSizes": ["fullhd"]})");
  EXPECT_EQ(text_of(app->monitor_area), "185,77 986x518");
  EXPECT_EQ(text_of(app->inset_button), "1113,602 56x24");

  // The first open shows every preset, the open one ticked.
  choose_canvas(0);
  ASSERT_EQ(CanvasMenu::labels.size(), 14u);
  EXPECT_EQ(CanvasMenu::labels[0], "    HD 720p  1280 × 720");
  EXPECT_EQ(CanvasMenu::labels[1], "✓ Full HD  1920 × 1080");
  EXPECT_EQ(CanvasMenu::labels[13], "    Scope  2048 × 858");
  for (uint64_t i = 0; i < 14; ++i) EXPECT_EQ(CanvasMenu::commands[i], i + 1);
  EXPECT_EQ(app->history.undo_count, 0u);  // nothing chosen, nothing changed

  // One canvas: the whole area; its 16:9 picture under the label strip.
  Rect cell;
  EXPECT_EQ(text_of(*kelvra_preview_cell(&cell, app, 1)), "187,78 982x516");
  EXPECT_EQ(text_of(primary()), "236,97 884x497");
  EXPECT_EQ(editor->pixel(236, 97), kCanvasGround);
  EXPECT_EQ(editor->pixel(236 + 883, 97 + 496), kCanvasGround);
  EXPECT_EQ(editor->pixel(235, 300), PALETTE_PICTURE);  // beside the picture: the monitor's own ground
  EXPECT_EQ(editor->pixel(236 + 884, 300), PALETTE_PICTURE);
  EXPECT_GT(marked(Rect{191, 78, 974, 18}, PALETTE_PICTURE), 20);  // the label

  // Open the others in preset order; cells as the count of open canvases grows.
  struct Cell {
    uint32_t open;   // canvases open when checked
    uint32_t index;  // preset
    Rect cell;
  };
  const Cell cells[] = {
      {2, 0, {187, 78, 489, 516}},    {2, 1, {680, 78, 489, 516}},  {3, 2, {844, 78, 324, 516}},
      {6, 5, {844, 337, 324, 257}},   {7, 6, {680, 337, 242, 257}}, {7, 0, {187, 78, 242, 257}},
      {14, 9, {433, 337, 242, 127}},  {14, 13, {433, 466, 242, 127}}, {14, 1, {433, 78, 242, 127}},
  };
  uint32_t open = 1;
  for (uint32_t preset = 0; preset < 14; ++preset) {
    if (preset == 1) continue;
    choose_canvas(preset + 1);
    ++open;
    EXPECT_EQ(kelvra_canvas_mask(&app->project) >> preset & 1, 1u) << preset;
    EXPECT_EQ(app->history.undo_count, open - 1) << "one step per choice";
    for (const Cell& c : cells) {
      if (c.open != open) continue;
      EXPECT_EQ(text_of(*kelvra_preview_cell(&cell, app, c.index)), text_of(c.cell)) << open << " open";
      const Rect r = c.cell;
      EXPECT_GT(marked(Rect{r.x + 4, r.y, r.width - 8, 18}, PALETTE_PICTURE), 20) << "label of " << c.index;
    }
    if (open == 7) {
      // The 9:16 canvas in its 242 x 238 picture space: 134 x 238, centred.
      EXPECT_EQ(editor->pixel(734, 450), kCanvasGround);
      EXPECT_EQ(editor->pixel(734 + 133, 450), kCanvasGround);
      EXPECT_EQ(editor->pixel(733, 450), PALETTE_PICTURE);
      EXPECT_EQ(editor->pixel(734 + 134, 450), PALETTE_PICTURE);
    }
  }
  choose_canvas(0);
  for (const std::string& label : CanvasMenu::labels) EXPECT_EQ(label.rfind("✓ ", 0), 0u) << label;

  // A window this low leaves cells too small to draw: no label, no picture.
  SDL_SetWindowSize(ui_window_sdl(app->window), 1334, 400);
  editor->step(2);
  ASSERT_EQ(app->timeline_top, 245);
  kelvra_preview_cell(&cell, app, 13);
  EXPECT_EQ(text_of(cell), "433,174 242x30");
  EXPECT_EQ(marked(cell, PALETTE_PICTURE), 0);
  SDL_SetWindowSize(ui_window_sdl(app->window), 1334, 872);
  editor->step(2);

  // Undo takes the canvases away one at a time, back to the one in the file.
  const uint64_t steps = app->history.undo_count;
  for (uint64_t i = 0; i < steps; ++i) undo();
  EXPECT_EQ(kelvra_canvas_mask(&app->project), 1u << 1);
}

TEST_F(Monitor, TheLastOpenCanvasStaysOpen) {
  // "cinema" names no preset: the editor works on Full HD.
  struct Case {
    const char* json;
    uint32_t only;  // the one open preset
  } cases[] = {
      {R"({"sources": [], "primaryCanvas": "cinema"})", 1},
      {R"({"sources": []})", 1},
      {R"({"sources": [], "primaryCanvas": "square", "canvasSizes": ["square"]})", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    open(c.json);
    EXPECT_EQ(kelvra_canvas_mask(&app->project), 1u << c.only);
    choose_canvas(0);
    ASSERT_EQ(CanvasMenu::labels.size(), 14u);
    for (uint32_t i = 0; i < 14; ++i) EXPECT_EQ(CanvasMenu::labels[i].rfind("✓ ", 0) == 0, i == c.only) << i;
    choose_canvas(c.only + 1);
    EXPECT_EQ(kelvra_canvas_mask(&app->project), 1u << c.only);
    EXPECT_EQ(app->history.undo_count, 0u);
    EXPECT_EQ(app->dirty, 0);
    // Another canvas opens; then the first may close, leaving the other.
    const uint32_t other = c.only == 1 ? 12 : 1;
    choose_canvas(other + 1);
    choose_canvas(c.only + 1);
    EXPECT_EQ(kelvra_canvas_mask(&app->project), 1u << other);
    EXPECT_EQ(app->history.undo_count, 2u);
    editor.reset();
  }
}

// ---------------------------------------------------------------- layers

// A full-frame clip of coded.mp4 (frame 0: #000080) under a clip of another
// picture on a higher lane, listed first. The top covers the canvas until the
// Inset button makes it a picture-in-picture, then only its inset shows it.
TEST_F(Monitor, TopLaneCoversTheCanvasUntilInsetThenOnlyItsInset) {
  struct Case {
    const char* top;     // the upper clip's members
    double cover_width;  // the upper picture covering the 884 x 497 canvas
    double cover_height;
    Rect inset;          // where the Inset button puts it
    uint32_t colour;     // the upper picture's top-left quarter
  } cases[] = {
      // 320 x 240, frame 93 of coded.mp4: covers at 884 x 663.
      {R"("sourceId": "coded", "in": 3.1, "out": 4)", 884, 663, {757, 124, 285, 214}, coded(93)},
      // 64 x 32 with a red top-left quarter: covers at 994 x 497.
      {R"("sourceId": "corner", "in": 0, "out": 0.1, "mode": "loop", "loops": 10)", 994, 497, {740, 152, 318, 159},
       0xFF0000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.top);
    open(std::string(R"({"sources": [{"id": "coded", "file": "coded.mp4"}, {"id": "corner", "file": "corner.mp4"}],
                  "clips": [{"id": "top", "name": "Top", "lane": 1, )") +
         c.top + R"(},
                            {"id": "bottom", "name": "Bottom", "sourceId": "coded", "out": 4, "lane": 0}]})");
    const Rect p = primary();
    ASSERT_EQ(text_of(p), "236,97 884x497");
    const int qx = p.x + p.width / 4;  // a quarter in from the top left: (457, 221)
    const int qy = p.y + p.height / 4;
    wait_for(qx, qy, c.colour);
    EXPECT_TRUE(near_colour(editor->pixel(qx, qy), c.colour));
    EXPECT_TRUE(near_colour(editor->pixel(p.x + 2, p.y + 2), c.colour));
    EXPECT_EQ(kelvra_inset_clip(app), 0);
    EXPECT_EQ(app->previewed_canvases, 1u << 1);
    const Rect button = app->inset_button;
    EXPECT_EQ(editor->pixel(button.x + 4, button.y + 4), PALETTE_BUTTON);

    // Inset: a quarter canvas right, 0.23 up, sized to 43 % of the height or 36 % of the width.
    editor->click(button);
    const Transform& t = app->project.clips[0].transform;
    EXPECT_EQ(t.x, 0.25);
    EXPECT_EQ(t.y, -0.23);
    EXPECT_DOUBLE_EQ(t.scale, std::max(std::min(497 * 0.43 / c.cover_height, 884 * 0.36 / c.cover_width), 0.1));
    EXPECT_EQ(t.edited, 1);
    EXPECT_EQ(app->history.undo_count, 1u);
    Rect inset;
    kelvra_inset_bounds(&inset, app, p, &t);
    EXPECT_EQ(text_of(inset), text_of(c.inset));
    const int ix = c.inset.x + c.inset.width / 4;
    const int iy = c.inset.y + c.inset.height / 4;
    wait_for(qx, qy, coded(0));
    EXPECT_TRUE(near_colour(editor->pixel(qx, qy), coded(0)));  // the bottom clip around the inset
    EXPECT_TRUE(near_colour(editor->pixel(ix, iy), c.colour));
    EXPECT_TRUE(near_colour(editor->pixel(c.inset.x + 3, c.inset.y + 3), c.colour));
    EXPECT_TRUE(near_colour(editor->pixel(c.inset.x - 3, c.inset.y + 3), coded(0)));
    EXPECT_TRUE(near_colour(editor->pixel(c.inset.x + 3, c.inset.y - 3), coded(0)));
    EXPECT_TRUE(near_colour(editor->pixel(c.inset.x + c.inset.width + 2, iy), coded(0)));
    EXPECT_EQ(editor->pixel(button.x + 4, button.y + 4), PALETTE_ACTIVE_BUTTON);

    // Again: full frame once more, as its own step.
    editor->click(button);
    EXPECT_EQ(t.x, 0.0);
    EXPECT_EQ(t.y, 0.0);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(app->history.undo_count, 2u);
    wait_for(qx, qy, c.colour);
    EXPECT_TRUE(near_colour(editor->pixel(qx, qy), c.colour));

    undo();
    EXPECT_EQ(text_of(*kelvra_inset_bounds(&inset, app, p, &t)), text_of(c.inset));
    undo();
    EXPECT_EQ(t.x, 0.0);
    EXPECT_EQ(t.y, 0.0);
    EXPECT_EQ(t.scale, 1.0);
    EXPECT_EQ(t.edited, 0);
    editor.reset();
  }
}

// A layer fading in is drawn at its opacity over the layer below.
TEST_F(Monitor, FadingLayerBlendsWithTheOneBelow) {
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
           "clips": [{"id": "a", "name": "Under", "sourceId": "coded", "out": 4, "lane": 0},
                     {"id": "b", "name": "Over", "sourceId": "coded", "in": 2, "out": 4, "lane": 2, "fadeIn": 1}]})");
  const Rect p = primary();
  const int x = p.x + p.width / 2;
  const int y = p.y + p.height / 2;
  scrub(0.5);  // under: frame 15; over: frame 75 at half opacity
  const uint32_t half = (coded(15) & 0xFF00FF) | (((coded(75) >> 8 & 255) / 2) << 8);
  wait_for(x, y, half);
  EXPECT_TRUE(near_colour(editor->pixel(x, y), half));
  scrub(1.5);  // fully in: frame 105 only
  wait_for(x, y, coded(105));
  EXPECT_TRUE(near_colour(editor->pixel(x, y), coded(105)));
}

// ----------------------------------------------------------------- inset

// Two clips of missing files are enough for an inset: the wheel and the drag
// work on the document; the inset is as large as the canvas at scale 1.
const char kInsetProject[] = R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}],
  "clips": [{"id": "under", "name": "Under", "sourceId": "a", "out": 60, "lane": 0},
            {"id": "over", "name": "Over", "sourceId": "b", "out": 4, "lane": 1,
             "transforms": {"fullhd": {"x": 0.25, "y": -0.23, "scale": SCALE}}}]})";

std::string inset_project(const char* scale) {
  std::string json = kInsetProject;
  json.replace(json.find("SCALE"), 5, scale);
  return json;
}

// The inset's centre: the picture's centre moved 0.25 widths right and 0.23 heights up.
constexpr int kInsetX = 236 + 442 + 221;
constexpr int kInsetY = 97 + 248 - 114;

TEST_F(Monitor, WheelOverTheInsetSizesItWithinLimits) {
  struct Case {
    const char* start;
    int notches;
    double end;
    double before;   // the size before the last change
    uint64_t steps;  // only the changes are steps
  } cases[] = {
      {"0.9", 1, 0.98, 0.94, 2},
      {"0.2", -1, 0.1, 0.12, 3},
      {"0.5", 1, 0.9, 0.86, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    open(inset_project(c.start));
    const Transform& t = app->project.clips[1].transform;
    ASSERT_EQ(kelvra_inset_clip(app), 1);
    const double scroll = app->timeline_scroll;
    for (int i = 0; i < 10; ++i) wheel(c.notches, kInsetX, kInsetY);
    EXPECT_NEAR(t.scale, c.end, 1e-12);
    EXPECT_EQ(app->history.undo_count, c.steps);
    EXPECT_EQ(t.x, 0.25);
    EXPECT_EQ(t.y, -0.23);
    EXPECT_EQ(app->timeline_scroll, scroll);
    undo();
    EXPECT_NEAR(t.scale, c.before, 1e-12);
    editor.reset();
  }
}

// "Inset" off and on again gives the inset back where and as large as the
// user left it; the button says when the inset is on.
TEST_F(Monitor, InsetOffAndOnKeepsItsSizeAndPlace) {
  open(inset_project("0.5"));
  const Transform& t = app->project.clips[1].transform;
  ASSERT_EQ(kelvra_inset_clip(app), 1);
  wheel(1, kInsetX, kInsetY);
  drag(kInsetX, kInsetY, kInsetX - 40, kInsetY + 20);
  const Transform given = t;
  ASSERT_NEAR(given.scale, 0.54, 1e-12);
  ASSERT_NE(given.x, 0.25);
  editor->click(app->inset_button);
  EXPECT_EQ(t.scale, 1.0);
  EXPECT_EQ(t.x, 0.0);
  editor->click(app->inset_button);
  EXPECT_EQ(t.scale, given.scale);
  EXPECT_EQ(t.x, given.x);
  EXPECT_EQ(t.y, given.y);
}

TEST_F(Monitor, WheelAwayFromTheInsetGoesToWhatIsUnderIt) {
  open(inset_project("0.4"));
  const Transform& t = app->project.clips[1].transform;
  wheel(1, 300, 500);  // the picture, beside the inset
  wheel(1, 1200, 300);  // the side column
  EXPECT_EQ(t.scale, 0.4);
  EXPECT_EQ(app->history.undo_count, 0u);
  // The lanes still scroll, two seconds a notch.
  wheel(-1, app->clip_lanes.x + 300, app->clip_lanes.y + 50);
  EXPECT_EQ(app->timeline_scroll, 2.0);
  // A full-frame top clip takes no wheel: the Inset button is what makes an inset.
  open(inset_project("1"));
  wheel(1, kInsetX, kInsetY);
  wheel(1, 678, 345);
  EXPECT_EQ(app->project.clips[1].transform.scale, 1.0);
  EXPECT_EQ(app->history.undo_count, 0u);
}

TEST_F(Monitor, DraggingTheInsetMovesItByPictureFractions) {
  open(inset_project("0.4"));
  const Transform& t = app->project.clips[1].transform;
  drag(kInsetX, kInsetY, kInsetX + 88, kInsetY - 50);
  EXPECT_DOUBLE_EQ(t.x, 0.25 + 88.0 / 884);
  EXPECT_DOUBLE_EQ(t.y, -0.23 - 50.0 / 497);
  EXPECT_EQ(t.scale, 0.4);
  EXPECT_EQ(t.edited, 1);
  EXPECT_EQ(app->history.undo_count, 1u);  // one step for the whole drag
  EXPECT_EQ(app->playing, 0);              // a press on the inset does not play
  EXPECT_EQ(app->drag_kind, KELVRA_DRAG_NONE);
  undo();
  EXPECT_EQ(t.x, 0.25);
  EXPECT_EQ(t.y, -0.23);
  EXPECT_EQ(t.edited, 0);

  // A move of one pixel is no drag.
  drag(kInsetX, kInsetY, kInsetX + 1, kInsetY - 1);
  EXPECT_EQ(t.x, 0.25);
  EXPECT_EQ(t.y, -0.23);
  EXPECT_EQ(app->history.undo_count, 0u);
  EXPECT_EQ(app->playing, 0);

  // Far past the window, the pointer still held: three canvases at most.
  drag(kInsetX, kInsetY, kInsetX + 4000, kInsetY - 3000);
  EXPECT_EQ(t.x, 3.0);
  EXPECT_EQ(t.y, -3.0);
  EXPECT_EQ(app->history.undo_count, 1u);
  drag(kInsetX - 4, kInsetY, -4000, 5000);  // the inset is gone from the picture: a press there plays
  EXPECT_EQ(t.x, 3.0);
  EXPECT_EQ(app->history.undo_count, 1u);
  EXPECT_EQ(app->playing, 1);
  undo();
  EXPECT_EQ(t.x, 0.25);
  EXPECT_EQ(t.y, -0.23);
}

// Without two layers at the playhead, or with the primary canvas closed, there
// is no inset: no button, no wheel, and a press on the monitor plays.
TEST_F(Monitor, NoInsetWithoutTwoLayersOnTheOpenPrimaryCanvas) {
  struct Case {
    const char* what;
    const char* json;
    int64_t inset;
  } cases[] = {
      {"two layers", R"("clips": [{"sourceId": "a", "out": 4}, {"sourceId": "b", "out": 4, "lane": 1}])", 1},
      {"one clip", R"("clips": [{"sourceId": "a", "out": 4}])", -1},
      {"upper picture off", R"("clips": [{"sourceId": "a", "out": 4}, {"sourceId": "b", "out": 4, "lane": 1, "video": false}])",
       -1},
      {"apart in time", R"("clips": [{"sourceId": "a", "out": 4}, {"sourceId": "b", "at": 4, "out": 4, "lane": 1}])", -1},
      {"unknown source", R"("clips": [{"sourceId": "a", "out": 4}, {"sourceId": "zz", "out": 4, "lane": 1}])", -1},
      {"primary closed",
       R"("clips": [{"sourceId": "a", "out": 4}, {"sourceId": "b", "out": 4, "lane": 1}],
          "primaryCanvas": "fullhd", "canvasSizes": ["square"])",
       -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    open(std::string(R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}], )") + c.json + "}");
    EXPECT_EQ(kelvra_inset_clip(app), c.inset);
    const Rect button = app->inset_button;
    EXPECT_EQ(editor->pixel(button.x + 4, button.y + 4) == PALETTE_BUTTON, c.inset >= 0);
    editor->click(button);
    EXPECT_EQ(app->history.undo_count, c.inset >= 0 ? 1u : 0u);
    EXPECT_EQ(app->playing, c.inset >= 0 ? 0 : 1);  // below the monitor, but on the panel
    if (app->playing) editor->click(button);
    wheel(1, kInsetX, kInsetY);
    EXPECT_EQ(app->history.undo_count, c.inset >= 0 ? 2u : 0u);
    editor.reset();
  }
}

// ----------------------------------------------------------------- panel

TEST_F(Monitor, SideColumnKnobAndPressesOnThePanel) {
  open(R"({"sources": [{"id": "a", "file": "a.mp4"}],
           "clips": [{"name": "Wide name of the first clip", "sourceId": "a", "out": 2},
                     {"name": "B", "sourceId": "a", "at": 2, "out": 1, "lane": 1},
                     {"name": "Music bed", "sourceId": "a", "out": 4, "lane": 3, "video": false},
                     {"name": "Over", "sourceId": "a", "at": 1.5, "out": 2.5, "lane": 2}]})");
  // Rows of the side column: 25 px apart from 79, text from x 1179.
  const auto row = [&](int i, int* right) { return marked(Rect{1179, 79 + 25 * i, 141, 24}, PALETTE_BAR, right); };
  struct Case {
    double t;
    int rows;       // clips listed
    bool narrow;    // the first listed is narrower than the second
    int knob;       // left edge of the progress knob
  } cases[] = {
      {1.0, 2, false, 185 + 34 + 235},  // Wide name, Music bed; one layer: track 946, trunc(941 / 4)
      {2.0, 3, true, 185 + 34 + 439},   // B, Music bed, Over; an inset clip: track 883, trunc(878 / 2)
      {3.0, 2, false, 185 + 34 + 705},  // Music bed, Over; one layer again: trunc(941 * 3 / 4)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.t);
    scrub(c.t);
    ASSERT_EQ(app->timeline_playhead, c.t);
    int right[4] = {};
    for (int i = 0; i < c.rows; ++i) EXPECT_GT(row(i, &right[i]), 0) << "row " << i;
    EXPECT_EQ(row(c.rows, &right[3]), 0);
    EXPECT_EQ(right[0] < right[1], c.narrow);  // names of different widths tell the order
    const int knob_y = 77 + 518 + 20;
    EXPECT_EQ(editor->pixel(c.knob + 4, knob_y), PALETTE_SELECTED);
    EXPECT_NE(editor->pixel(c.knob - 2, knob_y), PALETTE_SELECTED);
    EXPECT_NE(editor->pixel(c.knob + 10, knob_y), PALETTE_SELECTED);
  }
  // A press on the monitor or on the column plays the timeline; another pauses it.
  editor->click(Rect{678, 345, 1, 1});
  EXPECT_EQ(app->playing, 1);
  EXPECT_EQ(app->transport_mode, TRANSPORT_TIMELINE);
  editor->click(Rect{1250, 400, 1, 1});
  EXPECT_EQ(app->playing, 0);
  EXPECT_EQ(app->history.undo_count, 0u);
}

// ---------------------------------------------------------------- titles

TEST_F(Monitor, TitlesInEveryCanvasAndOnTheTextTab) {
  struct Case {
    const char* style;
    bool filled;
    uint32_t fill;
    uint32_t ink;
  } cases[] = {
      {R"("background": "#204080", "color": "#ff00ff")", true, 0x204080, 0xFF00FF},
      {R"("background": "#A0b0C0", "color": "#FFFF00")", true, 0xA0B0C0, 0xFFFF00},
      {R"("background": "#12345", "color": "#00ff00")", true, kBadColour, 0x00FF00},
      {R"("background": "#1234567", "color": "ff00ff")", true, kBadColour, PALETTE_PRIMARY_TEXT},
      {R"("background": "#12345g", "color": "#ff00f")", true, kBadColour, PALETTE_PRIMARY_TEXT},
      {R"("background": "#", "color": "#ff00ffff")", true, kBadColour, PALETTE_PRIMARY_TEXT},
      {R"("background": "204080", "color": "#0000ff")", false, 0, 0x0000FF},
      {R"("color": "#12345g")", false, 0, PALETTE_PRIMARY_TEXT},
  };
  // Title i shows from i s for 1 s at the picture's centre. Listed last
  // first, so that one drawn after its end would cover the one due.
  const int n = static_cast<int>(std::size(cases));
  std::string texts;
  for (int i = n - 1; i >= 0; --i)
    texts += "{\"text\": \"MMMM\", \"at\": " + std::to_string(i) + ", \"duration\": 1, \"x\": 0.5, \"y\": 0.5, \"style\": {" +
             cases[i].style + "}},\n";
  for (int i = 0; i < 14; ++i) texts += std::string(i > 0 ? ",\n" : "") + "{\"text\": \"Later " + std::to_string(i) + "\", \"at\": 50}";
  open(R"({"sources": [], "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "shorts"], "texts": [)" + texts + "]}");
  ASSERT_EQ(app->project.title_count, 22u);

  // The two canvas pictures: 16:9 and 9:16 in 489 x 497 spaces.
  const Rect pictures[] = {{187, 208, 489, 275}, {784, 97, 280, 497}};
  for (int i = 0; i < n; ++i) {
    SCOPED_TRACE(cases[i].style);
    scrub(i);  // the title's first instant; the one before has just ended
    for (const Rect& r : pictures) {
      SCOPED_TRACE(text_of(r));
      const Rect box{r.x + r.width / 2 - 85, r.y + r.height / 2 - 15, 170, 30};
      const uint32_t inside = cases[i].filled ? cases[i].fill : kCanvasGround;
      EXPECT_EQ(editor->pixel(box.x, box.y), inside);
      EXPECT_EQ(editor->pixel(box.x + 169, box.y + 29), inside);
      EXPECT_EQ(editor->pixel(box.x - 1, box.y), kCanvasGround);
      EXPECT_EQ(editor->pixel(box.x + 170, box.y + 29), kCanvasGround);
      EXPECT_EQ(editor->pixel(box.x, box.y + 30), kCanvasGround);
      EXPECT_TRUE(has_ink(box, cases[i].ink));
    }
  }
  // Past every span: nothing in the box.
  scrub(20);
  EXPECT_EQ(marked(Rect{187 + 244 - 85, 208 + 137 - 15, 170, 30}, kCanvasGround), 0);

  // The Text tab: titles placed on the primary canvas under its buttons, in
  // its area 952 x 519 from (185, 78); the list of the first 20.
  scrub(0);
  editor->click(app->tab_buttons[KELVRA_TAB_TEXT]);
  ASSERT_EQ(app->active_tab, KELVRA_TAB_TEXT);
  const Rect canvas = app->title_canvas;
  EXPECT_TRUE(canvas.x >= 185 && canvas.y >= 78 + 30 && canvas.x + canvas.width <= 185 + 952 &&
              canvas.y + canvas.height <= 78 + 519)
      << text_of(canvas);
  EXPECT_NEAR(static_cast<double>(canvas.width) / canvas.height, 16.0 / 9, 0.01) << text_of(canvas);
  const Rect box{canvas.x + canvas.width / 2 - 85, canvas.y + canvas.height / 2 - 15, 170, 30};
  EXPECT_EQ(editor->pixel(box.x, box.y), 0x204080u);
  EXPECT_EQ(editor->pixel(box.x + 169, box.y + 29), 0x204080u);
  EXPECT_EQ(editor->pixel(box.x - 1, box.y), kCanvasGround);
  EXPECT_EQ(editor->pixel(185, 78), PALETTE_PICTURE);
  EXPECT_EQ(editor->pixel(185 + 951, 78 + 518), PALETTE_PICTURE);
  EXPECT_EQ(editor->pixel(185 + 952, 78 + 518), PALETTE_PANEL);
  EXPECT_GT(marked(Rect{1149, 80, 160, 23}, PALETTE_PANEL), 20);  // "Saved titles"
  for (int i = 0; i < 20; ++i) EXPECT_GT(marked(Rect{1149, 106 + 21 * i, 158, 21}, PALETTE_PANEL), 0) << i;
  EXPECT_EQ(marked(Rect{1149, 106 + 21 * 20, 158, 21 * 3}, PALETTE_PANEL), 0);
}

// ---------------------------------------------------- previews and export

// A title holding what a project file may hold but text cannot show (the
// escape of code unit 0, a surrogate half alone, a byte that is not UTF-8)
// draws the rest of its text with U+FFFD in that place: pixel for pixel as
// the same title written with the replacement character.
TEST_F(Monitor, TitlesDrawTheRestOfATextThatCannotShowWhole) {
  const std::string cases[][2] = {
      // as the file holds it, and as it shows
      {R"(Harbour\u0000at dawn)", R"(Harbour\uFFFDat dawn)"},
      {R"(\ud83d Harbour)", R"(\uFFFD Harbour)"},
      {R"(Harbour \udc00)", R"(Harbour \uFFFD)"},
      {R"(Harbour \ud83d\u0041)", R"(Harbour \uFFFDA)"},
      {"Harbour \xff" "at dawn", R"(Harbour \uFFFDat dawn)"},
  };
  // Each pair of titles at 2i and 2i + 1 s, for 1 s each, at the picture's centre.
  std::string texts;
  for (size_t i = 0; i < std::size(cases); ++i)
    for (size_t k = 0; k < 2; ++k)
      texts += std::string(texts.empty() ? "" : ",\n") + "{\"text\": \"" + cases[i][k] + "\", \"at\": " +
               std::to_string(2 * i + k) + R"(, "duration": 1, "x": 0.5, "y": 0.5, "style": {"color": "#ffff00"}})";
  open(R"({"sources": [], "primaryCanvas": "fullhd", "canvasSizes": ["fullhd"], "texts": [)" + texts + "]}");
  ASSERT_EQ(app->project.title_count, 2 * std::size(cases));
  const Rect picture = primary();
  auto pixels = [&] {
    std::vector<uint32_t> out;
    for (int y = picture.y; y < picture.y + picture.height; ++y)
      for (int x = picture.x; x < picture.x + picture.width; ++x) out.push_back(editor->pixel(x, y));
    return out;
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i][0]);
    EXPECT_STREQ(app->project.titles[2 * i].text, app->project.titles[2 * i + 1].text);
    scrub(2.0 * i + 0.5);
    EXPECT_TRUE(has_ink(picture, 0xFFFF00));
    const std::vector<uint32_t> drawn = pixels();
    scrub(2.0 * i + 1.5);
    EXPECT_TRUE(drawn == pixels());
  }
}

TEST_F(Monitor, EditsForgetWhichCanvasesWereSeen) {
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
           "clips": [{"id": "c", "name": "Coded", "sourceId": "coded", "out": 4}],
           "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "square"]})");
  const uint32_t both = 1u << 1 | 1u << 9;
  ASSERT_TRUE(step_until([&] { return app->previewed_canvases == both; }));

  // Select the clip, back to the Timeline tab, and switch its picture off.
  editor->click(Rect{app->clip_lanes.x + 40, app->clip_lanes.y + 18 + 3 * 22 + 10, 1, 1});
  ASSERT_EQ(app->selected_clip, 0);
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  editor->click(app->clip_controls[SEQUENCE_VIDEO]);
  ASSERT_EQ(app->project.clips[0].video, 0);
  editor->step(3);
  EXPECT_EQ(app->previewed_canvases, 0u);
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);
  EXPECT_EQ(marked(Rect{187, 208, 489, 275}, kCanvasGround), 0);  // the 16:9 picture, empty

  // Picture on again: both canvases show it once more.
  editor->click(app->clip_controls[SEQUENCE_VIDEO]);
  EXPECT_TRUE(step_until([&] { return app->previewed_canvases == both; }));

  // Undo is an edit too.
  undo();
  editor->step(3);
  EXPECT_EQ(app->previewed_canvases, 0u);
}

// A timeline with sound only has nothing to show: playing it past 0 counts as
// seeing every canvas.
TEST_F(Monitor, PlayingASoundOnlyTimelineCountsAsSeen) {
  open(R"({"sources": [{"id": "t", "file": "tone-stereo.wav"}],
           "clips": [{"id": "c", "name": "Tone", "sourceId": "t", "out": 2, "video": false}],
           "canvasSizes": ["fullhd", "shorts", "square"]})");
  const uint32_t all = 1u << 1 | 1u << 6 | 1u << 9;
  editor->step(3);
  EXPECT_EQ(app->previewed_canvases, 0u);  // nothing played yet
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);
  editor->click(app->timeline_play_button);
  ASSERT_EQ(app->playing, 1);
  EXPECT_TRUE(step_until([&] { return app->previewed_canvases == all; }));
  editor->click(app->timeline_play_button);
  ASSERT_EQ(app->playing, 0);

  // A canvas opened afterwards is an edit: nothing counts as seen until played again.
  choose_canvas(1);
  editor->step(3);
  EXPECT_EQ(app->previewed_canvases, 0u);
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);
}

// A gap before the first picture is no picture: playing through it counts
// for nothing while the timeline has pictures to show; the picture does.
TEST_F(Monitor, PlayingThroughAGapIsNotSeeingTheCanvases) {
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
           "clips": [{"id": "c", "name": "Late", "sourceId": "coded", "at": 1.5, "out": 2}],
           "canvasSizes": ["fullhd", "square"]})");
  const uint32_t both = 1u << 1 | 1u << 9;
  editor->click(app->timeline_play_button);
  ASSERT_EQ(app->playing, 1);
  bool gap_played = false;
  ASSERT_TRUE(step_until([&] {
    if (app->timeline_playhead > 0 && app->timeline_playhead < 1.45) {
      gap_played = true;
      EXPECT_EQ(app->previewed_canvases, 0u) << "at " << app->timeline_playhead;
    }
    return app->previewed_canvases == both || !app->playing;
  }));
  EXPECT_TRUE(gap_played);
  EXPECT_EQ(app->previewed_canvases, both);
  EXPECT_GE(app->timeline_playhead, 1.5);
}

// ------------------------------------------------------------- bad input

TEST_F(Monitor, MissingSourceFileLeavesTheCanvasDark) {
  open(R"({"sources": [{"id": "gone", "file": "gone.mp4"}],
           "clips": [{"id": "c", "name": "Gone", "sourceId": "gone", "out": 4},
                     {"id": "d", "name": "Gone too", "sourceId": "gone", "in": 1, "out": 4, "lane": 1}]})");
  editor->step(30);
  const Rect p = primary();
  EXPECT_EQ(marked(p, kCanvasGround), 0);
  EXPECT_EQ(editor->status(), "");
  EXPECT_EQ(app->previewed_canvases, 0u);
  EXPECT_EQ(kelvra_inset_clip(app), 1);  // still two layers to arrange
  editor->click(app->inset_button);
  EXPECT_DOUBLE_EQ(app->project.clips[1].transform.scale, 0.36);  // no picture size: the canvas's own
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);

  // Played, it stays dark and unseen: there is a picture clip, only no picture.
  kelvra_status(app, "");
  scrub(0);
  editor->click(app->timeline_play_button);
  ASSERT_EQ(app->playing, 1);
  ASSERT_TRUE(step_until([&] { return app->timeline_playhead > 0.1; }));
  EXPECT_EQ(app->previewed_canvases, 0u);
  EXPECT_EQ(marked(primary(), kCanvasGround), 0);
  editor->click(app->timeline_play_button);
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);
}

TEST_F(Monitor, EmptyTimeline) {
  open(R"({"sources": []})");
  editor->step(2);
  const Rect p = primary();
  EXPECT_EQ(text_of(p), "236,97 884x497");
  EXPECT_EQ(marked(p, kCanvasGround), 0);
  EXPECT_GT(marked(Rect{191, 78, 974, 18}, PALETTE_PICTURE), 20);
  EXPECT_EQ(kelvra_inset_clip(app), -1);
  EXPECT_EQ(editor->pixel(185 + 34 + 4, 77 + 518 + 20), PALETTE_SELECTED);  // the knob at the start
  editor->click(Rect{678, 345, 1, 1});
  EXPECT_EQ(app->playing, 0);  // nothing to play
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), kExportRefused);
  EXPECT_EQ(app->history.undo_count, 0u);
}

// Nine layers at once: the eight on the highest lanes are drawn, each from its
// own clip; the earlier of the two on lane 0 drops out.
TEST_F(Monitor, NineLayersDrawTheTopEight) {
  std::string clips;
  const double xs[] = {-0.33, 0, 0.33};
  const double ys[] = {-0.3, 0, 0.3};
  for (int i = 0; i < 9; ++i) {
    char clip[320];
    std::snprintf(clip, sizeof clip,
                  R"(%s{"id": "c%d", "name": "C%d", "sourceId": "coded", "in": %.2f, "out": 4, "lane": %d,
                       "transforms": {"fullhd": {"x": %.2f, "y": %.2f, "scale": 0.25}}})",
                  i > 0 ? ", " : "", i, i, i * 0.4 + 0.01, std::max(i - 1, 0), xs[i % 3], ys[i / 3]);
    clips += clip;
  }
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}], "clips": [)" + clips + "]}");
  const Rect p = primary();
  const auto centre_x = [&](int i) { return p.x + p.width / 2 + static_cast<int>(std::lround(p.width * xs[i % 3])); };
  const auto centre_y = [&](int i) { return p.y + p.height / 2 + static_cast<int>(std::lround(p.height * ys[i / 3])); };
  for (int i = 1; i < 9; ++i) wait_for(centre_x(i), centre_y(i), coded(12 * i));
  for (int i = 1; i < 9; ++i)
    EXPECT_TRUE(near_colour(editor->pixel(centre_x(i), centre_y(i)), coded(12 * i))) << "clip " << i;
  EXPECT_EQ(editor->pixel(centre_x(0), centre_y(0)), kCanvasGround);
  EXPECT_EQ(kelvra_inset_clip(app), 8);
  editor->click(app->timeline_play_button);
  editor->step(10);
  EXPECT_EQ(app->playing, 1);
  editor->click(app->timeline_play_button);
  EXPECT_EQ(app->project.clip_count, 9u);
}

// Placements in the file far outside the canvas are held to -3..3 and 0.1..3;
// a canvas without an entry shows the clip whole.
TEST_F(Monitor, PlacementsFromTheFileAreHeldInRange) {
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
           "clips": [{"id": "c", "name": "Coded", "sourceId": "coded", "out": 4,
                      "transforms": {"fullhd": {"x": -4, "y": 9, "scale": 0.01},
                                     "square": {"x": -1.8, "scale": 5}}}],
           "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "square", "shorts"]})");
  const Transform& t = app->project.clips[0].transform;
  EXPECT_EQ(t.x, -3.0);
  EXPECT_EQ(t.y, 3.0);
  EXPECT_EQ(t.scale, 0.1);
  Transform square;
  kelvra_canvas_transform(&square, &app->project, &app->project.clips[0], 9);
  EXPECT_EQ(square.x, -1.8);
  EXPECT_EQ(square.scale, 3.0);
  // Three canvases in a row of 324 x 497 picture spaces: square 324 x 324 at
  // (844, 183); shorts 280 x 497 at (537, 97).
  const Rect square_picture{844, 183, 324, 324};
  const Rect shorts_picture{537, 97, 280, 497};
  // Held at scale 3 (1296 px wide) and 1.8 widths left, the picture ends 227 px into the square.
  wait_for(square_picture.x + 20, square_picture.y + 160, coded(0));
  EXPECT_TRUE(near_colour(editor->pixel(square_picture.x + 20, square_picture.y + 160), coded(0)));
  EXPECT_TRUE(near_colour(editor->pixel(square_picture.x + 220, square_picture.y + 160), coded(0)));
  EXPECT_EQ(editor->pixel(square_picture.x + 235, square_picture.y + 160), kCanvasGround);
  EXPECT_TRUE(near_colour(editor->pixel(shorts_picture.x + 5, shorts_picture.y + 5), coded(0)));
  EXPECT_TRUE(near_colour(editor->pixel(shorts_picture.x + 274, shorts_picture.y + 491), coded(0)));
  EXPECT_EQ(marked(primary(), kCanvasGround), 0);  // three widths right, three heights down: off the canvas
}

}  // namespace
