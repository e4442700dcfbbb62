// The timeline audio mix and the transport-mode mix, judged by the 16-bit
// frames they write: interpolated reads, gains and fades, loop passes, music
// clips, clamping, the metronome and the look-ahead source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "editor/app.h"
#include "editor/audio_output.h"
#include "media/audio_mix.h"
#include "music/synth.h"
#include "sound_fixture.h"

namespace {

using kelvra_test::add_clip;
using kelvra_test::add_note;
using kelvra_test::add_region;
using kelvra_test::add_source;
using kelvra_test::AppPtr;
using kelvra_test::clock_pcm;
using kelvra_test::frame_of;
using kelvra_test::level_pcm;
using kelvra_test::make_pcm;
using kelvra_test::new_app;
using kelvra_test::peak;
using kelvra_test::TestPcm;
using kelvra_test::zero_crossing_hz;

using Frames = std::vector<int16_t>;

Frames timeline(const KelvraApp* app, const WavePcm* pcm, uint64_t source, double start, uint64_t frames) {
  Frames out(2 * frames, 12345);  // anything not written shows
  kelvra_audio_timeline_mix(&app->project, pcm, source, start, out.data(), frames);
  return out;
}

// `frames` frames of the transport mode mix, in calls of at most 1600 frames.
Frames transport(const KelvraApp* app, const WavePcm* pcm, double start, uint64_t frames) {
  Frames out(2 * frames, 12345);
  for (uint64_t done = 0; done < frames; done += 1600) {
    const uint64_t n = std::min<uint64_t>(1600, frames - done);
    kelvra_audio_mix(app, pcm, start + static_cast<double>(done) / MIX_RATE, out.data() + 2 * done, n);
  }
  return out;
}

// One frame of the timeline at time t, left channel.
int left_at(const KelvraApp* app, const WavePcm* pcm, uint64_t source, double t) {
  return timeline(app, pcm, source, t, 1)[0];
}

TEST(AudioMix, InterpolatedSampleReads) {
  // Stereo at 8000 frames per second: frame i holds 100 i on the left, -100 i on the right.
  auto stereo = make_pcm(8000, 4, 2, [](uint64_t i, uint32_t c) { return (c == 0 ? 100 : -100) * int64_t(i); });
  auto mono = make_pcm(8000, 4, 1, [](uint64_t i, uint32_t) { return 100 * int64_t(i); });
  // Six channels: channel c of every frame holds 1000 (c + 1).
  auto six = make_pcm(8000, 4, 6, [](uint64_t, uint32_t c) { return 1000 * int64_t(c + 1); });
  struct Row {
    const TestPcm* pcm;
    double frame;  // time in frames of the source
    uint32_t channel;
    double expect;
  };
  const Row rows[] = {
      {stereo.get(), 0, 0, 0},       {stereo.get(), 0.5, 0, 50},   {stereo.get(), 2.25, 1, -225},
      {stereo.get(), 3.5, 0, 300},   // the last frame has no successor: held
      {stereo.get(), 4, 0, 0},       // past the end
      {stereo.get(), -1e-9, 0, 0},   // before the start
      {mono.get(), 1.5, 1, 150},     // mono feeds both channels
      {six.get(), 1, 0, 1000},       {six.get(), 1, 1, 2000},      // only the first two channels
  };
  for (const Row& row : rows) {
    EXPECT_DOUBLE_EQ(audio_mix_sample(&row.pcm->pcm, row.frame / 8000, row.channel), row.expect)
        << "frame " << row.frame << " channel " << row.channel;
  }
  WavePcm empty{};
  EXPECT_EQ(audio_mix_sample(&empty, 0, 0), 0.0);
  EXPECT_EQ(audio_mix_sample(nullptr, 0, 0), 0.0);
}

// Fades are measured from the ends of the whole clip and are at most half a
// pass long; the gain multiplies them.
TEST(AudioMix, GainAndFadesOfSourceClips) {
  auto level = level_pcm(20000);
  struct Row {
    double gain, fade_in, fade_out;
    bool loop;
    uint32_t loops;
    double offset;  // seconds after the clip's start
    int expect;
  };
  // Clips of 4 s passes (cut) or 2 s passes (loop) placed at 10 s.
  const Row rows[] = {
      {0.5, 1, 1, false, 1, 0.5, 5000},    // 0.5 x 0.5
      {0.5, 1, 1, false, 1, 2.0, 10000},   // 0.5
      {0.5, 1, 1, false, 1, 3.5, 5000},    // 0.5 x 0.5
      {0.5, 1, 1, false, 1, 4.0, 0},       // the clip has ended
      {0.5, 1, 1, false, 1, -0.01, 0},     // not started
      {1, 5, 0, true, 3, 0.5, 10000},      // fade-in cut to half a pass (1 s)
      {1, 5, 0, true, 3, 2.5, 20000},      // ... and only at the start of the first pass
      {1, 5, 0, true, 3, 5.5, 20000},
      {1, 0, 5, true, 3, 1.5, 20000},      // fade-out only at the end of the last pass
      {1, 0, 5, true, 3, 5.5, 10000},
      {1.5, 0, 0, false, 1, 1, 30000},
  };
  for (const Row& row : rows) {
    AppPtr app = new_app();
    add_source(app.get());
    Clip& clip = add_clip(app.get(), 0, 1, row.loop ? 3 : 5, 10);
    clip.gain = row.gain;
    clip.fade_in = row.fade_in;
    clip.fade_out = row.fade_out;
    clip.loop = row.loop;
    clip.loops = row.loops;
    const int value = left_at(app.get(), &level->pcm, 0, 10 + row.offset);
    EXPECT_NEAR(value, row.expect, 1) << "gain " << row.gain << " fades " << row.fade_in << "/" << row.fade_out
                                      << " at +" << row.offset;
  }
}

// The clock source's value is its own time x 8000, so the mix shows which
// source time each clip plays.
TEST(AudioMix, LoopPassesReadTheRangeAgain) {
  auto clock = clock_pcm();
  struct Row {
    bool loop;
    double offset;
    int expect;
  };
  // in 1, out 3 (2 s passes), 3 passes when looping, placed at 10 s.
  const Row rows[] = {
      {true, 0.25, 10000}, {true, 2.25, 10000}, {true, 4.75, 14000}, {true, 2.0, 8000},  // wraps to `in`
      {true, 6.0, 0},      {false, 1.5, 20000}, {false, 2.25, 0},                        // cut: one pass
  };
  for (const Row& row : rows) {
    AppPtr app = new_app();
    add_source(app.get());
    Clip& clip = add_clip(app.get(), 0, 1, 3, 10);
    clip.loop = row.loop;
    clip.loops = 3;
    EXPECT_EQ(left_at(app.get(), &clock->pcm, 0, 10 + row.offset), row.expect)
        << (row.loop ? "loop" : "cut") << " at +" << row.offset;
  }
}

// Only the audible clips of the mixed source sound; overlapping clips add and
// the sum is clamped, never wrapped.
TEST(AudioMix, OverlappingClipsAddAndClamp) {
  struct Row {
    int16_t level;
    int clips;
    int expect;
  };
  const Row rows[] = {{12000, 1, 12000}, {12000, 2, 24000}, {20000, 2, 32767}, {-20000, 2, -32768}, {20000, 3, 32767}};
  for (const Row& row : rows) {
    auto level = level_pcm(row.level);
    AppPtr app = new_app();
    add_source(app.get());
    for (int i = 0; i < row.clips; ++i) add_clip(app.get(), 0, 0, 4, 1 + 0.5 * i, static_cast<uint32_t>(i));
    const Frames out = timeline(app.get(), &level->pcm, 0, 2.5, 1600);
    for (uint64_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], row.expect) << row.level << " x " << row.clips;
  }

