// Video worker records. Decoding arrives with the media framework; until then
// a worker publishes nothing, so every picture query reports no frame.
#include <cstdlib>

#include "media/video.h"

struct VideoWorker {
  uint64_t frame_serial;
};

VideoWorker* kelvra_video_create() { return static_cast<VideoWorker*>(std::calloc(1, sizeof(VideoWorker))); }

void kelvra_video_destroy(VideoWorker* worker) { std::free(worker); }

void kelvra_video_request(VideoWorker*, const char*, double) {}

bool kelvra_video_paint(VideoWorker*, const char*, Painter*, Rect, bool) { return false; }

uint64_t kelvra_video_size(VideoWorker* worker, const char*, double*, uint64_t* serial) {
  if (worker == nullptr) return 0;
  if (serial != nullptr) *serial = worker->frame_serial;
  return 0;
}
