// The timeline's whole mix in the preview, driven as a user drives it: the
// score placed with "+ Timeline" on the Audio tab, the timeline played, and
// the sound SDL's disk driver received held to the export's mix of the same
// edit; Place choosing a free lane; a press past the end of the edit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/piano_roll.h"
#include "media/audio_mix.h"
#include "records_equal.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

// Two sounds that overlap (the chirp from 0 s, the tone from 0.5 s on lane 2)
// and a score of four piano notes, one a beat at 120 bpm.
const char kTwoSounds[] = R"({
  "sources": [{"id": "c", "file": "chirp-stereo.wav"}, {"id": "t", "file": "tone-stereo.wav"}],
  "clips": [{"id": "a", "name": "Chirp", "sourceId": "c", "out": 2, "video": false, "gain": 0.5},
            {"id": "b", "name": "Tone", "sourceId": "t", "out": 1.5, "at": 0.5, "lane": 1, "video": false, "gain": 0.4,
             "fadeIn": 0.2}],
  "audioScore": {"bpm": 120, "master": 0.85, "rolls": 1, "regions": [
     {"start": 0, "end": 4, "roll": 0, "low": 40, "high": 90, "volume": 1, "pan": 0, "active": 0, "instruments": [0]}],
   "notes": [{"beat": 0, "length": 1, "key": 60, "velocity": 0.8, "roll": 0, "region": 0},
             {"beat": 1, "length": 1, "key": 64, "velocity": 0.8, "roll": 0, "region": 0},
             {"beat": 2, "length": 1, "key": 67, "velocity": 0.8, "roll": 0, "region": 0},
             {"beat": 3, "length": 1, "key": 72, "velocity": 0.8, "roll": 0, "region": 0}]}})";

void link_fixture(const TempDir& dir, const char* name) {
  const std::string from = std::string(KELVRA_FIXTURES) + "/" + name;
  ASSERT_EQ(::symlink(from.c_str(), dir.file(name).c_str()), 0);
}

// `seconds` of the export's mix of `project` from 0, in the blocks the export
// mixes, from sources decoded whole.
std::vector<int16_t> export_mix(const KelvraApp* app, double seconds) {
  kelvra_test::WholeSources whole;
  EXPECT_TRUE(kelvra_test::decode_whole(app, &whole));
  const uint64_t frames = static_cast<uint64_t>(seconds * MIX_RATE);
  std::vector<int16_t> out(2 * frames);
  for (uint64_t done = 0; done < frames; done += MIX_MAX_CHUNK) {
    const uint64_t n = std::min<uint64_t>(MIX_MAX_CHUNK, frames - done);
    kelvra_audio_export_mix(&app->project, whole.table, PROJECT_MAX_ROWS, static_cast<double>(done) / MIX_RATE,
                            out.data() + 2 * done, n);
  }
  return out;
}

bool same_project(const Project& a, const Project& b) {
  if (a.clip_count != b.clip_count || a.timeline_end != b.timeline_end) return false;
  for (uint64_t i = 0; i < a.clip_count; ++i)
    if (!kelvra_test::same_clip(a.clips[i], b.clips[i])) return false;
  return kelvra_test::score_difference(a.score, b.score).empty();
}

