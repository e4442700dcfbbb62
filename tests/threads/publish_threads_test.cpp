// Publishing tasks with their threads: the UI thread asks for status lines
// while the workers run, and the context is torn down with workers running.
// These also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/app.h"
#include "export/render.h"
#include "publish/publish.h"

namespace {

TEST(PublishThreads, StatusWhileWorkersRunAndTeardown) {
  KelvraApp* app = kelvra_app_create();
  app->render_queue = kelvra_render_create();
  PublishContext* context = kelvra_publishing_context(app);
  ASSERT_NE(context, nullptr);
  // Uploads of a file that is not there end at once with their text.
  for (uint32_t t : {PUBLISH_YOUTUBE, PUBLISH_LINKEDIN, PUBLISH_SOUNDCLOUD}) {
    PublishTask& task = context->tasks[t];
    std::snprintf(task.token, sizeof task.token, "token");
    task.expires_ms = UINT64_MAX;
    std::snprintf(task.file_path, sizeof task.file_path, "/nonexistent/export.mp4");
    publish_task_start(&task, false);
  }
  bool connected = false;
  for (int i = 0; i < 2000; ++i) {
    bool busy = false;
    for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) {
      kelvra_publish_status(app, t, &connected);
      busy |= context->tasks[t].busy.load() != 0;
    }
    if (!busy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_STREQ(kelvra_publish_status(app, PUBLISH_YOUTUBE, &connected), "Upload could not start.");
  // A worker just started is cancelled and waited for by the teardown.
  publish_task_start(&context->tasks[PUBLISH_TWITCH], false);
  kelvra_render_destroy(app->render_queue);
  kelvra_app_free(app);
}

}  // namespace
