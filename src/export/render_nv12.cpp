// NV12 conversion of B, G, R, X pictures for the encoder, two rows at a time,
// with the fixed integer BT.601 formulas of export/nv12.h. Every result lies
// in 16..240 (Y in 16..235), so the stored low byte is the value itself and no
// clamping is needed. On x86-64 the columns go through AVX2 (32 at a time,
// when the processor has it, chosen once), then SSE2 (16 at a time), then the
// scalar loop, all with the same integer arithmetic so the bytes never depend
// on the path.
//
// The vector paths read each pixel's 32 bits as two 16-bit halves without
// unpacking: the low bytes (B and R) and the high bytes (G and X). One
// multiply-add of each with coefficient pairs gives a pixel's 32-bit sum. For
// chroma the halves of the two rows are added, then each pixel's with its
// neighbour's by swapping the 32-bit lanes of a pair, so both lanes of a block
// hold its sums and one multiply-add with U coefficients in the even lane and
// V in the odd one yields the U, V pair in place.
#include "export/nv12.h"

#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// The rounding and the offset folded into one addend: floor((n + r) / 2^k) + o
// equals floor((n + r + o * 2^k) / 2^k).
constexpr int32_t kLumaBias = 128 + (16 << 8);
constexpr int32_t kChromaBias = 512 + (128 << 10);

// The rows a row pair reads and writes.
struct RowPair {
  const uint8_t* in0;
  const uint8_t* in1;
  uint8_t* y0;
  uint8_t* y1;
  uint8_t* uv;
};

// Columns [from, width) of a row pair.
void convert_scalar(const RowPair& rows, uint32_t from, uint32_t width) {
  for (uint32_t x = from; x + 1 < width; x += 2) {
    const uint8_t* in[4] = {rows.in0 + 4 * x, rows.in0 + 4 * x + 4, rows.in1 + 4 * x, rows.in1 + 4 * x + 4};
    uint8_t* out[4] = {rows.y0 + x, rows.y0 + x + 1, rows.y1 + x, rows.y1 + x + 1};
    int32_t sr = 0;
    int32_t sg = 0;
    int32_t sb = 0;
    for (int i = 0; i < 4; ++i) {
      const int32_t b = in[i][0];
      const int32_t g = in[i][1];
      const int32_t r = in[i][2];
      *out[i] = static_cast<uint8_t>((66 * r + 129 * g + 25 * b + kLumaBias) >> 8);
      sr += r;
      sg += g;
      sb += b;
    }
    rows.uv[x] = static_cast<uint8_t>((112 * sb - 74 * sg - 38 * sr + kChromaBias) >> 10);
    rows.uv[x + 1] = static_cast<uint8_t>((112 * sr - 94 * sg - 18 * sb + kChromaBias) >> 10);
  }
}

#if defined(__x86_64__)

// Two 16-bit coefficients as one 32-bit lane: `low` for the low half.
constexpr int32_t pair(int32_t low, int32_t high) {
  return static_cast<int32_t>(static_cast<uint32_t>(low & 0xFFFF) | static_cast<uint32_t>(high & 0xFFFF) << 16);
}

// ---- SSE2, 4 pixels a register, 16 columns a step

struct Halves {
  __m128i br;  // B, R of every pixel as 16-bit values
  __m128i gx;  // G, X
};

inline Halves halves(const uint8_t* at) {
  const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  return Halves{_mm_and_si128(p, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(p, 8)};
}

inline __m128i luma(Halves p) {
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(p.br, _mm_set1_epi32(pair(25, 66))),
                                    _mm_madd_epi16(p.gx, _mm_set1_epi32(pair(129, 0))));
  return _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kLumaBias)), 8);
}

// U, V, U, V of the two blocks under 4 pixels of both rows.
inline __m128i chroma(Halves top, Halves bottom) {
  __m128i br = _mm_add_epi16(top.br, bottom.br);
  __m128i gx = _mm_add_epi16(top.gx, bottom.gx);
  br = _mm_add_epi16(br, _mm_shuffle_epi32(br, _MM_SHUFFLE(2, 3, 0, 1)));
  gx = _mm_add_epi16(gx, _mm_shuffle_epi32(gx, _MM_SHUFFLE(2, 3, 0, 1)));
  const __m128i c_br = _mm_setr_epi32(pair(112, -38), pair(-18, 112), pair(112, -38), pair(-18, 112));
  const __m128i c_gx = _mm_setr_epi32(pair(-74, 0), pair(-94, 0), pair(-74, 0), pair(-94, 0));
  const __m128i sum = _mm_add_epi32(_mm_madd_epi16(br, c_br), _mm_madd_epi16(gx, c_gx));
  return _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(kChromaBias)), 10);
}

// 16 values of 32 bits (0..255) stored as 16 bytes.
inline void store16(uint8_t* out, __m128i a, __m128i b, __m128i c, __m128i d) {
  const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
}

// Columns [from, as far as whole steps go) of a row pair; the first column left.
uint32_t convert_sse2(const RowPair& rows, uint32_t from, uint32_t width) {
  uint32_t x = from;
  for (; x + 16 <= width; x += 16) {
    Halves top[4];
    Halves bottom[4];
    for (int i = 0; i < 4; ++i) {
      top[i] = halves(rows.in0 + 4 * x + 16 * i);
      bottom[i] = halves(rows.in1 + 4 * x + 16 * i);
    }
    store16(rows.y0 + x, luma(top[0]), luma(top[1]), luma(top[2]), luma(top[3]));
    store16(rows.y1 + x, luma(bottom[0]), luma(bottom[1]), luma(bottom[2]), luma(bottom[3]));
    store16(rows.uv + x, chroma(top[0], bottom[0]), chroma(top[1], bottom[1]), chroma(top[2], bottom[2]),
            chroma(top[3], bottom[3]));
  }
  return x;
}

