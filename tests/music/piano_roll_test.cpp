// The Audio tab's piano roll driven as a user drives it: real SDL events
// pushed into the editor's offscreen window, one frame loop pass per step.
// Positions are plain arithmetic on the 1334 x 872 window (the main panel is
// 178,71 1153x563, so the note grid starts at x 250 and roll 0's first key
// row at y 168); then the score, the undo history, the pixels drawn, the file
// saved and the sound the device received are checked.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/history.h"
#include "editor/piano_roll.h"
#include "project/score.h"
#include "project_fixture.h"
#include "records_equal.h"
#include "sdl_events.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

constexpr int kGridX = 250;      // main panel x + 72
constexpr int kGridWidth = 1075; // main panel width - 78
constexpr int kRollsY = 149;     // main panel y + 78
constexpr int kBand = 236;
constexpr int kLabelX = 240;     // inside the key labels, clear of the "C" texts

constexpr uint32_t kWhiteLabel = 0x53605A;
constexpr uint32_t kBlackLabel = 0x303A35;
constexpr uint32_t kWhiteRow = 0x202A25;
constexpr uint32_t kBlackRow = 0x19211D;
constexpr uint32_t kNote = 0x78B696;
constexpr uint32_t kSelectedNote = 0xE4C77C;
constexpr uint32_t kRegion = 0x86A092;

std::string text_of(Rect r) {
  return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
         std::to_string(r.height);
}

// The popup menu's entries the last time it opened, answered with the
// command of the entry labelled `choice` (none when no label matches).
struct Menu {
  static inline std::vector<std::string> labels;
  static inline std::string choice;
  static inline int shown = 0;
  static uint64_t popup(int32_t, int32_t, const UiMenuEntry* entries, uint64_t count) {
    ++shown;
    labels.clear();
    uint64_t answer = 0;
    for (uint64_t i = 0; i < count; ++i) {
      labels.emplace_back(entries[i].label);
      if (choice == entries[i].label) answer = entries[i].command;
    }
    return answer;
  }
};

// The file chooser's answer for Open and Save.
struct Chooser {
  static inline std::string path;
  static bool choose(bool, const char*, char* out) {
    std::snprintf(out, KELVRA_PATH_SIZE, "%s", path.c_str());
    return true;
  }
  static bool confirm(const char*, const char*) { return true; }
};

std::unique_ptr<Score> copy_of(const Score& score) { return std::make_unique<Score>(score); }

// "audioScore" text of `regions` regions and `notes` notes, generated for the capacity cases.
std::string crowded_score(uint64_t regions, uint64_t notes, uint64_t rolls = 1) {
  std::string text = R"({"sources": [], "audioScore": {"bpm": 120, "rolls": )" + std::to_string(rolls) +
                     R"(, "regions": [)";
  for (uint64_t i = 0; i < regions; ++i) {
    // All far below the keys in view but the last, which sits over keys 60..62 at beats 0..2.
    const bool last = i + 1 == regions;
    text += (i > 0 ? "," : "") + std::string(R"({"start": )") + std::to_string(last ? 0 : 40 + i) +
            R"(, "end": )" + std::to_string(last ? 2 : 41 + i) + R"(, "low": )" + (last ? "60" : "0") +
            R"(, "high": )" + (last ? "62" : "10") + "}";
  }
  text += R"(], "notes": [)";
  for (uint64_t i = 0; i < notes; ++i)
    text += (i > 0 ? "," : "") + std::string(R"({"beat": )") + std::to_string(i % 1000) +
            R"(, "length": 0.25, "key": 64, "region": -1})";
  return text + "]}}";
}

class PianoRoll : public ::testing::Test {
 protected:
  void SetUp() override {
    static const UiDialogHooks hooks = {Chooser::confirm, Chooser::choose, Menu::popup};
    ui_set_dialog_hooks(&hooks);
    Menu::labels.clear();
    Menu::choice.clear();
    Menu::shown = 0;
    Chooser::path = dir.file("song.pjn");
  }
  void TearDown() override {
    editor.reset();
    ui_set_dialog_hooks(nullptr);
    SDL_SetModState(KMOD_NONE);
  }

  // Starts the editor on a project.json holding `json` and opens the Audio tab.
  void open(const std::string& json = R"({"sources": []})") {
    editor.reset();
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    editor->click(app->tab_buttons[KELVRA_TAB_AUDIO]);
    ASSERT_EQ(app->active_tab, KELVRA_TAB_AUDIO);
    audio_layout(&layout, app);
  }

  Score& score() { return app->project.score; }
  uint64_t undo_steps() const { return app->history.undo_count; }

  // Columns and rows at the default zoom with the grid scrolled to beat 0.
  static int x_of(double beat) { return kGridX + static_cast<int>(std::lround(beat * 36)) + 2; }
  // The middle of `key`'s row in roll `roll` as it shows now.
  int y_of(uint64_t roll, int key) const {
    const int band = static_cast<int>(roll - app->roll.first_roll) * kBand;
    return kRollsY + band + 19 + (app->roll.roll_top_keys[roll] - key) * 9 + 4;
  }
  // The first pixel row of `key`'s row in roll 0.
  int row_top(int key) const { return kRollsY + 19 + (app->roll.roll_top_keys[0] - key) * 9; }

  void click(int x, int y) {
    editor->button(true, x, y);
    editor->button(false, x, y);
    editor->step();
  }
  void shift_click(int x, int y) {
    SDL_SetModState(KMOD_LSHIFT);
    click(x, y);
    SDL_SetModState(KMOD_NONE);
  }
  void right_click(int x, int y) {
    editor->button(true, x, y, SDL_BUTTON_RIGHT);
    editor->button(false, x, y, SDL_BUTTON_RIGHT);
    editor->step();
  }
  // A press, a move in two steps, and a release at the end point, a frame each.
  void drag(int x0, int y0, int x1, int y1, bool shift = false) {
    if (shift) SDL_SetModState(KMOD_LSHIFT);
    editor->button(true, x0, y0);
    editor->step();
    SDL_SetModState(KMOD_NONE);
    editor->motion((x0 + x1) / 2, (y0 + y1) / 2);
    editor->step();
    editor->motion(x1, y1);
    editor->step();
    editor->button(false, x1, y1);
    editor->step();
  }
  void wheel(int notches, int x, int y, bool shift = false) {
    if (shift) SDL_SetModState(KMOD_LSHIFT);
    kelvra_test::push_wheel(editor->window_id, notches, x, y);
    editor->step();
    SDL_SetModState(KMOD_NONE);
  }
  void press_rect(Rect r) { editor->click(r); }
  void toggle_mode() { press_rect(layout.mode); }
  void undo() { editor->key(SDLK_z, KMOD_LCTRL); }

  // The region of roll 0 over beats 0..2.25 and keys 68..70, drawn in regions mode.
  void draw_region() { drag(x_of(0), y_of(0, 70), x_of(2), y_of(0, 68)); }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
  RollLayout layout{};
};

// ------------------------------------------------------------ layout, view

