// The painter's real pixels, read back from its off-screen picture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

constexpr uint32_t kGround = 0x102030;

class PainterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    painter = kelvra_painter_create(nullptr);
    ASSERT_NE(painter, nullptr);
    ASSERT_TRUE(kelvra_painter_offscreen(painter, 200, 100));
    ASSERT_TRUE(kelvra_painter_begin(painter, 200, 100));
    kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  }
  void TearDown() override { kelvra_painter_destroy(painter); }

  uint32_t pixel(int x, int y) {
    uint32_t stride = 0;
    const uint8_t* data = kelvra_painter_pixels(painter, nullptr, nullptr, &stride);
    const uint8_t* p = data + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 4;
    return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
  }
  // Pixels inside `rect` that differ from the ground, and outside it.
  std::pair<int, int> ink(Rect rect) {
    int inside = 0;
    int outside = 0;
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 200; ++x) {
        if (pixel(x, y) == kGround) continue;
        const bool in = x >= rect.x && x < rect.x + rect.width && y >= rect.y && y < rect.y + rect.height;
        (in ? inside : outside)++;
      }
    return {inside, outside};
  }
  std::vector<uint8_t> snapshot() {
    uint32_t stride = 0;
    const uint8_t* data = kelvra_painter_pixels(painter, nullptr, nullptr, &stride);
    return std::vector<uint8_t>(data, data + stride * 100);
  }

  Painter* painter = nullptr;
};

TEST_F(PainterTest, FrameSizesAreChecked) {
  EXPECT_FALSE(kelvra_painter_begin(painter, 201, 100));  // an off-screen picture keeps its size
  EXPECT_FALSE(kelvra_painter_begin(painter, 0, 100));
  EXPECT_FALSE(kelvra_painter_offscreen(painter, 16385, 1));
  EXPECT_TRUE(kelvra_painter_end(painter));
  Painter* unready = kelvra_painter_create(nullptr);
  EXPECT_FALSE(kelvra_painter_begin(unready, 10, 10));  // no window and no picture
  kelvra_painter_destroy(unready);
  kelvra_painter_destroy(nullptr);
}

// A window painter draws into the window's own framebuffer by default, and
// through a renderer's texture when SDL_RENDER_DRIVER names one; either way
// the frame reads back, and a resize makes a new target.
TEST(WindowPainter, DrawsAndPresentsOnBothPaths) {
  for (const char* driver : {static_cast<const char*>(nullptr), "software"}) {
    kelvra_test::ScopedEnv renderer("SDL_RENDER_DRIVER", driver);
    const UiWindowConfig config = {"painter", 320, 200, 30, 0, 1, 1, 1, 1, 1};
    UiWindow* window = ui_window_create(&config);
    ASSERT_NE(window, nullptr);
    Painter* painter = kelvra_painter_create(window);
    ASSERT_NE(painter, nullptr);
    ASSERT_TRUE(kelvra_painter_begin(painter, 320, 200));
    kelvra_shape(painter, Rect{0, 0, 320, 200}, 0, 0x151817);
    kelvra_shape(painter, Rect{10, 10, 5, 5}, 0, 0xF1CE72);
    EXPECT_TRUE(kelvra_painter_end(painter));
    EXPECT_EQ(kelvra_test::painted_pixel(painter, 12, 12), 0xF1CE72u) << (driver ? driver : "framebuffer");
    EXPECT_EQ(kelvra_test::painted_pixel(painter, 20, 20), 0x151817u);
    SDL_SetWindowSize(ui_window_sdl(window), 400, 300);
    ASSERT_TRUE(kelvra_painter_begin(painter, 400, 300));
    kelvra_shape(painter, Rect{0, 0, 400, 300}, 0, 0x404C44);
    EXPECT_TRUE(kelvra_painter_end(painter));
    uint32_t width = 0;
    kelvra_painter_pixels(painter, &width, nullptr, nullptr);
    EXPECT_EQ(width, 400u);
    EXPECT_EQ(kelvra_test::painted_pixel(painter, 399, 299), 0x404C44u);
    EXPECT_FALSE(kelvra_painter_begin(painter, 16385, 1));
    EXPECT_TRUE(kelvra_painter_begin(painter, 16384, 1));  // a size the window does not have: the renderer path
    EXPECT_TRUE(kelvra_painter_end(painter));
    kelvra_painter_destroy(painter);
    ui_window_destroy(window);
  }
}

