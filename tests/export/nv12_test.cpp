// The NV12 conversion against the integer BT.601 formulas written out plainly:
// every byte of both planes for pictures of awkward widths and strides, and
// the colours whose values are known.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "export/nv12.h"

namespace {

std::vector<uint8_t> reference(const std::vector<uint8_t>& pixels, uint32_t stride, uint32_t width, uint32_t height) {
  std::vector<uint8_t> out(width * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = &pixels[y * stride + 4 * x];
      out[y * width + x] = static_cast<uint8_t>(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  for (uint32_t y = 0; y < height; y += 2)
    for (uint32_t x = 0; x < width; x += 2) {
      int sr = 0, sg = 0, sb = 0;
      for (uint32_t dy = 0; dy < 2; ++dy)
        for (uint32_t dx = 0; dx < 2; ++dx) {
          const uint8_t* p = &pixels[(y + dy) * stride + 4 * (x + dx)];
          sb += p[0];
          sg += p[1];
          sr += p[2];
        }
      uint8_t* uv = &out[width * height + (y / 2) * width + x];
      uv[0] = static_cast<uint8_t>(((112 * sb - 74 * sg - 38 * sr + 512) >> 10) + 128);
      uv[1] = static_cast<uint8_t>(((112 * sr - 94 * sg - 18 * sb + 512) >> 10) + 128);
    }
  return out;
}

TEST(Nv12, EveryByteMatchesTheFormulas) {
  struct Case {
    uint32_t width;
    uint32_t height;
    uint32_t padding;  // bytes after each row
  };
  const Case cases[] = {{2, 2, 0}, {6, 4, 4}, {16, 2, 0}, {18, 2, 8}, {34, 6, 12}, {1282, 4, 0}, {1920, 1080, 64}};
  uint32_t noise = 12345;
  for (const Case& c : cases) {
    const uint32_t stride = c.width * 4 + c.padding;
    std::vector<uint8_t> pixels(stride * c.height);
    for (uint8_t& byte : pixels) {
      noise = noise * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(noise >> 24);
    }
    const size_t size = c.width * c.height * 3 / 2;
    std::vector<uint8_t> out(size + 32, 0xA5);  // guard bytes after the picture
    kelvra_convert_nv12(pixels.data(), stride, c.width, c.height, out.data());
    const std::vector<uint8_t> want = reference(pixels, stride, c.width, c.height);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), out.begin())) << c.width << "x" << c.height;
    for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5) << c.width << "x" << c.height;
  }
}

TEST(Nv12, KnownColoursAndTheIgnoredFourthByte) {
  struct Case {
    uint8_t b, g, r, x;
    uint8_t y, u, v;
  };
  const Case cases[] = {
      {255, 255, 255, 0, 235, 128, 128},
      {0, 0, 0, 255, 16, 128, 128},
      {0x0A, 0x0B, 0x09, 77, 25, 128, 127},  // the canvas background
      {0, 0, 255, 0, 82, 90, 240},           // red
      {255, 0, 0, 0, 41, 240, 110},          // blue
  };
  for (const Case& c : cases) {
    // 32 x 2 so that the wide path and the scalar tail both see the colour.
    std::vector<uint8_t> pixels(34 * 4 * 2);
    for (size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = c.b;
      pixels[i + 1] = c.g;
      pixels[i + 2] = c.r;
      pixels[i + 3] = static_cast<uint8_t>(c.x + i);
    }
    std::vector<uint8_t> out(34 * 3);
    kelvra_convert_nv12(pixels.data(), 34 * 4, 34, 2, out.data());
    for (uint32_t i = 0; i < 68; ++i) ASSERT_EQ(out[i], c.y) << i;
    for (uint32_t i = 68; i < 102; i += 2) {
      ASSERT_EQ(out[i], c.u) << i;
      ASSERT_EQ(out[i + 1], c.v) << i;
    }
  }
}

}  // namespace
