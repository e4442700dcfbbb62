// Media reading on FFmpeg (libavformat, libavcodec, libswscale, libswresample).
//
// Provides: open a local file and select its first video or first audio
// stream, the file's duration, seeking (later reads start at or before the
// time), and reads in presentation order with 100-ns time stamps counted from
// the file's start. Pictures are decoded on every read but converted to
// packed BGRX only when the caller asks for them, so a seek that decodes a
// whole group of pictures converts only the one it keeps. A stream stored
// sideways or upside down with a display rotation (a phone's upright video)
// is delivered upright. Sound is delivered as interleaved signed 16-bit
// samples at the source's rate and channels.
// The decoder uses the machine's cores (frame and slice threads). Pictures
// over MEDIA_MAX_SIDE are refused before they are decoded: the decoders, the
// stream probe's among them, are opened with a pixel-count limit.
// Cannot: read anything but local files (other protocols are refused), or
// deliver attached cover pictures as a video stream.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/cpu.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "base/limits.h"
#include "platform/media.h"

struct MediaReader {
  AVFormatContext* format;
  AVCodecContext* codec;
  AVStream* stream;
  int stream_index;
  MediaKind kind;
  uint32_t threads;  // decoder threads; 0 for as many as the machine has cores
  AVPacket* packet;
  AVFrame* frame;
  AVFrame* picture;        // the last decoded picture since the previous seek
  SwsContext* scaler;
  SwsContext* scaler_set;  // `scaler` when its colour details were last set
  int scaler_details;      // the range and matrix they were set for
  SwrContext* resampler;
  AVChannelLayout resampler_layout;
  int resampler_format;
  int resampler_rate;
  int16_t* pcm;            // converted sound of the last read
  uint64_t pcm_capacity;   // frames
  MediaFormat info;        // pictures: the upright size
  int stored_width;        // the size pictures are decoded at, before they are turned upright
  int stored_height;
  int quarter_turns;       // clockwise quarter turns that stand a stored picture upright (0 to 3)
  uint8_t* scratch;        // a turned picture converted at its stored size, then turned into the caller's
  uint64_t scratch_capacity;  // bytes
  int64_t origin;          // the file's start, in the stream's time base
  int64_t seek_stamp;      // the last seek's target in the stream's time base; INT64_MIN before any
  int64_t skip_before;     // without durations, pictures nothing refers to are not decoded before this stamp
  int64_t next_stamp;      // where the picture after the last one starts (stream's time base), if known
  int64_t seek_time;       // the time of the last seek, in ticks
  int64_t picture_time;    // the time of `picture`, in ticks
  int64_t picture_duration;  // how long it shows, in ticks; 0 when the file does not tell
  bool guessed_time;       // `picture_time` is the seek's time: the stream told nothing
  bool checked_seeks;      // seeks land on any packet, so their first picture is checked
  bool await_key;          // packets before the next key packet are dropped
  bool picture_held;       // `picture` was decoded by the seek and is the next read's
  bool demux_done;
  bool packet_pending;     // `packet` was refused by the decoder and is offered again
  bool still;              // a single picture (an image file): read once, held for every seek
  bool h264;               // the stream is H.264: unseen pictures are dropped before the decoder
  int nal_length_size;     // bytes of each NAL unit's length in its packets; 0 for start codes
  bool started;            // a read has been made
};

