// One edit made through the window as a user makes it, then exported: the
// band zoomed, a clip of the frame-numbered source trimmed and split, a title
// added, typed, placed and given its span; every step one undo step, and all
// of them undone and redone restore the project exactly. The MP4 is checked
// with ffprobe and by its pictures: the split clip's frames are the source's
// own, and the title shows with its dark outline at its place and only
// during its span.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "export/render.h"
#include "export_fixture.h"
#include "media/titles.h"
#include "media/video.h"
#include "records_equal.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::TempDir;

// The colour of frame n of coded.mp4.
uint32_t coded(int n) {
  return static_cast<uint32_t>(8 * (n % 30)) << 16 | static_cast<uint32_t>(64 * (n / 30)) << 8 | 128;
}

bool near_colour(uint32_t got, uint32_t want, int tolerance = 14) {
  for (int shift : {16, 8, 0})
    if (std::abs(static_cast<int>((got >> shift) & 255) - static_cast<int>((want >> shift) & 255)) > tolerance)
      return false;
  return true;
}

uint32_t pixel(const VideoDecoder& d, int x, int y) {
  const uint8_t* p = d.pixels + (static_cast<size_t>(y) * d.width + x) * 4;
  return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
}

struct Counts {
  int dark = 0;
  int white = 0;
};

Counts count_in(const VideoDecoder& d, Rect r) {
  Counts c;
  for (int y = std::max(r.y, 0); y < std::min<int>(r.y + r.height, d.height); ++y) {
    for (int x = std::max(r.x, 0); x < std::min<int>(r.x + r.width, d.width); ++x) {
      const uint32_t p = pixel(d, x, y);
      c.dark += ((p >> 16) & 255) < 50 && ((p >> 8) & 255) < 50 && (p & 255) < 50;
      c.white += ((p >> 16) & 255) > 220 && ((p >> 8) & 255) > 220 && (p & 255) > 220;
    }
  }
  return c;
}

std::string probe(const std::string& path) {
  const std::string command = "ffprobe -v error -select_streams v:0 -show_entries stream=width,height:format=duration "
                              "-of default=noprint_wrappers=1 '" + path + "' 2>&1";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

double probe_number(const std::string& text, const std::string& key) {
  const size_t at = text.find(key + "=");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size() + 1);
}

struct State {
  std::vector<Clip> clips;
  std::vector<Title> titles;
  bool operator==(const State& other) const {
    if (clips.size() != other.clips.size() || titles.size() != other.titles.size()) return false;
    for (size_t i = 0; i < clips.size(); ++i)
      if (!kelvra_test::same_clip(clips[i], other.clips[i])) return false;
    for (size_t i = 0; i < titles.size(); ++i)
      if (!kelvra_test::same_title(titles[i], other.titles[i])) return false;
    return true;
  }
};

State state_of(const Project& p) {
  return State{{p.clips, p.clips + p.clip_count}, {p.titles, p.titles + p.title_count}};
}

