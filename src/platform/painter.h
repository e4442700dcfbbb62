// The painter: the one drawing context of the program. Views draw filled
// rectangles (plain or rounded), single-line text clipped to a rectangle, and
// pixel buffers scaled into a rectangle; colours are 0xRRGGBB, drawn opaque.
// A painter made for a window presents each frame into it; one made without a
// window draws into an off-screen picture of a fixed size (the export).
#pragma once

#include <cstdint>

#include "base/rect.h"

struct Painter;
struct UiWindow;

constexpr uint32_t PAINTER_TEXTURE_SLOTS = 10;
constexpr uint32_t PAINTER_MAX_SIZE = 16384;

// Offset of a picture as fractions of its rectangle, and a zoom (0 or less: none).
struct TexturePlacement {
  double x;
  double y;
  double zoom;
};

Painter* kelvra_painter_create(UiWindow* window);
void kelvra_painter_destroy(Painter* painter);
// Gives a painter without a window its off-screen picture of that size.
bool kelvra_painter_offscreen(Painter* painter, uint32_t width, uint32_t height);
bool kelvra_painter_begin(Painter* painter, uint32_t width, uint32_t height);
bool kelvra_painter_end(Painter* painter);
// Draws what follows scaled by `scale` about the picture's top-left corner (1: as is).
void kelvra_painter_scale(Painter* painter, double scale);

void kelvra_shape(Painter* painter, Rect rect, float radius, uint32_t rgb);
// Many plain rectangles of one colour in one fill (overlaps are simply covered).
void kelvra_fill_rects(Painter* painter, const Rect* rects, uint64_t count, uint32_t rgb);
void kelvra_text(Painter* painter, Rect rect, const char* text, uint32_t rgb, bool centered);
// The same text with a stroke of `outline` colour, `width` pixels wide, around
// each glyph (drawn under the glyphs' fill), so that it reads on any picture.
void kelvra_text_outlined(Painter* painter, Rect rect, const char* text, uint32_t rgb, uint32_t outline,
                          double width, bool centered);
void kelvra_texture(Painter* painter, const void* pixels, uint32_t width, uint32_t height, const void* key,
                    uint64_t version, Rect rect, bool cover);
void kelvra_texture_compose(Painter* painter, const void* pixels, uint32_t width, uint32_t height, const void* key,
                            uint64_t version, Rect rect, TexturePlacement placement, double opacity, bool cover);

// Draws a picture straight from the caller's pixels (packed B, G, R, X rows of
// width x 4 bytes), without the texture cache: for pictures that change every
// frame, where a copy into a cache slot would cost more than the draw. The
// pixels must stay valid and unchanged for the call only.
void kelvra_picture_compose(Painter* painter, const void* pixels, uint32_t width, uint32_t height, Rect rect,
                            TexturePlacement placement, double opacity, bool cover);

// The picture drawn so far: rows of B, G, R, X bytes, `stride` bytes apart.
const uint8_t* kelvra_painter_pixels(Painter* painter, uint32_t* width, uint32_t* height, uint32_t* stride);

// What the texture cache holds, for tests and benchmarks.
struct PainterTextureInfo {
  const void* key;
  uint64_t version;  // UINT64_MAX when nothing was uploaded
  uint32_t width;
  uint32_t height;
  uint64_t uploads;  // copies into slot bitmaps since the painter was made
  uint64_t creations;  // slot bitmaps made since the painter was made
};
PainterTextureInfo kelvra_painter_texture_info(Painter* painter, uint32_t slot);
