// Media writing on FFmpeg: one MP4 file with an H.264 stream (libx264, fed
// NV12 pictures) and an AAC stream (FFmpeg's own encoder, fed interleaved
// 16-bit sound). Sound arrives in blocks of any size, each stamped with its
// time: it is laid on one continuous track (a gap before a block is filled
// with silence, an overlap is dropped) and cut into the encoder's frames
// here. Pictures keep their times and durations. Finalizing drains both
// encoders and moves the index to the front of the file, so it can be
// streamed and uploaded as it is. With a meter, every sound packet is decoded
// again by FFmpeg's AAC decoder on its way into the file and measured, so the
// figures are those of the sound a player gets, lossy coding and all; a trial
// writer does the same with no file at all.
// Cannot: write other containers or codecs.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "platform/loudness.h"
#include "platform/media.h"

constexpr int kDurationSlots = 512;  // more than the video encoder ever holds back
constexpr int kDecodedRoom = 1024;   // decoded frames handed to the meter at a time
constexpr int kKeptPackets = 32;     // sound packets a sound writer keeps until taken

struct MediaWriter {
  AVFormatContext* format;
  AVCodecContext* video;
  AVCodecContext* audio;
  AVStream* video_stream;
  AVStream* audio_stream;
  AVFrame* picture;         // wraps the caller's picture while it is encoded
  bool picture_released;    // the encoder has let go of it
  AVFrame* sound;
  AVPacket* packet;
  SwrContext* resampler;   // interleaved 16-bit to the encoder's planar floats
  AVCodecContext* decoder;  // the sound packets decoded again; none without a meter
  AVFrame* decoded;
  AVAudioFifo* fifo;       // converted sound waiting for a whole encoder frame
  int64_t sound_written;   // track position (in samples) of the next sound handed to the encoder
  int64_t sound_end;       // track position just after the last queued sample
  int64_t picture_durations[kDurationSlots];  // by presentation time, in frame periods
  bool sound_started;
  MediaWriterConfig config;
  bool header_written;
  bool file_open;
  bool trial;  // no file: sound packets are only decoded again
  bool keeps;  // a sound writer: its packets are kept for the files sharing them
  AVPacket* kept[kKeptPackets];  // oldest first, `kept_count` of them
  int kept_count;
  AVCodecParameters* shared;     // a sound writer's encoding, as the files sharing it copy it
  double interleaved[2 * kDecodedRoom];  // decoded sound on its way to the meter
};

