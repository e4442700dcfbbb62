// Publishing tasks with their threads: the UI thread asks for status lines
// while the workers run, and the context is torn down with workers running.
// These also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "editor/app.h"
#include "export/render.h"
#include "publish/publish.h"

namespace {

TEST(PublishThreads, StatusWhileWorkersRunAndTeardown) {
  PublishContext* context = kelvra_publish_create();
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
      kelvra_publish_status(context, t, &connected);
      busy |= context->tasks[t].busy.load() != 0;
    }
    if (!busy) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_STREQ(kelvra_publish_status(context, PUBLISH_YOUTUBE, &connected), "Upload could not start.");
  // A worker just started is cancelled and waited for by the teardown.
  publish_task_start(&context->tasks[PUBLISH_TWITCH], false);
  kelvra_publish_destroy(context);
}

}  // namespace
