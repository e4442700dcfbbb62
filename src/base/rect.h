// The rectangle every layout, hit test and drawing call shares.
#pragma once

#include <cstdint>

// x, y, width, height in client pixels.
struct Rect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};