// ---- AVX2, 8 pixels a register, 32 columns a step

#define KELVRA_AVX2 __attribute__((target("avx2")))

struct Halves8 {
  __m256i br;
  __m256i gx;
};

KELVRA_AVX2 inline Halves8 halves8(const uint8_t* at) {
  const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  return Halves8{_mm256_and_si256(p, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(p, 8)};
}

KELVRA_AVX2 inline __m256i luma8(Halves8 p) {
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(p.br, _mm256_set1_epi32(pair(25, 66))),
                                       _mm256_madd_epi16(p.gx, _mm256_set1_epi32(pair(129, 0))));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kLumaBias)), 8);
}

KELVRA_AVX2 inline __m256i chroma8(Halves8 top, Halves8 bottom) {
  __m256i br = _mm256_add_epi16(top.br, bottom.br);
  __m256i gx = _mm256_add_epi16(top.gx, bottom.gx);
  br = _mm256_add_epi16(br, _mm256_shuffle_epi32(br, _MM_SHUFFLE(2, 3, 0, 1)));
  gx = _mm256_add_epi16(gx, _mm256_shuffle_epi32(gx, _MM_SHUFFLE(2, 3, 0, 1)));
  const __m256i c_br = _mm256_setr_epi32(pair(112, -38), pair(-18, 112), pair(112, -38), pair(-18, 112),
                                         pair(112, -38), pair(-18, 112), pair(112, -38), pair(-18, 112));
  const __m256i c_gx = _mm256_setr_epi32(pair(-74, 0), pair(-94, 0), pair(-74, 0), pair(-94, 0), pair(-74, 0),
                                         pair(-94, 0), pair(-74, 0), pair(-94, 0));
  const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(br, c_br), _mm256_madd_epi16(gx, c_gx));
  return _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(kChromaBias)), 10);
}

// 32 values of 32 bits (0..255) stored as 32 bytes. The packs work within
// 128-bit lanes, leaving a0-3 b0-3 c0-3 d0-3 | a4-7 b4-7 c4-7 d4-7; one
// permutation puts the groups of four back in order.
KELVRA_AVX2 inline void store32(uint8_t* out, __m256i a, __m256i b, __m256i c, __m256i d) {
  const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d));
  const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), ordered);
}

KELVRA_AVX2 uint32_t convert_avx2(const RowPair& rows, uint32_t from, uint32_t width) {
  uint32_t x = from;
  for (; x + 32 <= width; x += 32) {
    Halves8 top[4];
    Halves8 bottom[4];
    for (int i = 0; i < 4; ++i) {
      top[i] = halves8(rows.in0 + 4 * x + 32 * i);
      bottom[i] = halves8(rows.in1 + 4 * x + 32 * i);
    }
    store32(rows.y0 + x, luma8(top[0]), luma8(top[1]), luma8(top[2]), luma8(top[3]));
    store32(rows.y1 + x, luma8(bottom[0]), luma8(bottom[1]), luma8(bottom[2]), luma8(bottom[3]));
    store32(rows.uv + x, chroma8(top[0], bottom[0]), chroma8(top[1], bottom[1]), chroma8(top[2], bottom[2]),
            chroma8(top[3], bottom[3]));
  }
  return x;
}

#undef KELVRA_AVX2

#endif

bool available(Nv12Path path) {
  switch (path) {
    case NV12_SCALAR:
      return true;
#if defined(__x86_64__)
    case NV12_SSE2:
      return true;
    case NV12_AVX2: {
      static const bool have = __builtin_cpu_supports("avx2");
      return have;
    }
#endif
    default:
      return false;
  }
}

void convert(Nv12Path path, const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out) {
  uint8_t* chroma_plane = out + static_cast<size_t>(width) * height;
  for (uint32_t y = 0; y + 1 < height; y += 2) {
    RowPair rows;
    rows.in0 = pixels + static_cast<size_t>(y) * stride;
    rows.in1 = rows.in0 + stride;
    rows.y0 = out + static_cast<size_t>(y) * width;
    rows.y1 = rows.y0 + width;
    rows.uv = chroma_plane + static_cast<size_t>(y / 2) * width;
    uint32_t x = 0;
#if defined(__x86_64__)
    if (path >= NV12_AVX2) x = convert_avx2(rows, x, width);
    if (path >= NV12_SSE2) x = convert_sse2(rows, x, width);
#else
    (void)path;
#endif
    convert_scalar(rows, x, width);
  }
}

}  // namespace

Nv12Path kelvra_nv12_best_path() {
  static const Nv12Path best = available(NV12_AVX2) ? NV12_AVX2 : available(NV12_SSE2) ? NV12_SSE2 : NV12_SCALAR;
  return best;
}

void kelvra_convert_nv12(const uint8_t* pixels, uint32_t stride, uint32_t width, uint32_t height, uint8_t* out) {
  convert(kelvra_nv12_best_path(), pixels, stride, width, height, out);
}

bool kelvra_convert_nv12_with(Nv12Path path, const uint8_t* pixels, uint32_t stride, uint32_t width,
                              uint32_t height, uint8_t* out) {
  if (!available(path)) return false;
  convert(path, pixels, stride, width, height, out);
  return true;
}