namespace {

constexpr AVRational kTicks = {1, static_cast<int>(MEDIA_TICKS_PER_SECOND)};
// The largest picture a decoder may allocate, as a decoder option.
constexpr int64_t kMaxPixels = static_cast<int64_t>(MEDIA_MAX_SIDE) * MEDIA_MAX_SIDE;
// Decoder calls a read makes without getting a sample before it gives up.
constexpr int kMaxSteps = 4096;

int first_stream(const AVFormatContext* format, AVMediaType type) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (stream->codecpar->codec_type != type) continue;
    if (type == AVMEDIA_TYPE_VIDEO && (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
    return static_cast<int>(i);
  }
  return -1;
}

int64_t to_ticks(const MediaReader* reader, int64_t stamp) {
  return av_rescale_q(stamp - reader->origin, reader->stream->time_base, kTicks);
}

// A time in ticks as a stamp of the stream, rounded down so that a picture
// at that stamp is never later than the time.
int64_t to_stamp(const MediaReader* reader, int64_t time) {
  return av_rescale_q_rnd(time, kTicks, reader->stream->time_base, AV_ROUND_DOWN) + reader->origin;
}

// How long a decoded picture or block of sound lasts, in the stream's time
// base: its packet's duration, else one picture at the stream's frame rate;
// 0 when nothing tells.
int64_t frame_duration(const MediaReader* reader, const AVFrame* frame) {
  const AVRational base = reader->stream->time_base;
  if (reader->kind == MEDIA_AUDIO)
    return frame->sample_rate > 0 ? av_rescale_q(frame->nb_samples, AVRational{1, frame->sample_rate}, base) : 0;
  if (frame->pkt_duration > 0) return frame->pkt_duration;
  AVRational rate = reader->stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = reader->stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = reader->codec->framerate;
  return rate.num > 0 && rate.den > 0 ? av_rescale_q(1, av_inv_q(rate), base) : 0;
}

// The clockwise quarter turns that stand the stream's pictures upright, from
// its display matrix (which gives the turn counter-clockwise). Mirrored
// matrices, and angles not within a degree of a quarter turn, are not applied.
int quarter_turns(const AVStream* stream) {
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) return 0;
  int32_t matrix[9];
  std::memcpy(matrix, data, sizeof matrix);
  const double determinant = static_cast<double>(matrix[0]) * matrix[4] - static_cast<double>(matrix[1]) * matrix[3];
  if (determinant <= 0) return 0;
  const double counter_clockwise = av_display_rotation_get(matrix);
  if (!std::isfinite(counter_clockwise)) return 0;
  double clockwise = std::fmod(-counter_clockwise, 360.0);
  if (clockwise < 0) clockwise += 360.0;
  const double quarters = std::round(clockwise / 90.0);
  if (std::fabs(clockwise - quarters * 90.0) > 1.0) return 0;
  return static_cast<int>(quarters) % 4;
}

// Turns a packed 4-byte picture of `width` x `height` clockwise by `turns`
// quarter turns into `target`, whose rows are `pitch` bytes apart (any
// alignment). Quarter turns go in square tiles, so that the columns a tile
// reads stay in the cache while the rows it writes are filled.
void turn_picture(const uint32_t* source, int width, int height, int turns, uint8_t* target, int32_t pitch) {
  if (turns == 2) {
    for (int y = 0; y < height; ++y) {
      const uint32_t* from = source + static_cast<ptrdiff_t>(height - 1 - y) * width + width - 1;
      uint8_t* to = target + static_cast<ptrdiff_t>(y) * pitch;
      for (int x = 0; x < width; ++x, --from, to += 4) std::memcpy(to, from, 4);
    }
    return;
  }
  // Stored column x becomes upright row x, bottom to top, for one clockwise
  // quarter turn; and upright row width-1-x, top to bottom, for three.
  constexpr int kTile = 64;
  for (int y0 = 0; y0 < height; y0 += kTile) {
    const int y1 = y0 + kTile < height ? y0 + kTile : height;
    for (int x = 0; x < width; ++x) {
      const uint32_t* from = source + static_cast<ptrdiff_t>(y0) * width + x;
      if (turns == 1) {
        uint8_t* to = target + static_cast<ptrdiff_t>(x) * pitch + static_cast<ptrdiff_t>(height - 1 - y0) * 4;
        for (int y = y0; y < y1; ++y, from += width, to -= 4) std::memcpy(to, from, 4);
      } else {
        uint8_t* to = target + static_cast<ptrdiff_t>(width - 1 - x) * pitch + static_cast<ptrdiff_t>(y0) * 4;
        for (int y = y0; y < y1; ++y, from += width, to += 4) std::memcpy(to, from, 4);
      }
    }
  }
}

// An enum field of a picture read as the integer it holds. Decoders copy the
// colour fields from the bitstream unchecked, so they may hold values their
// enum type lacks; such values, and negative ones, count as `unknown`.
static_assert(sizeof(AVColorRange) == sizeof(int) && sizeof(AVColorSpace) == sizeof(int));
int enum_field(const void* field, int count, int unknown) {
  int value = 0;
  std::memcpy(&value, field, sizeof value);
  return value >= 0 && value < count ? value : unknown;
}

