// Random sequences of timeline gestures on the demo project, pushed as real
// SDL events: clip drags across lanes and time, the clip controls under the
// lanes (presses, knob and slider drags, wheel steps), Duplicate and Remove,
// the monitor's inset (button, wheel, drag) and the Canvases menu. Then every
// step is undone with Ctrl+Z and redone with Ctrl+Y, and the project text the
// editor would save must come back byte for byte at every step on the way.
//
// The demo's media files are not in the folder: the gestures edit the
// document only, so the run does not depend on decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "project/project.h"
#include "project/text_buffer.h"
#include "sdl_events.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

// The text a save would write now.
std::string project_text(const KelvraApp* app) {
  TextBuffer buffer;
  if (!project_build_text(&app->project, app->layout_mode, &buffer)) return "<no text>";
  std::string text(buffer.data, buffer.length);
  text_buffer_free(&buffer);
  return text;
}

// A small generator of its own, so that a seed means the same run everywhere.
class Random {
 public:
  explicit Random(uint64_t seed) : state_((seed + 1) * 0xD1B54A32D192ED03ull ^ 0x8CB92BA72F3D8DD7ull) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A whole number in [low, high].
  int between(int low, int high) { return low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1)); }

 private:
  uint64_t state_;
};

uint64_t g_menu_answer = 0;
uint64_t answer_menu(int32_t, int32_t, const UiMenuEntry*, uint64_t) { return g_menu_answer; }

