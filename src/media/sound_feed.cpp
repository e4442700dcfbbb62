// Windows of decoded source sound for mixes that run through the timeline.
//
// Index:
//   [plan]    audio_plan_open: which sources sound, their formats, whether they decode
//   [window]  one clip's window: reading forward, sliding, seeking
//   [mix]     audio_feed_mix_wide, audio_mix_project_wide over one per-clip core
#include "media/sound_feed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "media/audio_mix.h"
#include "media/wave.h"
#include "platform/files.h"
#include "platform/media.h"
#include "project/project.h"
#include "project/timeline_map.h"

static_assert(sizeof(SoundPlan::sources) / sizeof(SoundSourceInfo) == PROJECT_MAX_ROWS);
static_assert(sizeof(SoundFeed::windows) / sizeof(SoundWindow) == PROJECT_MAX_ROWS);

namespace {

constexpr double kRate = MIX_RATE;
constexpr uint64_t kUnknownFrames = UINT64_MAX;
// A clip whose loop pass takes at most this many bytes holds the whole pass.
constexpr uint64_t kWholePassBytes = 16u << 20;
// Otherwise its window holds this much: a few seconds, and never less than
// the largest block of sound a decoder hands out at once.
constexpr double kStreamSeconds = 4.0;
constexpr uint64_t kStreamMinFrames = 262144;
// A seek starts this long before the frames wanted, so that a decoder whose
// frames overlap (the lossy ones) is settled by the time they come.
constexpr int64_t kPreroll = MEDIA_TICKS_PER_SECOND / 5;
// Frames ahead of the reader that are read and dropped rather than sought;
// from the file's start, more: a lossy decoder that reads from the start
// gives exactly what a whole decode gives, while after a seek its first
// blocks (and its noise substitution) may differ in the last bit.
constexpr double kForwardSeconds = 2.0;
constexpr double kFromStartSeconds = 10.0;
// Failed reads in a row after which the rest of a source counts as silence.
constexpr int kReadFailures = 8;

// Whether a clip sounds its source (not the score).
bool audible(const Clip& clip, const Project& project) {
  return clip.audio && !clip.music && clip.source >= 0 && static_cast<uint64_t>(clip.source) < project.source_count;
}

}  // namespace

// -------------------------------------------------------------------- [plan]

namespace {

// Reads until the first block of sound; false when none comes.
bool decodes(MediaReader* reader) {
  for (int i = 0; i < 64; ++i) {
    MediaSample sample;
    if (media_reader_read(reader, &sample) != MEDIA_OK) return false;
    if (sample.have && sample.frames > 0) return true;
    if (sample.end_of_stream) return false;
  }
  return false;
}

}  // namespace

namespace {

// Checks one source; false with `message` when it is missing or does not decode.
bool plan_source(SoundSourceInfo* info, const char* folder, const char* file, char* message) {
  char path[KELVRA_PATH_SIZE];
  if (!kelvra_path(folder, file, path) || !sys_file_readable(path)) {
    std::snprintf(message, 128, "Source file missing: %.99s", file);
    return false;
  }
  MediaReader* reader = nullptr;
  const int32_t status = media_reader_open(&reader, path, MEDIA_AUDIO, 1);
  if (status == MEDIA_E_NO_STREAM) {
    info->state = SOUND_SOURCE_SILENT;
    return true;
  }
  const MediaFormat format = media_reader_format(reader);
  bool usable = status == MEDIA_OK && format.bits == 16 && format.channels >= 1 && format.channels <= 16 &&
                format.rate >= 8000 && format.rate <= 192000;
  uint64_t ticks = 0;
  info->frames = kUnknownFrames;
  if (usable && media_reader_duration(reader, &ticks)) {
    const double seconds = static_cast<double>(ticks) / MEDIA_TICKS_PER_SECOND;
    info->frames = static_cast<uint64_t>(std::ceil(format.rate * seconds));
  }
  usable = usable && info->frames > 0 && decodes(reader);
  media_reader_close(reader);
  if (!usable) {
    std::snprintf(message, 128, "Could not decode audio: %.100s", file);
    return false;
  }
  info->state = SOUND_SOURCE_READY;
  info->rate = format.rate;
  info->channels = format.channels;
  return true;
}

bool plan_sources(SoundPlan* plan, const Project* project, const char* folder, char* message, bool playable) {
  plan->project = project;
  std::snprintf(plan->folder, sizeof plan->folder, "%s", folder);
  for (SoundSourceInfo& info : plan->sources) info = SoundSourceInfo{};
  bool all = true;
  const uint64_t clips = std::min(project->clip_count, PROJECT_MAX_ROWS);
  for (uint64_t i = 0; i < clips; ++i) {
    const Clip& clip = project->clips[i];
    if (!audible(clip, *project)) continue;
    SoundSourceInfo& info = plan->sources[clip.source];
    if (info.state != SOUND_SOURCE_UNUSED) continue;
    char failure[128];
    if (plan_source(&info, folder, project->sources[clip.source].file, failure)) continue;
    if (all) std::memcpy(message, failure, sizeof failure);
    all = false;
    if (!playable) return false;
    info = SoundSourceInfo{};
    info.state = SOUND_SOURCE_FAILED;
  }
  return all;
}

}  // namespace