namespace {

constexpr AVRational kTicks = {1, static_cast<int>(MEDIA_TICKS_PER_SECOND)};

int32_t status(int error) { return error < 0 ? media_status_from_library(error) : MEDIA_OK; }

// Adds the decoded frame's sound (planar or interleaved floats, one or two
// channels) to the meter, as stereo.
bool meter_decoded(MediaWriter* writer, const AVFrame* frame) {
  const int channels = frame->ch_layout.nb_channels;
  const bool planar = frame->format == AV_SAMPLE_FMT_FLTP;
  if ((!planar && frame->format != AV_SAMPLE_FMT_FLT) || channels < 1) return false;
  const auto* first = reinterpret_cast<const float*>(frame->extended_data[0]);
  const auto* second = reinterpret_cast<const float*>(frame->extended_data[planar && channels > 1 ? 1 : 0]);
  const int right = planar ? 0 : channels > 1 ? 1 : 0;
  const int step = planar ? 1 : channels;
  for (int done = 0; done < frame->nb_samples;) {
    const int n = FFMIN(frame->nb_samples - done, kDecodedRoom);
    for (int i = 0; i < n; ++i) {
      writer->interleaved[2 * i] = first[(done + i) * step];
      writer->interleaved[2 * i + 1] = second[(done + i) * step + right];
    }
    if (!loudness_meter_add(writer->config.decoded, writer->interleaved, static_cast<uint64_t>(n), 1.0)) return false;
    done += n;
  }
  return true;
}

// Decodes one sound packet (null: the decoder's last frames) into the meter.
int decode_again(MediaWriter* writer, const AVPacket* packet) {
  int error = avcodec_send_packet(writer->decoder, packet);
  if (error < 0 && !(packet == nullptr && error == AVERROR_EOF)) return error;
  for (;;) {
    error = avcodec_receive_frame(writer->decoder, writer->decoded);
    if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return 0;
    if (error < 0) return error;
    const bool metered = meter_decoded(writer, writer->decoded);
    av_frame_unref(writer->decoded);
    if (!metered) return AVERROR(EINVAL);
  }
}

// Moves every packet the encoder has ready into the file (a trial only decodes the sound's).
int drain(MediaWriter* writer, AVCodecContext* codec, AVStream* stream) {
  for (;;) {
    int error = avcodec_receive_packet(codec, writer->packet);
    if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return 0;
    if (error < 0) return error;
    if (codec == writer->audio && writer->decoder != nullptr) {
      error = decode_again(writer, writer->packet);
      if (error < 0) {
        av_packet_unref(writer->packet);
        return error;
      }
    }
    if (writer->trial) {
      if (writer->keeps) {
        if (writer->kept_count == kKeptPackets || writer->packet->size > static_cast<int>(MEDIA_SOUND_PACKET_MAX)) {
          av_packet_unref(writer->packet);
          return AVERROR(ENOSPC);
        }
        av_packet_move_ref(writer->kept[writer->kept_count++], writer->packet);
      }
      av_packet_unref(writer->packet);
      continue;
    }
    if (codec == writer->video && writer->packet->duration == 0 && writer->packet->pts != AV_NOPTS_VALUE)
      writer->packet->duration = writer->picture_durations[writer->packet->pts & (kDurationSlots - 1)];
    av_packet_rescale_ts(writer->packet, codec->time_base, stream->time_base);
    writer->packet->stream_index = stream->index;
    error = av_interleaved_write_frame(writer->format, writer->packet);
    if (error < 0) return error;
  }
}

int encode(MediaWriter* writer, AVCodecContext* codec, AVStream* stream, const AVFrame* frame) {
  int error = avcodec_send_frame(codec, frame);
  if (error < 0) return error;
  return drain(writer, codec, stream);
}

// Encodes whole encoder frames from the queue; `all` also sends a short last one.
int encode_queued_sound(MediaWriter* writer, bool all) {
  if (writer->audio == nullptr) return 0;  // the file's sound is a sound writer's packets
  const int frame_size = writer->audio->frame_size > 0 ? writer->audio->frame_size : 1024;
  while (av_audio_fifo_size(writer->fifo) >= frame_size || (all && av_audio_fifo_size(writer->fifo) > 0)) {
    const int count = FFMIN(frame_size, av_audio_fifo_size(writer->fifo));
    av_frame_unref(writer->sound);
    writer->sound->nb_samples = count;
    writer->sound->format = writer->audio->sample_fmt;
    writer->sound->sample_rate = writer->audio->sample_rate;
    int error = av_channel_layout_copy(&writer->sound->ch_layout, &writer->audio->ch_layout);
    if (error >= 0) error = av_frame_get_buffer(writer->sound, 0);
    if (error < 0) return error;
    if (av_audio_fifo_read(writer->fifo, reinterpret_cast<void**>(writer->sound->data), count) != count)
      return AVERROR(EIO);
    writer->sound->pts = writer->sound_written;
    writer->sound_written += count;
    error = encode(writer, writer->audio, writer->audio_stream, writer->sound);
    if (error < 0) return error;
  }
  return 0;
}

int open_video(MediaWriter* writer) {
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (encoder == nullptr) return AVERROR_ENCODER_NOT_FOUND;
  writer->video_stream = avformat_new_stream(writer->format, nullptr);
  writer->video = avcodec_alloc_context3(encoder);
  if (writer->video_stream == nullptr || writer->video == nullptr) return AVERROR(ENOMEM);
  AVCodecContext* codec = writer->video;
  const MediaWriterConfig& config = writer->config;
  codec->width = static_cast<int>(config.width);
  codec->height = static_cast<int>(config.height);
  codec->time_base = AVRational{1, static_cast<int>(config.fps)};
  codec->framerate = AVRational{static_cast<int>(config.fps), 1};
  codec->sample_aspect_ratio = AVRational{1, 1};
  codec->pix_fmt = AV_PIX_FMT_NV12;
  codec->bit_rate = config.video_bitrate;
  codec->gop_size = static_cast<int>(config.fps) * 2;
  codec->field_order = AV_FIELD_PROGRESSIVE;
  codec->color_range = AVCOL_RANGE_MPEG;
  // Pictures arrive converted with the limited-range BT.601 matrix.
  codec->colorspace = AVCOL_SPC_SMPTE170M;
  codec->color_primaries = AVCOL_PRI_SMPTE170M;
  codec->color_trc = AVCOL_TRC_SMPTE170M;
  if (writer->format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(codec->priv_data, "preset", "veryfast", 0);
  // Each frame thread and each picture of look-ahead holds pictures of its
  // own (about 12 MB at 1080p): two to four threads and a short look-ahead
  // keep two exports side by side under 600 MB with the speed of the default.
#if defined(__SANITIZE_THREAD__)
  // The encoder's own threads synchronise inside the (uninstrumented) library,
  // which the race detector cannot see; it checks the program's threads alone.
  codec->thread_count = 1;
  av_opt_set(codec->priv_data, "x264-params", "rc-lookahead=5:sync-lookahead=0", 0);
#else
  codec->thread_count = config.video_threads > 0
                            ? static_cast<int>(std::min(config.video_threads, 4u))
                            : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2u, 4u));
  av_opt_set(codec->priv_data, "x264-params", "rc-lookahead=5:sync-lookahead=2", 0);
#endif
  int error = avcodec_open2(codec, encoder, nullptr);
  if (error >= 0) error = avcodec_parameters_from_context(writer->video_stream->codecpar, codec);
  writer->video_stream->time_base = codec->time_base;
  writer->video_stream->avg_frame_rate = codec->framerate;
  return error;
}

