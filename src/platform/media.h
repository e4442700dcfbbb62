// The media framework: reading pictures and sound out of media files, and
// writing MP4 files, with exactly the operations the decoders and the export
// rely on. Times are in 100-nanosecond units (10,000,000 a second). Every call
// returns a status: 0 for success, a negative 32-bit code for a failure.
// A reader or writer belongs to one thread and is used only there.
#pragma once

#include <cstdint>

// Status codes, as the user sees them printed in hexadecimal.
constexpr int32_t MEDIA_OK = 0;
constexpr int32_t MEDIA_E_FAIL = static_cast<int32_t>(0x80004005u);
constexpr int32_t MEDIA_E_OUTOFMEMORY = static_cast<int32_t>(0x8007000Eu);
constexpr int32_t MEDIA_E_PATH = static_cast<int32_t>(0x800700CEu);      // a path that cannot be formed
constexpr int32_t MEDIA_E_CANCELLED = static_cast<int32_t>(0x800704C7u);
constexpr int32_t MEDIA_E_POINTER = static_cast<int32_t>(0x80004003u);
constexpr int32_t MEDIA_E_NO_STREAM = static_cast<int32_t>(0xC00D36B3u);  // the file has no stream of the kind asked for
// A library error e (negative) becomes 0xA0000000 | (-e & 0x0FFFFFFF).
int32_t media_status_from_library(int error);

constexpr int64_t MEDIA_TICKS_PER_SECOND = 10000000;

struct LoudnessMeter;

// The widest and tallest picture a reader accepts. A video stream that claims
// more is refused on opening, before a picture of it is decoded, and so is
// every larger picture; a picture of another size within the limit is scaled
// to the stream's opened size.
constexpr uint32_t MEDIA_MAX_SIDE = 4096;

// ------------------------------------------------------------------ reading

struct MediaReader;

enum MediaKind : uint32_t { MEDIA_VIDEO = 0, MEDIA_AUDIO = 1 };

// What the selected stream delivers: pictures as packed B, G, R, X rows of
// the frame size (top row first), or interleaved signed 16-bit samples at
// the source's own rate and channel count. Pictures come upright: a stream
// stored with a display rotation of a quarter or half turn (a phone's upright
// video is mostly stored landscape) is turned, and the size is the turned one.
struct MediaFormat {
  uint32_t width;
  uint32_t height;
  uint32_t channels;
  uint32_t rate;
  uint32_t bits;  // 16 for sound
};

// One read: the end-of-stream flag and, when `have` is set, a sample with its
// presentation time. A sound sample's data stays valid until the next read.
struct MediaSample {
  uint8_t have;
  uint8_t end_of_stream;
  int64_t time;
  int64_t duration;    // a picture: how long it shows until the next; 0 when the file does not tell
  const int16_t* pcm;  // sound: `frames` x channels values
  uint64_t frames;
};

// Opens `path` (any bytes the file system takes) and selects its first video
// or first audio stream; MEDIA_E_NO_STREAM when the file, read as media, has
// none of that kind. A video stream of no size or of a side over
// MEDIA_MAX_SIDE is refused.
// The decoder runs `threads` threads, 0 for as many as the machine has cores;
// one thread holds the fewest pictures in memory.
int32_t media_reader_open(MediaReader** out, const char* path, MediaKind kind, uint32_t threads = 0);
void media_reader_close(MediaReader* reader);
// The duration of the whole file; false when the file does not tell.
bool media_reader_duration(const MediaReader* reader, uint64_t* duration);
MediaFormat media_reader_format(const MediaReader* reader);
// Later reads start at or before `time`. Where the file's format lets the
// seek land past the key picture the time needs, the seek decodes the first
// picture to check, and goes further back when it is late; the next read
// then returns that picture.
int32_t media_reader_seek(MediaReader* reader, int64_t time);
// Reads the next sample of the selected stream, in presentation order. A
// sample the file gives no time follows the one before it (the first after
// a seek takes the seek's time). A picture is decoded but not converted:
// media_reader_copy_picture converts the picture of the last read that had
// one. When the stream ends, the last picture decoded since the previous
// seek comes again with the end flag.
// Every read is bounded: one that gets no sample out of a few thousand
// packets fails, and so does one whose picture is over MEDIA_MAX_SIDE; later
// reads go on from there.
int32_t media_reader_read(MediaReader* reader, MediaSample* out);
// Converts the last read picture into `pixels` (height rows of `pitch` bytes).
int32_t media_reader_copy_picture(MediaReader* reader, uint8_t* pixels, int32_t pitch);