bool audio_plan_open(SoundPlan* plan, const Project* project, const char* folder, char* message) {
  return plan_sources(plan, project, folder, message, false);
}

bool audio_plan_open_playable(SoundPlan* plan, const Project* project, const char* folder, char* message) {
  return plan_sources(plan, project, folder, message, true);
}

// ------------------------------------------------------------------ [window]

namespace {

uint64_t frame_bytes(const SoundSourceInfo& info) { return static_cast<uint64_t>(info.channels) * sizeof(int16_t); }

// Opens the clip's reader and sizes its window: the whole loop pass when it
// is short, else a few seconds. False when memory or the file fails.
bool open_window(SoundFeed* feed, uint64_t clip_index) {
  const SoundPlan* plan = feed->plan;
  const Project& project = *plan->project;
  const Clip& clip = project.clips[clip_index];
  const SoundSourceInfo& info = plan->sources[clip.source];
  SoundWindow* window = &feed->windows[clip_index];
  char path[KELVRA_PATH_SIZE];
  if (!kelvra_path(plan->folder, project.sources[clip.source].file, path)) return false;
  if (media_reader_open(&window->reader, path, MEDIA_AUDIO, 1) != MEDIA_OK) return false;
  const MediaFormat format = media_reader_format(window->reader);
  if (format.rate != info.rate || format.channels != info.channels) return false;
  const uint64_t stream = std::max(static_cast<uint64_t>(kStreamSeconds * info.rate), kStreamMinFrames);
  const double pass = std::max(clip.out - clip.in, 0.0);
  const uint64_t whole = static_cast<uint64_t>(std::ceil(pass * info.rate)) + 2;
  uint64_t capacity = whole * frame_bytes(info) <= kWholePassBytes ? std::max(whole, stream) : stream;
  if (feed->bytes + capacity * frame_bytes(info) > SOUND_FEED_BUDGET) capacity = stream;
  const uint64_t bytes = capacity * frame_bytes(info);
  if (feed->bytes + bytes > SOUND_FEED_BUDGET) return false;
  window->samples = static_cast<int16_t*>(std::malloc(bytes));
  if (window->samples == nullptr) return false;
  window->capacity = capacity;
  feed->bytes += bytes;
  window->next = 0;  // the reader stands at the file's start
  window->fresh = 1;
  return true;
}

void release_window(SoundFeed* feed, uint64_t clip_index) {
  SoundWindow* window = &feed->windows[clip_index];
  if (window->samples != nullptr) {
    const SoundSourceInfo& info = feed->plan->sources[feed->plan->project->clips[clip_index].source];
    feed->bytes -= std::min(feed->bytes, window->capacity * frame_bytes(info));
  }
  media_reader_close(window->reader);
  std::free(window->samples);
  *window = SoundWindow{};
}

// Starts the window at frame `a`, with the reader moved to just before it.
void restart_window(SoundFeed* feed, SoundWindow* window, const SoundSourceInfo& info, uint64_t a) {
  window->first = a;
  window->held = 0;
  window->ended = 0;
  const int64_t time = static_cast<int64_t>(static_cast<double>(a) * MEDIA_TICKS_PER_SECOND / info.rate) - kPreroll;
  window->next = kUnknownFrames;
  ++feed->seeks;
  if (media_reader_seek(window->reader, std::max<int64_t>(time, 0)) != MEDIA_OK) window->ended = 1;
}

// Keeps the frames from `a` on at the start of the buffer.
void slide_window(SoundWindow* window, const SoundSourceInfo& info, uint64_t a) {
  const uint64_t drop = std::min(a - window->first, window->held);
  const uint64_t keep = window->held - drop;
  if (keep > 0 && drop > 0)
    std::memmove(window->samples, window->samples + drop * info.channels, keep * frame_bytes(info));
  window->first += drop;
  window->held = keep;
  if (window->first < a) {  // the frames up to `a` were never read: they stay silent
    window->first = a;
    window->held = 0;
  }
}

// Puts one decoded block where its time says, as a whole decode would:
// frame llround(time x rate), gaps before it silent, frames past the
// source's length or the window's end dropped. False when the block ran past
// the window's end (the reader has then moved past frames not kept).
bool place(SoundWindow* window, const SoundSourceInfo& info, const MediaSample& sample) {
  const double start = static_cast<double>(sample.time) / MEDIA_TICKS_PER_SECOND;
  const int64_t first = std::llround(start * info.rate);
  const uint64_t at = first > 0 ? static_cast<uint64_t>(first) : 0;
  const uint64_t end = std::min(at + sample.frames, info.frames);
  window->next = at + sample.frames;
  const uint64_t limit = window->first + window->capacity;
  if (end <= window->first || at >= end) return true;
  const uint64_t from = std::max(at, window->first);
  const uint64_t to = std::min(end, limit);
  if (from > window->first + window->held && from < limit)
    std::memset(window->samples + window->held * info.channels, 0,
                (from - window->first - window->held) * frame_bytes(info));
  if (to > from) {
    std::memcpy(window->samples + (from - window->first) * info.channels,
                sample.pcm + (from - at) * info.channels, (to - from) * frame_bytes(info));
    window->held = std::max(window->held, to - window->first);
  }
  return end <= limit;
}

// Makes frames [a, b) of the clip's source readable from its window (b at
// most the source's length). False only when the window cannot be opened.
bool cover(SoundFeed* feed, uint64_t clip_index, uint64_t a, uint64_t b) {
  SoundWindow* window = &feed->windows[clip_index];
  const SoundSourceInfo& info = feed->plan->sources[feed->plan->project->clips[clip_index].source];
  if (window->samples == nullptr && !open_window(feed, clip_index)) {
    release_window(feed, clip_index);
    return false;
  }
  const uint64_t held_end = window->first + window->held;
  if (a >= window->first && (b <= held_end || window->ended)) return true;
  const double reach = window->fresh ? kFromStartSeconds : kForwardSeconds;
  const uint64_t forward = static_cast<uint64_t>(reach * info.rate);
  if (window->fresh) window->first = a;  // nothing held yet: the window starts where it is wanted
  window->fresh = 0;
  const bool ahead = window->next != kUnknownFrames && a >= window->first && a <= window->next + forward &&
                     window->first + window->held >= std::min(a, window->next);
  if (!ahead || b - a > window->capacity) {
    restart_window(feed, window, info, a);
  } else if (b > window->first + window->capacity) {
    slide_window(window, info, a);
  }
  b = std::min(b, a + window->capacity);
  int failures = 0;
  while (!window->ended && window->first + window->held < b) {
    MediaSample sample;
    if (media_reader_read(window->reader, &sample) != MEDIA_OK) {
      // A damaged stretch: the reader goes on after it, until too many fail.
      if (++failures >= kReadFailures) window->ended = 1;
      continue;
    }
    failures = 0;
    if (sample.have && sample.frames > 0 && !place(window, info, sample)) {
      // The block ran past the window: what it left out is read again by a seek.
      window->next = kUnknownFrames;
      break;
    }
    if (sample.end_of_stream) window->ended = 1;
  }
  return true;
}

}  // namespace