TEST_F(PianoRoll, ControlsSitAtTheirPlacesInTheMainPanel) {
  open();
  EXPECT_EQ(text_of(app->main_panel), "178,71 1153x563");
  const std::pair<Rect, const char*> rows[] = {
      {layout.rolls, "185,149 1139x459"},       {layout.scroll_track, "250,108 1075x12"},
      {layout.ruler, "250,124 1075x22"},        {layout.add_roll, "185,608 81x22"},
      {layout.play, "185,77 57x24"},            {layout.metronome, "246,77 66x24"},
      {layout.position, "317,77 56x24"},        {layout.tempo, "378,77 68x24"},
      {layout.tempo_slider, "451,77 109x24"},   {layout.mode, "565,77 67x24"},
      {layout.duplicate, "637,77 75x24"},       {layout.instrument, "717,77 132x24"},
      {layout.zoom_out, "1263,77 28x24"},       {layout.zoom_in, "1295,77 28x24"},
  };
  for (const auto& [rect, want] : rows) EXPECT_EQ(text_of(rect), want);
  EXPECT_EQ(layout.grid_x, kGridX);
  EXPECT_EQ(layout.grid_width, kGridWidth);
}

// The editor opens each roll with its highest note three keys below the top
// row, within 23..127, and at 76 when the roll has no notes.
TEST_F(PianoRoll, RollsOpenWithTheirHighestNoteInView) {
  struct Case {
    const char* notes;
    uint8_t tops[4];
  };
  const Case cases[] = {
      {"", {76, 76, 76, 76}},
      {R"({"key": 60, "roll": 0}, {"key": 57, "roll": 0}, {"key": 126, "roll": 1}, {"key": 5, "roll": 2})",
       {63, 127, 23, 76}},
      {R"({"key": 124, "roll": 3}, {"key": 19, "roll": 0}, {"key": 20, "roll": 0})", {23, 76, 76, 127}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.notes);
    open(std::string(R"({"sources": [], "audioScore": {"rolls": 4, "notes": [)") + c.notes + "]}}");
    for (uint64_t roll = 0; roll < 4; ++roll) EXPECT_EQ(app->roll.roll_top_keys[roll], c.tops[roll]) << roll;
    for (uint64_t roll = 4; roll < KELVRA_ROLL_COUNT; ++roll) EXPECT_EQ(app->roll.roll_top_keys[roll], 76) << roll;
  }
}

// In notes mode a click places a note at the quarter beat and key under the
// pointer, so the notes it makes show how columns and rows map.
TEST_F(PianoRoll, ClicksMapToQuarterBeatsAndKeys) {
  open();
  toggle_mode();
  struct Case {
    int dx, dy;  // from the grid's left edge and roll 0's first key row
    double beat;
    int key;
  };
  const Case cases[] = {
      {0, 0, 0, 76},        {8, 8, 0, 76},     {9, 9, 0.25, 75},    {44, 100, 1.0, 65},
      {45, 107, 1.25, 65},  {46, 108, 1.25, 64}, {1073, 215, 29.75, 53},
  };
  for (const Case& c : cases) {
    click(kGridX + c.dx, kRollsY + 19 + c.dy);
    ASSERT_GT(score().note_count, 0u);
    const ScoreNote& note = score().notes[score().note_count - 1];
    EXPECT_EQ(note.beat, c.beat) << c.dx;
    EXPECT_EQ(note.key, c.key) << c.dy;
  }
  EXPECT_EQ(score().note_count, std::size(cases));
  // Beside the grid (key labels, title row, between bands) makes no note.
  for (const auto& [x, y] : {std::pair{kLabelX, kRollsY + 50}, {kGridX + 100, kRollsY + 5}, {kGridX + 100, kRollsY + 235}})
    click(x, y);
  EXPECT_EQ(score().note_count, std::size(cases));

  // Scrolled 4 beats to the right, the same column is 4 beats later.
  wheel(-1, kGridX + 300, kRollsY + 100, true);
  ASSERT_EQ(app->roll.roll_scroll, 4.0);
  click(kGridX + 45, kRollsY + 19);
  EXPECT_EQ(score().notes[score().note_count - 1].beat, 5.25);
}

// A score reaching the last beat: with the bar dragged to its end the right
// of the grid maps past the last quarter beat, and a note lands on it.
TEST_F(PianoRoll, TheLastQuarterBeatIsTheLimit) {
  open(R"({"sources": [], "audioScore": {"notes": [{"beat": 14390, "length": 512, "key": 60}]}})");
  toggle_mode();
  drag(layout.scroll_track.x + 5, 114, 1330, 114);
  EXPECT_NEAR(app->roll.roll_scroll, 14902 + 16 - kGridWidth / 36.0, 1e-9);
  click(kGridX + kGridWidth - 2, y_of(0, 60));
  ASSERT_EQ(score().note_count, 2u);
  EXPECT_EQ(score().notes[1].beat, 14399.75);
}

TEST_F(PianoRoll, DrawsKeysNotesRegionsAndThePlayhead) {
  // Region 0 over beats 2..6 and keys 60..64; a free note on key 72 at beats
  // 0..1; a region note on key 62 at 3..8 (cut at 6) and one on key 70,
  // outside the region's keys (never shown). The top row is key 75.
  open(R"({"sources": [], "audioScore": {"regions": [{"start": 2, "end": 6, "low": 60, "high": 64}],
          "notes": [{"beat": 0, "length": 1, "key": 72},
                    {"beat": 3, "length": 5, "key": 62, "region": 0},
                    {"beat": 3, "length": 1, "key": 70, "region": 0}]}})");
  ASSERT_EQ(app->roll.roll_top_keys[0], 75);
  editor->step();

  // Key labels and rows: key 75 (D#) is black, 74 (D) white.
  EXPECT_EQ(editor->pixel(kLabelX, row_top(75) + 4), kBlackLabel);
  EXPECT_EQ(editor->pixel(kLabelX, row_top(74) + 4), kWhiteLabel);
  EXPECT_EQ(editor->pixel(kGridX + 364, row_top(75) + 4), kBlackRow);  // beat 10.1, between grid lines
  EXPECT_EQ(editor->pixel(kGridX + 364, row_top(74) + 4), kWhiteRow);

  // The free note fills columns 251..285 and rows 1..7 of its row, corners cut.
  const int free_row = row_top(72);
  EXPECT_EQ(editor->pixel(268, free_row + 4), kNote);
  EXPECT_EQ(editor->pixel(251, free_row + 4), kNote);
  EXPECT_EQ(editor->pixel(285, free_row + 4), kNote);
  EXPECT_EQ(editor->pixel(268, free_row + 1), kNote);
  EXPECT_EQ(editor->pixel(268, free_row + 7), kNote);
  EXPECT_NE(editor->pixel(251, free_row + 1), kNote);  // a rounded corner
  EXPECT_NE(editor->pixel(285, free_row + 7), kNote);
  EXPECT_NE(editor->pixel(250, free_row + 4), kNote);
  EXPECT_NE(editor->pixel(286, free_row + 4), kNote);
  EXPECT_NE(editor->pixel(268, free_row + 8), kNote);
  EXPECT_NE(editor->pixel(268, free_row - 1), kNote);

  // The region note shows from beat 3 up to the region's end at 6, not to 8.
  const int cut_row = row_top(62);
  EXPECT_EQ(editor->pixel(kGridX + 108 + 10, cut_row + 4), kNote);
  EXPECT_EQ(editor->pixel(kGridX + 216 - 4, cut_row + 4), kNote);
  EXPECT_NE(editor->pixel(kGridX + 216 + 4, cut_row + 4), kNote);
  EXPECT_EQ(editor->pixel(kGridX + 252 + 4, cut_row + 4), kWhiteRow);  // beat 7
  // The note outside the region's keys is not drawn.
  EXPECT_EQ(editor->pixel(kGridX + 108 + 14, row_top(70) + 4), kBlackRow);

  // The region's outline: columns 322..465, rows of key 64's top to key 60's bottom.
  const int top = row_top(64);
  const int bottom = row_top(60) + 8;
  EXPECT_EQ(editor->pixel(400, top), kRegion);
  EXPECT_EQ(editor->pixel(400, bottom), kRegion);
  EXPECT_EQ(editor->pixel(322, top + 20), kRegion);
  EXPECT_EQ(editor->pixel(465, top + 20), kRegion);
  EXPECT_NE(editor->pixel(400, top - 1), kRegion);
  EXPECT_NE(editor->pixel(321, top + 20), kRegion);
  EXPECT_NE(editor->pixel(466, top + 20), kRegion);

  // Selected with a click inside it, the region and its notes turn gold.
  click(x_of(4), y_of(0, 61));
  ASSERT_EQ(app->roll.selected_region, 0);
  EXPECT_EQ(undo_steps(), 0u);
  EXPECT_EQ(editor->pixel(400, top), PALETTE_SELECTED);
  EXPECT_EQ(editor->pixel(kGridX + 108 + 10, cut_row + 4), kSelectedNote);
  EXPECT_EQ(editor->pixel(268, free_row + 4), kNote);

  // The playhead line from the ruler down through the rolls, at beat 8.
  const int line = kGridX + 8 * 36;
  EXPECT_NE(editor->pixel(line, 200), PALETTE_SELECTED);
  click(x_of(8), layout.ruler.y + 5);
  EXPECT_DOUBLE_EQ(app->roll.score_playhead, 4.0);
  EXPECT_EQ(editor->pixel(line, 200), PALETTE_SELECTED);
  EXPECT_EQ(editor->pixel(line, layout.ruler.y + 16), PALETTE_SELECTED);
  EXPECT_EQ(editor->pixel(line, layout.rolls.y + layout.rolls.height - 1), PALETTE_SELECTED);
  EXPECT_NE(editor->pixel(line + 1, 200), PALETTE_SELECTED);
}