// Opens a decoder for the selected stream, freeing the one before.
int32_t open_decoder(MediaReader* reader) {
  avcodec_free_context(&reader->codec);
  const AVCodec* decoder = avcodec_find_decoder(reader->stream->codecpar->codec_id);
  reader->codec = decoder != nullptr ? avcodec_alloc_context3(decoder) : nullptr;
  if (reader->codec == nullptr) return MEDIA_E_FAIL;
  int error = avcodec_parameters_to_context(reader->codec, reader->stream->codecpar);
  reader->codec->pkt_timebase = reader->stream->time_base;
  reader->codec->max_pixels = kMaxPixels;
#if defined(__SANITIZE_THREAD__)
  // The decoder's own threads synchronise inside the (uninstrumented) library,
  // which the race detector cannot see; it checks the program's threads alone.
  reader->codec->thread_count = 1;
#else
  // As many as the machine has cores, not FFmpeg's own choice of one more:
  // each frame thread holds back one more picture before the first comes
  // out, and the extra thread's picture competes for the cores with the one
  // a seek waits for.
  reader->codec->thread_count =
      reader->threads > 0 ? static_cast<int>(reader->threads) : std::min(std::max(av_cpu_count(), 1), 16);
#endif
  reader->codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (error >= 0) error = avcodec_open2(reader->codec, decoder, nullptr);
  return error < 0 ? media_status_from_library(error) : MEDIA_OK;
}

// Reads the stream details, decoding a little of each stream, with each
// decoder held to the pixel-count limit.
int find_stream_info(AVFormatContext* format) {
  const unsigned streams = format->nb_streams;
  AVDictionary** options = static_cast<AVDictionary**>(std::calloc(streams > 0 ? streams : 1, sizeof(AVDictionary*)));
  if (options == nullptr) return AVERROR(ENOMEM);
  for (unsigned i = 0; i < streams; ++i) av_dict_set_int(&options[i], "max_pixels", kMaxPixels, 0);
  const int error = avformat_find_stream_info(format, options);
  for (unsigned i = 0; i < streams; ++i) av_dict_free(&options[i]);
  std::free(options);
  return error;
}

// True when a video stream's size, as its header tells it, is over the limit.
bool too_large(const AVStream* stream) {
  const AVCodecParameters* parameters = stream->codecpar;
  return parameters->codec_type == AVMEDIA_TYPE_VIDEO &&
         (parameters->width > static_cast<int>(MEDIA_MAX_SIDE) || parameters->height > static_cast<int>(MEDIA_MAX_SIDE));
}

// Converts the sound in `frame` into the reader's interleaved 16-bit buffer.
int32_t convert_sound(MediaReader* reader, AVFrame* frame, MediaSample* out) {
  if (reader->resampler == nullptr || reader->resampler_format != frame->format ||
      reader->resampler_rate != frame->sample_rate ||
      av_channel_layout_compare(&reader->resampler_layout, &frame->ch_layout) != 0) {
    swr_free(&reader->resampler);
    av_channel_layout_uninit(&reader->resampler_layout);
    int error = swr_alloc_set_opts2(&reader->resampler, &frame->ch_layout, AV_SAMPLE_FMT_S16, frame->sample_rate,
                                    &frame->ch_layout, static_cast<AVSampleFormat>(frame->format),
                                    frame->sample_rate, 0, nullptr);
    if (error >= 0) error = swr_init(reader->resampler);
    if (error < 0) return media_status_from_library(error);
    av_channel_layout_copy(&reader->resampler_layout, &frame->ch_layout);
    reader->resampler_format = frame->format;
    reader->resampler_rate = frame->sample_rate;
  }
  const uint64_t channels = static_cast<uint64_t>(frame->ch_layout.nb_channels);
  if (channels == 0 || channels != reader->info.channels) return MEDIA_E_FAIL;
  const uint64_t wanted = static_cast<uint64_t>(frame->nb_samples);
  if (wanted > reader->pcm_capacity) {
    void* grown = std::realloc(reader->pcm, wanted * channels * sizeof(int16_t));
    if (grown == nullptr) return MEDIA_E_OUTOFMEMORY;
    reader->pcm = static_cast<int16_t*>(grown);
    reader->pcm_capacity = wanted;
  }
  uint8_t* target = reinterpret_cast<uint8_t*>(reader->pcm);
  const int converted = swr_convert(reader->resampler, &target, frame->nb_samples,
                                    const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (converted < 0) return media_status_from_library(converted);
  out->pcm = reader->pcm;
  out->frames = static_cast<uint64_t>(converted);
  return MEDIA_OK;
}

}  // namespace

int32_t media_status_from_library(int error) {
  const uint32_t code = 0xA0000000u | (static_cast<uint32_t>(-error) & 0x0FFFFFFFu);
  return static_cast<int32_t>(code);
}

