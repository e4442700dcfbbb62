// Exports driven through the running editor: previewing every open canvas
// (which export waits for), running the frame loop until the jobs end, the
// Render tab's places, and a fixture for tests driven on that tab.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "platform/clock.h"

namespace kelvra_test {

// Shows the Timeline tab until every open canvas has been previewed; whether they were.
inline bool preview_canvases(RunningEditor* editor) {
  KelvraApp* app = editor->app;
  editor->click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  for (int i = 0; i < 400 && !kelvra_export_ready(app); ++i) {
    app->needs_redraw = 1;
    editor->step();
    if (!kelvra_export_ready(app)) ui_sleep_ms(5);
  }
  return kelvra_export_ready(app);
}

// Runs the frame loop until no job is queued or running; the rows then.
inline std::vector<RenderRow> finish_exports(RunningEditor* editor) {
  KelvraApp* app = editor->app;
  RenderRow rows[RENDER_MAX_JOBS];
  uint64_t count = 0;
  for (int i = 0; i < 6000; ++i) {
    editor->step();
    count = kelvra_render_rows(app, rows);
    bool busy = false;
    for (uint64_t k = 0; k < count; ++k) busy |= rows[k].state < RENDER_READY || app->render_queue->jobs[k].thread;
    if (!busy) break;
    ui_sleep_ms(10);
  }
  return std::vector<RenderRow>(rows, rows + count);
}

// The Render tab's places, from the main panel `p`.
namespace render_tab {
inline Rect preview_button(Rect p) { return Rect{p.x + 8, p.y + 7, 119, 25}; }
inline Rect canvases_button(Rect p) { return Rect{p.x + 132, p.y + 7, 127, 25}; }
inline Rect wav_button(Rect p) { return Rect{p.x + 264, p.y + 7, 82, 25}; }
inline Rect loudness_button(Rect p) { return Rect{p.x + 351, p.y + 7, 150, 25}; }
inline Rect hint_area(Rect p) { return Rect{p.x + 511, p.y + 7, p.width - 520, 25}; }
inline int32_t row_top(Rect p, uint64_t position) { return p.y + 45 + 55 * static_cast<int32_t>(position); }
inline Rect figures_area(Rect p, int32_t top) { return Rect{p.x + 280, top + 2, p.width - 520, 22}; }
inline Rect play_button(Rect p, int32_t top) { return Rect{p.x + p.width - 237, top + 6, 71, 24}; }
inline Rect folder_button(Rect p, int32_t top) { return Rect{p.x + p.width - 162, top + 6, 71, 24}; }
inline Rect cancel_button(Rect p, int32_t top) { return Rect{p.x + p.width - 87, top + 6, 71, 24}; }
}  // namespace render_tab

// The editor started on a project in a media folder of the test's own, and
// driven on its Render tab.
class RenderTabTest : public ::testing::Test {
 protected:
  void TearDown() override { editor.reset(); }

  void open(const std::string& json) {
    editor.reset();
    editor = start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    p = app->main_panel;
  }

  // Shows the Timeline tab until every open canvas has been previewed.
  void preview() { ASSERT_TRUE(preview_canvases(editor.get())); }

  void show_render_tab() {
    editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
    ASSERT_EQ(app->active_tab, KELVRA_TAB_RENDER);
    draw();
  }

  void draw() {
    app->needs_redraw = 1;
    editor->step();
  }

  // Runs the frame loop until no job is queued or running; the rows then.
  std::vector<RenderRow> finish() { return finish_exports(editor.get()); }

  // Pixels of `area` that are not `rgb`, as last drawn.
  int pixels_unlike(Rect area, uint32_t rgb) {
    int count = 0;
    for (int y = area.y; y < area.y + area.height; ++y)
      for (int x = area.x; x < area.x + area.width; ++x) count += editor->pixel(x, y) != rgb;
    return count;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
  Rect p{};
};

}  // namespace kelvra_test
