// The library column driven as a user drives it: real media files in a media
// folder of the test's own, SDL events pushed into the offscreen window, one
// frame loop pass per step; then the cards' pixels, the scroll position, the
// selection and the poster cache on disk are checked. The poster worker is
// also driven directly for what a user cannot time (a file removed while its
// poster is made).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/library.h"
#include "media/poster.h"
#include "platform/clock.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;
using kelvra_test::write_file;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

void copy_fixture(const char* name, const std::string& to) {
  std::filesystem::copy_file(fixture(name), to, std::filesystem::copy_options::overwrite_existing);
}

template <typename Condition>
bool step_until(RunningEditor& editor, Condition done, int frames = 600) {
  for (int i = 0; i < frames; ++i) {
    if (done()) return true;
    editor.step();
  }
  return done();
}

// Every source's poster was asked for (by a frame) and made.
bool posters_done(RunningEditor& editor) {
  return editor.app->posters_asked == editor.app->project.source_count &&
         kelvra_poster_counts(editor.app->posters).pending == 0;
}

uint32_t channel(uint32_t rgb, int shift) { return (rgb >> shift) & 0xFF; }

// How many pixels of `area` the last frame drew in a colour near `rgb`.
int pixels_near(RunningEditor& editor, Rect area, uint32_t rgb, uint32_t tolerance = 24) {
  int count = 0;
  for (int y = area.y; y < area.y + area.height; ++y) {
    for (int x = area.x; x < area.x + area.width; ++x) {
      const uint32_t p = editor.pixel(x, y);
      bool near = true;
      for (int shift : {0, 8, 16}) {
        const int d = static_cast<int>(channel(p, shift)) - static_cast<int>(channel(rgb, shift));
        near = near && (d < 0 ? -d : d) <= static_cast<int>(tolerance);
      }
      count += near ? 1 : 0;
    }
  }
  return count;
}

Rect picture_of(Rect card) { return Rect{card.x + 1, card.y + 1, card.width - 2, 80}; }

// ---------------------------------------------------------------- posters

class LibraryPosters : public ::testing::Test {
 protected:
  void SetUp() override {
    copy_fixture("chirp-stereo.wav", dir.file("chirp.wav"));
    copy_fixture("coded.mp4", dir.file("coded.mp4"));
    copy_fixture("random.mp4", dir.file("noise.mp4"));
    write_file(dir.file("project.json"),
               R"({"sources": [{"id": "c", "file": "chirp.wav", "title": "Chirp"},
                               {"id": "v", "file": "coded.mp4", "title": "Coded"},
                               {"id": "g", "file": "gone.mp4", "title": "Gone"},
                               {"id": "n", "file": "noise.mp4", "title": "Noise"}]})");
  }
  std::string cache_folder() const { return std::string(std::getenv("XDG_CACHE_HOME")) + "/zarnel-kelvra/posters"; }
  int cached_files() const {
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator(cache_folder(), error); !error && it != std::filesystem::end(it);
         ++it)
      count += it->path().extension() == ".poster";
    return count;
  }
  // The cards as the last frame drew them, once every poster was made.
  void check_cards(RunningEditor& editor) {
    KelvraApp* app = editor.app;
    // The video's poster: a picture 0.4 s in (red 8 x 12, blue 128) in the
    // middle of the card, letterboxed at its sides.
    const Rect video = picture_of(app->library_cards[1]);
    const uint32_t middle = editor.pixel(video.x + video.width / 2, video.y + video.height / 2);
    EXPECT_NEAR(channel(middle, 16), 96.0, 10) << std::hex << middle;
    EXPECT_NEAR(channel(middle, 0), 128.0, 10) << std::hex << middle;
    EXPECT_EQ(editor.pixel(video.x + 2, video.y + video.height / 2), POSTER_LETTERBOX);
    // The selected sound has no live picture: its card shows its waveform.
    const Rect sound = picture_of(app->library_cards[0]);
    EXPECT_GT(pixels_near(editor, sound, POSTER_WAVE_BARS, 0), 500);
    EXPECT_EQ(editor.pixel(sound.x + 1, sound.y + 1), POSTER_WAVE_BACKGROUND);
    // A missing file says so in red; a file of noise says it has no picture.
    EXPECT_GT(pixels_near(editor, picture_of(app->library_cards[2]), 0xCE555E, 40), 10);
    EXPECT_GT(pixels_near(editor, picture_of(app->library_cards[3]), PALETTE_SECONDARY_TEXT, 40), 10);
  }
  TempDir dir;
};