int32_t media_reader_open(MediaReader** out, const char* path, MediaKind kind, uint32_t threads) {
  *out = nullptr;
  // Damaged files are expected input; their complaints are not shown.
  av_log_set_level(AV_LOG_FATAL);
  if (path == nullptr || path[0] == '\0' || std::strlen(path) >= KELVRA_PATH_SIZE) return MEDIA_E_PATH;
  MediaReader* reader = static_cast<MediaReader*>(std::calloc(1, sizeof(MediaReader)));
  if (reader == nullptr) return MEDIA_E_OUTOFMEMORY;
  reader->kind = kind;
  reader->threads = threads;
  reader->resampler_format = -1;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  // An image's name is a name, never a pattern of numbered files.
  av_dict_set(&options, "pattern_type", "none", 0);
  // Named with the protocol, so that a name with a colon is never read as one.
  char url[KELVRA_PATH_SIZE + 8];
  std::snprintf(url, sizeof url, "file:%s", path);
  int error = avformat_open_input(&reader->format, url, nullptr, &options);
  av_dict_free(&options);
  const AVMediaType type = kind == MEDIA_VIDEO ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
  int32_t status = error < 0 ? media_status_from_library(error) : MEDIA_OK;
  // A header that already claims too large a picture is refused before the probe decodes one.
  if (status == MEDIA_OK && kind == MEDIA_VIDEO) {
    const int index = first_stream(reader->format, type);
    if (index >= 0 && too_large(reader->format->streams[index])) status = MEDIA_E_FAIL;
  }
  if (status == MEDIA_OK) {
    error = find_stream_info(reader->format);
    if (error < 0) status = media_status_from_library(error);
  }
  if (status == MEDIA_OK) {
    reader->stream_index = first_stream(reader->format, type);
    if (reader->stream_index < 0) status = MEDIA_E_NO_STREAM;
  }
  if (status == MEDIA_OK) {
    reader->stream = reader->format->streams[reader->stream_index];
    const AVCodecParameters* parameters = reader->stream->codecpar;
    if (kind == MEDIA_VIDEO && (parameters->width < 1 || parameters->height < 1 || too_large(reader->stream)))
      status = MEDIA_E_FAIL;
  }
  if (status == MEDIA_OK) {
    for (unsigned i = 0; i < reader->format->nb_streams; ++i)
      reader->format->streams[i]->discard = static_cast<int>(i) == reader->stream_index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    status = open_decoder(reader);
  }
  if (status == MEDIA_OK) {
    reader->packet = av_packet_alloc();
    reader->frame = av_frame_alloc();
    reader->picture = av_frame_alloc();
    if (reader->packet == nullptr || reader->frame == nullptr || reader->picture == nullptr) status = MEDIA_E_OUTOFMEMORY;
  }
  if (status != MEDIA_OK) {
    media_reader_close(reader);
    return status;
  }
  const AVCodecParameters* parameters = reader->stream->codecpar;
  if (kind == MEDIA_VIDEO) {
    reader->stored_width = parameters->width;
    reader->stored_height = parameters->height;
    reader->quarter_turns = quarter_turns(reader->stream);
    const bool sideways = reader->quarter_turns % 2 == 1;
    reader->info.width = static_cast<uint32_t>(sideways ? parameters->height : parameters->width);
    reader->info.height = static_cast<uint32_t>(sideways ? parameters->width : parameters->height);
    // Demuxers of formats that allow breaks in their stamps (MPEG program and
    // transport streams among them) seek by searching the stamps in the file
    // and land on any packet, mostly after the key picture the target needs.
    reader->checked_seeks = (reader->format->iformat->flags & AVFMT_TS_DISCONT) != 0;
    // H.264 in MP4 and Matroska comes with its parameter sets in an avcC
    // record, which gives the width of the NAL units' lengths; elsewhere the
    // units are separated by start codes.
    reader->h264 = parameters->codec_id == AV_CODEC_ID_H264;
    if (parameters->extradata_size >= 7 && parameters->extradata[0] == 1)
      reader->nal_length_size = (parameters->extradata[4] & 3) + 1;
    // Image files come through the image demuxers, which cannot all seek back
    // to their one picture (a JPEG's reads end at once after a seek).
    const char* demuxer = reader->format->iformat->name;
    const size_t length = std::strlen(demuxer);
    reader->still = std::strcmp(demuxer, "image2") == 0 || (length > 5 && std::strcmp(demuxer + length - 5, "_pipe") == 0);
  } else {
    reader->info.channels = static_cast<uint32_t>(reader->codec->ch_layout.nb_channels);
    reader->info.rate = reader->codec->sample_rate > 0 ? static_cast<uint32_t>(reader->codec->sample_rate) : 0;
    reader->info.bits = 16;
  }
  const int64_t start = reader->format->start_time;
  reader->origin = start == AV_NOPTS_VALUE ? 0 : av_rescale_q(start, AV_TIME_BASE_Q, reader->stream->time_base);
  reader->seek_stamp = INT64_MIN;
  reader->skip_before = INT64_MIN;
  reader->next_stamp = reader->origin;  // a first picture without a stamp is the file's start
  *out = reader;
  return MEDIA_OK;
}