// --------------------------------------------------------------- regions

TEST_F(PianoRoll, RegionsAreDrawnByDragging) {
  open();
  // A click on an empty part of the roll makes nothing.
  click(x_of(1), y_of(0, 70));
  EXPECT_EQ(score().region_count, 0u);
  EXPECT_EQ(undo_steps(), 0u);

  struct Case {
    double from_beat;
    int from_key;
    double to_beat;
    int to_key;
  };
  // Two beats right and three keys down, and the same drawn the other way round.
  const Case cases[] = {{0, 70, 2, 68}, {2, 68, 0, 70}};
  for (const Case& c : cases) {
    open();
    drag(x_of(c.from_beat), y_of(0, c.from_key), x_of(c.to_beat), y_of(0, c.to_key));
    ASSERT_EQ(score().region_count, 1u);
    const ScoreRegion& r = score().regions[0];
    EXPECT_EQ(r.start, 0.0);
    EXPECT_EQ(r.end, 2.25);
    EXPECT_EQ(r.low, 68);
    EXPECT_EQ(r.high, 70);
    EXPECT_EQ(r.roll, 0);
    EXPECT_EQ(r.instrument_count, 1);
    EXPECT_EQ(r.instruments[0], SCORE_PIANO);
    EXPECT_EQ(r.active, 0);
    EXPECT_EQ(r.volume, 1.0f);
    EXPECT_EQ(r.pan, 0.0f);
    EXPECT_EQ(app->roll.selected_region, 0);
    EXPECT_EQ(undo_steps(), 1u);
    undo();
    EXPECT_EQ(score().region_count, 0u);
  }

  // A drag starting on a region only selects it; with Shift it draws a new one over it.
  open();
  draw_region();
  drag(x_of(1), y_of(0, 69), x_of(3), y_of(0, 66));
  EXPECT_EQ(score().region_count, 1u);
  drag(x_of(1), y_of(0, 69), x_of(3), y_of(0, 66), true);
  ASSERT_EQ(score().region_count, 2u);
  EXPECT_EQ(score().regions[1].start, 1.0);
  EXPECT_EQ(score().regions[1].end, 3.25);
  EXPECT_EQ(score().regions[1].low, 66);
  EXPECT_EQ(score().regions[1].high, 69);
  EXPECT_EQ(app->roll.selected_region, 1);

  // A drag below the last roll draws in a new roll.
  const uint64_t steps = undo_steps();
  drag(x_of(4), y_of(1, 75), x_of(5), y_of(1, 74));
  EXPECT_EQ(score().rolls, 2u);
  ASSERT_EQ(score().region_count, 3u);
  EXPECT_EQ(score().regions[2].roll, 1);
  EXPECT_EQ(score().regions[2].start, 4.0);
  EXPECT_EQ(score().regions[2].end, 5.25);
  EXPECT_EQ(score().regions[2].low, 74);
  EXPECT_EQ(score().regions[2].high, 75);
  EXPECT_EQ(undo_steps(), steps + 1);
  undo();
  EXPECT_EQ(score().rolls, 1u);
  EXPECT_EQ(score().region_count, 2u);
}

// A press within 5 px of a region's end (inside or past it) drags the end;
// the region keeps at least a quarter beat.
TEST_F(PianoRoll, ARegionsEndIsDraggedFromItsGrip) {
  struct Case {
    int grip;      // pixels from the end's column (2.25 beats: x 331)
    double to;     // beat dragged to
    double end;    // the region's end after the drag
    uint64_t regions;
  };
  const Case cases[] = {
      {-5, 6, 6, 1}, {0, 4, 4, 1}, {5, 3.5, 3.5, 1}, {-3, -1, 0.25, 1},
      {6, 5, 2.25, 2},  // too far: a new region from there
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.grip);
    open();
    draw_region();
    const int end_x = kGridX + 81;
    const int to_x = c.to < 0 ? kGridX - 20 : x_of(c.to);
    drag(end_x + c.grip, y_of(0, 69), to_x, y_of(0, 69));
    ASSERT_EQ(score().region_count, c.regions);
    EXPECT_EQ(score().regions[0].end, c.end);
    EXPECT_EQ(score().regions[0].start, 0.0);
    EXPECT_EQ(undo_steps(), 2u);
    undo();
    EXPECT_EQ(score().regions[0].end, 2.25);
    EXPECT_EQ(score().region_count, 1u);
  }
  // A grip press outside the region's keys draws a new region instead.
  open();
  draw_region();
  drag(kGridX + 81, y_of(0, 72), x_of(4), y_of(0, 72));
  EXPECT_EQ(score().regions[0].end, 2.25);
  EXPECT_EQ(score().region_count, 2u);
}

// ----------------------------------------------------------------- notes