void audio_feed_open(SoundFeed* feed, const SoundPlan* plan) {
  *feed = SoundFeed{};
  feed->plan = plan;
}

void audio_feed_close(SoundFeed* feed) {
  if (feed->plan == nullptr) return;
  for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i)
    if (feed->windows[i].samples != nullptr || feed->windows[i].reader != nullptr) release_window(feed, i);
  feed->bytes = 0;
}

// --------------------------------------------------------------------- [mix]

namespace {

// Decoded frames of one source: `held` frames from `first`, of a source
// `frames` long; frames outside what is held read as silence.
struct PcmView {
  const int16_t* samples;
  uint64_t first;
  uint64_t held;
  uint64_t frames;
  uint32_t rate;
  uint32_t channels;
};

const int16_t kSilentFrame[16] = {};

inline const int16_t* frame_at(const PcmView& view, uint64_t d) {
  const uint64_t k = d - view.first;
  return d >= view.first && k < view.held ? view.samples + k * view.channels : kSilentFrame;
}

// Channels 0 and 1 at `time` seconds, linearly interpolated; a mono source
// feeds both.
inline void sample_pair(const PcmView& view, double time, double* left, double* right) {
  const double x = time * view.rate;
  if (!(x >= 0.0) || x >= static_cast<double>(view.frames)) {
    *left = *right = 0.0;
    return;
  }
  const uint64_t d = static_cast<uint64_t>(x);
  const uint64_t d2 = d + 1 < view.frames ? d + 1 : d;
  const double f = x - static_cast<double>(d);
  const int16_t* a = frame_at(view, d);
  const int16_t* b = frame_at(view, d2);
  const uint32_t c = view.channels >= 2 ? 1 : 0;
  *left = a[0] + (static_cast<double>(b[0]) - a[0]) * f;
  *right = a[c] + (static_cast<double>(b[c]) - a[c]) * f;
}

// Seconds from a chunk's start to each of its frames: the quotients i / 48000
// the frame loop would divide out, computed once.
struct FrameOffsets {
  double seconds[MIX_MAX_CHUNK];
  constexpr FrameOffsets() : seconds() {
    for (uint64_t i = 0; i < MIX_MAX_CHUNK; ++i) seconds[i] = static_cast<double>(i) / kRate;
  }
};
constexpr FrameOffsets kOffsets;

// fmod(c, pass) for times c at or past the end of a clip's first pass (pass
// positive and finite), exactly as fmod gives it, without its cost on every
// frame. The remainder is c - k x pass for the pass number k, a value a
// double holds exactly. While k stays, k x pass is kept as the exact sum
// hi + lo (lo by a fused multiply-add), and c - hi is exact whenever c lies
// within a factor of two of hi; then (c - hi) - lo is exactly c - k x pass,
// and it is the remainder when it lies in [0, pass). Any other c, and the
// first, goes to fmod, which also gives the next k.
struct PassRemainder {
  double pass;
  double hi = 0.0;
  double lo = 0.0;
  double low = 1.0;  // c - hi is exact for c in [low, high]; none is at first
  double high = 0.0;

