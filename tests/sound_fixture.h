// Fixtures for the sound tests: applications on the heap, scores built note by
// note, synthetic PCM sources, and measurements taken from rendered samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "app/app.h"
#include "app_fixture.h"
#include "media/sound_feed.h"
#include "media/wave.h"
#include "music/score.h"
#include "music/synth.h"

namespace kelvra_test {

// ---------------------------------------------------------------- scores

inline std::unique_ptr<Score> new_score(double bpm = 120) {
  auto score = std::make_unique<Score>();
  kelvra_score_defaults(score.get());
  score->bpm = bpm;
  return score;
}

// Appends a region over beats start..end playing `instrument`; returns its index.
inline uint16_t add_region(Score* score, double start, double end, uint8_t instrument, float pan = 0,
                           float volume = 1, uint8_t low = 0, uint8_t high = 127) {
  ScoreRegion& r = score->regions[score->region_count];
  r = ScoreRegion{};
  r.start = start;
  r.end = end;
  r.volume = volume;
  r.pan = pan;
  r.low = low;
  r.high = high;
  r.instrument_count = 1;
  r.instruments[0] = instrument;
  return static_cast<uint16_t>(score->region_count++);
}

inline void add_note(Score* score, double beat, double length, uint8_t key, uint16_t region = SCORE_FREE_NOTE,
                     float velocity = 1) {
  ScoreNote& n = score->notes[score->note_count++];
  n = ScoreNote{beat, length, velocity, region, 0, key};
  if (region != SCORE_FREE_NOTE) n.roll = score->regions[region].roll;
}

// `frames` stereo frames of the score from `start` seconds, rendered in calls
// of `chunk` frames.
inline std::vector<float> render(const Score& score, double start, uint64_t frames, uint64_t chunk = 1600) {
  std::vector<float> out(2 * frames, 0.0f);
  for (uint64_t done = 0; done < frames; done += chunk) {
    const uint64_t n = std::min(chunk, frames - done);
    kelvra_synth_mix(&score, start + static_cast<double>(done) / SYNTH_RATE, out.data() + 2 * done, n);
  }
  return out;
}

// ----------------------------------------------------------- measurements

inline uint64_t frame_of(double seconds) { return static_cast<uint64_t>(std::llround(seconds * SYNTH_RATE)); }

// Largest magnitude of one channel over frames [first, last).
template <typename T>
double peak(const std::vector<T>& stereo, int channel, uint64_t first, uint64_t last) {
  double p = 0;
  for (uint64_t i = first; i < last; ++i) p = std::max(p, std::fabs(static_cast<double>(stereo[2 * i + channel])));
  return p;
}

// Root mean square of one channel over frames [first, last).
template <typename T>
double rms(const std::vector<T>& stereo, int channel, uint64_t first, uint64_t last) {
  double sum = 0;
  for (uint64_t i = first; i < last; ++i) sum += static_cast<double>(stereo[2 * i + channel]) * stereo[2 * i + channel];
  return std::sqrt(sum / static_cast<double>(last - first));
}

// Frequency in Hz of one channel over frames [first, last), from the times
// of its rising zero crossings (each placed between two frames by linear
// interpolation).
template <typename T>
double zero_crossing_hz(const std::vector<T>& stereo, int channel, uint64_t first, uint64_t last) {
  double first_time = -1;
  double last_time = -1;
  uint64_t crossings = 0;
  for (uint64_t i = first + 1; i < last; ++i) {
    const double a = stereo[2 * (i - 1) + channel];
    const double b = stereo[2 * i + channel];
    if (a < 0 && b >= 0) {
      const double time = (static_cast<double>(i - 1) + a / (a - b)) / SYNTH_RATE;
      if (crossings == 0) first_time = time;
      last_time = time;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return static_cast<double>(crossings - 1) / (last_time - first_time);
}

// ------------------------------------------------------------- PCM sources

// A decoded source held by the test: the samples and the record that points at them.
struct TestPcm {
  std::vector<int16_t> samples;
  WavePcm pcm{};
};

// `frames` frames of `channels` channels at `rate`, value value(frame, channel).
template <typename F>
std::unique_ptr<TestPcm> make_pcm(uint32_t rate, uint64_t frames, uint32_t channels, F value) {
  auto p = std::make_unique<TestPcm>();
  p->samples.resize(frames * channels);
  for (uint64_t i = 0; i < frames; ++i)
    for (uint32_t c = 0; c < channels; ++c) p->samples[i * channels + c] = static_cast<int16_t>(value(i, c));
  p->pcm = WavePcm{p->samples.data(), frames, rate, channels};
  return p;
}

// A stereo source whose value is its own time: frame i holds i at 8000 frames
// per second (4 s), so a mixed value v means source time v / 8000.
inline std::unique_ptr<TestPcm> clock_pcm() {
  return make_pcm(8000, 32000, 2, [](uint64_t i, uint32_t) { return static_cast<int64_t>(i); });
}

// A stereo source holding `value` for 10 s at 8000 frames per second.
inline std::unique_ptr<TestPcm> level_pcm(int16_t value) {
  return make_pcm(8000, 80000, 2, [value](uint64_t, uint32_t) { return value; });
}

// ------------------------------------------------------- project sources

// Every source the project's audible clips sound, decoded whole in one go:
// the reference the export's windowed reading is held to.
struct WholeSources {
  WavePcm table[PROJECT_MAX_ROWS] = {};
  WholeSources() = default;
  WholeSources(const WholeSources&) = delete;
  WholeSources& operator=(const WholeSources&) = delete;
  ~WholeSources() {
    for (WavePcm& pcm : table) std::free(pcm.samples);
  }
};

// False when a source the clips sound does not decode.
inline bool decode_whole(const KelvraApp* app, WholeSources* out) {
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.clip_count; ++i) {
    const Clip& clip = project.clips[i];
    if (!clip.audio || clip.music || clip.source < 0 || static_cast<uint64_t>(clip.source) >= project.source_count)
      continue;
    WavePcm& pcm = out->table[clip.source];
    if (pcm.samples != nullptr) continue;
    char path[KELVRA_PATH_SIZE];
    double duration = 0;
    if (!kelvra_path(app->media_folder, project.sources[clip.source].file, path) ||
        !audio_wave_decode(nullptr, 0, path, nullptr, &pcm, &duration, UINT64_MAX))
      return false;
  }
  return true;
}

// The plan an export of `app`'s edit reads its sound by; null with the
// plan's message in `message` (128 bytes) when it cannot be made.
inline std::unique_ptr<SoundPlan> plan_of(const KelvraApp* app, char* message) {
  auto plan = std::make_unique<SoundPlan>();
  if (!audio_plan_open(plan.get(), &app->project, app->media_folder, message)) return nullptr;
  return plan;
}

}  // namespace kelvra_test
