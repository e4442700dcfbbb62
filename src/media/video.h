// Video decoding workers: each turns a source into pictures at a media time
// on its own thread and publishes the latest one under its lock.
#pragma once

#include <cstdint>

#include "app/rect.h"

struct VideoWorker;
struct Painter;

VideoWorker* kelvra_video_create();
void kelvra_video_destroy(VideoWorker* worker);
void kelvra_video_request(VideoWorker* worker, const char* path, double time);
bool kelvra_video_paint(VideoWorker* worker, const char* path, Painter* painter, Rect rect, bool cover);
// Bytes of the published frame (width x height x 4); the duration when the
// frame belongs to `path`, and the frame serial when asked.
uint64_t kelvra_video_size(VideoWorker* worker, const char* path, double* duration, uint64_t* serial);
