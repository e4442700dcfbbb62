// The sound of an edit read from its sources in windows, for mixes that run
// from the start of the timeline to its end (the export, its loudness pass)
// and must not hold whole decoded files: a source of any length is read in
// bounded memory.
//
// A plan is made once per mix: every source an audible clip sounds is opened
// and read a little to learn its format and whether it decodes at all. A feed
// belongs to one thread: each audible clip gets a window of its source's
// decoded sound around where it plays, read forward by a reader of its own
// and moved by a seek only when the clip's source time jumps (a loop pass
// starting again, a clip starting). A clip whose loop pass is short holds its
// whole pass once read. A source whose file is damaged part-way keeps what
// decodes; the rest of it is silence.
#pragma once

#include <cstdint>

#include "base/limits.h"

struct Project;
struct MediaReader;
struct WavePcm;

constexpr uint64_t SOUND_FEED_BUDGET = 268435456;  // bytes of decoded sound a feed holds at most

// A source as the plan found it.
enum : uint8_t {
  SOUND_SOURCE_UNUSED = 0,  // no audible clip sounds it
  SOUND_SOURCE_SILENT = 1,  // the file has no sound stream: its clips are silent
  SOUND_SOURCE_READY = 2,   // it decodes
  SOUND_SOURCE_FAILED = 3,  // missing or undecodable, left silent by a playable plan
};

struct SoundSourceInfo {
  uint8_t state;     // SOUND_SOURCE_*
  uint32_t rate;     // frames a second
  uint32_t channels;
  uint64_t frames;   // ceil(rate x duration); UINT64_MAX when the file does not tell its duration
};

// What a mix of one project reads: read-only once made, shared by the feeds
// of every thread that mixes the same project.
struct SoundPlan {
  const Project* project;  // not owned; outlives the plan
  char folder[KELVRA_PATH_SIZE];
  SoundSourceInfo sources[256];
};

// Opens and checks every source the project's audible clips sound, from the
// media folder. False with `message` (128 bytes) naming the file when one is
// missing or none of its sound decodes.
bool audio_plan_open(SoundPlan* plan, const Project* project, const char* folder, char* message);
// The same for a mix that plays what it can (the preview): a source that is
// missing or does not decode is left silent (SOUND_SOURCE_FAILED) and the rest
// is planned. False with `message` naming the first such file; the plan is
// usable either way.
bool audio_plan_open_playable(SoundPlan* plan, const Project* project, const char* folder, char* message);

// One clip's window onto its source.
struct SoundWindow {
  MediaReader* reader;  // open while the clip sounds
  int16_t* samples;     // `capacity` frames of the source's channels
  uint64_t capacity;    // frames
  uint64_t first;       // the source frame samples[0] holds
  uint64_t held;        // frames decoded from `first` (gaps the file leaves are silence)
  uint64_t next;        // the source frame where the reader's next sample lands
  uint8_t ended;        // the reader reached the end, or the file is damaged from `first + held` on
  uint8_t fresh;        // opened, nothing read yet: the reader stands at the file's start
};

struct SoundFeed {
  const SoundPlan* plan;
  SoundWindow windows[256];  // by clip index
  uint64_t bytes;            // sample memory held by the windows
  uint64_t seeks;            // seeks made, for tests and benchmarks
  // Set by the caller: a source whose window cannot be opened (its file gone
  // since the plan) is silent from then on instead of failing the mix.
  uint8_t keep_going;
  uint8_t lost[256];         // by source: silenced that way
  uint64_t lost_count;
};

// A feed over `plan` (zeroed by the caller, or a closed feed).
void audio_feed_open(SoundFeed* feed, const SoundPlan* plan);
// Closes every reader and frees every window.
void audio_feed_close(SoundFeed* feed);

// `frames` (at most 1600) stereo frames of the project's mix from `start`
// seconds, before rounding and clipping to 16 bits, in 16-bit units: every
// audible clip at its gain, fades and loop passes, and the music clips.
// Equals the whole-source mix (audio_mix_project_wide over fully decoded
// sources) sample for sample. False when memory runs out.
bool audio_feed_mix_wide(SoundFeed* feed, double start, double* out, uint64_t frames);

// The same mix from sources decoded whole: `table` holds one decoded source
// per source index below `table_count` (entries without samples are silent).
void audio_mix_project_wide(const Project* project, const WavePcm* table, uint64_t table_count, double start,
                            double* out, uint64_t frames);