void media_reader_close(MediaReader* reader) {
  if (reader == nullptr) return;
  sws_freeContext(reader->scaler);
  swr_free(&reader->resampler);
  av_channel_layout_uninit(&reader->resampler_layout);
  av_frame_free(&reader->picture);
  av_frame_free(&reader->frame);
  av_packet_free(&reader->packet);
  avcodec_free_context(&reader->codec);
  avformat_close_input(&reader->format);
  std::free(reader->pcm);
  std::free(reader->scratch);
  std::free(reader);
}

bool media_reader_duration(const MediaReader* reader, uint64_t* duration) {
  if (reader == nullptr || reader->format->duration == AV_NOPTS_VALUE || reader->format->duration < 0) return false;
  *duration = static_cast<uint64_t>(av_rescale_q(reader->format->duration, AV_TIME_BASE_Q, kTicks));
  return true;
}

MediaFormat media_reader_format(const MediaReader* reader) { return reader != nullptr ? reader->info : MediaFormat{}; }

namespace {

// After the demuxer has moved: forgets the packet, the picture and the stamps
// of before, and gives the decoder a fresh start for a seek to `time`.
int32_t restart_decoding(MediaReader* reader, int64_t time) {
  av_packet_unref(reader->packet);
  reader->packet_pending = false;
  av_frame_unref(reader->picture);
  reader->picture_held = false;
  reader->await_key = false;
  reader->demux_done = false;
  reader->seek_time = time;
  reader->next_stamp = AV_NOPTS_VALUE;
  // A decoder that runs threads of its own (the AV1 one) is opened anew
  // rather than flushed: flushed while pictures that failed to decode are in
  // flight, it waits forever inside the next packet it is sent. FFmpeg's own
  // frame threads are flushed safely. (No decoder: the last seek could not open one.)
  if (reader->codec == nullptr || (reader->codec->codec->capabilities & AV_CODEC_CAP_OTHER_THREADS)) {
    const int32_t status = open_decoder(reader);
    if (status != MEDIA_OK) return status;
  } else {
    avcodec_flush_buffers(reader->codec);
  }
  // Between the key picture and the target, pictures that no other picture
  // refers to would be decoded only to be dropped: they are skipped (see
  // unseen_picture).
  const AVRational base = reader->stream->time_base;
  if (reader->kind == MEDIA_VIDEO) {
    reader->seek_stamp = av_rescale_q(time, kTicks, base) + reader->origin;
    reader->skip_before = reader->seek_stamp - av_rescale_q(MEDIA_TICKS_PER_SECOND / 10, kTicks, base);
  }
  return MEDIA_OK;
}

// Goes back to the file's first packet: by its first byte where the format
// allows, since a search for the first stamp can land past the first key
// picture when the stamps of decoding and of presentation differ.
int32_t seek_to_start(MediaReader* reader, int64_t time) {
  int error = AVERROR(ENOSYS);
  if (!(reader->format->iformat->flags & AVFMT_NO_BYTE_SEEK))
    error = av_seek_frame(reader->format, reader->stream_index, 0, AVSEEK_FLAG_BYTE);
  if (error < 0)
    error = avformat_seek_file(reader->format, reader->stream_index, INT64_MIN, reader->origin, reader->origin, 0);
  if (error < 0) return media_status_from_library(error);
  const int32_t status = restart_decoding(reader, time);
  reader->next_stamp = reader->origin;
  return status;
}

int32_t read_sample(MediaReader* reader, MediaSample* out);

// Whether the picture of `packet` is so early that it cannot be the one on
// screen at the last seek's target: it ends a whole picture's length before
// the target (a margin for stamps that follow the durations only roughly),
// or, when the packet has no duration, it starts a tenth of a second before
// it. Such pictures, when no other picture refers to them, are not decoded.
bool unseen_picture(const MediaReader* reader, const AVPacket* packet) {
  const int64_t stamp = packet->pts;
  if (stamp == AV_NOPTS_VALUE) return false;
  const int64_t lasts = packet->duration;
  if (lasts <= 0) return stamp < reader->skip_before;
  int64_t end = 0;
  return !__builtin_add_overflow(stamp, 2 * std::min<int64_t>(lasts, INT64_MAX / 4), &end) && end <= reader->seek_stamp;
}

// Whether an H.264 packet holds only slices of a picture that no other
// picture refers to (nal_ref_idc 0), with nothing else the decoder keeps
// (parameter sets, sequence ends) beside them. Such a packet, when its
// picture is unseen, is not sent to the decoder at all: with frame threads,
// each packet sent takes a thread in turn, and the next one waits for the
// picture that thread decoded before, even for a packet it would skip.
bool h264_unreferenced(const AVPacket* packet, int length_size) {
  const uint8_t* data = packet->data;
  const int size = packet->size;
  bool slices = false;
  for (int at = 0; at < size;) {
    // The next unit: after its length field, or after the next start code.
    int begin = 0;
    int end = 0;
    if (length_size > 0) {
      if (size - at < length_size) return false;
      uint32_t length = 0;
      for (int i = 0; i < length_size; ++i) length = (length << 8) | data[at + i];
      begin = at + length_size;
      if (length == 0 || length > static_cast<uint32_t>(size - begin)) return false;
      end = begin + static_cast<int>(length);
    } else {
      int code = at;
      while (code + 2 < size && !(data[code] == 0 && data[code + 1] == 0 && data[code + 2] == 1)) ++code;
      if (code + 3 >= size) break;
      begin = code + 3;
      end = begin;
      while (end + 2 < size && !(data[end] == 0 && data[end + 1] == 0 && (data[end + 2] == 1 || data[end + 2] == 0)))
        ++end;
      if (end + 2 >= size) end = size;
    }
    if (data[begin] & 0x80) return false;  // not a NAL unit header: the packet is read wrong
    const int type = data[begin] & 0x1F;
    const int ref_idc = (data[begin] >> 5) & 3;
    switch (type) {
      case 1: case 2: case 3: case 4: case 5:  // slices and their data partitions
        if (ref_idc != 0 || type == 5) return false;
        slices = true;
        break;
      case 6: case 9: case 12: break;  // supplemental information, delimiters, filler
      default: return false;
    }
    at = end;
  }
  return slices;
}

// Seeks where the demuxer lands on any packet, not on a key picture. From
// there the first picture that decodes is the next key picture, mostly after
// the time, or none at all near the end. So the seek decodes that picture,
// keeps it for the next read when it is at or before the time, and else
// tries again further back (1, 2, 4, 8 s), and at last from the start. Until
// the first key packet after each landing, packets are dropped undecoded.
int32_t checked_seek(MediaReader* reader, int64_t time) {
  constexpr int kRetries = 4;
  for (int attempt = 0; attempt <= kRetries; ++attempt) {
    const int64_t back = attempt == 0 ? 0 : MEDIA_TICKS_PER_SECOND << (attempt - 1);
    if (time - back <= 0) break;
    const int64_t stamp = to_stamp(reader, time - back);
    if (avformat_seek_file(reader->format, reader->stream_index, INT64_MIN, stamp, stamp, 0) < 0) break;
    int32_t status = restart_decoding(reader, time);
    if (status != MEDIA_OK) return status;
    reader->await_key = true;
    MediaSample sample;
    status = read_sample(reader, &sample);
    // A failed read, the stream's end, a picture later than the time, or one
    // whose time is a guess: further back.
    if (status == MEDIA_OK && sample.have && !sample.end_of_stream && !reader->guessed_time && sample.time <= time) {
      reader->picture_held = true;
      return MEDIA_OK;
    }
  }
  return seek_to_start(reader, time);
}

// Reads the next sample from the decoder, feeding it packets as it asks.
int32_t read_sample(MediaReader* reader, MediaSample* out) {
  *out = MediaSample{};
  if (reader->codec == nullptr) return MEDIA_E_FAIL;  // a seek could not open a decoder
  for (int step = 0; step < kMaxSteps; ++step) {
    int error = avcodec_receive_frame(reader->codec, reader->frame);
    if (error == 0) {
      // The stream's stamp, else the end of what came before; with neither
      // (the first picture after a seek, unstamped) the seek's time.
      int64_t stamp = reader->frame->best_effort_timestamp;
      if (stamp == AV_NOPTS_VALUE) stamp = reader->frame->pts;
      if (stamp == AV_NOPTS_VALUE) stamp = reader->next_stamp;
      const bool guessed = stamp == AV_NOPTS_VALUE;
      const int64_t time = guessed ? reader->seek_time : to_ticks(reader, stamp);
      const int64_t lasts = frame_duration(reader, reader->frame);
      reader->next_stamp = guessed ? AV_NOPTS_VALUE : stamp + lasts;
      if (reader->kind == MEDIA_AUDIO) {
        out->have = 1;
        out->time = time;
        const int32_t status = convert_sound(reader, reader->frame, out);
        av_frame_unref(reader->frame);
        return status;
      }
      // A picture over the side limit is refused; one that is merely of
      // another size than the stream's is scaled to it on copying.
      if (reader->frame->width < 1 || reader->frame->height < 1 ||
          reader->frame->width > static_cast<int>(MEDIA_MAX_SIDE) ||
          reader->frame->height > static_cast<int>(MEDIA_MAX_SIDE)) {
        av_frame_unref(reader->frame);
        return MEDIA_E_FAIL;
      }
      out->have = 1;
      out->time = time;
      out->duration = lasts > 0 ? av_rescale_q(lasts, reader->stream->time_base, kTicks) : 0;
      av_frame_unref(reader->picture);
      av_frame_move_ref(reader->picture, reader->frame);
      reader->picture_duration = out->duration;
      reader->picture_time = time;
      reader->guessed_time = guessed;
      return MEDIA_OK;
    }
    if (error == AVERROR_EOF) {
      // The stream ended: a picture decoded since the last seek comes again with the flag.
      out->end_of_stream = 1;
      if (reader->kind == MEDIA_VIDEO && reader->picture->data[0] != nullptr) {
        out->have = 1;
        out->time = reader->picture_time;
      }
      return MEDIA_OK;
    }
    // A damaged block of sound is dropped and reading goes on after it, so a
    // file cut short or broken part-way keeps what decodes.
    if (error == AVERROR_INVALIDDATA && reader->kind == MEDIA_AUDIO) continue;
    if (error != AVERROR(EAGAIN)) return media_status_from_library(error);
    // The decoder wants input: the packet it refused before, else the next one of the stream.
    if (!reader->packet_pending) {
      if (reader->demux_done) return media_status_from_library(AVERROR_EOF);
      error = av_read_frame(reader->format, reader->packet);
      if (error < 0) {
        // End of file, or a damaged tail: drain what the decoder still holds.
        reader->demux_done = true;
        error = avcodec_send_packet(reader->codec, nullptr);
        if (error < 0 && error != AVERROR_EOF) return media_status_from_library(error);
        continue;
      }
      if (reader->packet->stream_index != reader->stream_index ||
          (reader->await_key && !(reader->packet->flags & AV_PKT_FLAG_KEY))) {
        av_packet_unref(reader->packet);
        continue;
      }
      reader->await_key = false;
      const bool unseen = unseen_picture(reader, reader->packet);
      if (unseen && reader->h264 && h264_unreferenced(reader->packet, reader->nal_length_size)) {
        av_packet_unref(reader->packet);
        continue;
      }
      reader->codec->skip_frame = unseen ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    }
    error = avcodec_send_packet(reader->codec, reader->packet);
    // A packet the decoder cannot take yet is kept and sent again once it has
    // given out what it holds; a damaged one is dropped.
    reader->packet_pending = error == AVERROR(EAGAIN);
    if (reader->packet_pending) continue;
    av_packet_unref(reader->packet);
    if (error < 0 && error != AVERROR_INVALIDDATA) return media_status_from_library(error);
  }
  return MEDIA_E_FAIL;
}

}  // namespace

