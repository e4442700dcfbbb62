// Fixtures for the sound tests: applications on the heap, scores built note by
// note, synthetic PCM sources, and measurements taken from rendered samples.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "media/sound_feed.h"
#include "media/wave.h"
#include "music/synth.h"
#include "project/score.h"
#include "test_util.h"

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

// ------------------------------------------------------- the device's sound

// What SDL's disk driver wrote: 16-bit stereo frames at 48 kHz. It starts
// with the device, so silence may come before the first sound.
struct Capture {
  std::string bytes;
  size_t frames = 0;
  const int16_t* samples() const { return reinterpret_cast<const int16_t*>(bytes.data()); }
  bool silent(size_t i) const { return samples()[2 * i] == 0 && samples()[2 * i + 1] == 0; }
};

inline Capture read_capture(const std::string& path) {
  Capture c;
  c.bytes = read_file(path);
  c.frames = c.bytes.size() / 4;
  return c;
}

// How far a capture follows a reference: the capture from frame `at` is
// compared with the 16-bit stereo frames of `expected` from frame `from`,
// both channels within `tolerance`. When the frame loop falls behind, SDL's
// queue runs dry and the device plays silence until the next buffer comes: a
// run of zero frames is passed over when the sound after it goes on exactly
// where it stopped (or where its first frames, near zero, were taken for
// sound). `broke` tells a real difference from the end of either.
struct Followed {
  size_t capture_end;   // the first capture frame not followed
  size_t expected_end;  // the first reference frame not matched
  size_t inserted;      // zero frames passed over
  bool broke;
};

inline Followed follow(const Capture& c, size_t at, const std::vector<int16_t>& expected, size_t from,
                       int tolerance) {
  const size_t count = expected.size() / 2;
  const int16_t* samples = c.samples();
  auto close = [&](size_t p, size_t i) {
    return std::abs(samples[2 * p] - expected[2 * i]) <= tolerance &&
           std::abs(samples[2 * p + 1] - expected[2 * i + 1]) <= tolerance;
  };
  auto goes_on = [&](size_t p, size_t i) {
    for (size_t k = 0; k < 32 && p + k < c.frames && i + k < count; ++k)
      if (!close(p + k, i + k)) return false;
    return true;
  };
  Followed f{at, from, 0, false};
  size_t zeros = 0;  // zero frames taken for sound just before capture_end
  while (f.capture_end < c.frames && f.expected_end < count) {
    if (close(f.capture_end, f.expected_end)) {
      zeros = c.silent(f.capture_end) ? zeros + 1 : 0;
      ++f.capture_end;
      ++f.expected_end;
      continue;
    }
    if (!c.silent(f.capture_end)) {
      f.broke = true;
      return f;
    }
    size_t next = f.capture_end;
    while (next < c.frames && c.silent(next)) ++next;
    if (next == c.frames) return f;  // silence to the end: not decided yet
    size_t back = 0;
    while (back <= zeros && !goes_on(next, f.expected_end - back)) ++back;
    if (back > zeros) {
      f.broke = true;
      return f;
    }
    f.inserted += next - f.capture_end + back;
    f.capture_end = next;
    f.expected_end -= back;
    zeros = 0;
  }
  return f;
}

// The chirp fixture (chirp-stereo.wav, 2 s at 48 kHz): on the left
// 0.5 sin(2 pi (200 t + 150 t^2)), rising from 200 to 800 Hz, so that any
// stretch of it shows where in the file it was taken; on the right
// 0.25 sin(2 pi 880 t). As 16-bit stereo frames.
inline const std::vector<int16_t>& chirp() {
  static const std::vector<int16_t> frames = [] {
    std::vector<int16_t> out(2 * 96000);
    for (size_t i = 0; i < 96000; ++i) {
      const double t = static_cast<double>(i) / 48000;
      out[2 * i] = static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * (200 * t + 150 * t * t))));
      out[2 * i + 1] = static_cast<int16_t>(std::lround(8192 * std::sin(2 * M_PI * 880 * t)));
    }
    return out;
  }();
  return frames;
}

// The chirp frame the capture's sound from frame `at` begins with: the only
// one whose next 2400 frames (50 ms) the capture matches within 40; -1 when
// none does.
inline int64_t chirp_frame_at(const Capture& c, size_t at) {
  const std::vector<int16_t>& ref = chirp();
  const size_t count = ref.size() / 2;
  constexpr size_t kLength = 2400;
  if (at + kLength > c.frames) return -1;
  const int16_t* samples = c.samples();
  for (size_t s = 0; s + kLength <= count; ++s) {
    size_t k = 0;
    while (k < kLength && std::abs(samples[2 * (at + k)] - ref[2 * (s + k)]) <= 40 &&
           std::abs(samples[2 * (at + k) + 1] - ref[2 * (s + k) + 1]) <= 40)
      ++k;
    if (k == kLength) return static_cast<int64_t>(s);
  }
  return -1;
}

}  // namespace kelvra_test
