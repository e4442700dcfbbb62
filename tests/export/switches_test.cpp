// Exports of clips whose switches ask for what their source lacks: a sound
// file's clip with "Video" on (as files written before the switches fitted
// the source hold) composes no picture and the export succeeds on every
// canvas; a damaged file still fails the export, naming it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "platform/clock.h"
#include "test_util.h"

namespace {

using kelvra_test::TempDir;

struct Case {
  const char* file;
  int state;
  const char* message;
};

TEST(ExportSwitches, ASoundFilesClipWithVideoOnExportsEveryCanvasAndADamagedFileStillFails) {
  const Case cases[] = {{"tone.m4a", RENDER_READY, ""},
                        {"tone-stereo.wav", RENDER_READY, ""},
                        {"random.mp4", RENDER_FAILED, "random.mp4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempDir dir;
    const std::string from = std::string(KELVRA_FIXTURES) + "/" + c.file;
    ASSERT_EQ(::symlink(from.c_str(), dir.file(c.file).c_str()), 0);
    KelvraApp* app = kelvra_app_create();
    app->render_queue = kelvra_render_create();
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", dir.path().c_str());
    const std::string json = std::string(R"({"sources": [{"id": "s", "file": ")") + c.file +
                             R"("}], "clips": [{"sourceId": "s", "out": 1, "video": true, "audio": false}],
                                 "primaryCanvas": "hd", "canvasSizes": ["hd", "square"]})";
    ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
    const uint64_t first = app->render_queue->job_count;
    ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
    const uint64_t last = app->render_queue->job_count;
    ASSERT_EQ(last - first, 2u);
    RenderRow rows[RENDER_MAX_JOBS];
    for (int i = 0; i < 6000; ++i) {
      kelvra_render_poll(app);
      kelvra_render_rows(app, rows);
      bool busy = false;
      for (uint64_t k = first; k < last; ++k)
        busy |= rows[k].state < RENDER_READY || app->render_queue->jobs[k].thread != nullptr;
      if (!busy) break;
      ui_sleep_ms(10);
    }
    for (uint64_t k = first; k < last; ++k) {
      EXPECT_EQ(rows[k].state, c.state) << rows[k].message;
      EXPECT_NE(std::string(rows[k].message).find(c.message), std::string::npos) << rows[k].message;
    }
    kelvra_render_destroy(app->render_queue);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
  }
}

}  // namespace