  double of(double c) {
    if (c >= low && c <= high) {
      const double r = (c - hi) - lo;
      if (r >= 0.0 && r < pass) return r;
    }
    const double r = std::fmod(c, pass);
    const double k = std::nearbyint((c - r) / pass);
    hi = k * pass;
    lo = std::fma(k, pass, -hi);
    low = hi / 2;
    high = hi * 2;
    return r;
  }
};

// Where one clip plays in a chunk: for each frame whether it plays, and its
// source time and gain (with fades) there.
struct ClipChunk {
  double since[MIX_MAX_CHUNK];  // seconds since the clip's start
  double media[MIX_MAX_CHUNK];
  double gain[MIX_MAX_CHUNK];
  uint8_t plays[MIX_MAX_CHUNK];
};

// Fills `chunk` for `frames` frames from `start`; false when the clip plays
// in none of them. Every value is the one the plain per-frame expressions
// give (a clip's time since its start, its gain with fades, its source time
// through the loop passes), bit for bit: the time since the start only grows
// from frame to frame, so a chunk whose first frame is past the fade-in and
// whose last is before the fade-out has the clip's gain throughout, and the
// loop remainder comes from PassRemainder.
bool clip_chunk(const Clip& clip, double start, uint64_t frames, ClipChunk* chunk) {
  const double length = kelvra_clip_length(&clip);
  const double last = start + kOffsets.seconds[frames - 1];
  if (clip.at > last || start - clip.at >= length) return false;
  const double pass = clip.out - clip.in;
  const double fade_in = std::min(clip.fade_in, pass / 2);
  const double fade_out = std::min(pass / 2, clip.fade_out);
  double* since = chunk->since;
  uint8_t* plays = chunk->plays;
  for (uint64_t i = 0; i < frames; ++i) since[i] = start + kOffsets.seconds[i] - clip.at;
  uint8_t any = 0;
  for (uint64_t i = 0; i < frames; ++i) {
    plays[i] = since[i] >= 0.0 && since[i] < length;
    any |= plays[i];
  }
  if (!any) return false;
  double* gain = chunk->gain;
  const bool faded = (fade_in > 0.0 && !(since[0] >= fade_in)) ||
                     (fade_out > 0.0 && !(length - since[frames - 1] >= fade_out));
  if (!faded) {
    for (uint64_t i = 0; i < frames; ++i) gain[i] = clip.gain;
  } else {
    for (uint64_t i = 0; i < frames; ++i) {
      const double c = since[i];
      double g = clip.gain;
      if (fade_in > 0.0) g *= std::min(c / fade_in, 1.0);
      if (fade_out > 0.0) g *= std::min((length - c) / fade_out, 1.0);
      gain[i] = g;
    }
  }
  // Inside the first pass the remainder is the time since the start itself.
  double* media = chunk->media;
  for (uint64_t i = 0; i < frames; ++i) media[i] = clip.in + since[i];
  if (!(since[frames - 1] < pass)) {
    PassRemainder remainder{pass};
    for (uint64_t i = 0; i < frames; ++i) {
      if (!plays[i] || since[i] < pass) continue;
      // As kelvra_media_time: a pass of no length stays at its start.
      media[i] = pass > 0.0 ? clip.in + remainder.of(since[i]) : clip.in;
    }
  }
  return true;
}

// Adds frames [j0, j1) of the clip from `view` into the sums. A source
// position x whose frame d and the one after it are both held reads them
// straight from the window, with sample_pair's arithmetic; any other goes
// through sample_pair. As doubles the frame numbers are exact, and d = floor(x)
// lies in [first, end - 1) exactly when x does.
void add_frames(const PcmView& view, const ClipChunk& chunk, uint64_t j0, uint64_t j1, double* left,
                double* right) {
  const uint64_t end = std::min(view.first + view.held, view.frames);
  const double low = static_cast<double>(view.first);
  const double high = end > view.first + 1 ? static_cast<double>(end - 1) : low;
  const double rate = view.rate;
  const uint64_t channels = view.channels;
  const uint64_t second = channels >= 2 ? 1 : 0;
  const int16_t* base = view.samples;
  for (uint64_t j = j0; j < j1; ++j) {
    if (!chunk.plays[j]) continue;
    const double x = chunk.media[j] * rate;
    double l;
    double r;
    if (x >= low && x < high) {
      const uint64_t d = static_cast<uint64_t>(x);
      const double f = x - static_cast<double>(d);
      const int16_t* a = base + (d - view.first) * channels;
      const int16_t* b = a + channels;
      l = a[0] + (static_cast<double>(b[0]) - a[0]) * f;
      r = a[second] + (static_cast<double>(b[second]) - a[second]) * f;
    } else {
      sample_pair(view, chunk.media[j], &l, &r);
    }
    left[j] += l * chunk.gain[j];
    right[j] += r * chunk.gain[j];
  }
}

void finish(const double* left, const double* right, const float* music, double* out, uint64_t frames) {
  for (uint64_t i = 0; i < frames; ++i) {
    const double l = left[i] + music[2 * i];
    const double r = right[i] + music[2 * i + 1];
    out[2 * i] = std::isnan(l) ? 0.0 : l;
    out[2 * i + 1] = std::isnan(r) ? 0.0 : r;
  }
}

}  // namespace

