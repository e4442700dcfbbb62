// The export's encoder: an MP4 with one H.264 stream fed NV12 pictures and one
// AAC stream fed 16-bit stereo blocks, every format figure fixed here; its
// sound can be decoded again into a meter as it is written.
#include "export/render.h"
#include "platform/media.h"

namespace {

constexpr uint32_t kVideoStream = 0;
constexpr uint32_t kAudioStream = 1;

}  // namespace

void kelvra_encoder_sound(MediaWriterConfig* config) {
  config->audio_rate = RENDER_RATE;
  config->channels = 2;
  config->audio_bitrate = 24000 * 8;
}

int32_t kelvra_encoder_open(RenderEncoder* encoder, const char* path, const CanvasPreset* preset,
                            LoudnessMeter* decoded, uint32_t threads, const MediaWriter* shared_sound) {
  MediaWriterConfig config{};
  config.width = preset->width;
  config.height = preset->height;
  config.fps = RENDER_FPS;
  config.video_bitrate = preset->width * preset->height * 4u;  // bits a second, in 32 bits
  kelvra_encoder_sound(&config);
  config.decoded = decoded;
  config.video_threads = threads;
  config.shared_sound = shared_sound;
  encoder->video_stream = kVideoStream;
  encoder->audio_stream = kAudioStream;
  return media_writer_open(&encoder->writer, path, &config);
}

int32_t kelvra_encoder_sample(RenderEncoder* encoder, uint32_t stream, const void* bytes, uint64_t length,
                              int64_t time, int64_t duration) {
  if (encoder->writer == nullptr || bytes == nullptr) return MEDIA_E_POINTER;
  if (stream == encoder->video_stream)
    return media_writer_video(encoder->writer, static_cast<const uint8_t*>(bytes), time, duration);
  if (stream == encoder->audio_stream)
    return media_writer_audio(encoder->writer, static_cast<const int16_t*>(bytes), length / 4, time, duration);
  return MEDIA_E_FAIL;
}

int32_t kelvra_encoder_finish(RenderEncoder* encoder) {
  if (encoder->writer == nullptr) return MEDIA_E_POINTER;
  const int32_t result = media_writer_finalize(encoder->writer);
  media_writer_close(encoder->writer);
  encoder->writer = nullptr;
  return result;
}
