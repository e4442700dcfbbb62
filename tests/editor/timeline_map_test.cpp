// The timeline time mapping (layer time, opacity, the video stack), the
// timeline end, and the sample range that the sample transport plays.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "project/timeline_map.h"

namespace {

using kelvra_test::add_clip;
using kelvra_test::add_source;
using kelvra_test::AppPtr;
using kelvra_test::new_app;

Clip clip_of(double in, double out, double at, bool loop = false, uint32_t loops = 1) {
  Clip c{};
  c.in = in;
  c.out = out;
  c.at = at;
  c.loop = loop;
  c.loops = loops;
  c.gain = 1;
  return c;
}

TEST(TimelineMap, LayerTimeWrapsOnlyInLoopMode) {
  struct Row {
    Clip clip;
    double t;
    double length;
    double layer;
  };
  const Row rows[] = {
      {clip_of(3, 5, 10, true, 3), 14.5, 6, 3.5},  // 2 s range, 3 loops: 6 s, wrapped twice
      {clip_of(3, 5, 10, true, 3), 12.0, 6, 3.0},  // a pass boundary starts the range again
      {clip_of(3, 5, 10, true, 3), 10.0, 6, 3.0},
      {clip_of(3, 5, 10, false, 3), 11.5, 2, 4.5},  // cut: one pass whatever the loop count
      {clip_of(3, 5, 10, false, 1), 9.0, 2, 3.0},   // before the clip: its `in`
      {clip_of(4, 4, 10, true, 5), 11.0, 0, 4.0},   // an empty range never moves
      {clip_of(5, 4, 10, false, 1), 11.0, -1, 5.0},  // nor does a reversed one
  };
  for (const Row& row : rows) {
    EXPECT_DOUBLE_EQ(kelvra_clip_length(&row.clip), row.length) << "t " << row.t;
    EXPECT_DOUBLE_EQ(kelvra_layer_time(&row.clip, row.t), row.layer) << "t " << row.t;
  }
  EXPECT_DOUBLE_EQ(kelvra_media_time(1, 3, 5.5), 2.5);
  EXPECT_DOUBLE_EQ(kelvra_media_time(1, 3, -0.5), 1.0);
}

TEST(TimelineMap, OpacityFadesAtMostHalfAPass) {
  struct Row {
    Clip clip;
    double fade_in, fade_out;
    double t;
    double opacity;
  };
  const Row rows[] = {
      {clip_of(0, 4, 0), 5, 0, 1.0, 0.5},  // a 5 s fade on a 4 s clip lasts 2 s
      {clip_of(0, 4, 0), 5, 0, 2.0, 1.0},
      {clip_of(0, 4, 0), 0, 1, 3.5, 0.5},
      {clip_of(0, 4, 0), 0, 1, 4.5, 0.0},  // past the end: never negative
      {clip_of(0, 4, 0), 1, 1, -1, 0.0},
      {clip_of(0, 4, 0), 0, 0, 3.9, 1.0},
      {clip_of(0, 2, 10, true, 3), 5, 0, 10.5, 0.5},  // loops: 1 s fade, once
      {clip_of(0, 2, 10, true, 3), 5, 0, 12.5, 1.0},
      {clip_of(0, 2, 10, true, 3), 0, 5, 11.5, 1.0},  // the fade-out ends the last pass
      {clip_of(0, 2, 10, true, 3), 0, 5, 15.5, 0.5},
      {clip_of(0, 1, 0), 1, 1, 0.25, 0.5},  // both fades meet in the middle
      {clip_of(0, 1, 0), 1, 1, 0.5, 1.0},
  };
  for (const Row& row : rows) {
    Clip clip = row.clip;
    clip.fade_in = row.fade_in;
    clip.fade_out = row.fade_out;
    EXPECT_DOUBLE_EQ(kelvra_layer_opacity(&clip, row.t), row.opacity)
        << "fades " << row.fade_in << "/" << row.fade_out << " at " << row.t;
  }
}

// Clips given as lanes; all of them span 0..4 s unless changed.
std::vector<uint64_t> stack_of(KelvraApp* app, double t) {
  uint64_t out[KELVRA_STACK_MAX];
  std::memset(out, 0xAB, sizeof out);
  const uint64_t count = kelvra_video_stack(&app->project, t, out);
  EXPECT_LE(count, KELVRA_STACK_MAX);
  return std::vector<uint64_t>(out, out + count);
}

AppPtr app_with_lanes(const std::vector<uint32_t>& lanes) {
  AppPtr app = new_app();
  add_source(app.get());
  for (uint32_t lane : lanes) add_clip(app.get(), 0, 0, 4, 0, lane);
  return app;
}

TEST(TimelineMap, StackByLaneThenLaterClipFirst) {
  struct Row {
    std::vector<uint32_t> lanes;    // lane of clip 0, 1, 2 ...
    std::vector<uint64_t> expect;   // clip indexes, top layer first
  };
  const Row rows[] = {
      {{2, 2, 3}, {2, 1, 0}},  // lane 3 on top; on lane 2 the later clip is above
      {{0, 1, 2, 3}, {3, 2, 1, 0}},
      {{3, 2, 1, 0}, {0, 1, 2, 3}},
      {{1, 1, 1, 1, 1, 1, 1, 1, 1}, {8, 7, 6, 5, 4, 3, 2, 1}},     // nine on one lane: the first drops out
      {{0, 1, 1, 1, 1, 1, 1, 1, 1}, {8, 7, 6, 5, 4, 3, 2, 1}},     // a ninth below all eight is left out
      {{2, 1, 1, 1, 1, 1, 1, 1, 1}, {0, 8, 7, 6, 5, 4, 3, 2}},     // a ninth above pushes out the last
      {{1, 1, 1, 1, 1, 1, 1, 1, 0, 3}, {9, 7, 6, 5, 4, 3, 2, 1}},  // ten: clip 0 and the lane-0 clip drop
  };
  for (const Row& row : rows) {
    AppPtr app = app_with_lanes(row.lanes);
    EXPECT_EQ(stack_of(app.get(), 2.0), row.expect) << row.lanes.size() << " clips";
    EXPECT_EQ(kelvra_video_at(&app->project, 2.0), &app->project.clips[row.expect[0]]);
  }
}

TEST(TimelineMap, StackHoldsOnlyVisibleClipsOfKnownSources) {
  AppPtr app = app_with_lanes({0, 1, 2, 3, 0});
  Clip* clips = app->project.clips;
  clips[0].video = 0;             // picture off
  clips[1].source = -1;           // not in the library
  clips[2].source = 1;            // beyond the source table
  clips[3].out = clips[3].in;     // empty
  clips[4].at = 1;                // 1..5 s
  EXPECT_EQ(stack_of(app.get(), 2.0), std::vector<uint64_t>{4});
  EXPECT_EQ(stack_of(app.get(), 1.0), std::vector<uint64_t>{4});   // from its start
  EXPECT_EQ(stack_of(app.get(), 5.0), std::vector<uint64_t>{});    // to just before its end
  EXPECT_EQ(stack_of(app.get(), 0.5), std::vector<uint64_t>{});
  EXPECT_EQ(kelvra_video_at(&app->project, 0.5), nullptr);

  app->timeline_playhead = 3;
  EXPECT_EQ(kelvra_active_video(app.get()), &clips[4]);
  app->timeline_playhead = 6;
  EXPECT_EQ(kelvra_active_video(app.get()), nullptr);
}

TEST(TimelineMap, SequenceEndPullsThePlayheadBack) {
  AppPtr app = new_app();
  Project& p = app->project;
  kelvra_sequence_end(app.get());
  EXPECT_EQ(p.timeline_end, 0.0);

  add_source(app.get());
  add_clip(app.get(), 0, 0, 2, 1);                         // ends at 3
  Clip& looped = add_clip(app.get(), 0, 1, 3, 4);          // 2 s x 3 passes: ends at 10
  looped.loop = 1;
  looped.loops = 3;
  p.titles[p.title_count++] = Title{"t", "", "", 2, 5, 0, 0, KELVRA_NONE};  // ends at 7
  app->timeline_playhead = 9;
  kelvra_sequence_end(app.get());
  EXPECT_EQ(p.timeline_end, 10.0);
  EXPECT_EQ(app->timeline_playhead, 9.0);

  p.clip_count = 1;  // the clip that ended last is removed
  kelvra_sequence_end(app.get());
  EXPECT_EQ(p.timeline_end, 7.0);
  EXPECT_EQ(app->timeline_playhead, 7.0);

  p.title_count = 0;
  app->timeline_playhead = 2;
  kelvra_sequence_end(app.get());
  EXPECT_EQ(p.timeline_end, 3.0);
  EXPECT_EQ(app->timeline_playhead, 2.0);
}

TEST(Sampling, RangeFollowsTheCutOrTheSelectedClip) {
  AppPtr app = new_app();
  SampleRange range;
  EXPECT_FALSE(kelvra_has_sample(app.get()));
  kelvra_sample_range(&range, app.get());
  EXPECT_EQ(range.source, 0);
  EXPECT_EQ(range.out, 0.0);
  EXPECT_EQ(range.gain, 0.0);

  add_source(app.get(), 9);
  add_source(app.get(), 6);
  Source& s = app->project.sources[0];
  s.in = 2;
  s.out = 5;
  s.loop = 1;
  s.loops = 4;
  s.video = 0;
  app->selected_source = 0;

  // Without the cut in force: the whole source, played once.
  EXPECT_FALSE(kelvra_has_sample(app.get()));
  kelvra_sample_range(&range, app.get());
  EXPECT_EQ(range.in, 0.0);
  EXPECT_EQ(range.out, 9.0);
  EXPECT_EQ(range.loop, 0);
  EXPECT_EQ(range.loops, 4u);
  EXPECT_EQ(range.gain, 1.0);
  EXPECT_EQ(range.video, 0);
  EXPECT_EQ(range.audio, 1);

  // With the cut: its range and loop mode.
  app->source_range_active = 1;
  EXPECT_TRUE(kelvra_has_sample(app.get()));
  kelvra_sample_range(&range, app.get());
  EXPECT_EQ(range.in, 2.0);
  EXPECT_EQ(range.out, 5.0);
  EXPECT_EQ(range.loop, 1);
  EXPECT_EQ(range.fade_in, 0.0);

  // A selected clip of another source changes nothing.
  Clip& other = add_clip(app.get(), 1, 1, 2, 0);
  app->selected_clip = 0;
  kelvra_sample_range(&range, app.get());
  EXPECT_EQ(range.in, 2.0);
  app->source_range_active = 0;
  EXPECT_FALSE(kelvra_has_sample(app.get()));

  // A selected clip of this source is the range, whole.
  other.source = 0;
  other.fade_in = 0.3;
  other.gain = 0.5;
  EXPECT_TRUE(kelvra_has_sample(app.get()));
  kelvra_sample_range(&range, app.get());
  EXPECT_EQ(range.in, 1.0);
  EXPECT_EQ(range.out, 2.0);
  EXPECT_EQ(range.fade_in, 0.3);
  EXPECT_EQ(range.gain, 0.5);

  app->selected_source = 5;  // beyond the table
  EXPECT_FALSE(kelvra_has_sample(app.get()));
}

}  // namespace
