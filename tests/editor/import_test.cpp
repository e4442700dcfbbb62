// Importing media as a user does it: files dropped on the window (real SDL
// drop events) and files chosen with the Import button (a stand-in zenity
// first on PATH answers), copied into the media folder by the import worker
// while the frame loop runs. Checked: the files in the media folder, the
// library, the undo step, the saved project, the status line, and what is
// left behind when a copy is refused, runs out of disk or is cancelled.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "app_fixture.h"
#include "base/palette.h"
#include "child_process.h"
#include "editor/app.h"
#include "editor/import.h"
#include "media/poster.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "test_util.h"

namespace {

using kelvra_test::list_folder;
using kelvra_test::read_file;
using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

void copy_fixture(const char* name, const std::string& to) {
  std::filesystem::copy_file(fixture(name), to, std::filesystem::copy_options::overwrite_existing);
}

// A 48 kHz stereo WAV file of `bytes` bytes of silence (a sparse file).
void write_silence(const std::string& path, uint32_t bytes) {
  unsigned char head[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0, 2, 0,
                            0x80, 0xBB, 0, 0, 0, 0xEE, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
  const uint32_t riff = bytes + 36;
  for (int i = 0; i < 4; ++i) {
    head[4 + i] = static_cast<unsigned char>(riff >> (8 * i));
    head[40 + i] = static_cast<unsigned char>(bytes >> (8 * i));
  }
  write_file(path, std::string(reinterpret_cast<const char*>(head), sizeof head));
  ASSERT_EQ(::truncate(path.c_str(), 44 + static_cast<off_t>(bytes)), 0);
}

void push_drop(uint32_t window, const std::string& path) {
  SDL_Event e{};
  e.type = SDL_DROPFILE;
  e.drop.windowID = window;
  e.drop.file = SDL_strdup(path.c_str());
  ASSERT_EQ(SDL_PushEvent(&e), 1);
}

// The media folder with a project of one present and one missing source,
// and a folder outside it that files are imported from.
class Import : public ::testing::Test {
 protected:
  void SetUp() override {
    copy_fixture("coded.mp4", media.file("coded.mp4"));
    editor = kelvra_test::start_on_project(media.path(),
                                           R"({"sources": [{"id": "c", "file": "coded.mp4", "title": "Coded"},
                                                           {"id": "g", "file": "gone.wav", "title": "Gone"}]})");
    ASSERT_NE(editor, nullptr);
    app = editor->app;
  }
  void TearDown() override { sys_file_set_calls(nullptr); }

  template <typename Condition>
  bool step_until(Condition done, int frames = 1000) {
    for (int i = 0; i < frames; ++i) {
      if (done()) return true;
      editor->step();
      ui_sleep_ms(2);
    }
    return done();
  }
  // Runs frames until no import runs or waits, then one more to report it.
  void settle() {
    ASSERT_TRUE(step_until([&] { return !kelvra_import_busy(app, nullptr); }));
    editor->step(2);
  }
  void drop(const std::string& path) {
    push_drop(editor->window_id, path);
    editor->step();
    settle();
  }
  std::string status() { return editor->status(); }
  const Source& last() { return app->project.sources[app->project.source_count - 1]; }