  auto level = level_pcm(10000);
  AppPtr app = new_app();
  add_source(app.get());
  add_source(app.get());
  add_clip(app.get(), 0, 0, 4, 0);                // heard
  add_clip(app.get(), 1, 0, 4, 0);                // another source
  add_clip(app.get(), 0, 0, 4, 0).audio = 0;      // muted
  add_clip(app.get(), 0, 0, 4, 0).music = 1;      // carries the score, not the source
  add_clip(app.get(), -1, 0, 4, 0);               // no source
  EXPECT_EQ(left_at(app.get(), &level->pcm, 0, 1), 10000);
  EXPECT_EQ(left_at(app.get(), &level->pcm, 1, 1), 10000);
  EXPECT_EQ(left_at(app.get(), nullptr, 0, 1), 0);
  EXPECT_EQ(left_at(app.get(), &level->pcm, KELVRA_NONE, 1), 0);
}

// A score with one long organ note: key 60 (261.6 Hz) turns 1046.5 times in
// 4 s, so the sound at score time 4 and at 8 is in opposite phase.
AppPtr app_with_organ_score() {
  AppPtr app = new_app();
  Score* score = &app->project.score;
  add_note(score, 0, 40, 60, add_region(score, 0, 40, SCORE_ORGAN));
  return app;
}