TEST_F(PainterTest, ShapesFillExactlyTheirRectangles) {
  kelvra_shape(painter, Rect{10, 20, 30, 40}, 0, 0xA4B1A9);
  EXPECT_EQ(pixel(10, 20), 0xA4B1A9u);
  EXPECT_EQ(pixel(39, 59), 0xA4B1A9u);
  EXPECT_EQ(pixel(40, 59), kGround);
  EXPECT_EQ(pixel(39, 60), kGround);
  EXPECT_EQ(pixel(9, 20), kGround);

  kelvra_shape(painter, Rect{100, 10, 40, 40}, 20, 0xF1CE72);  // a disc
  EXPECT_EQ(pixel(120, 30), 0xF1CE72u);
  EXPECT_EQ(pixel(100, 10), kGround);  // the corner stays empty
  EXPECT_EQ(pixel(139, 49), kGround);
  kelvra_shape(painter, Rect{150, 60, 0, 10}, 0, 0xFFFFFF);  // empty: nothing
  kelvra_shape(painter, Rect{150, 60, 10, -1}, 0, 0xFFFFFF);
  EXPECT_EQ(pixel(150, 60), kGround);
}

TEST_F(PainterTest, TextIsDrawnClippedAndRefusedWhenInvalid) {
  const Rect rect{20, 30, 120, 20};
  kelvra_text(painter, rect, "LIBRARY", 0xE7EFEA, false);
  auto [inside, outside] = ink(rect);
  EXPECT_GT(inside, 40);
  EXPECT_EQ(outside, 0);

  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  const std::string long_text = "A very long source title that cannot fit into its card at all";
  const Rect narrow{10, 10, 80, 20};
  kelvra_text(painter, narrow, long_text.c_str(), 0xE7EFEA, false);
  std::tie(inside, outside) = ink(narrow);
  EXPECT_GT(inside, 40);
  EXPECT_EQ(outside, 0);  // trimmed to the rectangle
  int right_edge_ink = 0;  // the ellipsis ends the line near the right edge
  for (int y = 10; y < 30; ++y)
    for (int x = 78; x < 90; ++x) right_edge_ink += pixel(x, y) != kGround;
  EXPECT_GT(right_edge_ink, 0);

  // Bytes that are not UTF-8 draw as the replacement character, the rest as it is.
  std::vector<uint32_t> shown[2];
  const char* texts[2] = {"bad \xff utf-8", "bad \xef\xbf\xbd utf-8"};
  for (int k = 0; k < 2; ++k) {
    kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
    kelvra_text(painter, Rect{0, 0, 200, 100}, texts[k], 0xE7EFEA, false);
    for (int y = 0; y < 100; ++y)
      for (int x = 0; x < 200; ++x) shown[k].push_back(pixel(x, y));
  }
  EXPECT_GT(ink(Rect{0, 0, 200, 100}).first, 40);
  EXPECT_TRUE(shown[0] == shown[1]);

  for (const std::string& refused : {std::string(512, 'i'), std::string()}) {
    kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
    kelvra_text(painter, Rect{0, 0, 200, 100}, refused.c_str(), 0xE7EFEA, false);
    EXPECT_EQ(ink(Rect{0, 0, 200, 100}).first, 0) << refused.size();
  }
  kelvra_text(painter, Rect{0, 0, 200, 100}, std::string(511, 'i').c_str(), 0xE7EFEA, false);
  EXPECT_GT(ink(Rect{0, 0, 200, 100}).first, 0);  // 511 units still draw
  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  std::string pairs;
  for (int i = 0; i < 256; ++i) pairs += "\xf0\x9f\x8e\xb5";  // 512 units in 256 characters
  kelvra_text(painter, Rect{0, 0, 200, 100}, pairs.c_str(), 0xE7EFEA, false);
  EXPECT_EQ(ink(Rect{0, 0, 200, 100}).first, 0);
}

