// Probing a file for its picture and sound streams.
#include "media/streams.h"

#include "platform/media.h"

namespace {

// 1 when the file has a stream of `kind`, 0 when it has none, -1 when it cannot be read.
int has_stream(const char* path, MediaKind kind) {
  MediaReader* reader = nullptr;
  const int32_t status = media_reader_open(&reader, path, kind, 1);
  media_reader_close(reader);
  if (status == MEDIA_OK) return 1;
  return status == MEDIA_E_NO_STREAM ? 0 : -1;
}

}  // namespace

uint8_t media_source_streams(const char* path) {
  const int pictures = has_stream(path, MEDIA_VIDEO);
  const int sound = has_stream(path, MEDIA_AUDIO);
  if (pictures < 0 && sound < 0) return 0;
  // A file whose one kind of stream fails to open but whose other opens is
  // damaged in that stream: it keeps its switch, and the export tells.
  uint8_t streams = MEDIA_STREAMS_KNOWN;
  if (pictures != 0) streams |= MEDIA_STREAMS_PICTURES;
  if (sound != 0) streams |= MEDIA_STREAMS_SOUND;
  return streams;
}