// ------------------------------------------------------------------ writing

struct MediaWriter;

struct MediaWriterConfig {
  uint32_t width;          // even
  uint32_t height;         // even
  uint32_t fps;            // frames per second
  uint32_t video_bitrate;  // bits per second
  uint32_t audio_rate;     // frames per second
  uint32_t channels;
  uint32_t audio_bitrate;  // bits per second
  // When set, every AAC packet is also decoded again, as a player decodes it,
  // and the sound added to this meter: its figures are those of the file.
  LoudnessMeter* decoded;
  // Threads of the picture encoder; 0 takes as many as the machine has
  // cores (two to four). Encoders running side by side want one or two each.
  uint32_t video_threads;
  // When set, the file's sound is the packets of this sound writer
  // (media_writer_open_sound), given with media_writer_sound_packet; the
  // file encodes no sound of its own and ignores the sound fields above.
  const MediaWriter* shared_sound;
};

// One encoded sound packet, as a sound writer hands it to the files that share it.
constexpr uint32_t MEDIA_SOUND_PACKET_MAX = 8192;  // bytes; an AAC frame of two channels is far smaller
struct MediaSoundPacket {
  int64_t time;      // in samples of the track
  int64_t duration;  // in samples
  uint32_t size;
  uint8_t bytes[MEDIA_SOUND_PACKET_MAX];
};

// Creates an MP4 file with one H.264 stream (fed NV12 pictures) and one AAC
// stream (fed interleaved 16-bit sound). The index is written at the front
// of the file by media_writer_finalize, so the file streams from its start.
int32_t media_writer_open(MediaWriter** out, const char* path, const MediaWriterConfig* config);
// One picture: a luma plane of height rows of width bytes, then a chroma plane
// of height / 2 rows of width bytes (U, V pairs). The encoder reads it during
// the call and keeps no hold on it.
int32_t media_writer_video(MediaWriter* writer, const uint8_t* nv12, int64_t time, int64_t duration);
int32_t media_writer_audio(MediaWriter* writer, const int16_t* pcm, uint64_t frames, int64_t time, int64_t duration);
int32_t media_writer_finalize(MediaWriter* writer);
// Frees the writer; a file that was not finalized is left incomplete.
void media_writer_close(MediaWriter* writer);
// A writer of the sound alone that writes no file: the same AAC encoder, fed
// and cut into frames the same way, whose packets are only decoded into
// config->decoded. The same sound given to it and to a file's writer decodes
// to the same samples, so a trial learns what the file will hold. Only
// media_writer_audio, media_writer_finalize and media_writer_close apply.
int32_t media_writer_open_trial(MediaWriter** out, const MediaWriterConfig* config);
// A writer of the sound alone, encoded once for several files: a trial (its
// packets decoded into config->decoded, which it needs) that also keeps each
// packet until taken with media_writer_take_sound_packet.
int32_t media_writer_open_sound(MediaWriter** out, const MediaWriterConfig* config);
// Moves the oldest kept packet into `packet`; false when none is kept.
bool media_writer_take_sound_packet(MediaWriter* sound, MediaSoundPacket* packet);
// Writes one packet of the shared sound into a file opened with `shared_sound`.
int32_t media_writer_sound_packet(MediaWriter* writer, const MediaSoundPacket* packet);