TEST_F(PianoRoll, NotesAreDrawnAndDeleted) {
  open();
  // Region 0 over beats 0..8 and keys 60..70.
  drag(x_of(0), y_of(0, 70), x_of(7.75), y_of(0, 60));
  ASSERT_EQ(score().regions[0].end, 8.0);
  toggle_mode();
  ASSERT_EQ(app->roll.notes_mode, 1);

  struct Case {
    double from;
    int key;
    double to;
    int to_key;
    double beat, length;
    uint16_t region;
  };
  const Case cases[] = {
      {10, 72, 10, 72, 10, 0.25, SCORE_FREE_NOTE},  // a click
      {12, 74, 14, 74, 12, 2.25, SCORE_FREE_NOTE},  // dragged longer
      {16, 74, 15, 74, 15, 1.25, SCORE_FREE_NOTE},  // dragged back
      {9, 60, 11, 64, 9, 2.25, SCORE_FREE_NOTE},    // keeps the key it was pressed on
      {7, 62, 10, 62, 7, 1.0, 0},                   // cut at the region's end
      {1, 65, 2, 72, 1, 1.25, 0},
  };
  uint64_t steps = undo_steps();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    drag(x_of(c.from), y_of(0, c.key), x_of(c.to), y_of(0, c.to_key));
    ASSERT_EQ(undo_steps(), ++steps);
    const ScoreNote& note = score().notes[score().note_count - 1];
    EXPECT_EQ(note.beat, c.beat);
    EXPECT_EQ(note.length, c.length);
    EXPECT_EQ(note.key, c.key);
    EXPECT_EQ(note.region, c.region);
    EXPECT_EQ(note.roll, 0);
    EXPECT_EQ(note.velocity, 0.8f);
  }
  ASSERT_EQ(score().note_count, std::size(cases));
  EXPECT_EQ(score().region_count, 1u);

  // Two overlapping notes on key 72: the right button deletes the later one first.
  drag(x_of(9), y_of(0, 72), x_of(11), y_of(0, 72));  // 9..11.25 over the click at 10
  const auto before = copy_of(score());
  right_click(x_of(10), y_of(0, 72));
  ASSERT_EQ(score().note_count, before->note_count - 1);
  EXPECT_EQ(score().notes[0].beat, 10.0);  // the click's note stays
  EXPECT_EQ(score().notes[0].length, 0.25);
  right_click(x_of(10), y_of(0, 72));
  ASSERT_EQ(score().note_count, before->note_count - 2);
  EXPECT_EQ(score().notes[0].beat, 12.0);  // the rest keep their order
  EXPECT_EQ(score().notes[0].key, 74);
  undo();
  undo();
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");

  // Right-clicks beside a note change nothing: after its end, another key, the key labels.
  steps = undo_steps();
  for (const auto& [x, y] : {std::pair{x_of(11.25), y_of(0, 72)}, {x_of(10), y_of(0, 73)}, {kLabelX, y_of(0, 72)}})
    right_click(x, y);
  EXPECT_EQ(undo_steps(), steps);
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
  EXPECT_EQ(Menu::shown, 0);
}

// A region shows its notes only over its beats and keys; the right button
// deletes no note where none shows.
TEST_F(PianoRoll, RightClicksDeleteOnlyNotesThatShow) {
  open(R"({"sources": [], "audioScore": {"regions": [{"start": 2, "end": 6, "low": 60, "high": 64}],
          "notes": [{"beat": 1, "length": 7, "key": 62, "region": 0},
                    {"beat": 3, "length": 1, "key": 70, "region": 0}]}})");
  toggle_mode();
  const auto before = copy_of(score());
  struct Case {
    const char* where;
    double beat;
    int key;
  };
  const Case hidden[] = {{"before the region's start", 1, 62},
                         {"past the region's end", 7, 62},
                         {"above the region's keys", 3.5, 70}};
  for (const Case& c : hidden) {
    right_click(x_of(c.beat), y_of(0, c.key));
    EXPECT_EQ(kelvra_test::score_difference(score(), *before), "") << c.where;
    if (undo_steps() > 0) undo();
  }
  right_click(x_of(5), y_of(0, 62));  // where it shows
  EXPECT_EQ(score().note_count, 1u);
  EXPECT_EQ(score().notes[0].key, 70);
}

// ------------------------------------------------------------ instruments