TEST(BandExport, TrimSplitAndAWrittenTitleExportAsEdited) {
  TempDir dir;
  const std::string source = std::string(KELVRA_FIXTURES) + "/coded.mp4";
  ASSERT_EQ(::symlink(source.c_str(), dir.file("coded.mp4").c_str()), 0);
  auto editor = kelvra_test::start_on_project(
      dir.path(), R"({"sources": [{"id": "c", "file": "coded.mp4"}],
                      "clips": [{"id": "x", "name": "Coded", "sourceId": "c", "out": 4}],
                      "primaryCanvas": "hd", "canvasSizes": ["hd"]})");
  ASSERT_NE(editor, nullptr);
  KelvraApp* app = editor->app;
  const State original = state_of(app->project);
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  const auto x_of = [&](double t) {
    return app->clip_lanes.x + static_cast<int>(std::lround((t - app->timeline_scroll) * app->pixels_per_second));
  };
  const int lane0 = app->clip_lanes.y + 18 + 3 * 22 + 10;
  const int titles_row = app->clip_lanes.y + 117;
  const auto drag = [&](int x0, int y0, int x1, int y1) {
    editor->button(true, x0, y0);
    editor->step();
    editor->motion((x0 + x1) / 2, (y0 + y1) / 2);
    editor->motion(x1, y1);
    editor->step();
    editor->button(false, x1, y1);
    editor->step();
  };
  const auto ruler = [&](double t) { editor->click(Rect{x_of(t), app->clip_lanes.y + 5, 1, 1}); };
  uint64_t steps = 0;
  const auto one_more_step = [&]() {
    EXPECT_EQ(app->history.undo_count, steps + 1);
    steps = app->history.undo_count;
  };

  // Zoom in around the start, to 50 px a second: no edit.
  SDL_SetModState(KMOD_LCTRL);
  kelvra_test::push_wheel(editor->window_id, 1, app->clip_lanes.x, lane0);
  editor->step();
  SDL_SetModState(KMOD_NONE);
  ASSERT_NEAR(app->pixels_per_second, 50, 1e-9);
  ASSERT_EQ(app->timeline_scroll, 0.0);
  EXPECT_EQ(app->history.undo_count, 0u);
  // Trim: the clip's end from 4 s back to 3 s (Shift: without snapping).
  SDL_SetModState(KMOD_LSHIFT);
  drag(x_of(4.0), lane0, x_of(3.0), lane0);
  SDL_SetModState(KMOD_NONE);
  ASSERT_NEAR(app->project.clips[0].out, 3.0, 1e-9);
  one_more_step();
  // Split at 1.5 s with the toolbar's button.
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  ruler(1.5);
  ASSERT_NEAR(app->timeline_playhead, 1.5, 1e-9);
  editor->click(Rect{x_of(0.7), lane0, 1, 1});
  ASSERT_EQ(app->selected_clip, 0);
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  editor->click(app->split_button);  // the toolbar's "Split" (the S key does the same)
  ASSERT_EQ(app->project.clip_count, 2u);
  one_more_step();
  // A title at 0.5 s, typed, moved to the upper left and ended at 2.5 s.
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  ruler(0.5);
  editor->click(app->tab_buttons[KELVRA_TAB_TEXT]);
  editor->step();
  editor->click(app->title_buttons[TEXT_ADD]);
  one_more_step();
  editor->text("MARK");
  editor->key(SDLK_RETURN);
  one_more_step();
  Title& title = app->project.titles[0];
  ASSERT_STREQ(title.text, "MARK");
  const Rect canvas = app->title_canvas;
  const Rect box = kelvra_title_box(&title, canvas);
  const int cx = box.x + box.width / 2;
  const int cy = box.y + box.height / 2;
  drag(cx, cy, cx - canvas.width / 4, cy - canvas.height / 2);
  one_more_step();
  EXPECT_NEAR(title.x, 0.25, 0.003);
  EXPECT_NEAR(title.y, 0.32, 0.003);
  drag(x_of(3.5), titles_row, x_of(2.5), titles_row);
  one_more_step();
  ASSERT_NEAR(title.at, 0.5, 1e-9);
  ASSERT_NEAR(title.duration, 2.0, 1e-9);

  // Every step undone gives back the project as opened; redone, the edit.
  const State edited = state_of(app->project);
  for (uint64_t i = 0; i < steps; ++i) editor->key(SDLK_z, KMOD_LCTRL);
  EXPECT_TRUE(state_of(app->project) == original);
  for (uint64_t i = 0; i < steps; ++i) editor->key(SDLK_y, KMOD_LCTRL);
  ASSERT_TRUE(state_of(app->project) == edited);

  ASSERT_TRUE(kelvra_test::preview_canvases(editor.get()));
  editor->click(app->export_button);
  const std::vector<RenderRow> rows = kelvra_test::finish_exports(editor.get());
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].state, RENDER_READY) << rows[0].message;
  const std::string file = dir.file(rows[0].file_name);
  const std::string probed = probe(file);
  EXPECT_EQ(probe_number(probed, "width"), 1280) << probed;
  EXPECT_EQ(probe_number(probed, "height"), 720) << probed;
  EXPECT_NEAR(probe_number(probed, "duration"), 3.0, 0.1) << probed;

  VideoDecoder decoder{};
  ASSERT_TRUE(video_decode_open(&decoder, file.c_str()));
  // The split clip's frames are the source's own, on both sides of the cut.
  for (int frame : {10, 44, 45, 46, 80}) {
    ASSERT_TRUE(video_decode_frame(&decoder, frame / 30.0));
    const uint32_t got = pixel(decoder, 1100, 650);
    EXPECT_TRUE(near_colour(got, coded(frame))) << "frame " << frame << std::hex << " got " << got;
  }
  // The title in a canvas 480 units high: its box of 170 x 30 units, scaled.
  const double scale = 720.0 / 480;
  const int units_wide = static_cast<int>(1280 / scale);
  const Rect units = kelvra_title_box(&title, Rect{0, 0, units_wide, 480});
  const Rect placed{static_cast<int>(units.x * scale), static_cast<int>(units.y * scale),
                    static_cast<int>(units.width * scale), static_cast<int>(units.height * scale)};
  ASSERT_TRUE(video_decode_frame(&decoder, 1.0));
  const Counts during = count_in(decoder, placed);
  EXPECT_GT(during.white, 40);  // the letters
  EXPECT_GT(during.dark, 40);   // their outline, on a picture with no dark pixels of its own
  const Counts elsewhere = count_in(decoder, Rect{700, 400, 255, 45});
  EXPECT_EQ(elsewhere.dark + elsewhere.white, 0);
  ASSERT_TRUE(video_decode_frame(&decoder, 2.8));
  const Counts after = count_in(decoder, placed);
  EXPECT_EQ(after.dark + after.white, 0);  // its span has ended
  video_decode_close(&decoder);
}

}  // namespace
