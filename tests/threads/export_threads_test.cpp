// Export workers with their threads: the UI thread polls the queue and reads
// the rows while two workers (each with its picture composer) run, and the
// queue is torn down while workers are mid-file. These also run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "editor/app.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "media/audio_mix.h"
#include "media/wave.h"
#include "project/project.h"
#include "sound_fixture.h"

namespace {

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

class ExportThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kelvra-export-threads-XXXXXX";
    folder = ::mkdtemp(pattern);
    ASSERT_EQ(::symlink(fixture("coded-with-sound.mp4").c_str(), (folder + "/coded.mp4").c_str()), 0);
    app = kelvra_app_create();
    app->render_queue = kelvra_render_create();
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", folder.c_str());
  }
  void TearDown() override {
    kelvra_render_destroy(app->render_queue);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
    std::filesystem::remove_all(folder);
  }

  void load(double seconds) {
    const std::string json = R"({"sources": [{"id": "c", "file": "coded.mp4"}],
      "clips": [{"sourceId": "c", "out": )" + std::to_string(seconds) + R"(}],
      "texts": [{"text": "Title", "at": 0, "duration": 1}],
      "primaryCanvas": "hd", "canvasSizes": ["hd", "square"]})";
    ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
    app->previewed_canvases = kelvra_canvas_mask(&app->project);
  }

  uint64_t files_named(const char* prefix) const {
    uint64_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      count += entry.path().filename().string().rfind(prefix, 0) == 0;
    return count;
  }

  std::string folder;
  KelvraApp* app = nullptr;
};

TEST_F(ExportThreads, PollAndRowsWhileWorkersRun) {
  load(0.5);
  ASSERT_TRUE(kelvra_render_enqueue(app, false));
  ASSERT_TRUE(kelvra_render_enqueue(app, true));
  RenderRow rows[RENDER_MAX_JOBS];
  bool done = false;
  double last_progress[3] = {};
  for (int i = 0; i < 6000 && !done; ++i) {
    kelvra_render_poll(app);
    const uint64_t count = kelvra_render_rows(app, rows);
    ASSERT_EQ(count, 3u);
    done = true;
    for (uint64_t k = 0; k < count; ++k) {
      EXPECT_GE(rows[k].progress, last_progress[k]);  // progress never goes back
      last_progress[k] = rows[k].progress;
      done &= rows[k].state >= RENDER_READY && app->render_queue->jobs[k].thread == nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  ASSERT_TRUE(done);
  for (uint64_t k = 0; k < 3; ++k) {
    EXPECT_EQ(rows[k].state, RENDER_READY) << rows[k].message;
    EXPECT_EQ(rows[k].progress, 1.0);
  }
  EXPECT_EQ(files_named("kelvra-render-"), 3u);
}

// Three canvases decoded once: the UI thread reads the rows (with their
// processor figures) while the group's thread, three composers and three
// workers run, and cancels the middle canvas halfway; the other two finish.
TEST_F(ExportThreads, GroupOfCanvasesGoesOnWithoutACancelledOne) {
  const std::string json = R"({"sources": [{"id": "c", "file": "coded.mp4"}], "clips": [{"sourceId": "c", "out": 2}],
    "texts": [{"text": "Title", "at": 0, "duration": 1}], "primaryCanvas": "hd",
    "canvasSizes": ["hd", "square", "wide"]})";
  ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
  app->previewed_canvases = kelvra_canvas_mask(&app->project);
  ASSERT_TRUE(kelvra_render_enqueue(app, false));
  RenderRow rows[RENDER_MAX_JOBS];
  bool done = false;
  bool cancelled = false;
  for (int i = 0; i < 20000 && !done; ++i) {
    kelvra_render_poll(app);
    ASSERT_EQ(kelvra_render_rows(app, rows), 3u);
    if (!cancelled && rows[1].progress > 0.4) cancelled = kelvra_render_cancel(app, 1);
    done = true;
    for (uint64_t k = 0; k < 3; ++k) done &= rows[k].state >= RENDER_READY && app->render_queue->jobs[k].thread == nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  ASSERT_TRUE(done);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(rows[0].state, RENDER_READY) << rows[0].message;
  EXPECT_EQ(rows[1].state, RENDER_CANCELLED);
  EXPECT_EQ(rows[2].state, RENDER_READY) << rows[2].message;
  EXPECT_EQ(files_named("kelvra-render-"), 2u);
}

TEST_F(ExportThreads, DestroyStopsRunningWorkers) {
  load(4);
  ASSERT_TRUE(kelvra_render_enqueue(app, false));
  RenderQueue* queue = app->render_queue;
  for (int i = 0; i < 4000 && (queue->jobs[0].permille.load() == 0 || queue->jobs[1].permille.load() == 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  kelvra_render_destroy(queue);
  app->render_queue = nullptr;
  EXPECT_EQ(files_named("kelvra-render-"), 0u);  // neither a finished nor a partial file
}

// A mix of a minute or more is measured in two halves on two threads; the
// figures match one pass over the whole to well under what a meter shows, and
// a cancel from another thread stops both halves.
TEST_F(ExportThreads, MeasuringPassInTwoHalves) {
  const std::string json = R"({"sources": [{"id": "c", "file": "coded.mp4"}],
    "clips": [{"sourceId": "c", "out": 2, "mode": "loop", "loops": 40, "video": false}]})";
  ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
  kelvra_test::WholeSources sources;
  ASSERT_TRUE(kelvra_test::decode_whole(app, &sources));
  const WavePcm* table = sources.table;
  char message[128] = "";
  const auto plan = kelvra_test::plan_of(app, message);
  ASSERT_NE(plan, nullptr) << message;
  const uint64_t frames = static_cast<uint64_t>(app->project.timeline_end * RENDER_RATE);
  ASSERT_GE(frames, 60u * RENDER_RATE);

  std::atomic<int32_t> cancel{0};
  std::atomic<int32_t> permille{0};
  LoudnessFigures halves{};
  ASSERT_TRUE(kelvra_loudness_measure(plan.get(), frames, &cancel, &permille, 400, &halves));
  EXPECT_EQ(permille.load(), 400);
  // The same sound whole, block by block through one meter.
  LoudnessMeter* meter = loudness_meter_create(RENDER_RATE, false);
  double wide[2 * RENDER_BLOCK_FRAMES];
  for (uint64_t done = 0; done < frames; done += RENDER_BLOCK_FRAMES) {
    const uint64_t n = std::min<uint64_t>(frames - done, RENDER_BLOCK_FRAMES);
    kelvra_audio_export_mix_wide(&app->project, table, PROJECT_MAX_ROWS, static_cast<double>(done) / RENDER_RATE, wide, n);
    loudness_meter_add(meter, wide, n, 32768.0);
  }
  LoudnessFigures whole{};
  ASSERT_TRUE(loudness_meter_figures(meter, &whole));
  loudness_meter_destroy(meter);
  ASSERT_TRUE(std::isfinite(whole.integrated));
  EXPECT_NEAR(halves.integrated, whole.integrated, 0.02);
  EXPECT_NEAR(halves.range, whole.range, 0.1);

  std::thread canceller([&] {
    while (permille.load() < 100) std::this_thread::yield();
    cancel.store(1);
  });
  permille.store(0);
  EXPECT_FALSE(kelvra_loudness_measure(plan.get(), frames, &cancel, &permille, 1000, &halves));
  canceller.join();
  EXPECT_LT(permille.load(), 1000);
}

}  // namespace