void audio_mix_project_wide(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                            double* out, uint64_t frames) {
  if (frames == 0) return;
  frames = std::min(frames, MIX_MAX_CHUNK);
  float music[2 * MIX_MAX_CHUNK];
  audio_mix_music(project, start, frames, music);
  double left[MIX_MAX_CHUNK] = {};
  double right[MIX_MAX_CHUNK] = {};
  ClipChunk chunk;
  const uint64_t clips = std::min(project->clip_count, PROJECT_MAX_ROWS);
  for (uint64_t i = 0; i < clips; ++i) {
    const Clip& clip = project->clips[i];
    if (!audible(clip, *project) || static_cast<uint64_t>(clip.source) >= table_count) continue;
    const WavePcm& pcm = table[clip.source];
    if (pcm.samples == nullptr || pcm.frames == 0 || pcm.channels == 0) continue;
    if (!clip_chunk(clip, start, frames, &chunk)) continue;
    const PcmView view{pcm.samples, 0, pcm.frames, pcm.frames, pcm.rate, pcm.channels};
    add_frames(view, chunk, 0, frames, left, right);
  }
  finish(left, right, music, out, frames);
}

bool audio_feed_mix_wide(SoundFeed* feed, double start, double* out, uint64_t frames) {
  if (frames == 0) return true;
  frames = std::min(frames, MIX_MAX_CHUNK);
  const Project& project = *feed->plan->project;
  float music[2 * MIX_MAX_CHUNK];
  audio_mix_music(&project, start, frames, music);
  double left[MIX_MAX_CHUNK] = {};
  double right[MIX_MAX_CHUNK] = {};
  ClipChunk chunk;
  const uint64_t clips = std::min(project.clip_count, PROJECT_MAX_ROWS);
  for (uint64_t i = 0; i < clips; ++i) {
    const Clip& clip = project.clips[i];
    if (!audible(clip, project)) continue;
    const SoundSourceInfo& info = feed->plan->sources[clip.source];
    if (info.state != SOUND_SOURCE_READY || feed->lost[clip.source]) continue;
    if (!clip_chunk(clip, start, frames, &chunk)) {
      // A clip that has ended gives its window back.
      if (feed->windows[i].samples != nullptr && start - clip.at >= kelvra_clip_length(&clip))
        release_window(feed, i);
      continue;
    }
    // Runs of frames over which the source time only grows: each is read
    // from one stretch of the window.
    uint64_t j = 0;
    while (j < frames) {
      while (j < frames && !chunk.plays[j]) ++j;
      if (j == frames) break;
      uint64_t k = j + 1;
      while (k < frames && chunk.plays[k] && chunk.media[k] >= chunk.media[k - 1]) ++k;
      const double low = std::max(chunk.media[j] * info.rate, 0.0);
      const double high = std::max(chunk.media[k - 1] * info.rate, 0.0);
      const uint64_t a = std::min(static_cast<uint64_t>(low), info.frames);
      const uint64_t b = std::min(static_cast<uint64_t>(high) + 2, info.frames);
      if (a < b && !cover(feed, i, a, b)) {
        if (!feed->keep_going) return false;
        if (!feed->lost[clip.source]) ++feed->lost_count;
        feed->lost[clip.source] = 1;
        break;
      }
      const SoundWindow& window = feed->windows[i];
      const PcmView view{window.samples, window.first, window.held, info.frames, info.rate, info.channels};
      add_frames(view, chunk, j, k, left, right);
      j = k;
    }
  }
  finish(left, right, music, out, frames);
  return true;
}