TEST_F(PainterTest, TexturesAreScaledIntoTheirRectangles) {
  // A 2 x 2 picture: red, green / blue, white (bytes B, G, R, X).
  const uint32_t picture[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0x00FFFFFF};
  int key = 0;
  kelvra_texture(painter, picture, 2, 2, &key, 1, Rect{0, 0, 100, 100}, false);
  EXPECT_EQ(pixel(10, 10), 0xFF0000u);
  EXPECT_EQ(pixel(90, 10), 0x00FF00u);
  EXPECT_EQ(pixel(10, 90), 0x0000FFu);
  EXPECT_EQ(pixel(90, 90), 0xFFFFFFu);
  EXPECT_EQ(pixel(150, 50), kGround);  // clipped to the rectangle
  // Drawn straight from the pixels, without the cache: the same picture.
  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  kelvra_picture_compose(painter, picture, 2, 2, Rect{100, 0, 100, 100}, TexturePlacement{0, 0, 1}, 1.0, false);
  EXPECT_EQ(pixel(110, 10), 0xFF0000u);
  EXPECT_EQ(pixel(190, 90), 0xFFFFFFu);
  EXPECT_EQ(pixel(50, 50), kGround);
  EXPECT_EQ(kelvra_painter_texture_info(painter, 1).uploads, 1u);  // the cache was not touched

  // A wide picture fits with bands above and below, or covers the square.
  const std::vector<uint32_t> wide(200 * 100, 0x00FFFFFF);
  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  kelvra_texture(painter, wide.data(), 200, 100, &key, 2, Rect{100, 0, 100, 100}, false);
  EXPECT_EQ(pixel(150, 10), kGround);
  EXPECT_EQ(pixel(150, 50), 0xFFFFFFu);
  kelvra_texture(painter, wide.data(), 200, 100, &key, 2, Rect{100, 0, 100, 100}, true);
  EXPECT_EQ(pixel(150, 10), 0xFFFFFFu);

  // Half opacity over the ground, moved right by half the rectangle.
  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, 0x000000);
  kelvra_texture_compose(painter, wide.data(), 200, 100, &key, 2, Rect{0, 0, 100, 100}, TexturePlacement{0.5, 0, 0.5},
                         0.5, false);
  EXPECT_EQ(pixel(25, 50), 0x000000u);
  const uint32_t blended = pixel(85, 50);
  EXPECT_NEAR(static_cast<int>(blended & 0xFF), 128, 2);
}

