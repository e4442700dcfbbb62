// Workspace layout and drawing: rectangles from the client size, and the real
// pixels of the drawn workspace at the positions and colours it promises.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/meters.h"
#include "editor/workspace.h"
#include "platform/painter.h"

namespace {

bool same(Rect a, Rect b) { return a.x == b.x && a.y == b.y && a.width == b.width && a.height == b.height; }

std::string show(Rect r) {
  return "(" + std::to_string(r.x) + ", " + std::to_string(r.y) + ", " + std::to_string(r.width) + ", " +
         std::to_string(r.height) + ")";
}

using kelvra_test::AppPtr;
using kelvra_test::app_of_size;

TEST(Layout, DefaultWindow) {
  AppPtr app = app_of_size(1334, 872);
  EXPECT_EQ(app->timeline_top, 635);
  EXPECT_TRUE(same(app->source_view, Rect{185, 107, 564, 488})) << show(app->source_view);
  EXPECT_TRUE(same(app->sample_view, Rect{761, 107, 562, 435})) << show(app->sample_view);
  EXPECT_TRUE(same(app->clip_name_field, Rect{1064, 600, 167, 24})) << show(app->clip_name_field);
  EXPECT_TRUE(same(app->place_button, Rect{1236, 600, 87, 24})) << show(app->place_button);
  EXPECT_TRUE(same(app->clip_lanes, Rect{212, 666, 1117, 130})) << show(app->clip_lanes);
  EXPECT_TRUE(same(app->main_panel, Rect{178, 71, 1153, 563})) << show(app->main_panel);
  EXPECT_TRUE(same(app->source_seek_bar, Rect{221, 600, 439, 24})) << show(app->source_seek_bar);
  EXPECT_TRUE(same(app->open_button, Rect{1115, 7, 46, 25}));
  EXPECT_TRUE(same(app->save_button, Rect{1262, 7, 65, 25}));
  EXPECT_EQ(app->pixels_per_second, 40.0);
  EXPECT_EQ(app->control_scale, 1.0);
  // The header's undo and redo buttons, the tab strip and the library.
  EXPECT_TRUE(same(app->undo_button, Rect{1051, 7, 30, 25})) << show(app->undo_button);
  EXPECT_TRUE(same(app->redo_button, Rect{1083, 7, 30, 25})) << show(app->redo_button);
  const Rect tabs[KELVRA_TAB_COUNT] = {{179, 46, 72, 25}, {251, 46, 66, 25}, {317, 46, 43, 25}, {360, 46, 53, 25},
                                       {413, 46, 60, 25}};
  for (uint32_t i = 0; i < KELVRA_TAB_COUNT; ++i) EXPECT_TRUE(same(app->tab_buttons[i], tabs[i])) << show(tabs[i]);
  EXPECT_TRUE(same(app->library_rows, Rect{0, 67, 176, 783})) << show(app->library_rows);
  EXPECT_EQ(app->library_card_count, 0u);  // no sources
  // The monitors' own buttons.
  EXPECT_TRUE(same(app->source_play_button, Rect{190, 600, 27, 24})) << show(app->source_play_button);
  EXPECT_TRUE(same(app->before_button, Rect{1220, 81, 53, 24})) << show(app->before_button);
  EXPECT_TRUE(same(app->after_button, Rect{1277, 81, 45, 24})) << show(app->after_button);
  // The row under the strip, at full scale here.
  EXPECT_TRUE(same(app->sample_controls[SAMPLE_CONTROL_VIDEO], Rect{899, 600, 42, 24}));
  EXPECT_TRUE(same(app->sample_controls[SAMPLE_CONTROL_MODE], Rect{993, 600, 68, 24}));
  EXPECT_TRUE(same(app->sample_controls[SAMPLE_CONTROL_LOOP], Rect{1029, 600, 32, 24}));
}

TEST(Layout, LibraryCardsStopAboveTheStatusBar) {
  AppPtr app = app_of_size(1334, 872);
  for (int i = 0; i < 10; ++i) kelvra_test::add_source(app.get());
  kelvra_layout(app.get());
  ASSERT_EQ(app->library_card_count, 7u);  // the eighth card's bottom, 911, is past 849
  EXPECT_TRUE(same(app->library_cards[0], Rect{7, 67, 161, 102})) << show(app->library_cards[0]);
  EXPECT_TRUE(same(app->library_cards[6], Rect{7, 703, 161, 102})) << show(app->library_cards[6]);
}

TEST(Layout, SizesAndModes) {
  AppPtr low = app_of_size(1334, 400);
  EXPECT_EQ(low->timeline_top, 245);
  EXPECT_EQ(low->clip_lanes.y, 276);  // reaches past the status bar
  EXPECT_EQ(low->clip_lanes.y + low->clip_lanes.height, 406);

  AppPtr narrow = app_of_size(700, 600);
  EXPECT_EQ(narrow->control_scale, 0.6);
  EXPECT_EQ(narrow->clip_name_field.width, 22);
  AppPtr wide = app_of_size(2560, 1440);
  EXPECT_EQ(wide->control_scale, 1.0);
  EXPECT_EQ(wide->clip_name_field.width, 180);

  AppPtr source = app_of_size(1334, 872, 1);
  EXPECT_EQ(source->source_view.width, 1334 - 193);
  AppPtr edit = app_of_size(1334, 872, 2);
  EXPECT_EQ(edit->sample_view.x, 185);
  EXPECT_EQ(edit->sample_view.width, 1334 - 185 - 11);
}

class Drawn : public ::testing::Test {
 protected:
  void draw(uint32_t width, uint32_t height, uint64_t sources) {
    app = app_of_size(width, height);
    Project& p = app->project;
    for (uint64_t i = 0; i < sources; ++i) {
      Source& s = p.sources[p.source_count++];
      std::snprintf(s.id, sizeof s.id, "s%llu", static_cast<unsigned long long>(i));
      std::snprintf(s.file, sizeof s.file, i == 2 ? "" : "take-%llu.mp4", static_cast<unsigned long long>(i));
      std::snprintf(s.title, sizeof s.title, "Source number %llu with a title far too long for its card",
                    static_cast<unsigned long long>(i));
    }
    kelvra_layout(app.get());  // the library's cards follow the sources
    app->selected_source = 0;
    app->cpu_meter.fraction = 0.5;
    std::snprintf(app->cpu_meter.label, sizeof app->cpu_meter.label, "CPU 50%%");
    kelvra_status(app.get(), "Project opened.");
    app->painter = kelvra_painter_create(nullptr);
    ASSERT_TRUE(kelvra_painter_offscreen(app->painter, width, height));
    ASSERT_TRUE(kelvra_painter_begin(app->painter, width, height));
    kelvra_draw(app.get());
    ASSERT_TRUE(kelvra_painter_end(app->painter));
  }
  uint32_t pixel(int x, int y) { return kelvra_test::painted_pixel(app->painter, x, y); }
  // Pixels of `rect` that are not `ground`.
  int ink(Rect rect, uint32_t ground) {
    int count = 0;
    for (int y = rect.y; y < rect.y + rect.height; ++y)
      for (int x = rect.x; x < rect.x + rect.width; ++x) count += pixel(x, y) != ground;
    return count;
  }
  AppPtr app;
};

TEST_F(Drawn, ColoursAtTheirPositions) {
  draw(1334, 872, 10);
  const struct {
    int x, y;
    uint32_t rgb;
    const char* what;
  } probes[] = {
      {600, 2, 0x1A201D, "header bar"},
      {600, 39, 0x313A34, "line under the header"},
      {8, 7, 0x404C44, "search field border"},
      {400, 30, 0x242923, "search field interior"},
      {176, 300, 0x151817, "window background beside the library"},
      {3, 300, 0x1A201D, "library column"},
      {175, 300, 0x344037, "library right edge"},
      {7, 100, 0xF1CE72, "selected card border"},
      {7, 200, 0x404C44, "other card border"},
      {100, 100, 0x101311, "card picture area"},
      {165, 256, 0x202923, "card interior"},
      {20, 830, 0x1A201D, "no eighth card past the bottom"},
      {178, 200, 0x404C44, "main panel border"},
      {755, 300, 0x1D2220, "main panel interior between the monitors"},
      {182, 50, 0x534521, "active tab interior"},
      {254, 50, 0x282F2B, "inactive tab interior"},
      {800, 700, 0x141A16, "timeline lanes (empty)"},
      {800, 668, 0x1A241E, "timeline ruler"},
      {190, 690, 0x252F28, "lane label box"},
      {1330, 860, 0x1A201D, "status bar"},
      {600, 850, 0x404C44, "status bar line"},
      {1334 - 359 + 10, 24, 0x66AEE3, "cpu meter bar at half"},
      {1334 - 359 + 60, 24, 0x243B4A, "cpu meter track past the bar"},
  };
  for (const auto& probe : probes) EXPECT_EQ(pixel(probe.x, probe.y), probe.rgb) << probe.what;
  EXPECT_EQ(pixel(1334 - 548 + 2, 24), 0x243B4Au);  // the buffer meter is empty: its track only
}

// The timeline band: clips on their lanes at their times, the selected one
// in its own colours, a title, the playhead, the scroll bar and the controls.
TEST_F(Drawn, TimelineBandShowsClipsTitlesAndThePlayhead) {
  draw(1334, 872, 2);  // lays out, then draws once; the clips below are drawn by the second pass
  Project& p = app->project;
  kelvra_test::add_clip(app.get(), 0, 0, 2, 1.0, 0);  // lane 0 (bottom row), 1..3 s
  Clip& top = kelvra_test::add_clip(app.get(), 1, 0, 1, 4.0, 3);  // lane 3 (top row), 4..5 s
  top.loop = 1;
  top.loops = 3;  // 4..7 s
  Title& title = p.titles[p.title_count++];
  title = Title{};
  std::snprintf(title.text, sizeof title.text, "Hello");
  title.at = 2;
  title.duration = 1;
  app->selected_clip = 1;
  app->timeline_playhead = 2.5;
  kelvra_sequence_end(app.get());
  ASSERT_TRUE(kelvra_painter_begin(app->painter, 1334, 872));
  kelvra_draw(app.get());
  ASSERT_TRUE(kelvra_painter_end(app->painter));

  const Rect lanes = app->clip_lanes;  // (212, 666, 1117, 130); 40 px a second
  const int row_bottom = lanes.y + 19 + 3 * 22;
  const int row_top = lanes.y + 19;
  EXPECT_EQ(pixel(212 + 60, row_bottom + 10), 0x335A47u);      // clip body at 1.5 s, lane 0
  EXPECT_EQ(pixel(212 + 41, row_bottom + 10), 0xB29B55u);      // its start mark at 1 s
  EXPECT_EQ(pixel(212 + 200, row_top), 0xF1CE72u);             // the selected clip's top edge at 5 s
  EXPECT_EQ(pixel(212 + 270, row_top + 15), 0x6B562Au);        // its body to 7 s (three passes)
  EXPECT_EQ(pixel(212 + 293, row_top + 15), 0x141A16u);        // and nothing after (between grid lines)
  EXPECT_EQ(pixel(212 + 90, lanes.y + 107 + 15), 0x5A4461u);   // the title at 2..3 s
  EXPECT_EQ(pixel(212 + 100, lanes.y + 60), 0xF1CE72u);        // the playhead at 2.5 s
  EXPECT_EQ(pixel(212 + 20, lanes.y + lanes.height + 3), 0x3B4540u);  // scroll thumb over the track
  const Rect loop = app->clip_controls[SEQUENCE_LOOP];
  EXPECT_EQ(pixel(loop.x + 3, loop.y + 3), 0x534521u);         // the selected clip loops
  const Rect cut = app->clip_controls[SEQUENCE_CUT];
  EXPECT_EQ(pixel(cut.x + 3, cut.y + 3), 0x282F2Bu);
}

TEST_F(Drawn, TextAppearsAndIsTrimmed) {
  draw(1334, 872, 3);
  EXPECT_GT(ink(Rect{6, 43, 155, 21}, 0x1A201D), 30);      // "LIBRARY"
  EXPECT_GT(ink(Rect{11, 147, 153, 20}, 0x202923), 30);    // first card's title
  EXPECT_EQ(ink(Rect{164, 148, 3, 19}, 0x202923), 0);      // trimmed before the card's edge
  EXPECT_GT(ink(Rect{11, 132, 40, 16}, 0x101311), 5);      // check mark of a card with a file
  EXPECT_EQ(ink(Rect{11, 132 + 212, 40, 16}, 0x101311), 0);  // the third card has no file
  EXPECT_GT(ink(Rect{6, 851, 300, 19}, 0x1A201D), 30);     // status line
  EXPECT_GT(ink(Rect{14, 7, 200, 26}, 0x242923), 30);      // search placeholder
}

TEST_F(Drawn, NarrowWindowDropsTheSearchField) {
  draw(566, 600, 1);
  EXPECT_EQ(pixel(8, 10), 0x1A201Du);
  draw(580, 600, 1);
  EXPECT_EQ(pixel(8, 10), 0x404C44u);  // a narrow field without its placeholder
  EXPECT_EQ(ink(Rect{14, 8, 1, 24}, 0x242923), 0);
}

TEST(Widgets, DialClampsItsValue) {
  auto dial_pixels = [](double value) {
    AppPtr app = app_of_size(100, 100);
    app->painter = kelvra_painter_create(nullptr);
    kelvra_painter_offscreen(app->painter, 60, 60);
    kelvra_painter_begin(app->painter, 60, 60);
    kelvra_fill(app.get(), Rect{0, 0, 60, 60}, 0);
    kelvra_dial(app.get(), Rect{10, 10, 40, 40}, value, "");
    uint32_t stride = 0;
    const uint8_t* data = kelvra_painter_pixels(app->painter, nullptr, nullptr, &stride);
    return std::string(reinterpret_cast<const char*>(data), stride * 60);
  };
  EXPECT_EQ(dial_pixels(1.5), dial_pixels(1.0));
  EXPECT_EQ(dial_pixels(-1), dial_pixels(0.0));
  EXPECT_NE(dial_pixels(0.0), dial_pixels(1.0));
}

// ------------------------------------------------------------------ meters

struct FakeMachine {
  static inline uint64_t idle, kernel, user, available, total;
  static inline bool times_ok = true;
  static bool times(uint64_t* i, uint64_t* k, uint64_t* u) {
    *i = idle;
    *k = kernel;
    *u = user;
    return times_ok;
  }
  static bool memory(uint64_t* a, uint64_t* t) {
    *a = available;
    *t = total;
    return total != 0;
  }
};

TEST(Meters, RefreshEveryTwoSecondsFromOneSecondSamples) {
  AppPtr app(kelvra_app_create());
  const MeterSource source = {FakeMachine::times, FakeMachine::memory};
  FakeMachine::idle = 1000;
  FakeMachine::kernel = 2000;  // includes idle
  FakeMachine::user = 500;
  FakeMachine::available = 12400000000ull;
  FakeMachine::total = 32000000000ull;
  EXPECT_TRUE(kelvra_meters_poll_from(app.get(), 10000, &source));
  EXPECT_STREQ(app->cpu_meter.label, "CPU --");  // no interval measured yet
  EXPECT_STREQ(app->memory_meter.label, "RAM 12 GB");
  EXPECT_STREQ(app->buffer_meter.label, "Buffer 0.0 MB");
  EXPECT_FALSE(kelvra_meters_poll_from(app.get(), 10500, &source));

  FakeMachine::idle += 300;  // one second: 1000 units of time, 300 of them idle
  FakeMachine::kernel += 600;
  FakeMachine::user += 400;
  EXPECT_FALSE(kelvra_meters_poll_from(app.get(), 11000, &source));
  FakeMachine::idle += 900;  // the next second: 1000 units, 900 idle
  FakeMachine::kernel += 950;
  FakeMachine::user += 50;
  EXPECT_TRUE(kelvra_meters_poll_from(app.get(), 12005, &source));
  EXPECT_STREQ(app->cpu_meter.label, "CPU 40%");  // (700 + 100) / 2000
  EXPECT_DOUBLE_EQ(app->cpu_meter.fraction, 0.4);

  // Five seconds without polling: the history is dropped and the refresh comes at once.
  FakeMachine::kernel += 5000;
  EXPECT_TRUE(kelvra_meters_poll_from(app.get(), 17005, &source));
  EXPECT_STREQ(app->cpu_meter.label, "CPU --");
  FakeMachine::total = 0;
  EXPECT_FALSE(kelvra_meters_poll_from(app.get(), 18005, &source));
  EXPECT_TRUE(kelvra_meters_poll_from(app.get(), 19005, &source));
  EXPECT_STREQ(app->memory_meter.label, "RAM --");
}

TEST(Meters, Labels) {
  Meter meter{};
  kelvra_meter_memory(&meter, true, 400000000ull, 1000000000ull);
  EXPECT_STREQ(meter.label, "RAM 400 MB");
  EXPECT_DOUBLE_EQ(meter.fraction, 0.4);
  kelvra_meter_memory(&meter, false, 1, 1);
  EXPECT_STREQ(meter.label, "RAM --");
  const struct {
    uint64_t bytes;
    const char* label;
  } buffers[] = {{460000, "Buffer 0.5 MB"}, {3300000, "Buffer 3.5 MB"}, {940000, "Buffer 0.9 MB"},
                 {49000000, "Buffer 49.0 MB"}, {0, "Buffer 0.0 MB"}};
  for (const auto& b : buffers) {
    kelvra_meter_buffer(&meter, b.bytes);
    EXPECT_STREQ(meter.label, b.label);
  }
  kelvra_meter_buffer(&meter, 49000000);
  EXPECT_DOUBLE_EQ(meter.fraction, 1.0);
}

}  // namespace
