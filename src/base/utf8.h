// The length of one well-formed UTF-8 character: no NUL, no overlong form, no
// surrogate, nothing past U+10FFFF.
#pragma once

#include <cstdint>

// The bytes of the character at `p` when they are well formed and all within
// the `left` bytes that remain, else 0.
inline uint64_t utf8_char_length(const unsigned char* p, uint64_t left) {
  if (left == 0 || p[0] == 0) return 0;
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  uint64_t extra = 0;
  unsigned char low = 0x80;  // bounds of the byte after the lead
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left <= extra) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (uint64_t k = 2; k <= extra; ++k)
    if ((p[k] & 0xC0) != 0x80) return 0;
  return extra + 1;
}