TEST_F(PainterTest, TextureCacheUploadsOnlyNewVersions) {
  const std::vector<uint32_t> pixels(16 * 16, 0x00336699);
  int keys[11];
  for (int i = 0; i < 11; ++i) kelvra_texture(painter, pixels.data(), 16, 16, &keys[i], 1, Rect{0, 0, 16, 16}, false);
  EXPECT_EQ(kelvra_painter_texture_info(painter, 0).key, &keys[10]);  // the eleventh key replaced the first
  EXPECT_EQ(kelvra_painter_texture_info(painter, 1).key, &keys[1]);
  PainterTextureInfo info = kelvra_painter_texture_info(painter, 0);
  EXPECT_EQ(info.creations, 11u);
  EXPECT_EQ(info.uploads, 11u);

  kelvra_texture(painter, pixels.data(), 16, 16, &keys[10], 1, Rect{0, 0, 16, 16}, false);
  info = kelvra_painter_texture_info(painter, 0);
  EXPECT_EQ(info.uploads, 11u);  // same version: drawn from the cache
  kelvra_texture(painter, pixels.data(), 16, 16, &keys[10], 2, Rect{0, 0, 16, 16}, false);
  info = kelvra_painter_texture_info(painter, 0);
  EXPECT_EQ(info.uploads, 12u);
  EXPECT_EQ(info.creations, 11u);  // a new version with the same size is only a copy
  EXPECT_EQ(info.version, 2u);
  kelvra_texture(painter, pixels.data(), 8, 8, &keys[10], 2, Rect{0, 0, 16, 16}, false);
  info = kelvra_painter_texture_info(painter, 0);
  EXPECT_EQ(info.creations, 12u);  // a new size gets a new bitmap
  EXPECT_EQ(info.width, 8u);
  kelvra_texture(painter, nullptr, 8, 8, &keys[0], 3, Rect{0, 0, 16, 16}, false);
  EXPECT_EQ(kelvra_painter_texture_info(painter, 0).creations, 12u);  // nothing to draw
}

}  // namespace
// Outlined texts are kept from picture to picture; whatever changes between
// two drawings (text, colours, scale, the fraction of a pixel the box starts
// at) shows as a painter that never drew before would show it.
TEST_F(PainterTest, OutlinedTextFollowsEveryChange) {
  struct Drawing {
    const char* text;
    uint32_t ink;
    uint32_t outline;
    double scale;
    Rect rect;
  };
  const Drawing drawings[] = {
      {"Harbour at dawn", 0xF0E0A0, 0x000000, 2.25, Rect{3, 2, 60, 20}},
      {"Harbour at dusk", 0xF0E0A0, 0x000000, 2.25, Rect{3, 2, 60, 20}},
      {"Harbour at dusk", 0x20E020, 0x000000, 2.25, Rect{3, 2, 60, 20}},
      {"Harbour at dusk", 0x20E020, 0xFF0000, 2.25, Rect{3, 2, 60, 20}},
      {"Harbour at dusk", 0x20E020, 0xFF0000, 1.37, Rect{3, 2, 60, 20}},
      {"Harbour at dusk", 0x20E020, 0xFF0000, 1.37, Rect{4, 3, 60, 20}},
      {"Harbour at dawn", 0xF0E0A0, 0x000000, 2.25, Rect{3, 2, 60, 20}},
  };
  for (const Drawing& drawing : drawings) {
    std::vector<uint8_t> shown[2];
    Painter* fresh = kelvra_painter_create(nullptr);
    ASSERT_TRUE(kelvra_painter_offscreen(fresh, 200, 100));
    ASSERT_TRUE(kelvra_painter_begin(fresh, 200, 100));
    Painter* both[2] = {painter, fresh};
    for (int k = 0; k < 2; ++k) {
      kelvra_shape(both[k], Rect{0, 0, 200, 100}, 0, kGround);
      kelvra_painter_scale(both[k], drawing.scale);
      kelvra_text_outlined(both[k], drawing.rect, drawing.text, drawing.ink, drawing.outline, 1.0, true);
      kelvra_painter_scale(both[k], 1.0);
      uint32_t stride = 0;
      const uint8_t* data = kelvra_painter_pixels(both[k], nullptr, nullptr, &stride);
      shown[k].assign(data, data + stride * 100);
    }
    kelvra_painter_destroy(fresh);
    EXPECT_TRUE(shown[0] == shown[1]) << drawing.text << " " << drawing.scale << " " << drawing.rect.x;
  }
  // Drawn clipped to its box, at its scale: 60 x 20 units at 2.25 from (3, 2).
  kelvra_shape(painter, Rect{0, 0, 200, 100}, 0, kGround);
  kelvra_painter_scale(painter, 2.25);
  kelvra_text_outlined(painter, Rect{3, 2, 60, 20}, "WWWWWWWWWWWWWWWWWWWWWWWWW", 0xF0E0A0, 0x000000, 1.0, false);
  kelvra_painter_scale(painter, 1.0);
  auto [inside, outside] = ink(Rect{6, 4, 137, 46});
  EXPECT_GT(inside, 400);
  EXPECT_EQ(outside, 0);
}
// A picture enlarged over a canvas samples as bilinear filtering with padded
// edges does: every pixel within four steps of the exact blend of its four
// neighbours (weights in 1/128 steps), across sizes, zooms and offsets; the
// pixels outside the rectangle it is drawn into stay as they were. (The
// weights' steps may move a sample between a dark and a light pixel by two
// on each axis.)
TEST(PictureEnlarged, SamplesAsBilinearFiltering) {
  constexpr uint32_t kWidth = 48;
  constexpr uint32_t kHeight = 27;
  std::vector<uint8_t> picture(kWidth * kHeight * 4);
  uint32_t noise = 1;
  for (size_t i = 0; i < picture.size(); ++i) {
    noise = noise * 1664525u + 1013904223u;
    picture[i] = (i / 4 % kWidth / 6) % 2 == 1 ? 230 : static_cast<uint8_t>(noise >> 24);
  }
  // Exact bilinear of channel c at source position (u, v), padded.
  const auto exact = [&](double u, double v, int c) {
    const auto at = [&](long x, long y) {
      x = std::clamp<long>(x, 0, kWidth - 1);
      y = std::clamp<long>(y, 0, kHeight - 1);
      return static_cast<double>(picture[(static_cast<size_t>(y) * kWidth + x) * 4 + c]);
    };
    const double x = u - 0.5;
    const double y = v - 0.5;
    const long x0 = static_cast<long>(std::floor(x));
    const long y0 = static_cast<long>(std::floor(y));
    const double wx = x - x0;
    const double wy = y - y0;
    return (at(x0, y0) * (1 - wx) + at(x0 + 1, y0) * wx) * (1 - wy) + (at(x0, y0 + 1) * (1 - wx) + at(x0 + 1, y0 + 1) * wx) * wy;
  };
  struct Case {
    uint32_t width, height;  // the canvas
    Rect rect;               // drawn into
    TexturePlacement placement;
  };
  const Case cases[] = {
      {54, 96, Rect{0, 0, 54, 96}, TexturePlacement{0, 0, 1.0}},       // tall canvas: enlarged 3.56 times
      {120, 70, Rect{10, 5, 100, 60}, TexturePlacement{0.013, -0.021, 1.37}},
      {90, 90, Rect{0, 0, 90, 90}, TexturePlacement{0.1, 0.05, 2.5}},
      {48, 27, Rect{0, 0, 48, 27}, TexturePlacement{0.0101, 0.0, 1.05}},  // hardly enlarged, off the whole pixel
  };
  for (const Case& test : cases) {
    Painter* painter = kelvra_painter_create(nullptr);
    ASSERT_TRUE(kelvra_painter_offscreen(painter, test.width, test.height));
    ASSERT_TRUE(kelvra_painter_begin(painter, test.width, test.height));
    kelvra_shape(painter, Rect{0, 0, static_cast<int32_t>(test.width), static_cast<int32_t>(test.height)}, 0, kGround);
    kelvra_picture_compose(painter, picture.data(), kWidth, kHeight, test.rect, test.placement, 1.0, true);
    ASSERT_TRUE(kelvra_painter_end(painter));
    uint32_t stride = 0;
    const uint8_t* pixels = kelvra_painter_pixels(painter, nullptr, nullptr, &stride);
    const Rect& r = test.rect;
    double scale = std::max(static_cast<double>(r.width) / kWidth, static_cast<double>(r.height) / kHeight);
    scale *= test.placement.zoom;
    const double left = r.x + (r.width - kWidth * scale) * 0.5 + r.width * test.placement.x;
    const double top = r.y + (r.height - kHeight * scale) * 0.5 + r.height * test.placement.y;
    int worst = 0;
    int outside = 0;
    for (uint32_t y = 0; y < test.height; ++y)
      for (uint32_t x = 0; x < test.width; ++x) {
        const uint8_t* p = pixels + static_cast<size_t>(y) * stride + x * 4;
        const bool in = static_cast<int32_t>(x) >= r.x && static_cast<int32_t>(x) < r.x + r.width &&
                        static_cast<int32_t>(y) >= r.y && static_cast<int32_t>(y) < r.y + r.height;
        if (!in) {
          outside += (static_cast<uint32_t>(p[2]) << 16 | p[1] << 8 | p[0]) != kGround;
          continue;
        }
        for (int c = 0; c < 3; ++c) {
          const double want = exact((x + 0.5 - left) / scale, (y + 0.5 - top) / scale, c);
          worst = std::max(worst, static_cast<int>(std::ceil(std::abs(p[c] - want))));
        }
      }
    EXPECT_LE(worst, 4) << test.width << "x" << test.height << " zoom " << test.placement.zoom;
    EXPECT_EQ(outside, 0) << test.width << "x" << test.height;
    kelvra_painter_destroy(painter);
  }
}