// A music clip plays score time in..out for each pass; the pass changes on
// the frame at or just after the pass's end on the timeline.
TEST(AudioMix, MusicClipPassesReplayTheScore) {
  AppPtr app = app_with_organ_score();
  Clip& clip = add_clip(app.get(), -1, 4, 8, 10);
  clip.music = 1;
  clip.loop = 1;
  clip.loops = 2;
  clip.video = 0;
  const Frames tail = [&] {  // score time 7.99 .. 8
    app->transport_mode = TRANSPORT_SCORE;
    return transport(app.get(), nullptr, 7.99, 480);
  }();
  const Frames head = transport(app.get(), nullptr, 4.0, 1120);  // score time 4 .. 4.0233
  const Frames out = timeline(app.get(), nullptr, KELVRA_NONE, 13.99, 1600);
  for (uint64_t i = 0; i < 480; ++i) ASSERT_NEAR(out[2 * i], tail[2 * i], 1) << "frame " << i;
  for (uint64_t i = 480; i < 1600; ++i) ASSERT_NEAR(out[2 * i], head[2 * (i - 480)], 1) << "frame " << i;
  EXPECT_GT(peak(head, 0, 0, 1120), 3000.0);

  // Timeline 10..14 and 14..18 both play score seconds 4..8.
  EXPECT_EQ(timeline(app.get(), nullptr, KELVRA_NONE, 10.5, 1600), timeline(app.get(), nullptr, KELVRA_NONE, 14.5, 1600));
  const Frames after = timeline(app.get(), nullptr, KELVRA_NONE, 18.0, 1600);
  EXPECT_EQ(peak(after, 0, 0, 1600), 0.0);
  const Frames before = timeline(app.get(), nullptr, KELVRA_NONE, 9.99, 1600);
  EXPECT_EQ(peak(before, 0, 0, 480), 0.0);
  EXPECT_GT(peak(before, 0, 480, 1600), 0.0);
}

// A chunk that starts a hair (under 1e-8 s) before a pass ends starts with
// the next pass: its first frame is the pass's first, not its last.
TEST(AudioMix, AHairBeforeAPassEndStartsTheNextPass) {
  AppPtr app = new_app();
  Score* score = &app->project.score;
  // Only score time 7..8.25 s sounds; score time 4 is silent.
  add_note(score, 14, 2.5, 70, add_region(score, 0, 40, SCORE_ORGAN));
  Clip& clip = add_clip(app.get(), -1, 4, 8, 10);
  clip.music = 1;
  clip.loop = 1;
  clip.loops = 2;
  EXPECT_NE(left_at(app.get(), nullptr, KELVRA_NONE, 14 - 1.0 / 48000), 0);  // the end of pass 1
  EXPECT_EQ(left_at(app.get(), nullptr, KELVRA_NONE, 14 - 5e-9), 0);          // pass 2 begins
  EXPECT_EQ(left_at(app.get(), nullptr, KELVRA_NONE, 14), 0);
}

