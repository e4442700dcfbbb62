// NV12 conversion with fixed integer BT.601 (limited range) arithmetic:
//   Y = ((66 R + 129 G + 25 B + 128) >> 8) + 16 for every pixel, and for every
//   2 x 2 block with SR, SG, SB the sums of its four pixels
//   U = ((112 SB - 74 SG - 38 SR + 512) >> 10) + 128,
//   V = ((112 SR - 94 SG - 18 SB + 512) >> 10) + 128.
// Every result lies in 16..240, so no clamping is needed. The AVX2 path
// (chosen once, when the processor has it) does 16 pixels of a row pair at a
// time with the same integer arithmetic; the scalar loop does the rest.
#include "export/nv12.h"

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Columns [from, width) of the row pair starting at row `y`.
void convert_scalar(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t y, uint32_t from,
                    uint8_t* luma, uint8_t* chroma) {
  const uint8_t* row0 = pixels + static_cast<size_t>(y) * stride;
  const uint8_t* row1 = row0 + stride;
  uint8_t* y0 = luma + static_cast<size_t>(y) * width;
  uint8_t* y1 = y0 + width;
  uint8_t* uv = chroma + static_cast<size_t>(y / 2) * width;
  for (uint32_t x = from; x < width; x += 2) {
    const uint8_t* in[4] = {row0 + 4 * x, row0 + 4 * x + 4, row1 + 4 * x, row1 + 4 * x + 4};
    uint8_t* out[4] = {y0 + x, y0 + x + 1, y1 + x, y1 + x + 1};
    int32_t sr = 0;
    int32_t sg = 0;
    int32_t sb = 0;
    for (int i = 0; i < 4; ++i) {
      const int32_t b = in[i][0];
      const int32_t g = in[i][1];
      const int32_t r = in[i][2];
      *out[i] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
      sr += r;
      sg += g;
      sb += b;
    }
    uv[x] = static_cast<uint8_t>(((112 * sb - 74 * sg - 38 * sr + 512) >> 10) + 128);
    uv[x + 1] = static_cast<uint8_t>(((112 * sr - 94 * sg - 18 * sb + 512) >> 10) + 128);
  }
}

#if defined(__x86_64__)

// 16 values of 32 bits (0..255) in two registers, stored as 16 bytes.
__attribute__((target("avx2"))) inline void store16(uint8_t* out, __m256i a, __m256i b) {
  const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
  const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
}

__attribute__((target("avx2"))) inline __m256i load(const uint8_t* at) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

struct Lanes {
  __m256i bg;  // each pixel's 32 bits as two 16-bit halves: B, G
  __m256i r;   // R, 0
};

__attribute__((target("avx2"))) inline Lanes split(__m256i pixels) {
  const __m256i to_bg = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1, 0, -1, 1, -1, 4,
                                         -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m256i to_r = _mm256_setr_epi8(2, -1, -1, -1, 6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1, 2, -1, -1, -1,
                                        6, -1, -1, -1, 10, -1, -1, -1, 14, -1, -1, -1);
  return Lanes{_mm256_shuffle_epi8(pixels, to_bg), _mm256_shuffle_epi8(pixels, to_r)};
}

__attribute__((target("avx2"))) inline __m256i luma8(Lanes p) {
  const __m256i bg = _mm256_madd_epi16(p.bg, _mm256_set1_epi32(25 | (129 << 16)));
  const __m256i r = _mm256_madd_epi16(p.r, _mm256_set1_epi32(66));
  const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(bg, r), _mm256_set1_epi32(128));
  return _mm256_add_epi32(_mm256_srai_epi32(sum, 8), _mm256_set1_epi32(16));
}

// The U, V pairs of the four 2 x 2 blocks under 8 pixels of each row.
__attribute__((target("avx2"))) inline __m256i chroma8(Lanes top, Lanes bottom) {
  // Sums of the two rows, then of neighbouring pixels into the even lanes
  // (16-bit halves: at most 1020 each).
  __m256i bg = _mm256_add_epi16(top.bg, bottom.bg);
  __m256i r = _mm256_add_epi16(top.r, bottom.r);
  bg = _mm256_add_epi16(bg, _mm256_srli_epi64(bg, 32));
  r = _mm256_add_epi16(r, _mm256_srli_epi64(r, 32));
  const __m256i round = _mm256_set1_epi32(512);
  const __m256i u = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(bg, _mm256_set1_epi32(112 | (-74 * 65536))),
                       _mm256_madd_epi16(r, _mm256_set1_epi32(static_cast<int16_t>(-38) & 0xFFFF))),
      round);
  const __m256i v = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(bg, _mm256_set1_epi32((-18 & 0xFFFF) | (-94 * 65536))),
                       _mm256_madd_epi16(r, _mm256_set1_epi32(112))),
      round);
  const __m256i offset = _mm256_set1_epi32(128);
  const __m256i u8 = _mm256_add_epi32(_mm256_srai_epi32(u, 10), offset);
  const __m256i v8 = _mm256_add_epi32(_mm256_srai_epi32(v, 10), offset);
  return _mm256_blend_epi32(u8, _mm256_slli_epi64(v8, 32), 0xAA);
}

// Columns [0, width rounded down to 16) of the row pair at `y`; the first column left.
__attribute__((target("avx2"))) uint32_t convert_avx2(const uint8_t* pixels, uint32_t stride, uint32_t width,
                                                      uint32_t y, uint8_t* luma, uint8_t* chroma) {
  const uint8_t* row0 = pixels + static_cast<size_t>(y) * stride;
  const uint8_t* row1 = row0 + stride;
  uint8_t* y0 = luma + static_cast<size_t>(y) * width;
  uint8_t* y1 = y0 + width;
  uint8_t* uv = chroma + static_cast<size_t>(y / 2) * width;
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const Lanes a0 = split(load(row0 + 4 * x));
    const Lanes b0 = split(load(row0 + 4 * x + 32));
    const Lanes a1 = split(load(row1 + 4 * x));
    const Lanes b1 = split(load(row1 + 4 * x + 32));
    store16(y0 + x, luma8(a0), luma8(b0));
    store16(y1 + x, luma8(a1), luma8(b1));
    store16(uv + x, chroma8(a0, a1), chroma8(b0, b1));
  }
  return x;
}

bool have_avx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}

#endif

}  // namespace

void kelvra_convert_nv12(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out) {
  uint8_t* luma = out;
  uint8_t* chroma = out + static_cast<size_t>(width) * height;
  for (uint32_t y = 0; y + 1 < height; y += 2) {
    uint32_t done = 0;
#if defined(__x86_64__)
    if (have_avx2()) done = convert_avx2(pixels, stride, width, y, luma, chroma);
#endif
    convert_scalar(pixels, stride, width, y, done, luma, chroma);
  }
}