TEST_F(PianoRoll, TheInstrumentMenuChoosesAddsAndRemoves) {
  open();
  draw_region();
  const int x = x_of(1);
  const int y = y_of(0, 69);
  const ScoreRegion& r = score().regions[0];

  // Right-click beside the region: no menu, and the selection goes.
  right_click(x_of(5), y);
  EXPECT_EQ(Menu::shown, 0);
  EXPECT_EQ(app->roll.selected_region, -1);
  // The Instrument button without a selected region opens nothing either.
  press_rect(layout.instrument);
  EXPECT_EQ(Menu::shown, 0);

  struct Step {
    const char* choice;
    std::vector<std::string> shown;  // the menu before the choice
    std::vector<uint8_t> instruments;
    uint8_t active;
  };
  const Step steps[] = {
      {"",
       {"* Piano", "Add Electric Keys", "Add Organ", "Add Bass", "Add Bell", "Add Drum Kit"},
       {SCORE_PIANO},
       0},
      {"Add Bell",
       {"* Piano", "Add Electric Keys", "Add Organ", "Add Bass", "Add Bell", "Add Drum Kit"},
       {SCORE_PIANO, SCORE_BELL},
       1},
      {"Piano",
       {"Piano", "* Bell", "Remove Piano", "Add Electric Keys", "Add Organ", "Add Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_PIANO, SCORE_BELL},
       0},
      {"Add Bass",
       {"* Piano", "Bell", "Remove Piano", "Add Electric Keys", "Add Organ", "Add Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_PIANO, SCORE_BELL, SCORE_BASS},
       2},
      {"Add Organ",
       {"Piano", "Bell", "* Bass", "Remove Piano", "Add Electric Keys", "Add Organ", "Remove Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_PIANO, SCORE_BELL, SCORE_BASS, SCORE_ORGAN},
       3},
      // Four instruments: nothing more to add. The playing one, last, goes: the one before plays.
      {"Remove Organ",
       {"Piano", "Bell", "Bass", "* Organ", "Remove Piano", "Remove Organ", "Remove Bass", "Remove Bell"},
       {SCORE_PIANO, SCORE_BELL, SCORE_BASS},
       2},
      // Removing one before the playing one keeps the same instrument playing.
      {"Remove Piano",
       {"Piano", "Bell", "* Bass", "Remove Piano", "Add Electric Keys", "Add Organ", "Remove Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_BELL, SCORE_BASS},
       1},
      // Choosing the one already playing changes nothing.
      {"* Bass",
       {"Bell", "* Bass", "Add Piano", "Add Electric Keys", "Add Organ", "Remove Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_BELL, SCORE_BASS},
       1},
      {"Remove Bass",
       {"Bell", "* Bass", "Add Piano", "Add Electric Keys", "Add Organ", "Remove Bass", "Remove Bell",
        "Add Drum Kit"},
       {SCORE_BELL},
       0},
      // One instrument left: it cannot be removed.
      {"",
       {"* Bell", "Add Piano", "Add Electric Keys", "Add Organ", "Add Bass", "Add Drum Kit"},
       {SCORE_BELL},
       0},
  };
  std::vector<std::unique_ptr<Score>> states;
  states.push_back(copy_of(score()));
  for (const Step& s : steps) {
    SCOPED_TRACE(s.choice);
    Menu::choice = s.choice;
    const uint64_t before = undo_steps();
    const int shown = Menu::shown;
    right_click(x, y);
    ASSERT_EQ(Menu::shown, shown + 1);
    EXPECT_EQ(Menu::labels, s.shown);
    EXPECT_EQ(app->roll.selected_region, 0);
    EXPECT_EQ(std::vector<uint8_t>(r.instruments, r.instruments + r.instrument_count), s.instruments);
    EXPECT_EQ(r.active, s.active);
    const bool changed = kelvra_test::score_difference(score(), *states.back()) != "";
    EXPECT_EQ(undo_steps(), before + (changed ? 1 : 0));
    if (changed) states.push_back(copy_of(score()));
  }
  // The Instrument button opens the same menu for the selected region.
  Menu::choice = "Add Drum Kit";
  press_rect(layout.instrument);
  EXPECT_EQ(Menu::labels[0], "* Bell");
  EXPECT_EQ(r.instrument_count, 2);
  EXPECT_EQ(r.instruments[1], SCORE_DRUM_KIT);
  EXPECT_EQ(r.active, 1);
  states.push_back(copy_of(score()));

  // Undo walks back through every state exactly.
  for (size_t i = states.size() - 1; i-- > 0;) {
    undo();
    EXPECT_EQ(kelvra_test::score_difference(score(), *states[i]), "") << i;
  }
}

// --------------------------------------------------------------- toolbar

TEST_F(PianoRoll, PlayMetronomeAndModeButtons) {
  open(R"({"sources": [], "audioScore": {"notes": [{"beat": 0, "length": 64, "key": 60}]}})");
  press_rect(layout.play);
  EXPECT_EQ(app->playing, 1);
  EXPECT_EQ(app->transport_mode, TRANSPORT_SCORE);
  for (int i = 0; i < 300 && app->roll.score_playhead == 0; ++i) editor->step();  // a hang guard
  press_rect(layout.play);
  EXPECT_EQ(app->playing, 0);
  EXPECT_GT(app->roll.score_playhead, 0.0);
  EXPECT_EQ(undo_steps(), 0u);

  press_rect(layout.metronome);
  EXPECT_EQ(score().metronome, 1);
  EXPECT_EQ(undo_steps(), 1u);
  press_rect(layout.metronome);
  EXPECT_EQ(score().metronome, 0);
  undo();
  EXPECT_EQ(score().metronome, 1);

  press_rect(layout.mode);
  EXPECT_EQ(app->roll.notes_mode, 1);
  press_rect(layout.mode);
  EXPECT_EQ(app->roll.notes_mode, 0);
  EXPECT_EQ(undo_steps(), 1u);

  // An empty score plays only with the metronome on.
  open();
  press_rect(layout.play);
  EXPECT_EQ(app->playing, 0);
  press_rect(layout.metronome);
  press_rect(layout.play);
  EXPECT_EQ(app->playing, 1);
}

// The slider maps 4 px in from its left to 20 BPM and 4 px in from its right
// to 400; a press and its drag are one undo step.
TEST_F(PianoRoll, TempoSliderSetsTheTempoInOneStep) {
  struct Case {
    int press, to;  // columns from the slider's left
    double tempo;
  };
  const Case cases[] = {
      {4, 4, 20},   {105, 105, 400}, {10, 54, 208}, {60, -200, 20},
      {60, 400, 400}, {30, 0, 20},   {0, 30, 118},
  };
  open();
  const Rect slider = layout.tempo_slider;
  const int y = slider.y + slider.height / 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    const double old = score().bpm;
    const uint64_t steps = undo_steps();
    drag(slider.x + c.press, y, slider.x + c.to, y);
    EXPECT_EQ(score().bpm, c.tempo);
    EXPECT_EQ(undo_steps(), steps + 1);
    EXPECT_EQ(app->roll.roll_drag, static_cast<uint32_t>(ROLL_DRAG_NONE));
    undo();
    EXPECT_EQ(score().bpm, old);
    editor->key(SDLK_y, KMOD_LCTRL);
    EXPECT_EQ(score().bpm, c.tempo);
  }

  // A press that leaves the tempo where it was (118 at 30 px) is no edit.
  open(R"({"sources": [], "audioScore": {"bpm": 118}})");
  drag(slider.x + 30, y, slider.x + 30, y);
  EXPECT_EQ(score().bpm, 118.0);
  EXPECT_EQ(undo_steps(), 0u) << "a press that changes no tempo records an empty undo step";
}

TEST_F(PianoRoll, WheelOverTheTempoStepsItWithinItsRange) {
  struct Case {
    double from;
    int notches;
    bool shift;
    double to;
  };
  const Case cases[] = {
      {120, 1, false, 121}, {120, -1, false, 119}, {120, 1, true, 125}, {120, -1, true, 115},
      {400, 1, false, 400}, {20, -1, false, 20},   {397, 1, true, 397}, {23, -1, true, 23},
      {399, 1, false, 400}, {24, -1, true, 24},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.from);
    char json[128];
    std::snprintf(json, sizeof json, R"({"sources": [], "audioScore": {"bpm": %g}})", c.from);
    open(json);
    for (const Rect r : {layout.tempo, layout.tempo_slider}) {
      wheel(c.notches, r.x + 10, r.y + 10, c.shift);
      EXPECT_EQ(score().bpm, c.to);
      EXPECT_EQ(undo_steps(), c.to != c.from ? 1u : 0u);
      if (undo_steps() > 0) undo();
      EXPECT_EQ(score().bpm, c.from);
    }
  }
}

// A new tempo keeps the playhead and the music clips on the same beats: they
// are seconds, so halving the tempo doubles them. Clips of sources keep theirs.
TEST_F(PianoRoll, ATempoChangeKeepsThePlayheadAndMusicClipsOnTheirBeats) {
  open(R"({"sources": [{"id": "s", "file": "missing.wav", "title": "S"}],
           "clips": [{"sourceId": "s", "in": 1, "out": 3, "at": 0},
                     {"music": true, "in": 1, "out": 3, "at": 4}],
           "audioScore": {"notes": [{"beat": 0, "length": 32, "key": 60}]}})");
  ASSERT_EQ(app->project.clip_count, 2u);
  ASSERT_EQ(app->project.clips[1].music, 1);
  click(x_of(8), layout.ruler.y + 5);
  ASSERT_DOUBLE_EQ(app->roll.score_playhead, 4.0);
  const uint64_t steps = undo_steps();

  // 120 to 60: Shift and the wheel twelve times over the tempo.
  for (int i = 0; i < 12; ++i) wheel(-1, layout.tempo.x + 10, layout.tempo.y + 10, true);
  ASSERT_EQ(score().bpm, 60.0);
  EXPECT_NEAR(app->roll.score_playhead, 8.0, 1e-9);
  EXPECT_NEAR(app->project.clips[1].in, 2.0, 1e-9);
  EXPECT_NEAR(app->project.clips[1].out, 6.0, 1e-9);
  EXPECT_EQ(app->project.clips[1].at, 4.0);
  EXPECT_EQ(app->project.clips[0].in, 1.0);
  EXPECT_EQ(app->project.clips[0].out, 3.0);
  EXPECT_EQ(undo_steps(), steps + 12);

  // The slider the same: 400 BPM puts the playhead at beat 8 of 400.
  const Rect slider = layout.tempo_slider;
  drag(slider.x + 50, slider.y + 12, slider.x + 105, slider.y + 12);
  ASSERT_EQ(score().bpm, 400.0);
  EXPECT_NEAR(app->roll.score_playhead, 8 * 60 / 400.0, 1e-9);
  EXPECT_NEAR(app->project.clips[1].in, 0.3, 1e-9);
  EXPECT_NEAR(app->project.clips[1].out, 0.9, 1e-9);

  for (int i = 0; i < 13; ++i) undo();
  EXPECT_EQ(score().bpm, 120.0);
  EXPECT_DOUBLE_EQ(app->roll.score_playhead, 4.0);
  EXPECT_EQ(app->project.clips[1].in, 1.0);
  EXPECT_EQ(app->project.clips[1].out, 3.0);
}

TEST_F(PianoRoll, DuplicatePlacesACopyWhereTheNextPressLands) {
  open();
  draw_region();
  toggle_mode();
  drag(x_of(0.5), y_of(0, 69), x_of(1), y_of(0, 69));  // a note in the region
  click(x_of(5), y_of(0, 69));                         // a free note
  toggle_mode();
  press_rect(layout.add_roll);
  ASSERT_EQ(score().rolls, 2u);

  // Without a selected region the button does nothing.
  ASSERT_EQ(app->roll.selected_region, -1);
  press_rect(layout.duplicate);
  EXPECT_EQ(app->roll.duplicate_region, -1);
  EXPECT_EQ(editor->status(), "");

  click(x_of(1), y_of(0, 69));
  ASSERT_EQ(app->roll.selected_region, 0);
  press_rect(layout.duplicate);
  EXPECT_EQ(editor->status(), "Click the destination beat and roll.");
  press_rect(layout.duplicate);  // pressed again: disarmed
  EXPECT_EQ(editor->status(), "");
  EXPECT_EQ(app->roll.duplicate_region, -1);
  press_rect(layout.duplicate);
  toggle_mode();  // the mode button disarms too
  toggle_mode();
  EXPECT_EQ(app->roll.duplicate_region, -1);
  EXPECT_EQ(editor->status(), "") << "the status still asks for a destination";

  press_rect(layout.duplicate);
  const auto before = copy_of(score());
  const uint64_t steps = undo_steps();
  click(x_of(8), y_of(1, 60));
  EXPECT_EQ(editor->status(), "Duplicated region and notes.");
  EXPECT_EQ(undo_steps(), steps + 1);
  ASSERT_EQ(score().region_count, 2u);
  const ScoreRegion& copy = score().regions[1];
  EXPECT_EQ(copy.roll, 1);
  EXPECT_EQ(copy.start, 8.0);
  EXPECT_EQ(copy.end, 10.25);
  EXPECT_EQ(copy.low, 68);
  EXPECT_EQ(copy.high, 70);
  EXPECT_EQ(app->roll.selected_region, 1);
  EXPECT_EQ(app->roll.duplicate_region, -1);
  ASSERT_EQ(score().note_count, 3u);  // only the region's note is copied
  const ScoreNote& note = score().notes[2];
  EXPECT_EQ(note.beat, 8.5);
  EXPECT_EQ(note.length, 0.75);
  EXPECT_EQ(note.key, 69);
  EXPECT_EQ(note.region, 1);
  EXPECT_EQ(note.roll, 1);

  // The next press draws again; and undo takes the copy away.
  click(x_of(12), y_of(1, 60));
  EXPECT_EQ(score().region_count, 2u);
  undo();
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
}

TEST_F(PianoRoll, ZoomStepsByAQuarterAndStopsAtItsLimits) {
  open();
  const double in[] = {45, 56.25, 70.3125, 87.890625, 109.86328125, 137.3291015625, 144, 144};
  for (double width : in) {
    press_rect(layout.zoom_in);
    EXPECT_DOUBLE_EQ(app->roll.beat_width, width);
  }
  open();
  const double out[] = {28.8, 23.04, 18.432, 14.7456, 12, 12};
  for (double width : out) {
    press_rect(layout.zoom_out);
    EXPECT_DOUBLE_EQ(app->roll.beat_width, width);
  }
  // Zoomed out, a column covers more beats: x + 45 is beat 3.75 at 12 px a beat.
  toggle_mode();
  click(kGridX + 45, y_of(0, 70));
  EXPECT_EQ(score().notes[0].beat, 3.75);
  EXPECT_EQ(undo_steps(), 1u);  // zooming is no edit
}

// --------------------------------------------------------- wheel, scroll

TEST_F(PianoRoll, TheWheelScrollsKeysRollsOrBeats) {
  open(R"({"sources": [], "audioScore": {"rolls": 3}})");
  const int labels_x = 200;
  const int roll0 = kRollsY + 100;  // inside roll 0's key rows
  const int roll1 = kRollsY + kBand + 100;
  // Over roll 0's key labels: 6 keys a notch, that roll only, within 23..127.
  wheel(1, labels_x, roll0);
  EXPECT_EQ(app->roll.roll_top_keys[0], 82);
  EXPECT_EQ(app->roll.roll_top_keys[1], 76);
  wheel(-3, labels_x, roll0);
  EXPECT_EQ(app->roll.roll_top_keys[0], 64);
  for (int i = 0; i < 12; ++i) wheel(1, labels_x, roll0);
  EXPECT_EQ(app->roll.roll_top_keys[0], 127);
  for (int i = 0; i < 30; ++i) wheel(-1, labels_x, roll0);
  EXPECT_EQ(app->roll.roll_top_keys[0], 23);
  wheel(1, labels_x, roll1);  // roll 1's labels
  EXPECT_EQ(app->roll.roll_top_keys[1], 82);
  EXPECT_EQ(app->roll.roll_top_keys[0], 23);

  // Over the grid of several rolls: a roll a notch, from 0 to the last.
  wheel(-1, x_of(3), roll0);
  EXPECT_EQ(app->roll.first_roll, 1u);
  wheel(-5, x_of(3), roll1);
  EXPECT_EQ(app->roll.first_roll, 2u);
  wheel(9, x_of(3), roll0);
  EXPECT_EQ(app->roll.first_roll, 0u);
  EXPECT_EQ(app->roll.roll_scroll, 0.0);

  // With Shift, or over the ruler: 4 beats a notch, from 0 to the scroll limit
  // (an empty score: 64 beats less the 1075 / 36 the grid shows).
  const double limit = 64 - kGridWidth / 36.0;
  wheel(-1, x_of(3), roll0, true);
  EXPECT_EQ(app->roll.roll_scroll, 4.0);
  wheel(-2, x_of(3), layout.ruler.y + 5);
  EXPECT_EQ(app->roll.roll_scroll, 12.0);
  wheel(-20, x_of(3), layout.ruler.y + 5);
  EXPECT_DOUBLE_EQ(app->roll.roll_scroll, limit);
  wheel(1, labels_x, roll0, true);  // Shift over the labels scrolls beats, not keys
  EXPECT_DOUBLE_EQ(app->roll.roll_scroll, limit - 4);
  EXPECT_EQ(app->roll.roll_top_keys[0], 23);
  wheel(30, x_of(3), roll0, true);
  EXPECT_EQ(app->roll.roll_scroll, 0.0);
  EXPECT_EQ(app->roll.first_roll, 0u);
  EXPECT_EQ(undo_steps(), 0u);

  // A single roll scrolls its beats without Shift.
  open();
  wheel(-1, x_of(3), roll0);
  EXPECT_EQ(app->roll.roll_scroll, 4.0);
  EXPECT_EQ(app->roll.first_roll, 0u);
}

// The scroll limit follows the score's end: 16 beats past it, at least 64,
// less what the grid shows.
TEST_F(PianoRoll, TheScrollLimitFollowsTheScoresEnd) {
  struct Case {
    const char* score;
    double end;
  };
  const Case cases[] = {
      {R"({"notes": [{"beat": 10, "length": 4, "key": 60}]})", 64},
      {R"({"notes": [{"beat": 100, "length": 4, "key": 60}]})", 120},
      {R"({"regions": [{"start": 190, "end": 200}], "notes": [{"beat": 300, "length": 4, "region": 0}]})", 216},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.score);
    open(std::string(R"({"sources": [], "audioScore": )") + c.score + "}");
    wheel(-200, x_of(3), layout.ruler.y + 5);
    EXPECT_DOUBLE_EQ(app->roll.roll_scroll, c.end - kGridWidth / 36.0);
  }
}

TEST_F(PianoRoll, TheScrollBarAndTheRuler) {
  open(R"({"sources": [], "audioScore": {"bpm": 90, "notes": [{"beat": 100, "length": 12, "key": 60}]}})");
  // 128 beats in all, 29.86 of them shown: the thumb is 250.8 px of the 1075.
  const Rect track = layout.scroll_track;
  const double total = 128;
  const double visible = kGridWidth / 36.0;
  const double thumb = visible / total * track.width;
  const int y = track.y + 6;
  // A press on the track centres the thumb on the pointer and drags it.
  editor->button(true, track.x + 600, y);
  editor->step();
  EXPECT_NEAR(app->roll.roll_scroll, (600 - thumb / 2) / track.width * total, 1e-9);
  editor->motion(track.x + 700, y);
  editor->step();
  EXPECT_NEAR(app->roll.roll_scroll, (700 - thumb / 2) / track.width * total, 1e-9);
  editor->motion(track.x + 2000, y);
  editor->step();
  EXPECT_DOUBLE_EQ(app->roll.roll_scroll, total - visible);
  editor->motion(track.x - 250, y);
  editor->step();
  EXPECT_EQ(app->roll.roll_scroll, 0.0);
  editor->button(false, track.x - 250, y);
  editor->step();
  // A press on the thumb keeps the grab point: a 107 px drag moves 107/1075 of the 128 beats.
  const double at = app->roll.roll_scroll;
  drag(track.x + 20, y, track.x + 20 + 107, y);
  EXPECT_NEAR(app->roll.roll_scroll, at + 107 / 1075.0 * total, 1e-9);
  EXPECT_EQ(undo_steps(), 0u);

  // The ruler moves the playhead to the quarter beat under the pointer.
  const double scroll = app->roll.roll_scroll;
  click(kGridX + 100, layout.ruler.y + 10);
  const double beat = std::floor((100 / 36.0 + scroll) * 4 + 0.0001) / 4;
  EXPECT_DOUBLE_EQ(app->roll.score_playhead, beat * 60 / 90);
  EXPECT_EQ(undo_steps(), 0u);
}

// ---------------------------------------------------------------- limits

TEST_F(PianoRoll, FullScoresRefuseMoreWithoutAChange) {
  // 128 regions: no drawn region, no duplicate.
  open(crowded_score(SCORE_MAX_REGIONS, 0, 2));
  ASSERT_EQ(score().region_count, SCORE_MAX_REGIONS);
  auto before = copy_of(score());
  drag(x_of(4), y_of(0, 70), x_of(6), y_of(0, 68));
  drag(x_of(1), y_of(0, 61), x_of(3), y_of(0, 70), true);
  drag(x_of(4), y_of(1, 70), x_of(6), y_of(1, 68));
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
  EXPECT_EQ(undo_steps(), 0u);
  click(x_of(1), y_of(0, 61));
  ASSERT_EQ(app->roll.selected_region, 127);
  press_rect(layout.duplicate);
  click(x_of(8), y_of(1, 61));
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
  EXPECT_EQ(app->roll.duplicate_region, -1);
  EXPECT_EQ(undo_steps(), 0u) << "a refused duplicate records an empty undo step";
  EXPECT_NE(editor->status(), "Click the destination beat and roll.") << "the status still asks for a destination";

  // 4096 notes: no new note.
  open(crowded_score(1, SCORE_MAX_NOTES));
  ASSERT_EQ(score().note_count, SCORE_MAX_NOTES);
  before = copy_of(score());
  toggle_mode();
  click(x_of(3), y_of(0, 70));
  drag(x_of(4), y_of(0, 70), x_of(6), y_of(0, 70));
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
  EXPECT_EQ(undo_steps(), 0u);

  // 24 rolls: no roll added, and below the last one nothing happens.
  open(R"({"sources": [], "audioScore": {"rolls": 24}})");
  before = copy_of(score());
  press_rect(layout.add_roll);
  EXPECT_EQ(score().rolls, 24u);
  for (int i = 0; i < 30; ++i) wheel(-1, x_of(3), kRollsY + 100);
  ASSERT_EQ(app->roll.first_roll, 23u);
  drag(x_of(4), kRollsY + kBand + 40, x_of(6), kRollsY + kBand + 60);
  EXPECT_EQ(kelvra_test::score_difference(score(), *before), "");
  EXPECT_EQ(undo_steps(), 0u);
  drag(x_of(4), y_of(23, 70), x_of(6), y_of(23, 68));  // the last roll itself still takes regions
  ASSERT_EQ(score().region_count, 1u);
  EXPECT_EQ(score().regions[0].roll, 23);

  // Rolls are added up to 24, each showing the last two.
  open();
  for (uint64_t rolls = 2; rolls <= 24; ++rolls) {
    press_rect(layout.add_roll);
    ASSERT_EQ(score().rolls, rolls);
    EXPECT_EQ(app->roll.first_roll, rolls - 2);
  }
  press_rect(layout.add_roll);
  EXPECT_EQ(score().rolls, 24u);
  EXPECT_EQ(undo_steps(), 23u);
}

// ------------------------------------------------------- history and file

// A session of edits: each is exactly one undo step, undo walks back through
// every state, and the file saved reads back as the same score.
TEST_F(PianoRoll, EditsUndoOneByOneAndSaveExactly) {
  open();
  const Rect slider = layout.tempo_slider;
  const std::vector<std::pair<const char*, std::function<void()>>> edits = {
      {"region", [&] { drag(x_of(0), y_of(0, 72), x_of(3.75), y_of(0, 66)); }},
      {"region end", [&] { drag(kGridX + 144 + 3, y_of(0, 70), x_of(6), y_of(0, 70)); }},
      {"note in region",
       [&] {
         toggle_mode();
         drag(x_of(1), y_of(0, 70), x_of(2.5), y_of(0, 70));
       }},
      {"free note", [&] { click(x_of(9), y_of(0, 74)); }},
      {"second free note", [&] { drag(x_of(9), y_of(0, 74), x_of(12), y_of(0, 74)); }},
      {"deleted note", [&] { right_click(x_of(9), y_of(0, 74)); }},
      {"instrument",
       [&] {
         toggle_mode();
         Menu::choice = "Add Electric Keys";
         right_click(x_of(1), y_of(0, 70));
       }},
      {"metronome", [&] { press_rect(layout.metronome); }},
      {"tempo wheel", [&] { wheel(1, layout.tempo.x + 5, layout.tempo.y + 5); }},
      {"tempo slider", [&] { drag(slider.x + 40, slider.y + 12, slider.x + 47, slider.y + 12); }},
      {"roll", [&] { press_rect(layout.add_roll); }},
      {"region in roll 1", [&] { drag(x_of(2), y_of(1, 60), x_of(4), y_of(1, 60)); }},
      {"duplicate",
       [&] {
         click(x_of(1), y_of(0, 70));
         press_rect(layout.duplicate);
         click(x_of(16), y_of(1, 60));
       }},
      {"region in a third roll",
       [&] {
         wheel(-1, x_of(3), kRollsY + 100);  // rolls 1 and 2 in view
         drag(x_of(20), y_of(2, 70), x_of(20), y_of(2, 65));
       }},
  };
  std::vector<std::unique_ptr<Score>> states;
  states.push_back(copy_of(score()));
  for (const auto& [name, edit] : edits) {
    SCOPED_TRACE(name);
    const uint64_t steps = undo_steps();
    edit();
    EXPECT_EQ(undo_steps(), steps + 1);
    EXPECT_NE(kelvra_test::score_difference(score(), *states.back()), "");
    states.push_back(copy_of(score()));
  }
  ASSERT_EQ(score().rolls, 3u);
  ASSERT_EQ(score().region_count, 4u);
  ASSERT_EQ(score().note_count, 3u);

  // Saved and read back: the same score, field by field.
  editor->key(SDLK_s, KMOD_LCTRL);
  ASSERT_EQ(editor->status(), "Saved the Kelvra project.");
  kelvra_test::ProjectPtr saved = kelvra_test::empty_project();
  ASSERT_TRUE(kelvra_project_open(saved.get(), Chooser::path.c_str()));
  EXPECT_EQ(kelvra_test::score_difference(saved->score, score()), "");

  for (size_t i = states.size() - 1; i-- > 0;) {
    undo();
    EXPECT_EQ(kelvra_test::score_difference(score(), *states[i]), "") << edits[i].first;
  }
  undo();
  EXPECT_EQ(kelvra_test::score_difference(score(), *states[0]), "");

  // Opened again in the editor, the file holds the last state.
  editor->key(SDLK_o, KMOD_LCTRL);
  ASSERT_EQ(editor->status(), "Project opened.");
  EXPECT_EQ(kelvra_test::score_difference(score(), *states.back()), "");
  // Each roll's top row is again three keys above its highest note.
  EXPECT_EQ(app->roll.roll_top_keys[0], 77);
  EXPECT_EQ(app->roll.roll_top_keys[1], 73);
  EXPECT_EQ(app->roll.roll_top_keys[2], 76);
}

// A file whose score holds keys outside 0..127, regions past the last beat,
// notes past any region and rolls past the count opens with those clamped,
// and every part of it draws.
TEST_F(PianoRoll, AnOutOfRangeScoreOpensClampedAndDraws) {
  open(R"({"sources": [], "audioScore": {"bpm": 1000, "rolls": 2,
          "regions": [{"start": 14400, "end": 14400, "roll": 7, "low": -4, "high": 300},
                      {"start": 5, "end": 1, "low": 90, "high": 80}],
          "notes": [{"beat": 14395, "length": 900, "key": 200, "region": 0},
                    {"beat": -3, "length": 0, "key": -9, "roll": 12},
                    {"beat": 2, "length": 1, "key": 60, "region": 9}]}})");
  ASSERT_EQ(score().region_count, 2u);
  EXPECT_EQ(score().bpm, 400.0);
  const ScoreRegion& far = score().regions[0];
  EXPECT_EQ(far.start, 14399.75);
  EXPECT_EQ(far.end, 14400.0);
  EXPECT_EQ(far.roll, 1);
  EXPECT_EQ(far.low, 0);
  EXPECT_EQ(far.high, 127);
  const ScoreRegion& flat = score().regions[1];
  EXPECT_EQ(flat.end, 5.25);
  EXPECT_EQ(flat.low, 90);
  EXPECT_EQ(flat.high, 90);
  ASSERT_EQ(score().note_count, 3u);
  EXPECT_EQ(score().notes[0].key, 127);
  EXPECT_EQ(score().notes[0].length, 512.0);
  EXPECT_EQ(score().notes[0].roll, 1);
  EXPECT_EQ(score().notes[1].key, 0);
  EXPECT_EQ(score().notes[1].beat, 0.0);
  EXPECT_EQ(score().notes[1].length, 0.0625);
  EXPECT_EQ(score().notes[1].roll, 1);
  EXPECT_EQ(score().notes[2].region, SCORE_FREE_NOTE);
  EXPECT_EQ(app->roll.roll_top_keys[0], 63);
  EXPECT_EQ(app->roll.roll_top_keys[1], 127);

  // Drawn at the start, at every zoom, and scrolled to the far end.
  editor->step();
  for (int i = 0; i < 7; ++i) press_rect(layout.zoom_in);
  for (int i = 0; i < 12; ++i) press_rect(layout.zoom_out);
  drag(layout.scroll_track.x + 3, layout.scroll_track.y + 6, 1330, layout.scroll_track.y + 6);
  EXPECT_GT(app->roll.roll_scroll, 14300.0);
  // The far region's outline shows in roll 1 at beat 14399.75 (12 px a beat now).
  const double x = kGridX + (14399.75 - app->roll.roll_scroll) * 12;
  ASSERT_LT(x, kGridX + kGridWidth);
  const int y = kRollsY + kBand + 19;  // the top row of roll 1: key 127, the region's top
  EXPECT_EQ(editor->pixel(static_cast<int>(std::lround(x)) + 1, y), kRegion);
  // The playhead at the score's end draws too.
  click(kGridX + kGridWidth - 1, layout.ruler.y + 5);
  for (int i = 0; i < 24; ++i) wheel(-1, 200, kRollsY + kBand + 100);
  for (int i = 0; i < 24; ++i) wheel(1, 200, kRollsY + 100);
  editor->step();
}

