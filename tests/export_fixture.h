// Exports driven through the running editor: previewing every open canvas
// (which export waits for) and running the frame loop until the jobs end.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "app_fixture.h"
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

}  // namespace kelvra_test
