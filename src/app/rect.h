// The rectangle every layout, hit test and drawing call shares.
#pragma once

#include <cstdint>

struct Rect {
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

// An absent table index: all bits set, so it fails every unsigned bound check.
constexpr uint64_t KELVRA_NONE = UINT64_MAX;