TEST(AudioMix, MusicClipsFollowGainAndFades) {
  struct Row {
    double gain, fade_in, fade_out;
    double offset;  // seconds after the clip's start (one pass of 4 s)
    double factor;
  };
  const Row rows[] = {
      {0.5, 0, 0, 1.0, 0.5},  {1, 2, 0, 1.0, 0.5},   {1, 5, 0, 1.0, 0.5},  // fade cut to half a pass
      {0.5, 1, 1, 0.5, 0.25}, {0.5, 1, 1, 3.5, 0.25}, {1, 0, 0, 2.0, 1.0}, {1, 1, 0, 0, 0},
  };
  for (const Row& row : rows) {
    AppPtr app = app_with_organ_score();
    Clip& clip = add_clip(app.get(), -1, 4, 8, 10);
    clip.music = 1;
    clip.gain = row.gain;
    clip.fade_in = row.fade_in;
    clip.fade_out = row.fade_out;
    app->transport_mode = TRANSPORT_SCORE;
    // 48 frames (1 ms): the fades move by at most 0.05 % over them.
    const Frames score = transport(app.get(), nullptr, 4 + row.offset, 48);
    const Frames out = timeline(app.get(), nullptr, KELVRA_NONE, 10 + row.offset, 48);
    for (uint64_t i = 0; i < 48; ++i) {
      ASSERT_NEAR(out[2 * i], row.factor * score[2 * i], 1 + 0.001 * std::abs(score[2 * i]))
          << "gain " << row.gain << " fades " << row.fade_in << "/" << row.fade_out << " at +" << row.offset;
    }
  }
}

// Frames of the timeline are the same in any chunking of at most 1600 frames,
// up to one step of 16 bits: frame times are the chunk start plus an offset,
// whose last bit depends on the chunk start, and a value that lies within a
// float rounding of a half may round either way.
TEST(AudioMix, TimelineChunkingOnlyMovesRoundingHalves) {
  auto clock = clock_pcm();
  AppPtr app = app_with_organ_score();
  Score* score = &app->project.score;
  add_note(score, 1.25, 3, 36, add_region(score, 0, 40, SCORE_DRUM_KIT));
  add_note(score, 2.5, 3, 42, 1);
  add_source(app.get());
  Clip& music = add_clip(app.get(), -1, 0.3, 1.7, 0.2);
  music.music = 1;
  music.loop = 1;
  music.loops = 3;
  music.fade_in = 0.3;
  Clip& looped = add_clip(app.get(), 0, 0.5, 1.25, 0.1);
  looped.loop = 1;
  looped.loops = 4;
  looped.gain = 0.7;
  looped.fade_out = 0.2;
  add_clip(app.get(), 0, 1, 3, 0.9).gain = 0.4;

  const uint64_t frames = frame_of(3.0);
  Frames a(2 * frames);
  Frames b(2 * frames);
  for (uint64_t done = 0; done < frames; done += 1600)
    kelvra_audio_timeline_mix(&app->project, &clock->pcm, 0, done / 48000.0, a.data() + 2 * done, std::min<uint64_t>(1600, frames - done));
  const uint64_t sizes[] = {1, 1000, 7, 1600, 333};
  for (uint64_t done = 0, k = 0; done < frames; ++k) {
    const uint64_t n = std::min(sizes[k % 5], frames - done);
    kelvra_audio_timeline_mix(&app->project, &clock->pcm, 0, done / 48000.0, b.data() + 2 * done, n);
    done += n;
  }
  EXPECT_GT(peak(a, 0, 0, frames), 10000.0);
  for (uint64_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1) << "frame " << i / 2;

  Frames again(2 * frames);
  for (uint64_t done = 0; done < frames; done += 1600)
    kelvra_audio_timeline_mix(&app->project, &clock->pcm, 0, done / 48000.0, again.data() + 2 * done, std::min<uint64_t>(1600, frames - done));
  EXPECT_EQ(a, again);
}

// The preview mixes a source's clips frame by frame; the export sums
// kelvra_audio_source_sample per source and channel. Both give the same frames.
TEST(AudioMix, TimelineFramesMatchTheSourceSamples) {
  auto clock = clock_pcm();
  AppPtr app = new_app();
  add_source(app.get());
  add_source(app.get());
  for (int i = 0; i < 12; ++i) {
    Clip& clip = add_clip(app.get(), i % 3 == 2 ? 1 : 0, 0.1 * i, 0.1 * i + 0.4 + 0.05 * i, 0.13 * i);
    clip.loop = i % 2;
    clip.loops = 1 + i % 4;
    clip.gain = 0.2 + 0.05 * i;
    clip.fade_in = 0.03 * i;
    clip.fade_out = 0.2 - 0.01 * i;
  }
  auto mono = make_pcm(11025, 44100, 1, [](uint64_t i, uint32_t) { return int64_t(i % 20000) - 10000; });
  const uint64_t frames = frame_of(2.5);
  for (const WavePcm* pcm : {&clock->pcm, &mono->pcm}) {
    for (uint64_t done = 0; done < frames; done += 1600) {
      const double start = done / 48000.0;
      const Frames out = timeline(app.get(), pcm, 0, start, 1600);
      for (uint64_t i = 0; i < 1600; ++i) {
        for (uint32_t k = 0; k < 2; ++k) {
          const double v = kelvra_audio_source_sample(&app->project, pcm, 0, start + i / 48000.0, k);
          ASSERT_EQ(out[2 * i + k], static_cast<int16_t>(std::round(std::clamp(v, -32768.0, 32767.0))))
              << pcm->channels << " channels, frame " << done + i << " channel " << k;
        }
      }
    }
  }
}