int32_t media_reader_seek(MediaReader* reader, int64_t time) {
  if (reader == nullptr) return MEDIA_E_POINTER;
  if (reader->still) {
    // The one picture, once decoded, is what every time shows.
    if (reader->picture->data[0] != nullptr) {
      reader->picture_held = true;
      reader->picture_time = 0;
      reader->picture_duration = 0;
      return MEDIA_OK;
    }
    if (!reader->started) return MEDIA_OK;  // the reads start at the picture anyway
  }
  if (reader->checked_seeks) return checked_seek(reader, time);
  // Rounded down: in a coarse time base (AVI counts pictures) the nearest
  // stamp can be the picture after the time.
  const int error = av_seek_frame(reader->format, reader->stream_index, to_stamp(reader, time), AVSEEK_FLAG_BACKWARD);
  if (error < 0) return media_status_from_library(error);
  return restart_decoding(reader, time);
}

int32_t media_reader_read(MediaReader* reader, MediaSample* out) {
  *out = MediaSample{};
  if (reader == nullptr) return MEDIA_E_POINTER;
  reader->started = true;
  if (reader->picture_held) {
    // The picture the seek decoded to check where it landed.
    reader->picture_held = false;
    out->have = 1;
    out->time = reader->picture_time;
    out->duration = reader->picture_duration;
    return MEDIA_OK;
  }
  return read_sample(reader, out);
}

