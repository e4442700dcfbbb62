// The timeline's sound mixed ahead of the device on a thread of its own: the
// same mix as the export (every audible clip at its gain, fades and loop
// passes, and the music clips), read through a SoundFeed so that long
// sources are decoded in windows, never whole. The UI thread starts it at a
// playhead, hands it every change of the edit, and takes finished blocks of
// 1/30 s from a ring of SOUND_STREAM_BLOCKS; the thread keeps the ring full.
// A source that is missing or does not decode is silent and named in a
// message; the rest plays.
#pragma once

#include <cstdint>

struct Project;
struct SoundStream;

constexpr uint32_t SOUND_STREAM_FRAMES = 1600;  // a block: 1/30 s at 48 kHz, stereo 16-bit
constexpr uint32_t SOUND_STREAM_BLOCKS = 12;    // blocks mixed ahead

// Starts the thread; null when it or its memory cannot be had.
SoundStream* sound_stream_create();
// Stops the thread and frees everything; null allowed.
void sound_stream_destroy(SoundStream* stream);

// Mixes `project` (copied: the caller may change its own at once) from
// sources in `folder`, from `start` seconds on; what was mixed before is
// dropped.
void sound_stream_start(SoundStream* stream, const Project* project, const char* folder, double start);
// Stops mixing and closes the sources; the ring empties.
void sound_stream_stop(SoundStream* stream);
// Whether the parts of `project` the mix reads (clips, sources' files, score)
// differ from the copy last handed to the stream.
bool sound_stream_differs(const SoundStream* stream, const Project* project);
// Hands a changed edit to a running stream: the blocks not yet taken are
// mixed again from it, so what plays next follows the change.
void sound_stream_change(SoundStream* stream, const Project* project);

// Blocks ready to take.
uint32_t sound_stream_ready(SoundStream* stream);
// Takes the next block (SOUND_STREAM_FRAMES interleaved stereo frames) and
// its start in seconds; false when it is not mixed yet.
bool sound_stream_take(SoundStream* stream, int16_t* out, double* start);
// A message for the status line that has not been fetched yet (128 bytes):
// the source file that is missing or does not decode.
bool sound_stream_message(SoundStream* stream, char* out);

// What the stream holds, for tests and benchmarks.
struct SoundStreamState {
  uint64_t feed_bytes;  // decoded sound held in the feed's windows
  uint64_t mixed;       // blocks mixed since creation
  uint8_t running;
};
SoundStreamState sound_stream_state(SoundStream* stream);
