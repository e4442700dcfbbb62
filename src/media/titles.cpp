// Text titles: a box of the title's background colour at its place in the
// picture, and its text centred in it.
#include "media/titles.h"

#include "base/palette.h"
#include "platform/painter.h"
#include "project/project.h"

namespace {

constexpr uint32_t kTitleFallback = 0xA7142A;  // a background that starts with "#" but is no colour
constexpr int32_t kTitleWidth = 170;
constexpr int32_t kTitleHeight = 30;

}  // namespace

bool kelvra_title_color(const char* text, uint32_t* rgb) {
  if (text[0] != '#') return false;
  uint32_t value = 0;
  for (int i = 1; i <= 6; ++i) {
    const char c = text[i];
    const int digit = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    if (digit < 0) return false;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  if (text[7] != '\0') return false;
  *rgb = value;
  return true;
}

Rect kelvra_title_box(const Title* title, Rect rect) {
  return Rect{rect.x + static_cast<int32_t>(rect.width * title->x) - kTitleWidth / 2,
              rect.y + static_cast<int32_t>(rect.height * title->y) - kTitleHeight / 2, kTitleWidth, kTitleHeight};
}

void kelvra_draw_titles(Painter* painter, const Project* project, double t, Rect rect) {
  for (uint64_t i = 0; i < project->title_count; ++i) {
    const Title& title = project->titles[i];
    if (!(title.at <= t && t < title.at + title.duration)) continue;
    const Rect box = kelvra_title_box(&title, rect);
    uint32_t fill = kTitleFallback;
    if (title.background[0] == '#') {
      kelvra_title_color(title.background, &fill);
      kelvra_shape(painter, box, 0, fill);
    }
    uint32_t ink = PALETTE_PRIMARY_TEXT;
    kelvra_title_color(title.color, &ink);
    kelvra_text_outlined(painter, box, title.text, ink, KELVRA_TITLE_OUTLINE, KELVRA_TITLE_OUTLINE_WIDTH, true);
  }
}
