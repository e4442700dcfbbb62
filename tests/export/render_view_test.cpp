// The Render tab as a user meets it in the running editor: the buttons and
// the hint before every canvas was previewed, the job rows with their
// progress and their Play and "Open folder" buttons, the wheel over a long
// list, presses that must do nothing, and closing the editor mid-export.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "export_fixture.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

constexpr char kNotReady[] = "Preview every open canvas in Timeline before exporting.";

// Half a second of the coded source with its sound, on two canvases.
constexpr char kShort[] = R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 0.5}], "primaryCanvas": "hd", "canvasSizes": ["hd", "square"]})";
// A tenth of a second: many of its mixes are quick to make.
constexpr char kTiny[] = R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 0.1}], "primaryCanvas": "hd", "canvasSizes": ["hd"]})";
// Thirty seconds on two canvases: still running when the test is done with it.
constexpr char kLong[] = R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 3, "mode": "loop", "loops": 10}], "primaryCanvas": "hd",
  "canvasSizes": ["hd", "fullhd"]})";

using namespace kelvra_test::render_tab;

Rect point(int32_t x, int32_t y) { return Rect{x, y, 1, 1}; }

class RenderView : public kelvra_test::RenderTabTest {
 protected:
  void SetUp() override {
    for (const char* name : {"coded-with-sound.mp4", "corner.mp4"})
      ASSERT_EQ(::symlink(fixture(name).c_str(), dir.file(name).c_str()), 0);
  }

  std::vector<uint32_t> pixels_of(Rect area) {
    std::vector<uint32_t> pixels;
    for (int y = area.y; y < area.y + area.height; ++y)
      for (int x = area.x; x < area.x + area.width; ++x) pixels.push_back(editor->pixel(x, y));
    return pixels;
  }

  // Rows the list shows at once.
  int visible_rows() const { return (p.height - 45) / 55; }

  // Presses "WAV mix" `count` times and waits for every mix.
  void queue_mixes(int count) {
    for (int i = 0; i < count; ++i) editor->click(wav_button(p));
    const std::vector<RenderRow> rows = finish();
    ASSERT_EQ(rows.size(), static_cast<size_t>(count));
    for (const RenderRow& row : rows) ASSERT_EQ(row.state, RENDER_READY) << row.message;
  }

  void wheel(int notches, int x, int y) {
    kelvra_test::push_wheel(editor->window_id, notches, x, y);
    editor->step();
  }

  void clear_status() { app->status[0] = '\0'; }