// The sound decoder that reads the encoder's packets back, as a player of the file would.
int open_decoder(MediaWriter* writer) {
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (decoder == nullptr) return AVERROR_DECODER_NOT_FOUND;
  writer->decoder = avcodec_alloc_context3(decoder);
  writer->decoded = av_frame_alloc();
  if (writer->decoder == nullptr || writer->decoded == nullptr) return AVERROR(ENOMEM);
  int error = avcodec_parameters_to_context(writer->decoder, writer->audio_stream->codecpar);
  writer->decoder->thread_count = 1;
  if (error >= 0) error = avcodec_open2(writer->decoder, decoder, nullptr);
  return error;
}

// The AAC encoder, with the global header an MP4 asks for (a trial asks the
// same, so that both encode alike).
int open_audio(MediaWriter* writer) {
  const MediaWriter* shared = writer->config.shared_sound;
  if (shared != nullptr) {
    // The stream carries the sound writer's encoding as it is.
    writer->audio_stream = avformat_new_stream(writer->format, nullptr);
    if (writer->audio_stream == nullptr || shared->shared == nullptr) return AVERROR(EINVAL);
    writer->audio_stream->time_base = AVRational{1, shared->shared->sample_rate};
    return avcodec_parameters_copy(writer->audio_stream->codecpar, shared->shared);
  }
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (encoder == nullptr) return AVERROR_ENCODER_NOT_FOUND;
  writer->audio_stream = avformat_new_stream(writer->format, nullptr);
  writer->audio = avcodec_alloc_context3(encoder);
  if (writer->audio_stream == nullptr || writer->audio == nullptr) return AVERROR(ENOMEM);
  AVCodecContext* codec = writer->audio;
  const MediaWriterConfig& config = writer->config;
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = static_cast<int>(config.audio_rate);
  av_channel_layout_default(&codec->ch_layout, static_cast<int>(config.channels));
  codec->bit_rate = config.audio_bitrate;
  codec->time_base = AVRational{1, codec->sample_rate};
  if (writer->format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  int error = avcodec_open2(codec, encoder, nullptr);
  if (error >= 0) error = avcodec_parameters_from_context(writer->audio_stream->codecpar, codec);
  writer->audio_stream->time_base = codec->time_base;
  if (error >= 0 && config.decoded != nullptr) error = open_decoder(writer);
  if (error < 0) return error;
  error = swr_alloc_set_opts2(&writer->resampler, &codec->ch_layout, codec->sample_fmt, codec->sample_rate,
                              &codec->ch_layout, AV_SAMPLE_FMT_S16, codec->sample_rate, 0, nullptr);
  if (error >= 0) error = swr_init(writer->resampler);
  if (error < 0) return error;
  writer->fifo = av_audio_fifo_alloc(codec->sample_fmt, codec->ch_layout.nb_channels, 4096);
  return writer->fifo != nullptr ? 0 : AVERROR(ENOMEM);
}

}  // namespace