// "+ Timeline" twice at one playhead puts the score on the two lowest free
// lanes, each one undo step; played, the timeline sounds both sources and
// both music clips exactly as the export mixes them.
TEST(PreviewMix, TheScorePlacedFromTheAudioTabSoundsWithEverySourceAsTheExportMixesIt) {
  TempDir dir;
  link_fixture(dir, "chirp-stereo.wav");
  link_fixture(dir, "tone-stereo.wav");
  kelvra_test::write_file(dir.file("project.json"), kTwoSounds);
  const std::string path = dir.file("captured.raw");
  kelvra_test::ScopedEnv driver("SDL_AUDIODRIVER", "disk");
  kelvra_test::ScopedEnv file("SDL_DISKAUDIOFILE", path.c_str());
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();

  editor.click(app->tab_buttons[KELVRA_TAB_AUDIO]);
  RollLayout layout;
  audio_layout(&layout, app);
  auto before = std::make_unique<Project>();
  std::memcpy(before.get(), &app->project, sizeof(Project));
  editor.click(layout.to_timeline);
  ASSERT_EQ(app->project.clip_count, 3u) << editor.status();
  const Clip& score_clip = app->project.clips[2];
  EXPECT_TRUE(score_clip.music && score_clip.audio && !score_clip.video);
  EXPECT_EQ(score_clip.at, 0.0);
  EXPECT_EQ(score_clip.in, 0.0);
  EXPECT_EQ(score_clip.out, 2.0);  // four beats at 120 bpm
  EXPECT_EQ(score_clip.lane, 2u);  // lanes 0 and 1 have sound there
  EXPECT_EQ(editor.status(), "Placed the score on lane 3 of the timeline.");
  // One undo step that restores the project exactly, and back again.
  auto placed = std::make_unique<Project>();
  std::memcpy(placed.get(), &app->project, sizeof(Project));
  editor.key(SDLK_z, KMOD_CTRL);
  EXPECT_TRUE(same_project(app->project, *before));
  editor.key(SDLK_y, KMOD_CTRL);
  ASSERT_TRUE(same_project(app->project, *placed));
  // A region selected: only its beats; the next free lane.
  app->roll.selected_region = 0;
  app->project.score.regions[0].start = 1;
  editor.click(layout.to_timeline);
  ASSERT_EQ(app->project.clip_count, 4u);
  EXPECT_EQ(app->project.clips[3].lane, 3u);
  EXPECT_EQ(app->project.clips[3].in, 0.5);
  EXPECT_EQ(app->project.clips[3].out, 2.0);

  editor.click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  editor.click(app->timeline_play_button);
  for (int i = 0; i < 600 && app->playing && app->timeline_playhead <= 1.9; ++i) editor.step();
  ASSERT_GT(app->timeline_playhead, 1.9);
  editor.click(app->timeline_play_button);
  editor.step(4);

  const std::vector<int16_t> expected = export_mix(app, 1.8);
  // Without the music clips the mix is another: the notes are part of what is compared.
  Project& project = app->project;
  project.clips[2].audio = project.clips[3].audio = 0;
  const std::vector<int16_t> unscored = export_mix(app, 1.8);
  project.clips[2].audio = project.clips[3].audio = 1;
  ASSERT_NE(expected, unscored);

  const kelvra_test::Capture capture = kelvra_test::read_capture(path);
  size_t first = 0;
  while (first < capture.frames && capture.silent(first)) ++first;
  size_t from = 0;
  while (from + 1 < expected.size() / 2 && expected[2 * from] == 0 && expected[2 * from + 1] == 0) ++from;
  const auto followed = kelvra_test::follow(capture, first, expected, from, 0);
  EXPECT_FALSE(followed.broke) << "differs from the export's mix at frame " << followed.expected_end;
  EXPECT_EQ(followed.expected_end, expected.size() / 2);
}

