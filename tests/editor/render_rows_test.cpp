// The Render tab's list: a cancelled export's row says "Cancelled", and
// "Clear ended" takes finished, failed and cancelled rows off the list while
// a running one stays.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "export_fixture.h"
#include "platform/clock.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

TEST(RenderRows, CancelledRowsSayCancelledAndEndedRowsClear) {
  TempDir dir;
  for (const char* name : {"five-minutes.m4a", "tone-stereo.wav"}) {
    const std::string from = std::string(KELVRA_FIXTURES) + "/" + name;
    ASSERT_EQ(::symlink(from.c_str(), dir.file(name).c_str()), 0);
  }
  kelvra_test::write_file(dir.file("project.json"),
                          R"({"sources": [{"id": "l", "file": "five-minutes.m4a"}, {"id": "t", "file": "tone-stereo.wav"}],
                              "clips": [{"id": "a", "sourceId": "t", "out": 1, "video": false}]})");
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  // A finished WAV mix, then a failed one (its source gone), then a long one cancelled.
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  auto rows = kelvra_test::finish_exports(&editor);
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].state, RENDER_READY) << rows[0].message;
  app->project.clips[0].source = 0;
  app->project.clips[0].out = 300;
  kelvra_sequence_end(app);
  ASSERT_EQ(::unlink(dir.file("five-minutes.m4a").c_str()), 0);
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  rows = kelvra_test::finish_exports(&editor);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].state, RENDER_FAILED);
  ASSERT_EQ(::symlink((std::string(KELVRA_FIXTURES) + "/five-minutes.m4a").c_str(), dir.file("five-minutes.m4a").c_str()), 0);
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  editor.step();
  ASSERT_TRUE(kelvra_render_cancel(app, 2));
  rows = kelvra_test::finish_exports(&editor);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2].state, RENDER_CANCELLED);
  char status[140];
  kelvra_render_row_status(&rows[2], status, sizeof status);
  EXPECT_EQ(std::string(status).rfind("Cancelled", 0), 0u) << status;

  // A fourth, long, still running when the list is cleared: it stays.
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  editor.click(app->tab_buttons[KELVRA_TAB_RENDER]);
  const Rect p = app->main_panel;
  editor.click(Rect{p.x + p.width - 112, p.y + 7, 104, 25});
  RenderRow left[RENDER_MAX_JOBS];
  const uint64_t count = kelvra_render_rows(app, left);
  ASSERT_EQ(count, 1u);
  EXPECT_LT(left[0].state, RENDER_READY);
  EXPECT_EQ(editor.status(), "Cleared 3 ended exports.");
  kelvra_render_cancel(app, 0);
  kelvra_test::finish_exports(&editor);
}

}  // namespace
