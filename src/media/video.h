// Video decoding: the decoder that turns a source into the picture at a media
// time, and the workers that run decoders on their own threads and publish
// the latest picture under a lock. Times are seconds of the source's media time.
#pragma once

#include <cstdint>

#include "base/limits.h"
#include "base/rect.h"
#include "platform/painter.h"

struct VideoWorker;
struct MediaReader;

constexpr uint32_t VIDEO_MAX_SIDE = 4096;

// A decoder, owned by exactly one thread; zero-filled before first use.
struct VideoDecoder {
  MediaReader* reader;
  char path[KELVRA_PATH_SIZE];
  uint8_t* pixels;  // last decoded picture: width x height x 4 bytes, B, G, R, X, top row first
  uint32_t width;
  uint32_t height;
  uint64_t capacity;
  int32_t default_stride;
  double duration;         // 0 when the source does not tell
  double last_frame_time;  // -1 right after opening
  double last_frame_end;   // when the held picture stops showing; 0 when the file does not tell
  uint8_t no_pictures;     // `path` opened as media but holds no picture stream (no reader then)
};

// Opens `path` with a decoder of `threads` threads (0: as many as the machine has cores).
bool video_decode_open(VideoDecoder* decoder, const char* path, uint32_t threads = 0);
void video_decode_close(VideoDecoder* decoder);
bool video_decode_frame(VideoDecoder* decoder, double time);
bool video_copy_pixels(MediaReader* reader, VideoDecoder* decoder);

VideoWorker* kelvra_video_create();
void kelvra_video_destroy(VideoWorker* worker);
void kelvra_video_request(VideoWorker* worker, const char* path, double time);
// Has the worker call wake(context) once, on its own thread and under its
// lock, right after it next publishes a picture (never once it is being
// stopped), so that a frame loop waiting for that picture draws it at once
// instead of at its next frame. A later call replaces the waker, null clears it.
void kelvra_video_wake_on_publish(VideoWorker* worker, void (*wake)(void* context), void* context);
bool kelvra_video_paint(VideoWorker* worker, const char* path, Painter* painter, Rect rect, bool cover);
bool kelvra_video_compose(VideoWorker* worker, const char* path, double time, Painter* painter, Rect rect,
                          TexturePlacement placement, double opacity);
bool kelvra_video_hold(VideoWorker* worker, const char* path, double start, double end, Painter* painter, Rect rect,
                       TexturePlacement placement, bool cover);
bool kelvra_video_position(VideoWorker* worker, const char* path, double* time);
bool kelvra_video_dimensions(VideoWorker* worker, uint32_t* width, uint32_t* height);
// Bytes of the published frame (width x height x 4); the duration when the
// frame belongs to `path`, and the frame serial when asked.
uint64_t kelvra_video_size(VideoWorker* worker, const char* path, double* duration, uint64_t* serial);

// What a worker has accepted and published, for tests.
struct VideoWorkerCounts {
  uint64_t request_serial;
  uint64_t frame_serial;
  double frame_time;
};
VideoWorkerCounts kelvra_video_counts(VideoWorker* worker);