TEST_F(LibraryPosters, EveryCardShowsItsPosterMadeOnceAndThenReadFromTheCache) {
  {
    RunningEditor editor(dir.path());
    ASSERT_TRUE(editor.started);
    ASSERT_TRUE(step_until(editor, [&] { return posters_done(editor); }));
    editor.step(2);
    check_cards(editor);
    const PosterCounts counts = kelvra_poster_counts(editor.app->posters);
    EXPECT_EQ(counts.decoded, 3u);  // the missing file is not decoded
    EXPECT_EQ(counts.loaded, 0u);
    EXPECT_EQ(counts.cached, 3u);
  }
  EXPECT_EQ(cached_files(), 3);
  {
    RunningEditor editor(dir.path());
    ASSERT_TRUE(editor.started);
    ASSERT_TRUE(step_until(editor, [&] { return posters_done(editor); }));
    editor.step(2);
    check_cards(editor);
    const PosterCounts counts = kelvra_poster_counts(editor.app->posters);
    EXPECT_EQ(counts.decoded, 0u);
    EXPECT_EQ(counts.loaded, 3u);
  }
  // A file changed since is decoded again: the cache is keyed by size and time too.
  copy_fixture("coded-with-sound.mp4", dir.file("coded.mp4"));
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  ASSERT_TRUE(step_until(editor, [&] { return posters_done(editor); }));
  const PosterCounts counts = kelvra_poster_counts(editor.app->posters);
  EXPECT_EQ(counts.decoded, 1u);
  EXPECT_EQ(counts.loaded, 2u);
}

// A cache folder that cannot be made or written: the posters still come, and
// the status line tells once why they will be made again next time.
TEST_F(LibraryPosters, CacheFolderThatCannotBeWritten) {
  TempDir cache;
  struct Case {
    const char* name;
    std::string folder;  // becomes XDG_CACHE_HOME
    bool read_only;      // the posters folder exists without write permission
  } cases[] = {
      {"under a plain file", cache.file("plain-file"), false},
      {"read-only", cache.file("home"), true},
  };
  write_file(cache.file("plain-file"), "not a folder");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.read_only) {
      if (::geteuid() == 0) continue;  // permissions do not hold for root
      std::filesystem::create_directories(c.folder + "/zarnel-kelvra/posters");
      ::chmod((c.folder + "/zarnel-kelvra/posters").c_str(), 0555);
    }
    ScopedEnv home("XDG_CACHE_HOME", c.folder.c_str());
    RunningEditor editor(dir.path());
    ASSERT_TRUE(editor.started);
    ASSERT_TRUE(step_until(editor, [&] { return posters_done(editor); }));
    editor.step(2);
    check_cards(editor);
    EXPECT_EQ(kelvra_poster_counts(editor.app->posters).cached, 0u);
    EXPECT_NE(editor.status().find("cache folder cannot be written"), std::string::npos) << editor.status();
  }
}

// The worker itself: a file removed while its poster is made has none (and
// none is cached); one there again later is made then.
TEST(PosterWorker, FileRemovedWhileItsPosterIsMade) {
  TempDir media;
  TempDir cache;
  const std::string path = media.file("long.m4a");
  copy_fixture("five-minutes.m4a", path);
  PosterWorker* worker = kelvra_poster_create(cache.path().c_str());
  ASSERT_NE(worker, nullptr);
  EXPECT_EQ(kelvra_poster_get(worker, path.c_str(), nullptr, nullptr), POSTER_PENDING);
  ::unlink(path.c_str());
  uint32_t state = POSTER_PENDING;
  for (int i = 0; i < 3000 && state == POSTER_PENDING; ++i) {
    ui_sleep_ms(5);
    state = kelvra_poster_get(worker, path.c_str(), nullptr, nullptr);
  }
  EXPECT_EQ(state, POSTER_MISSING);
  EXPECT_EQ(kelvra_poster_counts(worker).cached, 0u);
  // Another path is asked for while the worker has nothing to do.
  const std::string sound = media.file("tone.wav");
  copy_fixture("tone-stereo.wav", sound);
  const uint8_t* pixels = nullptr;
  bool is_sound = false;
  for (int i = 0; i < 3000 && kelvra_poster_get(worker, sound.c_str(), &pixels, &is_sound) == POSTER_PENDING; ++i)
    ui_sleep_ms(5);
  EXPECT_EQ(kelvra_poster_get(worker, sound.c_str(), &pixels, &is_sound), POSTER_READY);
  EXPECT_NE(pixels, nullptr);
  EXPECT_TRUE(is_sound);
  kelvra_poster_destroy(worker);
}

// --------------------------------------------------------- scroll and search

// Twenty takes of the coded video, each under a name of its own.
class LibraryColumn : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string sources;
    for (int i = 0; i < kTakes; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "v%02d.mp4", i);
      ASSERT_EQ(::symlink(fixture("coded.mp4").c_str(), dir.file(name).c_str()), 0);
      char row[160];
      std::snprintf(row, sizeof row, R"(%s{"id": "s%02d", "file": "%s", "title": "Harbour %02d"})", i > 0 ? ", " : "", i,
                    name, i);
      sources += row;
    }
    editor = kelvra_test::start_on_project(dir.path(), R"({"sources": [)" + sources + "]}");
    ASSERT_NE(editor, nullptr);
    app = editor->app;
  }
  void wheel(int notches) {
    kelvra_test::push_wheel(editor->window_id, notches, 80, 300);
    editor->step();
  }
  // The sources whose cards are on screen, top to bottom.
  std::vector<int> shown() {
    std::vector<std::pair<int, int>> cards;
    for (int i = 0; i < kTakes; ++i)
      if (app->library_cards[i].width > 0) cards.emplace_back(app->library_cards[i].y, i);
    std::sort(cards.begin(), cards.end());
    std::vector<int> sources;
    for (const auto& card : cards) sources.push_back(card.second);
    return sources;
  }
  std::vector<int> range(int first, int count) {
    std::vector<int> sources;
    for (int i = 0; i < count; ++i) sources.push_back(first + i);
    return sources;
  }

  static constexpr int kTakes = 20;
  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

