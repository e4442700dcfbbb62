// Bilinear enlargement in two passes: a source row is filtered across into
// 16-bit sums (a * (128 - wx) + b * wx per channel, at most 32640), kept while
// target rows still need it, and each target row blends its two filtered rows
// ((h0 * (128 - wy) + h1 * wy) >> 14): the same products, in the same 16.16
// positions, as the painter's bilinear filter, computed once a source row.
#include "platform/picture_scale.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kWeightBits = 7;
constexpr int32_t kWeightOne = 1 << kWeightBits;

// The first target pixel's source position and the step between pixels, in 16.16.
struct Walk {
  int64_t start;
  int64_t step;
};

Walk walk(int32_t first, double origin, double scale) {
  const double step = 65536.0 / scale;
  return Walk{static_cast<int64_t>(std::llround(((first + 0.5 - origin) / scale - 0.5) * 65536.0)),
              static_cast<int64_t>(std::llround(step))};
}

int32_t weight_of(int64_t position) { return static_cast<int32_t>((position >> (16 - kWeightBits)) & (kWeightOne - 1)); }

// One source row filtered across for `count` target columns: column i
// blends the pixels at `pairs[i]` and the one after it by the 16-bit weights
// `weights[i]` (four of 128 - wx, then four of wx).
void filter_row(const uint8_t* row, const uint32_t* pairs, const uint16_t* weights, uint32_t count, uint16_t* out) {
#if defined(__x86_64__)
  const __m128i zero = _mm_setzero_si128();
  for (uint32_t i = 0; i < count; ++i) {
    const __m128i pair = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + pairs[i])), zero);
    const __m128i products =
        _mm_mullo_epi16(pair, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights + 8 * static_cast<size_t>(i))));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * static_cast<size_t>(i)),
                     _mm_add_epi16(products, _mm_srli_si128(products, 8)));
  }
#else
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* a = row + pairs[i];
    const uint16_t* w = weights + 8 * static_cast<size_t>(i);
    for (int c = 0; c < 4; ++c) out[4 * static_cast<size_t>(i) + c] = static_cast<uint16_t>(a[c] * w[c] + a[4 + c] * w[4 + c]);
  }
#endif
}

// A target row of `count` pixels from two filtered rows; the fourth byte of every pixel is 255.
void blend_rows(const uint16_t* top, const uint16_t* bottom, int32_t weight, uint32_t count, uint8_t* out) {
  const int32_t inverse = kWeightOne - weight;
  uint32_t i = 0;
#if defined(__x86_64__)
  const __m128i weights = _mm_set1_epi32(static_cast<int32_t>(static_cast<uint32_t>(weight) << 16 | static_cast<uint32_t>(inverse)));
  const __m128i opaque = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
  const auto blend = [&](size_t at) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + at));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + at));
    const __m128i low = _mm_srli_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(a, b), weights), 2 * kWeightBits);
    const __m128i high = _mm_srli_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(a, b), weights), 2 * kWeightBits);
    return _mm_packs_epi32(low, high);
  };
  for (; i + 4 <= count; i += 4) {
    const size_t at = 4 * static_cast<size_t>(i);
    const __m128i bytes = _mm_packus_epi16(blend(at), blend(at + 8));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + at), _mm_or_si128(bytes, opaque));
  }
#endif
  for (; i < count; ++i) {
    for (int c = 0; c < 3; ++c) {
      const size_t at = 4 * static_cast<size_t>(i) + c;
      out[at] = static_cast<uint8_t>((top[at] * inverse + bottom[at] * weight) >> (2 * kWeightBits));
    }
    out[4 * static_cast<size_t>(i) + 3] = 255;
  }
}