  // Puts stand-ins for the file manager's helpers first on PATH: each records
  // its arguments, one a line, in its log and exits with `code`.
  void fake(const char* program, int code) {
    if (path_ == nullptr) {
      const char* old = std::getenv("PATH");
      const std::string path = bin.path() + ":" + (old != nullptr ? old : "/usr/bin:/bin");
      path_ = std::make_unique<ScopedEnv>("PATH", path.c_str());
    }
    const std::string script = bin.file(program);
    kelvra_test::write_file(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log_of(program) + "'\nexit " +
                                        std::to_string(code) + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  }
  std::string log_of(const char* program) const { return bin.file(std::string(program) + ".log"); }
  // What `program` was called with since the last look; empty when it was not.
  std::string asked(const char* program) const {
    const std::string log = log_of(program);
    const std::string text = kelvra_test::read_file(log);
    std::remove(log.c_str());
    return text;
  }

  TempDir bin;

 private:
  std::unique_ptr<ScopedEnv> path_;
};

// Before every open canvas was previewed the tab says so, its two render
// buttons only repeat it, and "Preview canvases" leads to the Timeline tab.
TEST_F(RenderView, BeforePreviewTheButtonsOnlyExplain) {
  open(kShort);
  show_render_tab();
  ASSERT_FALSE(kelvra_export_ready(app));
  EXPECT_GT(pixels_unlike(hint_area(p), PALETTE_PANEL), 40);  // the hint's text
  const std::vector<uint32_t> hint = pixels_of(hint_area(p));
  EXPECT_EQ(editor->pixel(canvases_button(p).x, canvases_button(p).y + 12), PALETTE_BORDER);  // not offered
  struct Case {
    const char* what;
    Rect button;
    const char* status;
    uint32_t tab;
  };
  const Case cases[] = {
      {"Render open canvases", canvases_button(p), kNotReady, KELVRA_TAB_RENDER},
      {"WAV mix", wav_button(p), kNotReady, KELVRA_TAB_RENDER},
      {"Preview canvases", preview_button(p), "", KELVRA_TAB_TIMELINE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    show_render_tab();
    clear_status();
    editor->click(c.button);
    EXPECT_EQ(editor->status(), c.status);
    EXPECT_EQ(app->active_tab, c.tab);
    EXPECT_EQ(app->render_queue->job_count, 0u);
  }

  // Once previewed, the hint gives way to where the loudness switch's target
  // suits, and the buttons are offered.
  preview();
  show_render_tab();
  EXPECT_NE(pixels_of(hint_area(p)), hint);
  EXPECT_EQ(editor->pixel(canvases_button(p).x, canvases_button(p).y + 12), PALETTE_ACTIVE_BORDER);
  EXPECT_EQ(editor->pixel(wav_button(p).x, wav_button(p).y + 12), PALETTE_ACTIVE_BORDER);
}

// Finished rows: the box, a full progress bar, Play and "Open folder"; Play
// opens that row's file on the Sampling tab.
TEST_F(RenderView, FinishedRowsAndPlay) {
  open(kShort);
  preview();
  show_render_tab();
  editor->click(canvases_button(p));
  EXPECT_EQ(editor->status(), "Open preview canvases queued.");
  editor->click(wav_button(p));
  EXPECT_EQ(editor->status(), "WAV mix queued.");
  const std::vector<RenderRow> rows = finish();
  ASSERT_EQ(rows.size(), 3u);
  draw();
  const int32_t track_end = p.x + 15 + p.width - 30;  // one past the track's last pixel
  for (int r = 0; r < 3; ++r) {
    SCOPED_TRACE("row " + std::to_string(r));
    ASSERT_EQ(rows[r].state, RENDER_READY) << rows[r].message;
    const int32_t top = row_top(p, r);
    EXPECT_EQ(editor->pixel(p.x + 11, top + 25), PALETTE_BAR);
    EXPECT_EQ(editor->pixel(p.x + 15, top + 45), PALETTE_SELECTED);
    EXPECT_EQ(editor->pixel(track_end - 1, top + 46), PALETTE_SELECTED);
    EXPECT_EQ(editor->pixel(track_end, top + 45), PALETTE_BAR);
    for (Rect button : {play_button(p, top), folder_button(p, top)}) {
      EXPECT_EQ(editor->pixel(button.x, button.y + 12), PALETTE_BORDER);
      EXPECT_EQ(editor->pixel(button.x + 3, button.y + 3), PALETTE_BUTTON);
    }
    EXPECT_EQ(editor->pixel(p.x + 11, top + 52), PALETTE_PANEL);  // the gap under the row
  }
  EXPECT_EQ(editor->pixel(p.x + 11, row_top(p, 3) + 25), PALETTE_PANEL);  // no fourth row

  for (int r : {1, 2, 0}) {
    SCOPED_TRACE("Play on row " + std::to_string(r));
    show_render_tab();
    editor->click(play_button(p, row_top(p, r)));
    EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
    ASSERT_GE(rows[r].source_index, 0);
    EXPECT_EQ(app->selected_source, rows[r].source_index);
    EXPECT_STREQ(app->project.sources[app->selected_source].file, rows[r].file_name);
  }
}

// "Open folder" asks the file manager to show the file, falls back to
// opening its folder, and says so when neither works; a row whose file is
// gone says that instead.
TEST_F(RenderView, OpenFolderRevealsTheFile) {
  open(kTiny);
  preview();
  show_render_tab();
  queue_mixes(1);
  const std::string name = app->render_queue->jobs[0].row.file_name;
  const Rect folder = folder_button(p, row_top(p, 0));
  struct Case {
    const char* what;
    int gdbus;
    int xdg_open;
    bool folder_opened;
    const char* status;
  };
  const Case cases[] = {
      {"the file manager shows the file", 0, 0, false, ""},
      {"no file manager service: the folder opens", 1, 0, true, ""},
      {"neither works", 1, 1, true, "The file manager could not reveal the exported file."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake("gdbus", c.gdbus);
    fake("xdg-open", c.xdg_open);
    clear_status();
    editor->click(folder);
    const std::string gdbus = asked("gdbus");
    EXPECT_NE(gdbus.find("org.freedesktop.FileManager1.ShowItems\n"), std::string::npos) << gdbus;
    EXPECT_NE(gdbus.find("['file://" + dir.path() + "/" + name + "']\n"), std::string::npos) << gdbus;
    EXPECT_EQ(asked("xdg-open"), c.folder_opened ? dir.path() + "\n" : "");
    EXPECT_EQ(editor->status(), c.status);
    EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
  }

  // The file deleted behind the editor's back: both buttons say so.
  ASSERT_EQ(::unlink(dir.file(name).c_str()), 0);
  for (Rect button : {folder, play_button(p, row_top(p, 0))}) {
    clear_status();
    editor->click(button);
    EXPECT_EQ(editor->status(), "The rendered file is missing.");
    EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
  }
  EXPECT_EQ(asked("gdbus"), "");
  EXPECT_EQ(asked("xdg-open"), "");
}

// The wheel over a list longer than the panel moves it a row a notch, down
// for a notch towards the user, and stops at both ends.
TEST_F(RenderView, WheelMovesTheListARowANotch) {
  open(kTiny);
  preview();
  show_render_tab();
  const int visible = visible_rows();
  const int count = std::min(visible + 2, static_cast<int>(RENDER_MAX_JOBS));
  ASSERT_GT(count, visible) << "the panel holds every job the queue can have";
  queue_mixes(count);
  RenderQueue* queue = app->render_queue;
  const uint64_t most = static_cast<uint64_t>(count - visible);
  const int x = p.x + p.width / 2;
  const int y = p.y + p.height / 2;
  EXPECT_EQ(app->render_scroll, 0u);
  for (uint64_t notch = 1; notch <= most + 2; ++notch) {
    wheel(-1, x, y);
    EXPECT_EQ(app->render_scroll, std::min(notch, most)) << "notch " << notch << " down";
  }
  // At the end the last job is the last row shown.
  draw();
  EXPECT_EQ(editor->pixel(p.x + 11, row_top(p, visible - 1) + 25), PALETTE_BAR);
  // Not over the panel: the list stays.
  wheel(1, app->library_panel.x + 20, app->library_panel.y + 20);
  EXPECT_EQ(app->render_scroll, most);
  for (uint64_t notch = 1; notch <= most + 2; ++notch) {
    wheel(1, x, y);
    EXPECT_EQ(app->render_scroll, most - std::min(notch, most)) << "notch " << notch << " up";
  }

  // The rows pressed are the rows shown: one notch down, the first row shown is the second job.
  wheel(-1, x, y);
  ASSERT_EQ(app->render_scroll, 1u);
  editor->click(play_button(p, row_top(p, 0)));
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
  EXPECT_EQ(app->selected_source, queue->jobs[1].row.source_index);
}

// The rows that do not fit are not drawn, and a press in the empty space
// below the last one shown acts on none of them.
TEST_F(RenderView, APressBelowTheLastRowShownDoesNothing) {
  open(kTiny);
  preview();
  show_render_tab();
  const int visible = visible_rows();
  const int count = std::min(visible + 1, static_cast<int>(RENDER_MAX_JOBS));
  ASSERT_GT(count, visible) << "the panel holds every job the queue can have";
  queue_mixes(count);
  draw();
  const int32_t hidden_top = row_top(p, visible);
  const int32_t bottom = p.y + p.height - 2;  // the panel's last row inside its border
  if (play_button(p, hidden_top).y > bottom) GTEST_SKIP() << "the first hidden row has no buttons inside the panel";
  EXPECT_EQ(pixels_unlike(Rect{p.x + 8, hidden_top, p.width - 16, bottom - hidden_top + 1}, PALETTE_PANEL), 0);
  fake("gdbus", 1);
  fake("xdg-open", 1);
  const int32_t y = std::min(play_button(p, hidden_top).y + 12, bottom);
  for (Rect button : {play_button(p, hidden_top), folder_button(p, hidden_top)}) {
    show_render_tab();
    clear_status();
    editor->click(point(button.x + button.width / 2, y));
    EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
    EXPECT_EQ(editor->status(), "");
  }
  EXPECT_EQ(asked("gdbus"), "");
}

// Presses on the Render tab that hit nothing are still the tab's: the strip
// between the buttons and the list, the gap between rows, and a running
// row away from its Cancel. Closing the editor then stops the workers and
// leaves no file of theirs.
TEST_F(RenderView, IdlePressesAndClosingMidExport) {
  open(kLong);
  preview();
  show_render_tab();
  editor->click(canvases_button(p));
  ASSERT_EQ(app->render_queue->job_count, 2u);
  const auto has_partial = [&] {
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      if (entry.path().filename().string().find(".partial.") != std::string::npos) return true;
    return false;
  };
  for (int i = 0; i < 3000 && !has_partial(); ++i) {
    editor->step();
    ui_sleep_ms(5);
  }
  ASSERT_TRUE(has_partial());
  fake("gdbus", 1);
  fake("xdg-open", 1);
  const int32_t top = row_top(p, 0);
  // Running rows: the box, a track not yet full, Cancel and no Play.
  draw();
  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE("running row " + std::to_string(r));
    const int32_t t = row_top(p, r);
    EXPECT_EQ(editor->pixel(p.x + 11, t + 25), PALETTE_BAR);
    EXPECT_EQ(editor->pixel(p.x + 15 + p.width - 31, t + 45), PALETTE_BORDER);
    EXPECT_EQ(editor->pixel(cancel_button(p, t).x, cancel_button(p, t).y + 12), PALETTE_BORDER);
    EXPECT_EQ(editor->pixel(cancel_button(p, t).x + 3, cancel_button(p, t).y + 3), PALETTE_BUTTON);
    EXPECT_EQ(editor->pixel(play_button(p, t).x + 3, play_button(p, t).y + 3), PALETTE_BAR);
  }
  struct Case {
    const char* what;
    Rect place;
  };
  const Case cases[] = {
      {"under the buttons", point(p.x + 60, p.y + 33)},
      {"just above the list", point(p.x + 300, p.y + 44)},
      {"between two rows", point(p.x + 300, top + 52)},
      {"a running row's title", point(p.x + 40, top + 10)},
      {"where a finished row has Play", play_button(p, top)},
      {"where a finished row has Open folder", folder_button(p, top)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RenderQueue* queue = app->render_queue;
    ASSERT_NE(queue->jobs[0].thread, nullptr);
    ASSERT_LT(queue->jobs[0].stage.load(), RENDER_READY);
    UiInput press{};
    press.pointer = UI_POINTER_PRESS;
    press.x = c.place.x + c.place.width / 2;
    press.y = c.place.y + c.place.height / 2;
    EXPECT_TRUE(kelvra_render_input(app, &press));  // the tab's, handled here
    std::snprintf(app->status, sizeof app->status, "untouched");
    editor->click(c.place);
    EXPECT_EQ(editor->status(), "untouched");
    EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
    EXPECT_EQ(queue->job_count, 2u);
    EXPECT_EQ(queue->jobs[0].cancel.load(), 0);
    EXPECT_EQ(queue->jobs[1].cancel.load(), 0);
  }
  EXPECT_EQ(asked("gdbus"), "");

  editor.reset();  // closes the editor with both jobs mid-file
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename();
    EXPECT_EQ(name.find(".partial."), std::string::npos) << name;
    EXPECT_NE(name.rfind("kelvra-render-", 0), 0u) << name;
  }
}

}  // namespace
