// The NV12 conversion against the integer BT.601 formulas written out plainly:
// every byte of both planes on every path the processor has, for pictures of
// awkward widths and strides, with noise and with only the extreme values;
// the ignored fourth byte; nothing written past the picture; and the colours
// whose values are known.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "export/nv12.h"

namespace {

std::vector<uint8_t> reference(const std::vector<uint8_t>& pixels, uint32_t stride, uint32_t width, uint32_t height) {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t* p = &pixels[static_cast<size_t>(y) * stride + 4 * x];
      const int32_t b = p[0], g = p[1], r = p[2];
      out[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
    }
  for (uint32_t y = 0; y < height; y += 2)
    for (uint32_t x = 0; x < width; x += 2) {
      int32_t sr = 0, sg = 0, sb = 0;
      for (uint32_t dy = 0; dy < 2; ++dy)
        for (uint32_t dx = 0; dx < 2; ++dx) {
          const uint8_t* p = &pixels[static_cast<size_t>(y + dy) * stride + 4 * (x + dx)];
          sb += p[0];
          sg += p[1];
          sr += p[2];
        }
      uint8_t* uv = &out[static_cast<size_t>(width) * height + static_cast<size_t>(y / 2) * width + x];
      uv[0] = static_cast<uint8_t>(((112 * sb - 74 * sg - 38 * sr + 512) >> 10) + 128);
      uv[1] = static_cast<uint8_t>(((112 * sr - 94 * sg - 18 * sb + 512) >> 10) + 128);
    }
  return out;
}

// The paths this processor has, the widest (the one kelvra_convert_nv12 uses) included.
std::vector<Nv12Path> paths() {
  std::vector<Nv12Path> have;
  std::vector<uint8_t> pixels(2 * 2 * 4), out(6);
  for (Nv12Path path : {NV12_SCALAR, NV12_SSE2, NV12_AVX2})
    if (kelvra_convert_nv12_with(path, pixels.data(), 8, 2, 2, out.data())) have.push_back(path);
  return have;
}

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kGuardBytes = 64;

// Converts with `path` into a buffer with guard bytes after the picture and
// checks every byte against the reference and that the guard is untouched.
void expect_exact(Nv12Path path, const std::vector<uint8_t>& pixels, uint32_t stride, uint32_t width,
                  uint32_t height) {
  SCOPED_TRACE(testing::Message() << width << "x" << height << " stride " << stride << " path " << path);
  const size_t size = static_cast<size_t>(width) * height * 3 / 2;
  std::vector<uint8_t> out(size + kGuardBytes, kGuard);
  ASSERT_TRUE(kelvra_convert_nv12_with(path, pixels.data(), stride, width, height, out.data()));
  const std::vector<uint8_t> want = reference(pixels, stride, width, height);
  size_t wrong = 0;
  size_t first = size;
  for (size_t i = 0; i < size; ++i)
    if (out[i] != want[i]) {
      if (wrong++ == 0) first = i;
    }
  EXPECT_EQ(wrong, 0u) << "first at byte " << first << " (" << (first < size / 3 * 2 ? "luma" : "chroma") << ")";
  for (size_t i = size; i < out.size(); ++i) ASSERT_EQ(out[i], kGuard) << "written past the picture at " << i;
}

TEST(Nv12, EveryPathMatchesTheFormulasOnEveryByte) {
  const std::vector<Nv12Path> have = paths();
  ASSERT_EQ(have.front(), NV12_SCALAR);
  ASSERT_EQ(have.back(), kelvra_nv12_best_path());
  struct Case {
    uint32_t width;
    uint32_t height;
    uint32_t padding;  // bytes after each row's pixels
  };
  // Widths that leave every mix of 32-, 16- and 2-column steps.
  const Case cases[] = {{2, 2, 0},    {6, 4, 4},    {16, 2, 0},     {18, 2, 8},    {32, 2, 0},
                        {34, 6, 12},  {50, 4, 0},   {62, 2, 4},     {1080, 4, 16}, {1282, 4, 0},
                        {1920, 1080, 64}};
  std::mt19937 random(20240611);
  for (const bool extremes : {false, true}) {
    for (const Case& c : cases) {
      const uint32_t stride = c.width * 4 + c.padding;
      std::vector<uint8_t> pixels(static_cast<size_t>(stride) * c.height);
      // Only 0 and 255 give the largest and smallest sums a block can have.
      for (uint8_t& byte : pixels) byte = static_cast<uint8_t>(extremes ? (random() & 1) * 255 : random());
      for (Nv12Path path : have) expect_exact(path, pixels, stride, c.width, c.height);
    }
  }
}

TEST(Nv12, DefaultConversionIsTheBestPath) {
  std::mt19937 random(7);
  std::vector<uint8_t> pixels(98 * 4 * 6);
  for (uint8_t& byte : pixels) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> chosen(98 * 6 * 3 / 2), best(chosen.size());
  kelvra_convert_nv12(pixels.data(), 98 * 4, 98, 6, chosen.data());
  ASSERT_TRUE(kelvra_convert_nv12_with(kelvra_nv12_best_path(), pixels.data(), 98 * 4, 98, 6, best.data()));
  EXPECT_EQ(chosen, best);
  EXPECT_EQ(chosen, reference(pixels, 98 * 4, 98, 6));
}

TEST(Nv12, TheFourthByteDoesNotMatter) {
  std::mt19937 random(99);
  const uint32_t width = 66, height = 4;
  std::vector<uint8_t> zero(width * 4 * height);
  for (uint8_t& byte : zero) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> junk = zero;
  for (size_t i = 3; i < zero.size(); i += 4) {
    zero[i] = 0;
    junk[i] = static_cast<uint8_t>(random() | 1);
  }
  for (Nv12Path path : paths()) {
    std::vector<uint8_t> a(width * height * 3 / 2), b(a.size());
    ASSERT_TRUE(kelvra_convert_nv12_with(path, zero.data(), width * 4, width, height, a.data()));
    ASSERT_TRUE(kelvra_convert_nv12_with(path, junk.data(), width * 4, width, height, b.data()));
    EXPECT_EQ(a, b) << "path " << path;
  }
}

TEST(Nv12, KnownColours) {
  struct Case {
    uint8_t b, g, r;
    uint8_t y, u, v;
  };
  const Case cases[] = {
      {255, 255, 255, 235, 128, 128},  // white
      {0, 0, 0, 16, 128, 128},         // black
      {0x0A, 0x0B, 0x09, 25, 128, 127},
      {0, 0, 255, 82, 90, 240},     // red: the largest V
      {255, 0, 0, 41, 240, 110},    // blue: the largest U
      {0, 255, 255, 210, 16, 146},  // yellow: the smallest U
      {255, 255, 0, 169, 166, 16},  // cyan: the smallest V
  };
  // 50 x 2 so that every step width (32, 16, 2) sees the colour.
  const uint32_t width = 50;
  for (const Case& c : cases) {
    std::vector<uint8_t> pixels(width * 4 * 2);
    for (size_t i = 0; i < pixels.size(); i += 4) {
      pixels[i] = c.b;
      pixels[i + 1] = c.g;
      pixels[i + 2] = c.r;
      pixels[i + 3] = static_cast<uint8_t>(i * 37);
    }
    for (Nv12Path path : paths()) {
      SCOPED_TRACE(testing::Message() << "colour " << int(c.r) << "," << int(c.g) << "," << int(c.b) << " path "
                                      << path);
      std::vector<uint8_t> out(width * 3);
      ASSERT_TRUE(kelvra_convert_nv12_with(path, pixels.data(), width * 4, width, 2, out.data()));
      for (uint32_t i = 0; i < 2 * width; ++i) ASSERT_EQ(out[i], c.y) << i;
      for (uint32_t i = 2 * width; i < 3 * width; i += 2) {
        ASSERT_EQ(out[i], c.u) << i;
        ASSERT_EQ(out[i + 1], c.v) << i;
      }
    }
  }
}

TEST(Nv12, UnknownPathWritesNothing) {
  std::vector<uint8_t> pixels(2 * 2 * 4, 200), out(6, kGuard);
  EXPECT_FALSE(kelvra_convert_nv12_with(static_cast<Nv12Path>(7), pixels.data(), 8, 2, 2, out.data()));
  EXPECT_EQ(out, std::vector<uint8_t>(6, kGuard));
}

}  // namespace