// The export's mix before rounding reads every clip's loop passes, gains and
// fades as kelvra_audio_source_sample does, to the last bit: a pass of about
// 12 ms that wraps several times in one chunk and is counted in the tens of
// thousands ten minutes on, passes of odd lengths, fades that start and end
// inside chunks, a source at another rate, and chunks of odd sizes.
TEST(AudioMix, ExportMixEqualsTheSourceSamplesDeepIntoLoops) {
  auto clock = clock_pcm();
  auto mono = make_pcm(44100, 3 * 44100, 1, [](uint64_t i, uint32_t) { return int64_t(i * 7919 % 60000) - 30000; });
  AppPtr app = new_app();
  add_source(app.get());
  struct Case {
    double in, out, at;
    uint32_t loops;
    double fade_in, fade_out, gain;
  };
  const Case cases[] = {
      {0.25, 0.2623457, 0.0, 60000, 0.004, 0.003, 0.8},
      {1.1, 2.337, 3.3, 600, 0.5, 0.7, 0.45},
      {0.0, 2.9999, 0.013, 240, 0.0, 1.5, 1.3},
      {0.7, 0.7 + 1.0 / 3.0, 600.0001, 300, 0.1, 0.0, 0.6},
  };
  for (const Case& c : cases) {
    Clip& clip = add_clip(app.get(), 0, c.in, c.out, c.at);
    clip.loop = 1;
    clip.loops = c.loops;
    clip.fade_in = c.fade_in;
    clip.fade_out = c.fade_out;
    clip.gain = c.gain;
    clip.video = 0;
  }
  const double starts[] = {0.0, 0.00099, 0.5, 3.29, 4.41, 123.456789, 600.0, 699.99, 740.71, 740.74};
  const uint64_t sizes[] = {1600, 777, 1};
  std::vector<double> wide(2 * 1600);
  for (const WavePcm* pcm : {&clock->pcm, &mono->pcm}) {
    WavePcm table[PROJECT_MAX_ROWS] = {};
    table[0] = *pcm;
    for (const double start : starts) {
      for (const uint64_t n : sizes) {
        kelvra_audio_export_mix_wide(&app->project, table, PROJECT_MAX_ROWS, start, wide.data(), n);
        for (uint64_t i = 0; i < n; ++i) {
          for (uint32_t k = 0; k < 2; ++k) {
            const double v = kelvra_audio_source_sample(&app->project, pcm, 0, start + i / 48000.0, k);
            ASSERT_EQ(wide[2 * i + k], v) << pcm->channels << " channels, from " << start << " s, frame " << i
                                          << " channel " << k;
          }
        }
      }
    }
  }
}

TEST(AudioMix, LoudScoresAreClampedNotWrapped) {
  AppPtr app = new_app();
  Score* score = &app->project.score;
  score->master = 2;
  const uint16_t region = add_region(score, 0, 8, SCORE_ORGAN, 0, 2);
  for (int i = 0; i < 96; ++i) add_note(score, 0, 8, static_cast<uint8_t>(57 + i % 3), region);
  app->transport_mode = TRANSPORT_SCORE;
  const Frames out = transport(app.get(), nullptr, 1.0, 1600);
  std::vector<float> synth(3200, 0.0f);
  kelvra_synth_mix(score, 1.0, synth.data(), 1600);
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 32767);
  EXPECT_EQ(*std::min_element(out.begin(), out.end()), -32768);
  for (uint64_t i = 0; i < out.size(); ++i) {
    if (synth[i] > 32767) {
      ASSERT_EQ(out[i], 32767) << i;
    }
    if (synth[i] < -32768) {
      ASSERT_EQ(out[i], -32768) << i;
    }
    if (std::fabs(synth[i]) > 1) {
      ASSERT_EQ(out[i] > 0, synth[i] > 0) << i;
    }
  }
}