  TempDir media;
  TempDir outside;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

TEST_F(Import, DroppedFileIsCopiedAndJoinsTheLibraryAsOneEdit) {
  const std::string given = outside.file("beach take.mp4");
  copy_fixture("coded-with-sound.mp4", given);
  const uint64_t steps = app->history.undo_count;
  drop(given);
  EXPECT_EQ(status(), "Imported beach take.mp4.");
  ASSERT_EQ(app->project.source_count, 3u);
  EXPECT_STREQ(last().file, "beach take.mp4");
  EXPECT_STREQ(last().title, "beach take");
  EXPECT_NEAR(last().duration, 4.0, 0.1);
  EXPECT_EQ(last().video, 1);
  EXPECT_EQ(last().audio, 1);
  EXPECT_EQ(read_file(media.file("beach take.mp4")), read_file(given));
  EXPECT_TRUE(std::filesystem::exists(given)) << "the given file stays where it was";
  EXPECT_EQ(app->history.undo_count, steps + 1);
  EXPECT_EQ(app->dirty, 1);
  // Its card is in the column, with its poster once made.
  ASSERT_GT(app->library_cards[2].width, 0);
  ASSERT_TRUE(step_until([&] {
    return app->posters_asked == app->project.source_count && kelvra_poster_counts(app->posters).pending == 0;
  }));
  editor->step();
  const Rect card = app->library_cards[2];
  EXPECT_NE(editor->pixel(card.x + card.width / 2, card.y + 40), PALETTE_PICTURE);

  // Undo takes it out of the library (the file stays), redo puts it back.
  editor->key(SDLK_z, KMOD_CTRL);
  EXPECT_EQ(app->project.source_count, 2u);
  EXPECT_TRUE(std::filesystem::exists(media.file("beach take.mp4")));
  editor->key(SDLK_y, KMOD_CTRL);
  EXPECT_EQ(app->project.source_count, 3u);

  // The same file again never replaces the first copy; nor does a file
  // named like a source whose file is missing take that name.
  drop(given);
  EXPECT_STREQ(last().file, "beach take (2).mp4");
  EXPECT_EQ(status(), "Imported beach take.mp4 as beach take (2).mp4: the name was taken.");
  const std::string gone = outside.file("gone.wav");
  copy_fixture("tone-stereo.wav", gone);
  drop(gone);
  EXPECT_STREQ(last().file, "gone (2).wav");
  EXPECT_EQ(last().video, 0);
  EXPECT_FALSE(std::filesystem::exists(media.file("gone.wav")));

  // A file dropped from inside the media folder joins without a copy.
  copy_fixture("tone-mono-44k.wav", media.file("already here.wav"));
  const std::string before = list_folder(media.path());
  drop(media.file("already here.wav"));
  EXPECT_STREQ(last().file, "already here.wav");
  EXPECT_EQ(list_folder(media.path()), before);
  drop(media.file("already here.wav"));
  EXPECT_EQ(status(), "already here.wav is already in the library.");

  // The saved project keeps the imported sources, and opening it again finds them.
  ASSERT_EQ(kelvra_project_save(&app->project, media.file("project.json").c_str(), app->layout_mode), PROJECT_SAVED);
  auto reopened = std::make_unique<Project>();
  ASSERT_TRUE(kelvra_project_open(reopened.get(), media.file("project.json").c_str()));
  ASSERT_EQ(reopened->source_count, 6u);
  EXPECT_STREQ(reopened->sources[2].file, "beach take.mp4");
  EXPECT_STREQ(reopened->sources[2].title, "beach take");
  EXPECT_STREQ(reopened->sources[3].id, "beach take (2).mp4");
  EXPECT_EQ(reopened->sources[4].video, 0);
  EXPECT_EQ(reopened->sources[2].rendered, 0);
  kelvra_project_close(reopened.get());
}

// A file manager drops several files at once: one drop event each, all
// before the next frame; each is imported, in order.
TEST_F(Import, SeveralFilesDroppedAtOnce) {
  const char* names[] = {"one.wav", "two.wav", "three.wav", "four.wav"};
  for (const char* name : names) {
    copy_fixture("tone-mono-44k.wav", outside.file(name));
    push_drop(editor->window_id, outside.file(name));
  }
  editor->step();
  settle();
  ASSERT_EQ(app->project.source_count, 6u);
  for (int i = 0; i < 4; ++i) EXPECT_STREQ(app->project.sources[2 + i].file, names[i]);
  EXPECT_EQ(app->history.undo_count, 4u);
}

// The Import button opens the desktop's chooser of several files; each chosen
// file is imported, a name with a line break in it too.
TEST_F(Import, ButtonImportsEveryChosenFile) {
  TempDir bin;
  const std::string odd = outside.file("line\nbreak.wav");
  copy_fixture("tone-stereo.wav", outside.file("tone.wav"));
  copy_fixture("chirp-stereo.wav", odd);
  write_file(outside.file("answer"), outside.file("tone.wav") + "\n" + odd + "\n");
  kelvra_test::write_program(bin.path(), "zenity",
                             "printf '%s\\n' \"$@\" > '" + outside.file("args") + "'\ncat '" + outside.file("answer") +
                                 "'\n");
  ScopedEnv path("PATH", (bin.path() + ":/usr/bin:/bin").c_str());
  editor->click(app->import_button);
  EXPECT_EQ(app->file_dialog, static_cast<uint32_t>(KELVRA_DIALOG_IMPORT));
  ASSERT_TRUE(step_until([&] { return app->file_dialog == KELVRA_DIALOG_NONE; }));
  settle();
  EXPECT_NE(read_file(outside.file("args")).find("--multiple\n"), std::string::npos);
  ASSERT_EQ(app->project.source_count, 4u);
  EXPECT_STREQ(app->project.sources[2].file, "tone.wav");
  EXPECT_STREQ(app->project.sources[3].file, "line_break.wav");
  EXPECT_EQ(read_file(media.file("line_break.wav")), read_file(odd));
  EXPECT_EQ(status(), "Imported line_break.wav.");
}

// What the media layer cannot use is refused with a clear text, and nothing
// is copied or added.
TEST_F(Import, RefusedFilesLeaveNothing) {
  std::filesystem::create_directory(outside.file("a folder"));
  copy_fixture("coded.mp4", outside.file("a folder/inside.mp4"));
  copy_fixture("empty.mp4", outside.file("empty.mp4"));
  copy_fixture("random.mp4", outside.file("noise.mp4"));
  write_file(outside.file("notes.pjn"), R"({"sources": []})");
  ASSERT_EQ(::symlink(outside.file("nowhere.mp4").c_str(), outside.file("dangling.mp4").c_str()), 0);
  const struct {
    const char* name;
    const char* said;
  } cases[] = {
      {"a folder", "a folder is a folder: import the files inside it."},
      {"empty.mp4", "empty.mp4 is empty: it was not imported."},
      {"noise.mp4", "noise.mp4 is not a video or sound file Kelvra can read: it was not imported."},
      {"notes.pjn", "notes.pjn is not a video or sound file Kelvra can read: it was not imported."},
      {"dangling.mp4", "dangling.mp4 cannot be read: it was not imported."},
  };
  const std::string before = list_folder(media.path());
  const uint64_t steps = app->history.undo_count;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    drop(outside.file(c.name));
    EXPECT_EQ(status(), c.said);
    EXPECT_EQ(list_folder(media.path()), before);
    EXPECT_EQ(app->project.source_count, 2u);
    EXPECT_EQ(app->history.undo_count, steps);
  }
}