int32_t media_reader_copy_picture(MediaReader* reader, uint8_t* pixels, int32_t pitch) {
  if (reader == nullptr || pixels == nullptr) return MEDIA_E_POINTER;
  const AVFrame* picture = reader->picture;
  const int width = reader->stored_width;
  const int height = reader->stored_height;
  if (picture->data[0] == nullptr || picture->width < 1 || picture->height < 1 ||
      picture->width > static_cast<int>(MEDIA_MAX_SIDE) || picture->height > static_cast<int>(MEDIA_MAX_SIDE))
    return MEDIA_E_FAIL;
  int source = picture->format;
  if (source < 0 || source >= AV_PIX_FMT_NB) return MEDIA_E_FAIL;
  // The JPEG formats are the plain ones at full range.
  bool full_range = enum_field(&picture->color_range, AVCOL_RANGE_NB, AVCOL_RANGE_UNSPECIFIED) == AVCOL_RANGE_JPEG;
  switch (source) {
    case AV_PIX_FMT_YUVJ420P: source = AV_PIX_FMT_YUV420P; full_range = true; break;
    case AV_PIX_FMT_YUVJ422P: source = AV_PIX_FMT_YUV422P; full_range = true; break;
    case AV_PIX_FMT_YUVJ444P: source = AV_PIX_FMT_YUV444P; full_range = true; break;
    case AV_PIX_FMT_YUVJ440P: source = AV_PIX_FMT_YUV440P; full_range = true; break;
    default: break;
  }
  reader->scaler = sws_getCachedContext(reader->scaler, picture->width, picture->height, static_cast<AVPixelFormat>(source), width, height,
                                        AV_PIX_FMT_BGR0, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (reader->scaler == nullptr) return MEDIA_E_FAIL;
  const int matrix = enum_field(&picture->colorspace, AVCOL_SPC_NB, AVCOL_SPC_UNSPECIFIED);
  const int space = matrix == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
  const int details = space * 2 + (full_range ? 1 : 0);
  if (reader->scaler_set != reader->scaler || reader->scaler_details != details) {
    sws_setColorspaceDetails(reader->scaler, sws_getCoefficients(space), full_range ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    reader->scaler_set = reader->scaler;
    reader->scaler_details = details;
  }
  // A picture to be turned is converted at its stored size into the scratch
  // buffer first, then turned into the caller's.
  uint8_t* converted = pixels;
  int converted_pitch = pitch;
  if (reader->quarter_turns != 0) {
    const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
    if (bytes > reader->scratch_capacity) {
      void* grown = std::realloc(reader->scratch, bytes);
      if (grown == nullptr) return MEDIA_E_OUTOFMEMORY;
      reader->scratch = static_cast<uint8_t*>(grown);
      reader->scratch_capacity = bytes;
    }
    converted = reader->scratch;
    converted_pitch = width * 4;
  }
  uint8_t* target[4] = {converted, nullptr, nullptr, nullptr};
  const int target_pitch[4] = {converted_pitch, 0, 0, 0};
  const int rows = sws_scale(reader->scaler, picture->data, picture->linesize, 0, picture->height, target, target_pitch);
  if (rows != height) return MEDIA_E_FAIL;
  if (reader->quarter_turns != 0)
    turn_picture(reinterpret_cast<const uint32_t*>(reader->scratch), width, height, reader->quarter_turns, pixels, pitch);
  return MEDIA_OK;
}