int32_t media_writer_open(MediaWriter** out, const char* path, const MediaWriterConfig* config) {
  *out = nullptr;
  if (path == nullptr || config == nullptr) return MEDIA_E_POINTER;
  if (config->width == 0 || config->height == 0 || (config->width | config->height) & 1 || config->fps == 0 ||
      config->channels == 0 || config->audio_rate == 0)
    return MEDIA_E_FAIL;
  MediaWriter* writer = static_cast<MediaWriter*>(std::calloc(1, sizeof(MediaWriter)));
  if (writer == nullptr) return MEDIA_E_OUTOFMEMORY;
  writer->config = *config;
  av_log_set_level(AV_LOG_FATAL);
  int error = avformat_alloc_output_context2(&writer->format, nullptr, "mp4", path);
  if (error >= 0) error = open_video(writer);
  if (error >= 0) error = open_audio(writer);
  if (error >= 0) {
    writer->picture = av_frame_alloc();
    writer->sound = av_frame_alloc();
    writer->packet = av_packet_alloc();
    if (writer->picture == nullptr || writer->sound == nullptr || writer->packet == nullptr) error = AVERROR(ENOMEM);
  }
  if (error >= 0) {
    error = avio_open(&writer->format->pb, path, AVIO_FLAG_WRITE);
    writer->file_open = error >= 0;
  }
  if (error >= 0) {
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    error = avformat_write_header(writer->format, &options);
    av_dict_free(&options);
    writer->header_written = error >= 0;
  }
  if (error < 0) {
    media_writer_close(writer);
    return status(error);
  }
  *out = writer;
  return MEDIA_OK;
}

int32_t media_writer_open_trial(MediaWriter** out, const MediaWriterConfig* config) {
  *out = nullptr;
  if (config == nullptr || config->decoded == nullptr) return MEDIA_E_POINTER;
  if (config->channels == 0 || config->audio_rate == 0) return MEDIA_E_FAIL;
  MediaWriter* writer = static_cast<MediaWriter*>(std::calloc(1, sizeof(MediaWriter)));
  if (writer == nullptr) return MEDIA_E_OUTOFMEMORY;
  writer->config = *config;
  writer->trial = true;
  av_log_set_level(AV_LOG_FATAL);
  // The container is never written; its streams carry the same settings as a file's.
  int error = avformat_alloc_output_context2(&writer->format, nullptr, "mp4", nullptr);
  if (error >= 0) error = open_audio(writer);
  if (error >= 0) {
    writer->sound = av_frame_alloc();
    writer->packet = av_packet_alloc();
    if (writer->sound == nullptr || writer->packet == nullptr) error = AVERROR(ENOMEM);
  }
  if (error < 0) {
    media_writer_close(writer);
    return status(error);
  }
  *out = writer;
  return MEDIA_OK;
}

int32_t media_writer_open_sound(MediaWriter** out, const MediaWriterConfig* config) {
  MediaWriter* writer = nullptr;
  int32_t result = media_writer_open_trial(&writer, config);
  if (result != MEDIA_OK) return result;
  writer->keeps = true;
  for (AVPacket*& kept : writer->kept) {
    kept = av_packet_alloc();
    if (kept == nullptr) result = MEDIA_E_OUTOFMEMORY;
  }
  // Copied once here, so that files opened while it encodes read nothing it writes.
  writer->shared = avcodec_parameters_alloc();
  if (writer->shared == nullptr || avcodec_parameters_from_context(writer->shared, writer->audio) < 0)
    result = MEDIA_E_OUTOFMEMORY;
  if (result != MEDIA_OK) {
    media_writer_close(writer);
    return result;
  }
  *out = writer;
  return MEDIA_OK;
}

