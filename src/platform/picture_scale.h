// Enlarging an opaque picture with bilinear filtering, straight into the rows
// of a target picture: the pictures' bytes are B, G, R, X (four a pixel). The
// samples are those of the cairo painter's bilinear filter with padded
// edges: a target pixel's centre maps to the picture at (centre - left) /
// scale, weights in 1/128 steps, the result truncated. Enlarging, every source
// row serves several target rows, so each is filtered across once and the
// target rows blend two of them.
#pragma once

#include <cstdint>

// The scaler's working memory: two filtered source rows and the columns' table.
struct PictureScaleRows {
  uint16_t* rows;
  uint32_t capacity;  // target pixels a row holds
};

// Writes the target pixels [x0, x1) x [y0, y1) (bytes B, G, R and 255) of the
// picture drawn with its top left at (left, top) of the target, `scale` times
// its size (at least 1). The picture must cover that region. `rows` is grown
// as needed and kept for the next call. False, with nothing written, when it
// cannot be grown or the picture is less than two pixels wide or high.
bool picture_scale_bilinear(const uint8_t* picture, uint32_t width, uint32_t height, uint32_t stride,
                            uint8_t* target, uint32_t target_stride, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                            double left, double top, double scale, PictureScaleRows* rows);
void picture_scale_free(PictureScaleRows* rows);
