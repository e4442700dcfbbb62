// The recovery writer with its thread: the UI thread hands over copies after
// every edit while the writer writes, removes them between writes, and stops
// the writer with a copy still waiting. These also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "editor/app.h"
#include "editor/history.h"
#include "editor/piano_roll.h"
#include "editor/recovery.h"
#include "project/project.h"
#include "project/text_buffer.h"

namespace {

std::string read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(RecoveryThreads, CopiesWhileEditingThenStop) {
  setenv("ZARNELK_RECOVERY_SECONDS", "0", 1);
  KelvraApp* app = kelvra_app_create();
  std::snprintf(app->project_path, sizeof app->project_path, "/tmp/kelvra-recovery-threads/%d.pjn",
                static_cast<int>(::getpid()));
  const char json[] = R"({"title": "Threads", "clips": []})";
  ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json, sizeof json - 1));
  app->recovery = kelvra_recovery_create();
  ASSERT_NE(app->recovery, nullptr);
  char copy[KELVRA_PATH_SIZE];
  ASSERT_TRUE(kelvra_recovery_path(app->project_path, "", copy));

  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(kelvra_history_begin(app));
    audio_editor_tempo(app, 60 + i);
    kelvra_recovery_poll(app);
    if (i % 50 == 25) {
      kelvra_recovery_discard(app, nullptr);  // as a save does, between and during writes
      EXPECT_NE(::access(copy, F_OK), 0);
    }
  }
  // The last copy handed over reaches the disk whole.
  TextBuffer text;
  ASSERT_TRUE(project_build_text(&app->project, app->layout_mode, &text));
  const std::string want(text.data, text.length);
  text_buffer_free(&text);
  bool caught_up = false;
  for (int i = 0; i < 2000 && !caught_up; ++i) {
    caught_up = read_all(copy) == want;
    if (!caught_up) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(caught_up);

  // Stopping with a copy waiting writes it before the thread ends.
  ASSERT_TRUE(kelvra_history_begin(app));
  audio_editor_tempo(app, 300);
  kelvra_recovery_poll(app);
  kelvra_recovery_destroy(app->recovery);
  app->recovery = nullptr;
  ASSERT_TRUE(project_build_text(&app->project, app->layout_mode, &text));
  EXPECT_EQ(read_all(copy), std::string(text.data, text.length));
  text_buffer_free(&text);

  kelvra_recovery_discard(app, nullptr);
  kelvra_history_clear(app);
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
  unsetenv("ZARNELK_RECOVERY_SECONDS");
}

}  // namespace