bool media_writer_take_sound_packet(MediaWriter* sound, MediaSoundPacket* packet) {
  if (sound == nullptr || !sound->keeps || sound->kept_count == 0) return false;
  AVPacket* oldest = sound->kept[0];
  packet->time = oldest->pts;
  packet->duration = oldest->duration;
  packet->size = static_cast<uint32_t>(oldest->size);
  std::memcpy(packet->bytes, oldest->data, packet->size);
  av_packet_unref(oldest);
  // The emptied packet goes to the back for reuse.
  std::memmove(&sound->kept[0], &sound->kept[1], sizeof(AVPacket*) * static_cast<size_t>(sound->kept_count - 1));
  sound->kept[--sound->kept_count] = oldest;
  return true;
}

int32_t media_writer_sound_packet(MediaWriter* writer, const MediaSoundPacket* packet) {
  if (writer == nullptr || packet == nullptr) return MEDIA_E_POINTER;
  if (writer->config.shared_sound == nullptr || writer->trial || packet->size > MEDIA_SOUND_PACKET_MAX)
    return MEDIA_E_FAIL;
  AVPacket* out = writer->packet;
  int error = av_new_packet(out, static_cast<int>(packet->size));
  if (error < 0) return status(error);
  std::memcpy(out->data, packet->bytes, packet->size);
  out->pts = packet->time;
  out->dts = packet->time;
  out->duration = packet->duration;
  out->flags |= AV_PKT_FLAG_KEY;
  out->stream_index = writer->audio_stream->index;
  av_packet_rescale_ts(out, AVRational{1, writer->config.shared_sound->shared->sample_rate},
                       writer->audio_stream->time_base);
  error = av_interleaved_write_frame(writer->format, out);
  av_packet_unref(out);
  return status(error);
}

namespace {

// Marks the caller's picture as no longer held by the encoder.
void picture_released(void* opaque, uint8_t*) { *static_cast<bool*>(opaque) = true; }

}  // namespace

int32_t media_writer_video(MediaWriter* writer, const uint8_t* nv12, int64_t time, int64_t duration) {
  if (writer == nullptr || nv12 == nullptr) return MEDIA_E_POINTER;
  if (writer->trial) return MEDIA_E_FAIL;
  // The encoder is handed the caller's planes themselves, not a copy: the
  // H.264 encoder copies a picture into its own frames as it is sent, so the
  // reference ends within the call (checked: a picture still held after it
  // would be overwritten by the caller, so that fails the file instead).
  AVFrame* frame = writer->picture;
  const int width = static_cast<int>(writer->config.width);
  const int height = static_cast<int>(writer->config.height);
  const size_t luma = static_cast<size_t>(width) * height;
  writer->picture_released = false;
  frame->buf[0] = av_buffer_create(const_cast<uint8_t*>(nv12), luma * 3 / 2, picture_released,
                                   &writer->picture_released, AV_BUFFER_FLAG_READONLY);
  if (frame->buf[0] == nullptr) return MEDIA_E_OUTOFMEMORY;
  frame->format = AV_PIX_FMT_NV12;
  frame->width = width;
  frame->height = height;
  frame->data[0] = const_cast<uint8_t*>(nv12);
  frame->data[1] = const_cast<uint8_t*>(nv12) + luma;
  frame->linesize[0] = width;
  frame->linesize[1] = width;
  const AVRounding nearest = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
  frame->pts = av_rescale_q_rnd(time, kTicks, writer->video->time_base, nearest);
  const int64_t periods = av_rescale_q_rnd(duration, kTicks, writer->video->time_base, nearest);
  writer->picture_durations[frame->pts & (kDurationSlots - 1)] = periods > 0 ? periods : 1;
  const int error = encode(writer, writer->video, writer->video_stream, frame);
  av_frame_unref(frame);
  if (!writer->picture_released) return MEDIA_E_FAIL;
  return status(error);
}