// Names a file system allows but a project cannot hold as they are: the copy
// gets a name of valid UTF-8 without control characters, and the project
// saved with it opens again.
TEST_F(Import, NamesWithLineBreaksQuotesAndInvalidUtf8) {
  const struct {
    std::string given;
    const char* stored;
    const char* title;
  } cases[] = {
      {"two\nlines.wav", "two_lines.wav", "two_lines"},
      {"say \"hi\".wav", "say \"hi\".wav", "say \"hi\""},
      {"bad\xff\xfe.wav", "bad__.wav", "bad__"},
      {"caf\xc3\xa9 \xe2\x99\xaa.wav", "caf\xc3\xa9 \xe2\x99\xaa.wav", "caf\xc3\xa9 \xe2\x99\xaa"},
      {"back\\slash:colon.wav", "back_slash_colon.wav", "back_slash_colon"},
      {"zke123abc", "_zke123abc", "_zke123abc"},  // not taken for a stale temporary file
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    const std::string given = outside.file(c.given);
    copy_fixture("tone-mono-44k.wav", given);
    drop(given);
    EXPECT_STREQ(last().file, c.stored) << status();
    EXPECT_STREQ(last().title, c.title);
    EXPECT_TRUE(std::filesystem::exists(media.file(c.stored)));
  }
  // A name cut to fit keeps its extension and room for a number.
  char name[KELVRA_NAME_SIZE];
  ASSERT_TRUE(import_file_name(("/x/" + std::string(300, 'x') + ".wav").c_str(), name));
  EXPECT_EQ(std::strlen(name), KELVRA_NAME_SIZE - 1 - 6);
  EXPECT_STREQ(name + std::strlen(name) - 4, ".wav");
  char numbered[KELVRA_NAME_SIZE];
  import_candidate(name, 999, numbered);
  EXPECT_EQ(std::strlen(numbered), KELVRA_NAME_SIZE - 1);
  EXPECT_STREQ(numbered + std::strlen(numbered) - 10, " (999).wav");

  ASSERT_EQ(kelvra_project_save(&app->project, media.file("project.json").c_str(), app->layout_mode), PROJECT_SAVED);
  auto reopened = std::make_unique<Project>();
  ASSERT_TRUE(kelvra_project_open(reopened.get(), media.file("project.json").c_str()));
  ASSERT_EQ(reopened->source_count, app->project.source_count);
  for (uint64_t i = 0; i < reopened->source_count; ++i) {
    EXPECT_STREQ(reopened->sources[i].file, app->project.sources[i].file);
    EXPECT_STREQ(reopened->sources[i].title, app->project.sources[i].title);
  }
  kelvra_project_close(reopened.get());
}

