// The instrument synthesizer, judged by the sound it renders: pitch, pan,
// envelope, decay, region clipping, the note limit and repeatability.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "music/synth.h"
#include "project/score.h"
#include "sound_fixture.h"

namespace {

using kelvra_test::add_note;
using kelvra_test::add_region;
using kelvra_test::frame_of;
using kelvra_test::new_score;
using kelvra_test::peak;
using kelvra_test::render;
using kelvra_test::rms;
using kelvra_test::zero_crossing_hz;

// At 120 beats per minute a beat lasts 0.5 s.
constexpr double BEAT = 0.5;

TEST(Synth, PitchOfKeysMeasuredFromTheSamples) {
  struct Row {
    uint8_t instrument;
    uint8_t key;
    double hz;
  };
  const Row rows[] = {
      {SCORE_PIANO, 69, 440.0},
      {SCORE_BASS, 69, 220.0},  // the bass sounds an octave down
      {SCORE_ORGAN, 60, 261.6256},
      {SCORE_BASS, 40, 41.2034},
      {SCORE_PIANO, 96, 2093.005},
  };
  for (const Row& row : rows) {
    auto score = new_score();
    add_note(score.get(), 0, 4, row.key, add_region(score.get(), 0, 4, row.instrument));
    const std::vector<float> out = render(*score, 0, frame_of(2.0));
    const double hz = zero_crossing_hz(out, 0, frame_of(0.1), frame_of(1.9));
    EXPECT_NEAR(hz, row.hz, row.hz * 1e-4) << kelvra_score_name(row.instrument) << " key " << int(row.key);
  }
}

TEST(Synth, PanSharesTheGainBetweenTheChannels) {
  struct Row {
    float pan;
    double left;  // share of the full gain
    double right;
  };
  const Row rows[] = {{0, 1, 1}, {1, 0, 1}, {-1, 1, 0}, {0.5f, 0.5, 1}, {-0.25f, 1, 0.75}};
  const uint64_t first = frame_of(0.1);
  const uint64_t last = frame_of(0.4);
  auto centre = new_score();
  add_note(centre.get(), 0, 1, 69, add_region(centre.get(), 0, 1, SCORE_ORGAN));
  const std::vector<float> reference = render(*centre, 0, last);
  const double full = peak(reference, 0, first, last);
  EXPECT_GT(full, 0.75 * 0.85 * SYNTH_NOTE_LEVEL);  // the organ wave peaks at about 0.78
  EXPECT_LE(full, 0.85 * SYNTH_NOTE_LEVEL);  // one note never exceeds its gain
  for (const Row& row : rows) {
    auto score = new_score();
    add_note(score.get(), 0, 1, 69, add_region(score.get(), 0, 1, SCORE_ORGAN, row.pan));
    const std::vector<float> out = render(*score, 0, last);
    EXPECT_NEAR(peak(out, 0, 0, last) / full, row.left, 1e-6) << "pan " << row.pan;
    EXPECT_NEAR(peak(out, 1, 0, last) / full, row.right, 1e-6) << "pan " << row.pan;
    if (row.left == 0) {
      EXPECT_EQ(peak(out, 0, 0, last), 0.0) << "pan " << row.pan;
    }
    if (row.right == 0) {
      EXPECT_EQ(peak(out, 1, 0, last), 0.0) << "pan " << row.pan;
    }
  }
}

TEST(Synth, FreeNoteIsAPianoAtCentreWithoutRegionVolume) {
  auto free_note = new_score();
  add_note(free_note.get(), 0.25, 1, 64, SCORE_FREE_NOTE, 0.7f);
  auto in_region = new_score();
  add_note(in_region.get(), 0.25, 1, 64, add_region(in_region.get(), 0, 4, SCORE_PIANO), 0.7f);
  const std::vector<float> a = render(*free_note, 0, frame_of(1.0));
  const std::vector<float> b = render(*in_region, 0, frame_of(1.0));
  EXPECT_GT(peak(a, 0, 0, frame_of(1.0)), 1000.0);
  EXPECT_EQ(a, b);
  EXPECT_EQ(peak(a, 0, 0, frame_of(1.0)), peak(a, 1, 0, frame_of(1.0)));
}

// A note rises over 1/190 s from its start and falls to silence over the last
// 1/52 s before its end; outside it nothing is added.
TEST(Synth, EnvelopeAtNoteStartAndEnd) {
  const double start = 0.1;
  const double end = 0.3;
  auto score = new_score();
  add_note(score.get(), start / BEAT, (end - start) / BEAT, 69, add_region(score.get(), 0, 4, SCORE_ORGAN));
  const std::vector<float> out = render(*score, 0, frame_of(0.4));
  const double gain = 0.85 * SYNTH_NOTE_LEVEL;
  const double full = peak(out, 0, frame_of(0.15), frame_of(0.25));

  for (uint64_t i = 0; i < out.size() / 2; ++i) {
    const double t = static_cast<double>(i) / SYNTH_RATE;
    const double y = std::fabs(out[2 * i]);
    if (t < start || t >= end) {
      ASSERT_EQ(y, 0.0) << "frame " << i;
    } else {
      // Under both ramps (with a float rounding of slack).
      ASSERT_LE(y, gain * (t - start) * 190 + 0.01) << "frame " << i;
      ASSERT_LE(y, gain * (end - t) * 52 + 0.01) << "frame " << i;
    }
  }
  // Full level one period after the attack, and until the release begins.
  const double period = 1.0 / 440;
  EXPECT_GT(peak(out, 0, frame_of(start + 1.0 / 190), frame_of(start + 1.0 / 190 + period)), 0.97 * full);
  EXPECT_GT(peak(out, 0, frame_of(end - 1.0 / 52 - period), frame_of(end - 1.0 / 52)), 0.97 * full);
  // Half way up the attack and half way down the release, about half level.
  EXPECT_NEAR(peak(out, 0, frame_of(start + 0.5 / 190 - period / 2), frame_of(start + 0.5 / 190 + period / 2)),
              0.5 * full, 0.1 * full);
  EXPECT_NEAR(peak(out, 0, frame_of(end - 0.5 / 52 - period / 2), frame_of(end - 0.5 / 52 + period / 2)),
              0.5 * full, 0.1 * full);
}

TEST(Synth, DecayRatesMeasuredOverOneSecond) {
  struct Row {
    uint8_t instrument;
    double per_second;  // level after one second relative to the level before
  };
  const Row rows[] = {
      {SCORE_PIANO, std::exp(-2.1)},
      {SCORE_ELECTRIC_KEYS, std::exp(-1.6)},
      {SCORE_ORGAN, 1.0},
      {SCORE_BASS, std::exp(-0.7)},
      {SCORE_BELL, std::exp(-3.8)},
  };
  for (const Row& row : rows) {
    auto score = new_score();
    add_note(score.get(), 0, 8, 69, add_region(score.get(), 0, 8, row.instrument));
    const std::vector<float> out = render(*score, 0, frame_of(3.1));
    // 100 ms windows: whole periods of every partial's beating, late enough
    // for the electric keys' modulation to have faded.
    const double before = rms(out, 0, frame_of(2.0), frame_of(2.1));
    const double after = rms(out, 0, frame_of(3.0), frame_of(3.1));
    EXPECT_NEAR(after / before, row.per_second, row.per_second * 0.01) << kelvra_score_name(row.instrument);
  }
}

TEST(Synth, DrumKitVoicesByKey) {
  struct Row {
    uint8_t key;
    const char* voice;
  };
  const Row rows[] = {{36, "kick"}, {37, "snare"}, {40, "snare"}, {42, "hat"}, {50, "hat"}};
  for (const Row& row : rows) {
    auto score = new_score();
    add_note(score.get(), 0, 1, row.key, add_region(score.get(), 0, 4, SCORE_DRUM_KIT));
    const std::vector<float> out = render(*score, 0, frame_of(0.5));
    EXPECT_GT(peak(out, 0, 0, frame_of(0.05)), 1000.0) << row.voice << " " << int(row.key);
    if (std::string(row.voice) == "kick") {
      // Pitch falling towards 48 Hz: faster crossings early than late.
      const double early = zero_crossing_hz(out, 0, 0, frame_of(0.03));
      const double late = zero_crossing_hz(out, 0, frame_of(0.2), frame_of(0.45));
      EXPECT_GT(early, 100.0);
      EXPECT_NEAR(late, 48.0, 2.0);
    } else {
      // Noise: far more crossings than any tone of the kit.
      EXPECT_GT(zero_crossing_hz(out, 0, 0, frame_of(0.1)), 3000.0) << row.voice;
    }
  }
}

// A note clipped by its region is heard from the region's start with its decay
// already advanced, and stops at the region's end; keys outside the region's
// range are silent.
TEST(Synth, RegionClipsTimeAndKeys) {
  auto clipped = new_score();
  add_note(clipped.get(), 0, 8, 69, add_region(clipped.get(), 2, 5, SCORE_PIANO));
  auto whole = new_score();
  add_note(whole.get(), 0, 8, 69, add_region(whole.get(), 0, 8, SCORE_PIANO));
  const std::vector<float> a = render(*clipped, 0, frame_of(3.0));
  const std::vector<float> b = render(*whole, 0, frame_of(3.0));
  const uint64_t region_start = frame_of(2 * BEAT);
  const uint64_t region_end = frame_of(5 * BEAT);
  EXPECT_EQ(peak(a, 0, 0, region_start), 0.0);
  EXPECT_EQ(peak(a, 0, region_end, frame_of(3.0)), 0.0);
  const uint64_t attack = frame_of(1.0 / 190) + 1;
  const uint64_t settled = region_start + attack;
  const uint64_t releasing = region_end - frame_of(1.0 / 52) - 1;
  for (uint64_t i = settled; i < releasing; ++i) ASSERT_NEAR(a[2 * i], b[2 * i], 0.01) << "frame " << i;
  // Just after its attack the clipped note is one second of decay quieter
  // than the whole note just after its own attack (110 frames: one period).
  const double fresh = peak(b, 0, attack, attack + 110);
  const double late = peak(a, 0, settled, settled + 110);
  EXPECT_NEAR(late / fresh, std::exp(-2.1 * 2 * BEAT), 0.01 * std::exp(-2.1 * 2 * BEAT));

  for (uint8_t key : {59, 72}) {
    auto outside = new_score();
    add_note(outside.get(), 0, 4, key, add_region(outside.get(), 0, 4, SCORE_PIANO, 0, 1, 60, 71));
    EXPECT_EQ(peak(render(*outside, 0, frame_of(1.0)), 0, 0, frame_of(1.0)), 0.0) << int(key);
  }
}

// Every note that overlaps the window counts towards the limit of 96, heard
// or not; notes outside the window do not.
TEST(Synth, AtMost96NotesSoundInOneCall) {
  struct Row {
    int silent_notes;  // in the window, outside their region's keys
    int past_notes;    // ended before the window
    bool heard;        // the audible note added after them
  };
  const Row rows[] = {{95, 0, true}, {96, 0, false}, {0, 200, true}, {95, 200, true}};
  for (const Row& row : rows) {
    auto score = new_score();
    const uint16_t narrow = add_region(score.get(), 0, 40, SCORE_ORGAN, 0, 1, 60, 60);
    const uint16_t open = add_region(score.get(), 0, 40, SCORE_ORGAN);
    for (int i = 0; i < row.past_notes; ++i) add_note(score.get(), 0, 1, 69, open);
    for (int i = 0; i < row.silent_notes; ++i) add_note(score.get(), 0, 8, 70, narrow);
    add_note(score.get(), 0, 8, 69, open);
    const std::vector<float> out = render(*score, 1.0, 1600);
    EXPECT_EQ(peak(out, 0, 0, 1600) > 0, row.heard) << row.silent_notes << " silent, " << row.past_notes << " past";
  }

  // With 100 notes sounding at once, the output is exactly that of the first 96.
  auto hundred = new_score();
  auto first_96 = new_score();
  for (int i = 0; i < 100; ++i) {
    const uint8_t key = static_cast<uint8_t>(i < 96 ? 40 + i % 30 : 100);
    add_note(hundred.get(), 0, 8, key, SCORE_FREE_NOTE, 0.01f);
    if (i < 96) add_note(first_96.get(), 0, 8, key, SCORE_FREE_NOTE, 0.01f);
  }
  EXPECT_EQ(render(*hundred, 0.5, 1600), render(*first_96, 0.5, 1600));
}

// A score with every instrument and drum, on and off the frame grid.
std::unique_ptr<Score> busy_score(double bpm) {
  auto score = new_score(bpm);
  for (uint8_t instrument = SCORE_PIANO; instrument <= SCORE_DRUM_KIT; ++instrument) {
    const uint16_t region =
        add_region(score.get(), 0.5 * instrument, 24, instrument, (instrument - 2.5f) / 3, 0.8f);
    for (int b = 0; b < 12; ++b) {
      const double beat = b * 0.75 + instrument * 0.125;
      const uint8_t key = instrument == SCORE_DRUM_KIT ? static_cast<uint8_t>(36 + b % 8) : static_cast<uint8_t>(40 + 3 * b);
      add_note(score.get(), beat, instrument == SCORE_DRUM_KIT ? 0.5 : 1.5, key, region, 0.6f + 0.03f * b);
    }
  }
  add_note(score.get(), 1.3, 2, 67);
  return score;
}

// The same stretch renders to the same samples every time. Rendered in other
// chunkings, a frame's time is the window start plus its offset, whose last
// bit depends on where the window starts; that moves phases by about 1e-12 s
// and can change the float rounding of a note's contribution, so values may
// differ by a few single-precision roundings (well under 0.01 of a 16-bit
// step) but never more. The drum noise follows the frame offset from the note
// start and is the same in any chunking.
TEST(Synth, SameStretchSameSamplesInAnyChunking) {
  for (double bpm : {120.0, 97.0}) {
    auto score = busy_score(bpm);
    const uint64_t frames = frame_of(6.0);
    const std::vector<float> a = render(*score, 0, frames);
    EXPECT_GT(peak(a, 0, 0, frames), 5000.0);
    EXPECT_EQ(a, render(*score, 0, frames)) << bpm;

    for (uint64_t chunk : {uint64_t{1}, uint64_t{7}, uint64_t{997}, uint64_t{1599}}) {
      // Rendered from a different first frame, in pieces of `chunk` frames.
      const uint64_t offset = 12345;
      const std::vector<float> b = render(*score, static_cast<double>(offset) / SYNTH_RATE, frames - offset, chunk);
      double worst = 0;
      for (uint64_t i = 0; i < b.size(); ++i) worst = std::max(worst, std::fabs(double(a[2 * offset + i]) - b[i]));
      EXPECT_LT(worst, 0.01) << bpm << " bpm, chunks of " << chunk;
    }
  }
}

TEST(Synth, TempoOutsideItsRangeIsReadAs120) {
  auto odd = new_score(500);
  add_note(odd.get(), 1, 2, 69);
  auto normal = new_score(120);
  add_note(normal.get(), 1, 2, 69);
  const std::vector<float> a = render(*odd, 0, frame_of(2.0));
  EXPECT_GT(peak(a, 0, 0, frame_of(2.0)), 1000.0);
  EXPECT_EQ(a, render(*normal, 0, frame_of(2.0)));
}

}  // namespace