bool grow(PictureScaleRows* rows, uint32_t pixels) {
  if (rows->capacity >= pixels && rows->rows != nullptr) return true;
  // Two filtered rows, then each column's pair offset and its eight weights.
  const size_t bytes = static_cast<size_t>(pixels) * (2 * 4 * sizeof(uint16_t) + sizeof(uint32_t) + 8 * sizeof(uint16_t));
  void* grown = std::realloc(rows->rows, bytes);
  if (grown == nullptr) return false;
  rows->rows = static_cast<uint16_t*>(grown);
  rows->capacity = pixels;
  return true;
}

// The pair of neighbouring pixels (first, first + 1) a sample at `index` +
// `weight` / 128 blends, and its weight on the second: padded edges repeat
// the end pixel, which a pair holding it with all the weight on it gives.
void pair_of(int64_t index, int32_t weight, uint32_t size, int32_t* first, int32_t* second_weight) {
  if (index < 0) {
    *first = 0;
    *second_weight = 0;
  } else if (index >= static_cast<int64_t>(size) - 1) {
    *first = static_cast<int32_t>(size) - 2;
    *second_weight = kWeightOne;
  } else {
    *first = static_cast<int32_t>(index);
    *second_weight = weight;
  }
}

}  // namespace

bool picture_scale_bilinear(const uint8_t* picture, uint32_t width, uint32_t height, uint32_t stride,
                            uint8_t* target, uint32_t target_stride, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                            double left, double top, double scale, PictureScaleRows* rows) {
  if (x1 <= x0 || y1 <= y0) return true;
  if (width < 2 || height < 2) return false;
  const uint32_t count = static_cast<uint32_t>(x1 - x0);
  if (!grow(rows, count)) return false;
  uint16_t* filtered[2] = {rows->rows, rows->rows + 4 * static_cast<size_t>(rows->capacity)};
  uint16_t* weights = rows->rows + 8 * static_cast<size_t>(rows->capacity);
  auto* pairs = reinterpret_cast<uint32_t*>(weights + 8 * static_cast<size_t>(rows->capacity));

  const Walk across = walk(x0, left, scale);
  for (uint32_t i = 0; i < count; ++i) {
    const int64_t position = across.start + across.step * i;
    int32_t first = 0;
    int32_t weight = 0;
    pair_of(position >> 16, weight_of(position), width, &first, &weight);  // >> 16: floor, also left of the picture
    pairs[i] = 4 * static_cast<uint32_t>(first);
    for (int c = 0; c < 4; ++c) {
      weights[8 * static_cast<size_t>(i) + c] = static_cast<uint16_t>(kWeightOne - weight);
      weights[8 * static_cast<size_t>(i) + 4 + c] = static_cast<uint16_t>(weight);
    }
  }
  // The source row each filtered row holds; -1 for none.
  int32_t held[2] = {-1, -1};
  const Walk down = walk(y0, top, scale);
  for (int32_t y = y0; y < y1; ++y) {
    const int64_t position = down.start + down.step * (y - y0);
    int32_t first = 0;
    int32_t weight = 0;
    pair_of(position >> 16, weight_of(position), height, &first, &weight);
    const int32_t need[2] = {first, first + 1};
    const uint16_t* use[2] = {nullptr, nullptr};
    for (int k = 0; k < 2; ++k)
      for (int slot = 0; slot < 2; ++slot)
        if (held[slot] == need[k]) use[k] = filtered[slot];
    for (int k = 0; k < 2; ++k) {
      if (use[k] != nullptr) continue;
      // The slot that does not hold the other row this target row needs.
      const int slot = use[1 - k] == filtered[0] ? 1 : 0;
      filter_row(picture + static_cast<size_t>(need[k]) * stride, pairs, weights, count, filtered[slot]);
      held[slot] = need[k];
      use[k] = filtered[slot];
    }
    blend_rows(use[0], use[1], weight, count, target + static_cast<size_t>(y) * target_stride + 4 * static_cast<size_t>(x0));
  }
  return true;
}

void picture_scale_free(PictureScaleRows* rows) {
  std::free(rows->rows);
  *rows = PictureScaleRows{};
}