// At 120 beats per minute the metronome clicks every 0.5 s for 26 ms; the
// clicks at 0, 2, 4 s are the accented ones: louder and higher.
TEST(AudioMix, MetronomeAccentsEveryFourthBeat) {
  AppPtr app = new_app();
  app->project.score.metronome = 1;
  app->transport_mode = TRANSPORT_SCORE;
  const Frames out = transport(app.get(), nullptr, 0, frame_of(5.0));
  for (int beat = 0; beat <= 9; ++beat) {
    const uint64_t at = frame_of(beat * 0.5);
    const bool accented = beat % 4 == 0;
    const double level = peak(out, 0, at, at + frame_of(0.026));
    const double pitch = zero_crossing_hz(out, 0, at, at + frame_of(0.02));
    EXPECT_EQ(level > 4000, accented) << "beat " << beat << " peak " << level;
    EXPECT_GT(level, 2500.0) << "beat " << beat;
    EXPECT_NEAR(pitch, accented ? 11200 / (2 * M_PI) : 7900 / (2 * M_PI), 30.0) << "beat " << beat;
    // Silent between clicks, and the same on both channels.
    EXPECT_EQ(peak(out, 0, at + frame_of(0.026) + 1, at + frame_of(0.5)), 0.0) << "beat " << beat;
  }
  for (uint64_t i = 0; i < out.size(); i += 2) ASSERT_EQ(out[i], out[i + 1]);

  app->project.score.metronome = 0;
  EXPECT_EQ(peak(transport(app.get(), nullptr, 0, frame_of(1.0)), 0, 0, frame_of(1.0)), 0.0);

  // Music clips on the timeline never carry the click.
  app->project.score.metronome = 1;
  Clip& clip = add_clip(app.get(), -1, 0, 4, 0);
  clip.music = 1;
  EXPECT_EQ(peak(timeline(app.get(), nullptr, KELVRA_NONE, 0, 1600), 0, 0, 1600), 0.0);
}

TEST(AudioMix, SourceAndSampleModes) {
  auto clock = clock_pcm();
  auto mono = make_pcm(8000, 8000, 1, [](uint64_t i, uint32_t) { return int64_t(i); });
  AppPtr app = new_app();
  const uint64_t source = add_source(app.get(), 4);
  app->selected_source = static_cast<int64_t>(source);

  // Source mode plays the source at its own time; mono on both channels.
  app->transport_mode = TRANSPORT_SOURCE;
  EXPECT_EQ(transport(app.get(), &clock->pcm, 1.5, 1)[0], 12000);
  const Frames m = transport(app.get(), &mono->pcm, 0.5, 1);
  EXPECT_EQ(m[0], 4000);
  EXPECT_EQ(m[1], 4000);
  EXPECT_EQ(transport(app.get(), nullptr, 1.5, 1)[0], 0);

  // Sample mode plays the source's cut 1..2 s, looping twice, from elapsed time 0.
  Source& s = app->project.sources[source];
  s.in = 1;
  s.out = 2;
  s.loop = 1;
  s.loops = 2;
  app->source_range_active = 1;
  app->transport_mode = TRANSPORT_SAMPLE;
  struct Row {
    double elapsed;
    int expect;
  };
  const Row rows[] = {{0, 8000}, {0.25, 10000}, {1.25, 10000}, {1.99, 15920}, {2.0, 0}, {2.5, 0}};
  for (const Row& row : rows) EXPECT_EQ(transport(app.get(), &clock->pcm, row.elapsed, 1)[0], row.expect) << row.elapsed;

  // A selected clip of the source plays instead, with its gain and fades.
  Clip& clip = add_clip(app.get(), static_cast<int64_t>(source), 2, 3, 0);
  clip.gain = 0.5;
  clip.fade_in = 0.2;
  app->selected_clip = 0;
  EXPECT_EQ(transport(app.get(), &clock->pcm, 0.1, 1)[0], 4200);  // 16800 x 0.5 x 0.5
  EXPECT_EQ(transport(app.get(), &clock->pcm, 0.5, 1)[0], 10000);
  clip.audio = 0;
  EXPECT_EQ(transport(app.get(), &clock->pcm, 0.5, 1)[0], 0);
  EXPECT_EQ(transport(app.get(), nullptr, 0.5, 1)[0], 0);

  // The timeline mode is not mixed here: silence, but every frame written.
  app->transport_mode = TRANSPORT_TIMELINE;
  EXPECT_EQ(peak(transport(app.get(), &clock->pcm, 0.5, 100), 0, 0, 100), 0.0);
}