// Place twice at one playhead: the second clip goes to the next lane; with
// every lane taken, lane 1 and a status that says so. A press past the end
// of the edit moves the playhead there.
TEST(PreviewMix, PlaceUsesTheLowestFreeLaneAndAPressPastTheEndMovesThePlayhead) {
  TempDir dir;
  kelvra_test::write_file(dir.file("project.json"),
                          R"({"sources": [{"id": "a", "file": "a.mp4", "duration": 10}],
                              "cuts": {"a": {"in": 1, "out": 3}},
                              "clips": [{"id": "c1", "name": "One", "sourceId": "a", "in": 0, "out": 1, "at": 2.5}]})");
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  kelvra_select(app, 0);
  editor.step();
  struct Row {
    double playhead;
    uint32_t lane;
    bool crowded;
  };
  // The range is 2 s long; lane 0 holds a clip from 2.5 to 3.5 s. Ends that touch do not overlap.
  const Row rows[] = {{0.5, 0, false}, {1.0, 1, false}, {1.0, 2, false}, {1.0, 3, false}, {1.0, 0, true},
                      {3.5, 0, false}};
  uint64_t count = app->project.clip_count;
  for (const Row& row : rows) {
    app->timeline_playhead = row.playhead;
    editor.click(app->place_button);
    ASSERT_EQ(app->project.clip_count, count + 1) << editor.status();
    EXPECT_EQ(app->project.clips[count].lane, row.lane) << "playhead " << row.playhead;
    EXPECT_EQ(editor.status().find("no lane is free") != std::string::npos, row.crowded) << editor.status();
    ++count;
  }
  editor.key(SDLK_z, KMOD_CTRL);
  EXPECT_EQ(app->project.clip_count, count - 1);

  editor.click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
  const double end = app->project.timeline_end;
  const double target = end + 1.5;
  ASSERT_LT((target - app->timeline_scroll) * app->pixels_per_second, app->clip_lanes.width);
  const int x = app->clip_lanes.x + static_cast<int>(std::lround((target - app->timeline_scroll) * app->pixels_per_second));
  const int y = app->clip_lanes.y + 18 + 10;  // lane 4, empty there
  editor.button(true, x, y);
  editor.button(false, x, y);
  editor.step();
  EXPECT_NEAR(app->timeline_playhead, target, 0.02);
  // Placed there, the clip starts after the gap.
  editor.click(app->tab_buttons[KELVRA_TAB_SAMPLING]);
  kelvra_select(app, 0);
  editor.click(app->place_button);
  ASSERT_EQ(app->project.clip_count, count);
  EXPECT_NEAR(app->project.clips[count - 1].at, target, 0.02);
  EXPECT_NEAR(app->project.timeline_end, target + 2, 0.02);
}

// The switches fit the source: a sound file's range has Video off and one
// of a video without sound Audio off; the switch for what the file lacks
// does not turn on, on the Sampling tab nor on the timeline's clip controls.
TEST(PreviewMix, SwitchesFitTheSource) {
  TempDir dir;
  link_fixture(dir, "tone-stereo.wav");
  link_fixture(dir, "coded.mp4");
  kelvra_test::write_file(dir.file("project.json"),
                          R"({"sources": [{"id": "w", "file": "tone-stereo.wav"}, {"id": "v", "file": "coded.mp4"}],
                              "cuts": {"w": {"in": 0, "out": 1}, "v": {"in": 0, "out": 1}}})");
  RunningEditor editor(dir.path());
  ASSERT_TRUE(editor.started);
  KelvraApp* app = editor.app;
  editor.step();
  struct Row {
    uint64_t source;
    uint32_t lacking;  // the control that must stay off
    uint32_t clip_lacking;
    const char* refusal;
  };
  const Row rows[] = {{0, SAMPLE_CONTROL_VIDEO, SEQUENCE_VIDEO, "This source has no pictures: its Video stays off."},
                      {1, SAMPLE_CONTROL_AUDIO, SEQUENCE_AUDIO, "This source has no sound: its Audio stays off."}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.source);
    editor.click(app->tab_buttons[KELVRA_TAB_SAMPLING]);
    kelvra_select(app, row.source);
    editor.step();
    SampleRange range;
    kelvra_sample_range(&range, app);
    EXPECT_EQ(range.video, row.source == 1);
    EXPECT_EQ(range.audio, row.source == 0);
    const uint64_t steps = app->history.undo_count;
    editor.click(app->sample_controls[row.lacking]);
    EXPECT_EQ(editor.status(), row.refusal);
    EXPECT_EQ(app->history.undo_count, steps);
    kelvra_sample_range(&range, app);
    EXPECT_EQ(range.video, row.source == 1);
    EXPECT_EQ(range.audio, row.source == 0);
    app->timeline_playhead = 0;
    editor.click(app->place_button);
    ASSERT_EQ(app->project.clip_count, row.source + 1) << editor.status();
    const Clip& clip = app->project.clips[row.source];
    EXPECT_EQ(clip.video, row.source == 1);
    EXPECT_EQ(clip.audio, row.source == 0);

    editor.click(app->tab_buttons[KELVRA_TAB_TIMELINE]);
    kelvra_select_clip(app, row.source);
    editor.step();
    kelvra_status(app, "");
    editor.click(app->clip_controls[row.clip_lacking]);
    EXPECT_EQ(editor.status(), row.refusal);
    EXPECT_EQ(app->project.clips[row.source].video, row.source == 1);
    EXPECT_EQ(app->project.clips[row.source].audio, row.source == 0);
  }
}

}  // namespace
