// Conversion of a composed picture into the encoder's NV12 layout.
#pragma once

#include <cstdint>

// Converts `height` rows of `width` B, G, R, X pixels (rows `stride` bytes
// apart; width and height even) into NV12 at `out`: the luma plane, then the
// interleaved U, V plane of height / 2 rows, both `width` bytes a row.
void kelvra_convert_nv12(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out);