class TimelineProperty : public ::testing::TestWithParam<uint64_t> {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {nullptr, nullptr, answer_menu};
    ui_set_dialog_hooks(&hooks);
    const std::string demo = kelvra_test::read_file(kelvra_test::test_data("../demo/demo.pjn"));
    ASSERT_FALSE(demo.empty());
    kelvra_test::write_file(dir.file("demo.pjn"), demo);
    editor = std::make_unique<RunningEditor>(dir.path(), "demo.pjn");
    ASSERT_TRUE(editor->started);
    app = editor->app;
    ASSERT_EQ(app->project.clip_count, 5u);  // four clips and the score
    editor->step();
    click_at(app->tab_buttons[KELVRA_TAB_TIMELINE]);
    editor->step();
  }
  void TearDown() override {
    editor.reset();
    ui_set_dialog_hooks(nullptr);
  }

  // Events are queued; one frame takes all of them in order.
  void click_at(Rect r) {
    editor->button(true, r.x + r.width / 2, r.y + r.height / 2);
    editor->button(false, r.x + r.width / 2, r.y + r.height / 2);
  }
  void press_move_release(int x0, int y0, int x1, int y1) {
    editor->button(true, x0, y0);
    for (int i = 1; i <= 3; ++i) editor->motion(x0 + (x1 - x0) * i / 3, y0 + (y1 - y0) * i / 3);
    editor->button(false, x1, y1);
  }
  void wheel_at(int notches, int x, int y) { kelvra_test::push_wheel(editor->window_id, notches, x, y); }

  int x_of(double t) const {
    return app->clip_lanes.x + static_cast<int>(std::lround((t - app->timeline_scroll) * app->pixels_per_second));
  }
  int y_of(uint32_t lane) const { return app->clip_lanes.y + 18 + (3 - static_cast<int>(lane)) * 22 + 10; }

  // A point on a random clip that a press would reach; false when the clip is out of view.
  bool point_on_clip(Random& random, int* x, int* y, uint64_t* index) {
    const Project& project = app->project;
    if (project.clip_count == 0) return false;
    *index = random.next() % project.clip_count;
    const Clip& clip = project.clips[*index];
    const double visible = app->clip_lanes.width / app->pixels_per_second;
    const double from = std::max(clip.at, app->timeline_scroll);
    const double to = std::min(clip.at + kelvra_clip_length(&clip), app->timeline_scroll + visible);
    if (clip.lane > 3 || !(to - from > 0.1)) return false;
    *x = x_of((from + to) / 2);
    *y = y_of(clip.lane);
    return true;
  }
  // Selects a random clip with a press and a release on it, unless one is selected.
  bool ensure_selection(Random& random) {
    if (static_cast<uint64_t>(app->selected_clip) < app->project.clip_count) return true;
    int x = 0;
    int y = 0;
    uint64_t index = 0;
    if (!point_on_clip(random, &x, &y, &index)) return false;
    editor->button(true, x, y);
    editor->button(false, x, y);
    editor->step();
    return static_cast<uint64_t>(app->selected_clip) < app->project.clip_count;
  }
  void timeline_tab() {
    if (app->active_tab == KELVRA_TAB_TIMELINE) return;
    click_at(app->tab_buttons[KELVRA_TAB_TIMELINE]);
    editor->step();
  }

  // One random gesture; returns what it did.
  std::string gesture(Random& random) {
    char what[160];
    const Rect* controls = app->clip_controls;
    switch (random.between(0, 10)) {
      case 0: {  // drag a clip in time and across lanes
        int x = 0;
        int y = 0;
        uint64_t index = 0;
        if (!point_on_clip(random, &x, &y, &index)) return "no clip in view";
        const int dx = random.between(-120, 160);
        const uint32_t lane = static_cast<uint32_t>(random.between(0, 3));
        press_move_release(x, y, x + dx, y_of(lane));
        std::snprintf(what, sizeof what, "drag clip %" PRIu64 " by %d px to lane %u", index, dx, lane);
        break;
      }
      case 1: {  // a switch or a count button under the lanes
        if (!ensure_selection(random)) return "nothing to select";
        static const uint32_t buttons[] = {SEQUENCE_CUT, SEQUENCE_LOOP, SEQUENCE_FEWER,
                                           SEQUENCE_MORE, SEQUENCE_VIDEO, SEQUENCE_AUDIO};
        const uint32_t which = buttons[random.between(0, 5)];
        click_at(controls[which]);
        std::snprintf(what, sizeof what, "press control %u of clip %" PRId64, which, app->selected_clip);
        break;
      }
      case 2: {  // the position slider: a press, and maybe a drag along it
        if (!ensure_selection(random)) return "nothing to select";
        const Rect slider = controls[SEQUENCE_POSITION];
        const int x0 = slider.x + random.between(0, slider.width - 1);
        const int x1 = random.between(0, 1) ? x0 : slider.x + random.between(-10, slider.width + 10);
        press_move_release(x0, slider.y + 12, x1, slider.y + 12);
        std::snprintf(what, sizeof what, "slide clip %" PRId64 " from %d to %d", app->selected_clip, x0, x1);
        break;
      }
      case 3: {  // a knob dragged up or down
        if (!ensure_selection(random)) return "nothing to select";
        const uint32_t knob = static_cast<uint32_t>(random.between(SEQUENCE_FADE_IN, SEQUENCE_GAIN));
        const Rect r = controls[knob];
        const int dy = random.between(-70, 70);
        press_move_release(r.x + r.width / 2, r.y + r.height / 2, r.x + r.width / 2, r.y + r.height / 2 + dy);
        std::snprintf(what, sizeof what, "knob %u of clip %" PRId64 " by %d px", knob, app->selected_clip, dy);
        break;
      }
      case 4: {  // the wheel over the loop count or a knob
        if (!ensure_selection(random)) return "nothing to select";
        static const uint32_t wheeled[] = {SEQUENCE_LOOPS, SEQUENCE_FADE_IN, SEQUENCE_FADE_OUT, SEQUENCE_GAIN};
        const uint32_t which = wheeled[random.between(0, 3)];
        const int notches = random.between(0, 1) ? 1 : -1;
        wheel_at(notches, controls[which].x + 5, controls[which].y + 5);
        std::snprintf(what, sizeof what, "wheel %d over control %u of clip %" PRId64, notches, which,
                      app->selected_clip);
        break;
      }
      case 5:
      case 6: {  // Duplicate or Remove
        if (!ensure_selection(random)) return "nothing to select";
        timeline_tab();
        // Removing is rarer once few clips are left, so that a run keeps something to edit.
        const bool duplicate = random.between(0, 1) == 1 || app->project.clip_count <= 2;
        std::snprintf(what, sizeof what, "%s clip %" PRId64, duplicate ? "duplicate" : "remove", app->selected_clip);
        click_at(duplicate ? app->duplicate_button : app->remove_button);
        break;
      }
      case 7:
      case 8:
      case 9: {  // the inset at a random time
        timeline_tab();
        const double t = random.between(15, 70) / 10.0;
        click_at(Rect{x_of(t), app->clip_lanes.y + 4, 1, 1});
        editor->step();
        const int64_t top = kelvra_inset_clip(app);
        if (top < 0) {
          std::snprintf(what, sizeof what, "no inset at %.1f s", t);
          return what;
        }
        Rect picture;
        kelvra_primary_picture(&picture, app);
        Rect inset;
        kelvra_inset_bounds(&inset, app, picture, &app->project.clips[top].transform);
        // The middle of what shows of the inset.
        const int left = std::max(picture.x, inset.x);
        const int right = std::min(picture.x + picture.width, inset.x + inset.width);
        const int upper = std::max(picture.y, inset.y);
        const int lower = std::min(picture.y + picture.height, inset.y + inset.height);
        const int kind = random.between(0, 2);
        const double scale = app->project.clips[top].transform.scale;
        if (kind == 0 || !(scale > 0 && scale < 1) || right - left < 4 || lower - upper < 4) {
          click_at(app->inset_button);
          std::snprintf(what, sizeof what, "Inset on clip %" PRId64 " at %.1f s", top, t);
        } else if (kind == 1) {
          const int notches = random.between(0, 1) ? 1 : -1;
          wheel_at(notches, (left + right) / 2, (upper + lower) / 2);
          std::snprintf(what, sizeof what, "wheel %d on the inset of clip %" PRId64 " at %.1f s", notches, top, t);
        } else {
          const int x = (left + right) / 2;
          const int y = (upper + lower) / 2;
          const int dx = random.between(-150, 150);
          const int dy = random.between(-100, 100);
          press_move_release(x, y, x + dx, y + dy);
          std::snprintf(what, sizeof what, "drag the inset of clip %" PRId64 " at %.1f s by %d, %d", top, t, dx, dy);
        }
        break;
      }
      default: {  // the Canvases menu
        timeline_tab();
        g_menu_answer = static_cast<uint64_t>(random.between(0, KELVRA_CANVAS_COUNT));
        click_at(app->canvases_button);
        std::snprintf(what, sizeof what, "canvas menu choice %" PRIu64, g_menu_answer);
        break;
      }
    }
    editor->step();
    return what;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// A gesture that opens no undo step must leave the text alone; undoing back
// to a step count must give the text the last gesture at that count left;
// redoing everything must give the edited text again.
TEST_P(TimelineProperty, UndoAndRedoRestoreTheProjectText) {
  const uint64_t seed = GetParam();
  constexpr int kGestures = 25;
  Random random(seed);
  ASSERT_EQ(app->history.undo_count, 0u);
  struct Mark {
    std::string what;
    uint64_t steps;
    std::string text;
  };
  std::vector<Mark> marks{{"the opened project", 0, project_text(app)}};
  for (int i = 0; i < kGestures; ++i) {
    const std::string what = "gesture " + std::to_string(i) + " (" + gesture(random) + ")";
    marks.push_back({what, app->history.undo_count, project_text(app)});
    const Mark& before = marks[marks.size() - 2];
    if (marks.back().steps == before.steps) {
      EXPECT_EQ(marks.back().text, before.text) << "seed " << seed << ": " << what
                                                 << " changed the project without an undo step";
    }
    ASSERT_LT(app->history.undo_count, HISTORY_MAX_STEPS) << "seed " << seed;
    ASSERT_EQ(app->drag_kind, KELVRA_DRAG_NONE) << "seed " << seed << ", " << what;
  }
  const uint64_t steps = app->history.undo_count;
  const std::string edited = marks.back().text;

  // Undo one step at a time, each a Ctrl+Z of its own.
  for (uint64_t count = steps;; --count) {
    ASSERT_EQ(app->history.undo_count, count) << "seed " << seed;
    const Mark* last = nullptr;
    for (const Mark& mark : marks)
      if (mark.steps == count) last = &mark;
    if (last != nullptr) {
      EXPECT_EQ(project_text(app), last->text) << "seed " << seed << ": undo to step " << count
                                               << " does not give the text after " << last->what;
    }
    if (count == 0) break;
    editor->key(SDLK_z, KMOD_LCTRL);
  }
  EXPECT_EQ(project_text(app), marks.front().text) << "seed " << seed;

  // Redo all of it, the Ctrl+Y presses taken in one frame.
  for (uint64_t i = 0; i < steps; ++i) kelvra_test::push_key(editor->window_id, SDLK_y, KMOD_LCTRL);
  editor->step();
  EXPECT_EQ(app->history.redo_count, 0u) << "seed " << seed;
  EXPECT_EQ(app->history.undo_count, steps) << "seed " << seed;
  EXPECT_EQ(project_text(app), edited) << "seed " << seed;
  if (HasFailure()) {
    for (const Mark& mark : marks)
      std::printf("seed %" PRIu64 ": %s, %" PRIu64 " steps\n", seed, mark.what.c_str(), mark.steps);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, TimelineProperty, ::testing::Values(1, 2, 3, 4, 5));

}  // namespace