// --------------------------------------------------------------- sound

// The sound device (SDL's disk driver) receives the synthesizer's rendering
// of the note drawn, from the score's start.
TEST_F(PianoRoll, PlaybackSoundsTheDrawnNote) {
  const std::string capture = dir.file("captured.raw");
  ScopedEnv driver("SDL_AUDIODRIVER", "disk");
  ScopedEnv file("SDL_DISKAUDIOFILE", capture.c_str());
  open();
  toggle_mode();
  drag(x_of(0), y_of(0, 69), x_of(1.75), y_of(0, 69));  // A 440 Hz for 2 beats, 1 s at 120 BPM
  ASSERT_EQ(score().note_count, 1u);
  const auto drawn = copy_of(score());
  press_rect(layout.play);
  ASSERT_EQ(app->playing, 1);

  // The score as the synthesizer renders it from its start, rounded to 16
  // bits, and the device's sound from its first frame: silence may come
  // before the stream, and whenever the frame loop fell behind the device (a
  // loaded machine, the sanitizers) SDL's queue ran dry and played silence
  // until the next buffer came; the sound after it must go on exactly where it stopped.
  constexpr size_t kCompared = 40000;
  const std::vector<float> expected = kelvra_test::render(*drawn, 0, kCompared);
  std::vector<int16_t> rounded(expected.size());
  for (size_t i = 0; i < expected.size(); ++i) rounded[i] = static_cast<int16_t>(std::lround(expected[i]));
  kelvra_test::Followed followed{};
  for (int i = 0; i < 900; ++i) {  // a hang guard, not a time limit
    followed = kelvra_test::follow(kelvra_test::read_capture(capture), 0, rounded, 0, 1);
    if (followed.expected_end == kCompared || followed.broke) break;
    editor->step();
  }
  EXPECT_EQ(followed.expected_end, kCompared) << "differs at capture frame " << followed.capture_end
                                              << (followed.broke ? "" : ", or the capture ended there");
  EXPECT_GT(kelvra_test::peak(expected, 0, 0, kCompared), 2000.0);
}

}  // namespace
