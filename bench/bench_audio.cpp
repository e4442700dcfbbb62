// The sound engine's worst cases, one second of 48 kHz stereo audio per
// iteration, in the 1600-frame chunks that the preview and the export use:
// - the synthesizer with 96 notes sounding at once, for each instrument and
//   each drum voice ("x_realtime" is seconds of audio rendered per second);
// - the timeline mix with 64 overlapping clips of one source;
// - the worst music the limits allow: 256 overlapping music clips over a
//   4096-note score, all on the same stretch of the score (duplicated clips)
//   or each on its own stretch.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "editor/app.h"
#include "media/audio_mix.h"
#include "media/wave.h"
#include "music/synth.h"
#include "project/score.h"

namespace {

constexpr uint64_t CHUNK = 1600;
constexpr uint64_t SECOND = 48000;

// 96 notes of one instrument (or one drum key) sounding together from 0 s to 60 s.
Score* full_score(uint8_t instrument, uint8_t drum_key) {
  Score* score = static_cast<Score*>(std::calloc(1, sizeof(Score)));
  kelvra_score_defaults(score);
  ScoreRegion& region = score->regions[score->region_count++];
  region.start = 0;
  region.end = 120;
  region.volume = 1;
  region.pan = 0.3f;
  region.high = 127;
  region.instrument_count = 1;
  region.instruments[0] = instrument;
  for (uint64_t i = 0; i < SYNTH_MAX_VOICES; ++i) {
    ScoreNote& note = score->notes[score->note_count++];
    note.beat = 0;
    note.length = 120;
    note.velocity = 0.2f;
    note.region = 0;
    note.key = instrument == SCORE_DRUM_KIT ? drum_key : static_cast<uint8_t>(36 + i % 48);
  }
  return score;
}

void BM_SynthFull(benchmark::State& state) {
  const uint8_t instrument = static_cast<uint8_t>(state.range(0));
  Score* score = full_score(instrument, static_cast<uint8_t>(state.range(1)));
  std::vector<float> buffer(2 * CHUNK);
  for (auto _ : state) {
    for (uint64_t done = 0; done < SECOND; done += CHUNK) {
      std::fill(buffer.begin(), buffer.end(), 0.0f);
      kelvra_synth_mix(score, 10.0 + static_cast<double>(done) / SECOND, buffer.data(), CHUNK);
      benchmark::DoNotOptimize(buffer.data());
    }
  }
  state.SetLabel(instrument == SCORE_DRUM_KIT ? (state.range(1) == 36   ? "Drum Kit: kick"
                                                 : state.range(1) == 40 ? "Drum Kit: snare"
                                                                        : "Drum Kit: hat")
                                              : kelvra_score_name(instrument));
  state.counters["x_realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
  std::free(score);
}
BENCHMARK(BM_SynthFull)
    ->Args({SCORE_PIANO, 0})
    ->Args({SCORE_ELECTRIC_KEYS, 0})
    ->Args({SCORE_ORGAN, 0})
    ->Args({SCORE_BASS, 0})
    ->Args({SCORE_BELL, 0})
    ->Args({SCORE_DRUM_KIT, 36})
    ->Args({SCORE_DRUM_KIT, 40})
    ->Args({SCORE_DRUM_KIT, 42})
    ->Unit(benchmark::kMillisecond);

// 64 clips of one 10 s stereo source, all sounding from 1 s to 2 s: half cut
// with fades, half looping short passes; the mixed second is 1..2 s.
void BM_TimelineMix64(benchmark::State& state) {
  const uint64_t frames = 10 * SECOND;
  std::vector<int16_t> samples(2 * frames);
  for (uint64_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>((i * 7919) % 20000 - 10000);
  const WavePcm pcm{samples.data(), frames, 48000, 2};

  KelvraApp* app = kelvra_app_create();
  Project& project = app->project;
  Source& source = project.sources[project.source_count++];
  source.duration = 10;
  source.out = 10;
  source.audio = 1;
  for (uint64_t i = 0; i < 64; ++i) {
    Clip& clip = project.clips[project.clip_count++];
    clip.source = 0;
    clip.in = 0.1 * static_cast<double>(i % 50);
    clip.at = 0.01 * static_cast<double>(i);
    clip.gain = 1.0 / 64;
    clip.audio = 1;
    clip.video = 1;
    clip.lane = static_cast<uint32_t>(i % 4);
    if (i % 2 == 0) {
      clip.out = clip.in + 3;
      clip.loops = 1;
      clip.fade_in = 0.5;
      clip.fade_out = 0.5;
    } else {
      clip.out = clip.in + 0.37;
      clip.loop = 1;
      clip.loops = 9;
    }
  }
  std::vector<int16_t> out(2 * CHUNK);
  for (auto _ : state) {
    for (uint64_t done = 0; done < SECOND; done += CHUNK) {
      kelvra_audio_timeline_mix(&app->project, &pcm, 0, 1.0 + static_cast<double>(done) / SECOND, out.data(), CHUNK);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["x_realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
  kelvra_app_free(app);
}
BENCHMARK(BM_TimelineMix64)->Unit(benchmark::kMillisecond);

// 4096 notes in 128 regions over 240 beats (120 s at 120 bpm); more than
// 96 notes sound at any time, so every window renders the most voices.
Score* crowded_score() {
  Score* score = static_cast<Score*>(std::calloc(1, sizeof(Score)));
  kelvra_score_defaults(score);
  for (uint64_t r = 0; r < SCORE_MAX_REGIONS; ++r) {
    ScoreRegion& region = score->regions[score->region_count++];
    region.start = 0;
    region.end = 240;
    region.volume = 0.5f;
    region.pan = static_cast<float>(r % 5) * 0.2f - 0.4f;
    region.high = 127;
    region.instrument_count = 1;
    region.instruments[0] = static_cast<uint8_t>(r % SCORE_DRUM_KIT);
  }
  for (uint64_t i = 0; i < SCORE_MAX_NOTES; ++i) {
    ScoreNote& note = score->notes[score->note_count++];
    note.beat = static_cast<double>(i % 236);
    note.length = 4;
    note.velocity = 0.1f;
    note.region = static_cast<uint16_t>(i % SCORE_MAX_REGIONS);
    note.key = static_cast<uint8_t>(36 + i % 48);
  }
  return score;
}

// One second of the timeline from 10 s in 1600-frame chunks; the counter
// "chunk_ms" is the time of one chunk (1/30 s of sound).
void BM_MusicMix256(benchmark::State& state) {
  KelvraApp* app = kelvra_app_create();
  Project& project = app->project;
  Score* score = crowded_score();
  project.score = *score;
  std::free(score);
  const bool staggered = state.range(0) != 0;
  for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i) {
    Clip& clip = project.clips[project.clip_count++];
    clip.source = -1;
    clip.in = staggered ? 0.1 * static_cast<double>(i) : 0.0;
    clip.out = clip.in + 60;
    clip.gain = 1.0 / 64;
    clip.audio = 1;
    clip.music = 1;
    clip.loops = 1;
    clip.lane = static_cast<uint32_t>(i % 4);
  }
  std::vector<int16_t> out(2 * CHUNK);
  for (auto _ : state) {
    for (uint64_t done = 0; done < SECOND; done += CHUNK) {
      kelvra_audio_timeline_mix(&app->project, nullptr, UINT64_MAX, 10.0 + static_cast<double>(done) / SECOND, out.data(),
                                CHUNK);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.counters["x_realtime"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["chunk_ms"] =
      benchmark::Counter(static_cast<double>(SECOND / CHUNK) / 1000.0, benchmark::Counter::kIsIterationInvariantRate |
                                                      benchmark::Counter::kInvert);
  kelvra_app_free(app);
}
BENCHMARK(BM_MusicMix256)->ArgName("staggered")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
