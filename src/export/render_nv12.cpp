// NV12 conversion with fixed integer BT.601 (limited range) arithmetic.
#include "export/nv12.h"

#include <cstddef>

void kelvra_convert_nv12(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out) {
  uint8_t* luma = out;
  uint8_t* chroma = out + static_cast<size_t>(width) * height;
  for (uint32_t y = 0; y < height; y += 2) {
    const uint8_t* row0 = pixels + static_cast<size_t>(y) * stride;
    const uint8_t* row1 = row0 + stride;
    uint8_t* y0 = luma + static_cast<size_t>(y) * width;
    uint8_t* y1 = y0 + width;
    uint8_t* uv = chroma + static_cast<size_t>(y / 2) * width;
    for (uint32_t x = 0; x < width; x += 2) {
      int32_t sr = 0, sg = 0, sb = 0;
      const uint8_t* p[4] = {row0 + 4 * x, row0 + 4 * x + 4, row1 + 4 * x, row1 + 4 * x + 4};
      uint8_t* o[4] = {y0 + x, y0 + x + 1, y1 + x, y1 + x + 1};
      for (int i = 0; i < 4; ++i) {
        const int32_t b = p[i][0], g = p[i][1], r = p[i][2];
        *o[i] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
        sr += r;
        sg += g;
        sb += b;
      }
      uv[x] = static_cast<uint8_t>(((112 * sb - 74 * sg - 38 * sr + 512) >> 10) + 128);
      uv[x + 1] = static_cast<uint8_t>(((112 * sr - 94 * sg - 18 * sb + 512) >> 10) + 128);
    }
  }
}