TEST_F(LibraryColumn, WheelScrollBarAndPageKeysReachEveryCard) {
  EXPECT_EQ(shown(), range(0, 7));  // seven cards fit above the status bar at 1334 x 872
  ASSERT_GT(app->library_scroll_bar.height, 0);
  wheel(-1);  // a notch toward the user: one card on
  EXPECT_EQ(shown(), range(1, 7));
  EXPECT_EQ(app->library_cards[1].y, 67);
  wheel(-100);  // as far as the cards reach
  EXPECT_EQ(shown(), range(13, 7));
  wheel(2);
  EXPECT_EQ(shown(), range(11, 7));
  // A click selects the card under it, where the scrolled column drew it.
  editor->click(app->library_cards[16]);
  EXPECT_EQ(app->selected_source, 16);
  EXPECT_EQ(editor->pixel(app->library_cards[16].x, app->library_cards[16].y + 10), PALETTE_SELECTED);
  // The column has the keyboard after the click: Page Up, Page Down, Home, End.
  editor->key(SDLK_PAGEUP);
  EXPECT_EQ(shown(), range(4, 7));
  editor->key(SDLK_PAGEUP);
  EXPECT_EQ(shown(), range(0, 7));
  editor->key(SDLK_PAGEDOWN);
  EXPECT_EQ(shown(), range(7, 7));
  editor->key(SDLK_END);
  EXPECT_EQ(shown(), range(13, 7));
  editor->key(SDLK_HOME);
  EXPECT_EQ(shown(), range(0, 7));
  // The scroll bar: a press under the thumb moves a page; the thumb dragged to the end shows the last card.
  const Rect bar = app->library_scroll_bar;
  editor->click(Rect{bar.x, bar.y + bar.height - 4, bar.width, 2});
  EXPECT_EQ(shown(), range(7, 7));
  const Rect thumb = app->library_thumb;
  editor->button(true, thumb.x + 2, thumb.y + 2);
  editor->step();
  for (int y = thumb.y + 2; y <= bar.y + bar.height + 40; y += 20) editor->motion(thumb.x + 2, y);
  editor->step();
  editor->button(false, thumb.x + 2, bar.y + bar.height + 40);
  editor->step();
  EXPECT_EQ(shown(), range(13, 7));
  EXPECT_EQ(app->library_thumb.y + app->library_thumb.height, bar.y + bar.height);
  // A press away from the column takes its keyboard: Page Up then does nothing to it.
  editor->click(Rect{400, 858, 2, 2});  // the status bar
  editor->key(SDLK_PAGEUP);
  EXPECT_EQ(shown(), range(13, 7));
}

TEST_F(LibraryColumn, SearchFiltersByTitleAndFileNameAsTheUserTypes) {
  const uint64_t steps = app->history.undo_count;
  editor->click(app->search_field);
  ASSERT_EQ(app->search_focus, 1);
  for (const char* typed : {"h", "A", "R", "bour", " ", "1"}) {
    editor->text(typed);
    editor->step();
  }
  // "hARbour 1": both words, in any case, in the title.
  EXPECT_EQ(shown(), (std::vector<int>{1, 10, 11, 12, 13, 14, 15}));
  EXPECT_EQ(app->library_shown_count, 11u);
  EXPECT_EQ(app->playing, 0) << "the space was typed, not played";
  // A file name matches too, and a click on the one card left selects its source.
  editor->key(SDLK_ESCAPE);
  EXPECT_EQ(app->search_text[0], '\0');
  EXPECT_EQ(app->search_focus, 0);
  EXPECT_EQ(shown(), range(0, 7));
  editor->click(app->search_field);
  editor->text("V07.MP");
  editor->step();
  EXPECT_EQ(shown(), std::vector<int>{7});
  EXPECT_EQ(app->library_card_count, 1u);
  editor->click(app->library_cards[7]);
  EXPECT_EQ(app->selected_source, 7);
  EXPECT_EQ(app->search_focus, 0);
  // The rows under the single card select nothing.
  editor->click(Rect{60, 67 + 106 + 20, 2, 2});
  EXPECT_EQ(app->selected_source, 7);
  // Nothing matches: the column says so.
  editor->click(app->search_field);
  for (int i = 0; i < 6; ++i) editor->key(SDLK_BACKSPACE);
  editor->text("zzz");
  editor->step();
  EXPECT_TRUE(shown().empty());
  EXPECT_EQ(app->library_scroll_bar.width, 0);
  EXPECT_GT(pixels_near(*editor, Rect{11, 70, 153, 20}, PALETTE_SECONDARY_TEXT, 40), 10);
  EXPECT_EQ(app->history.undo_count, steps) << "searching is no edit";
}

}  // namespace