TEST(AudioMix, TimelineSourceLooksAhead) {
  struct ClipRow {
    int64_t source;
    double at;
    bool music;
  };
  struct Row {
    std::vector<ClipRow> clips;  // 2 s long each
    double t;
    uint64_t expect;
  };
  const Row rows[] = {
      {{{0, 4, false}, {1, 5.1, false}}, 5, 0},                 // sounding now wins
      {{{1, 5.1, false}, {0, 4, false}}, 5, 0},                 // ... whatever its place in the table
      {{{0, 4.5, false}, {1, 4, false}}, 5, 0},                 // the first sounding one in the table
      {{{0, 4.8, false}, {1, 7.0, false}, {2, 7.2, false}}, 6.9, 1},  // the soonest within 0.33 s
      {{{2, 7.2, false}, {1, 7.0, false}}, 6.9, 1},
      {{{1, 7.1, false}, {2, 7.1, false}}, 6.9, 2},             // equal starts: the later in the table
      {{{2, 7.24, false}}, 6.9, KELVRA_NONE},                   // nothing within 7.23
      {{{0, 6, true}, {1, 7.0, false}}, 6.9, 1},                // music clips are skipped
      {{{-1, 4, false}}, 5, KELVRA_NONE},                       // so are clips without a source
      {{{0, 3, false}}, 5, KELVRA_NONE},                        // over at 5
  };
  for (const Row& row : rows) {
    AppPtr app = new_app();
    for (int i = 0; i < 3; ++i) add_source(app.get());
    for (const ClipRow& c : row.clips) add_clip(app.get(), c.source, 0, 2, c.at).music = c.music;
    EXPECT_EQ(kelvra_audio_timeline_source(&app->project, row.t, 0.33), row.expect)
        << "t " << row.t << " with " << row.clips.size() << " clips";
  }
}

}  // namespace

// Many music clips at once, some on the same stretch of the score (duplicates
// and whole-pass offsets), some on their own, with loops and fades: the
// frames stay exactly those this project has always mixed to. The expected
// hash changes only with a deliberate change of the synthesizer or the mix.
TEST(AudioMix, CrowdedMusicMixesToTheSameFrames) {
  AppPtr app = app_with_organ_score();
  Score* score = &app->project.score;
  const uint16_t drums = add_region(score, 0, 40, SCORE_DRUM_KIT, -0.5f);
  const uint16_t keys = add_region(score, 0, 40, SCORE_ELECTRIC_KEYS, 0.5f);
  for (int i = 0; i < 24; ++i) {
    add_note(score, i * 0.5, 0.5, 36 + i % 12, drums, 0.6f);
    add_note(score, i * 0.75, 2, 48 + i % 24, keys, 0.4f);
  }
  for (int i = 0; i < 40; ++i) {
    Clip& clip = add_clip(app.get(), -1, 0.5 * (i % 3), 0.5 * (i % 3) + 1.5, i % 4 == 3 ? 0.01 * i : 0.0, i % 4);
    clip.music = 1;
    clip.gain = 0.05 + 0.01 * (i % 7);
    clip.loop = i % 2;
    clip.loops = 1 + i % 3;
    clip.fade_in = i % 5 == 0 ? 0.2 : 0.0;
    clip.fade_out = i % 6 == 0 ? 0.3 : 0.0;
  }
  uint64_t hash = 1469598103934665603ull;
  const uint64_t frames = frame_of(4.0);
  Frames out(2 * 1600);
  for (uint64_t done = 0; done < frames; done += 1600) {
    const uint64_t n = std::min<uint64_t>(1600, frames - done);
    kelvra_audio_timeline_mix(&app->project, nullptr, KELVRA_NONE, done / 48000.0, out.data(), n);
    for (uint64_t i = 0; i < 2 * n; ++i) hash = (hash ^ static_cast<uint16_t>(out[i])) * 1099511628211ull;
  }
  EXPECT_EQ(hash, 2552587794770824448ull);
}
