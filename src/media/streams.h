// Which streams a source file holds, for the switches of its clips: a file
// without pictures places its clips with "Video" off, one without sound with
// "Audio" off.
#pragma once

#include <cstdint>

enum : uint8_t {
  MEDIA_STREAMS_KNOWN = 1,     // the file was read; the bits below tell what it has
  MEDIA_STREAMS_PICTURES = 2,
  MEDIA_STREAMS_SOUND = 4,
};

// MEDIA_STREAMS_* bits of the file at `path`; 0 when it cannot be read as
// media (missing or damaged): nothing is known then.
uint8_t media_source_streams(const char* path);