namespace {

// Queues `count` samples of silence on the sound track.
int queue_silence(MediaWriter* writer, int64_t count) {
  uint8_t** planes = nullptr;
  const int chunk = 4096;
  int error = av_samples_alloc_array_and_samples(&planes, nullptr, writer->audio->ch_layout.nb_channels, chunk,
                                                 writer->audio->sample_fmt, 0);
  if (error < 0) return error;
  av_samples_set_silence(planes, 0, chunk, writer->audio->ch_layout.nb_channels, writer->audio->sample_fmt);
  while (count > 0 && error >= 0) {
    const int part = static_cast<int>(FFMIN(count, chunk));
    if (av_audio_fifo_write(writer->fifo, reinterpret_cast<void**>(planes), part) < part) error = AVERROR(ENOMEM);
    count -= part;
    if (error >= 0) error = encode_queued_sound(writer, false);
  }
  av_freep(&planes[0]);
  av_freep(&planes);
  return error;
}

}  // namespace

int32_t media_writer_audio(MediaWriter* writer, const int16_t* pcm, uint64_t frames, int64_t time, int64_t) {
  if (writer == nullptr || (pcm == nullptr && frames > 0)) return MEDIA_E_POINTER;
  if (writer->audio == nullptr) return MEDIA_E_FAIL;  // its sound is a sound writer's
  if (frames == 0) return MEDIA_OK;
  const int64_t start = av_rescale_rnd(time, writer->config.audio_rate, MEDIA_TICKS_PER_SECOND,
                                       static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
  if (!writer->sound_started) {
    // The track begins where its first block does.
    writer->sound_started = true;
    writer->sound_written = start;
    writer->sound_end = start;
  }
  int error = 0;
  if (start > writer->sound_end) {
    error = queue_silence(writer, start - writer->sound_end);
    writer->sound_end = start;
  }
  if (error < 0) return status(error);
  // Samples before the end of the track were already given: they are dropped.
  const int64_t skip = FFMIN(static_cast<int64_t>(frames), FFMAX(writer->sound_end - start, 0));
  const int count = static_cast<int>(static_cast<int64_t>(frames) - skip);
  if (count == 0) return MEDIA_OK;
  uint8_t** planes = nullptr;
  error = av_samples_alloc_array_and_samples(&planes, nullptr, writer->audio->ch_layout.nb_channels, count,
                                             writer->audio->sample_fmt, 0);
  if (error < 0) return status(error);
  const uint8_t* input = reinterpret_cast<const uint8_t*>(pcm + skip * writer->config.channels);
  const int converted = swr_convert(writer->resampler, planes, count, &input, count);
  error = converted < 0 ? converted : 0;
  if (error >= 0 && av_audio_fifo_write(writer->fifo, reinterpret_cast<void**>(planes), converted) < converted)
    error = AVERROR(ENOMEM);
  av_freep(&planes[0]);
  av_freep(&planes);
  if (error >= 0) {
    writer->sound_end += converted;
    error = encode_queued_sound(writer, false);
  }
  return status(error);
}

int32_t media_writer_finalize(MediaWriter* writer) {
  if (writer == nullptr) return MEDIA_E_POINTER;
  int error = encode_queued_sound(writer, true);
  if (error >= 0 && writer->audio != nullptr) error = encode(writer, writer->audio, writer->audio_stream, nullptr);
  if (error >= 0 && writer->decoder != nullptr) error = decode_again(writer, nullptr);
  if (writer->trial) return status(error);
  if (error >= 0) error = encode(writer, writer->video, writer->video_stream, nullptr);
  if (error >= 0) error = av_write_trailer(writer->format);
  if (error >= 0) {
    writer->header_written = false;
    error = avio_closep(&writer->format->pb);
    writer->file_open = false;
  }
  return status(error);
}

void media_writer_close(MediaWriter* writer) {
  if (writer == nullptr) return;
  if (writer->file_open) avio_closep(&writer->format->pb);
  av_audio_fifo_free(writer->fifo);
  swr_free(&writer->resampler);
  av_packet_free(&writer->packet);
  for (AVPacket*& kept : writer->kept) av_packet_free(&kept);
  avcodec_parameters_free(&writer->shared);
  av_frame_free(&writer->sound);
  av_frame_free(&writer->picture);
  av_frame_free(&writer->decoded);
  avcodec_free_context(&writer->video);
  avcodec_free_context(&writer->audio);
  avcodec_free_context(&writer->decoder);
  avformat_free_context(writer->format);
  std::free(writer);
}