// ------------------------------------------------------------ long copies

// The import's writes are its pieces of a megabyte; the poster cache writes less at a time.
bool import_piece(size_t length) { return length >= (512u << 10); }

std::atomic<uint64_t> g_written{0};
std::atomic<bool> g_hold{false};
std::atomic<bool> g_held{false};

// The disk fills up after 2 MiB of import.
ssize_t full_disk_write(int fd, const void* data, size_t length) {
  if (import_piece(length) && g_written.fetch_add(length) >= (2u << 20)) {
    errno = ENOSPC;
    return -1;
  }
  return ::write(fd, data, length);
}

// Every import piece after the first waits while g_hold is set.
ssize_t held_write(int fd, const void* data, size_t length) {
  if (import_piece(length) && g_written.fetch_add(length) > 0) {
    g_held = true;
    while (g_hold) ui_sleep_ms(1);
  }
  return ::write(fd, data, length);
}

TEST_F(Import, FullDiskDuringTheCopyLeavesNothingUnderAnyName) {
  ASSERT_TRUE(step_until([&] {
    return app->posters_asked == app->project.source_count && kelvra_poster_counts(app->posters).pending == 0;
  }));
  write_silence(outside.file("big.wav"), 8u << 20);
  const std::string before = list_folder(media.path());
  SysFileCalls calls = *sys_file_real_calls();
  calls.write = full_disk_write;
  g_written = 0;
  sys_file_set_calls(&calls);
  drop(outside.file("big.wav"));
  sys_file_set_calls(nullptr);
  EXPECT_EQ(status(), "The disk is full: big.wav was not imported, and nothing of it was left.");
  EXPECT_EQ(list_folder(media.path()), before);
  EXPECT_EQ(app->project.source_count, 2u);
  // With room again the same file comes in whole.
  drop(outside.file("big.wav"));
  EXPECT_EQ(status(), "Imported big.wav.");
  EXPECT_EQ(std::filesystem::file_size(media.file("big.wav")), (8u << 20) + 44u);
}

TEST_F(Import, LongCopyShowsItsProgressAndCancelStopsIt) {
  ASSERT_TRUE(step_until([&] {
    return app->posters_asked == app->project.source_count && kelvra_poster_counts(app->posters).pending == 0;
  }));
  write_silence(outside.file("big.wav"), 8u << 20);
  const std::string before = list_folder(media.path());
  SysFileCalls calls = *sys_file_real_calls();
  calls.write = held_write;
  g_written = 0;
  g_hold = true;
  g_held = false;
  sys_file_set_calls(&calls);
  push_drop(editor->window_id, outside.file("big.wav"));
  ASSERT_TRUE(step_until([&] { return g_held.load() && status().rfind("Importing big.wav: ", 0) == 0; }));
  editor->step();
  EXPECT_EQ(status(), "Importing big.wav: 12%");  // one piece of eight
  // The Import button has become an active "Cancel", over a progress bar.
  const Rect button = app->import_button;
  EXPECT_EQ(editor->pixel(button.x + 3, button.y + 3), PALETTE_ACTIVE_BUTTON);
  EXPECT_EQ(editor->pixel(8, 64), PALETTE_METER_BAR);
  EXPECT_EQ(editor->pixel(160, 64), PALETTE_METER_TRACK);
  editor->click(button);
  g_hold = false;
  settle();
  sys_file_set_calls(nullptr);
  EXPECT_EQ(status(), "Import cancelled: big.wav was not added, and nothing of it was left.");
  EXPECT_EQ(list_folder(media.path()), before);
  EXPECT_EQ(app->project.source_count, 2u);
  EXPECT_EQ(editor->pixel(button.x + 3, button.y + 3), PALETTE_BUTTON);
}

}  // namespace
