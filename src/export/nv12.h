// Conversion of a composed picture into the encoder's NV12 layout.
#pragma once

#include <cstdint>

// Converts `height` rows of `width` B, G, R, X pixels (rows `stride` bytes
// apart; the fourth byte is ignored) into NV12 at `out`: the luma plane of
// `height` rows, then the chroma plane of height / 2 rows holding a U, V pair
// for every 2 x 2 block (U at even offsets), both `width` bytes a row with no
// padding, width * height * 3 / 2 bytes in all. Width and height must be even.
//
// The values are BT.601 limited range in 32-bit integers, exactly:
//   Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16 for every pixel, and with
//   SR, SG, SB the sums over a 2 x 2 block
//   U = ((112 SB - 74 SG - 38 SR + 512) >> 10) + 128,
//   V = ((112 SR - 94 SG - 18 SB + 512) >> 10) + 128.
void kelvra_convert_nv12(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out);

// The instruction sets the conversion can be held to, narrowest first.
enum Nv12Path : uint32_t { NV12_SCALAR = 0, NV12_SSE2 = 1, NV12_AVX2 = 2 };

// The widest path this processor and build have; kelvra_convert_nv12 uses it.
Nv12Path kelvra_nv12_best_path();

// kelvra_convert_nv12 held to `path` (narrower paths take the columns left
// over), for tests and benchmarks. False, writing nothing, when this processor
// or build lacks the path. Every path gives the same bytes.
bool kelvra_convert_nv12_with(Nv12Path path, const uint8_t* pixels, uint32_t stride, uint32_t width,
                              uint32_t height, uint8_t* out);
