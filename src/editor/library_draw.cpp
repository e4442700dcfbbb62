// Drawing the library: the header's search field and the library column with
// its Import button, the progress of an import, the cards of the sources the
// search lets through (each with its poster, or a word on why it has none),
// and the scroll bar.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/import.h"
#include "editor/library.h"
#include "editor/workspace.h"
#include "media/poster.h"
#include "media/video.h"
#include "platform/painter.h"

namespace {

constexpr uint32_t kMissingText = 0xCE555E;  // "File missing" on a card
constexpr char kCaretMark[] = "│";

// The picture area of a card: the live picture of the selected source when
// the source monitor has one, else the file's poster; a card whose file is
// missing, or has no picture or sound to show, says so.
void draw_card_picture(KelvraApp* app, uint64_t index, Rect picture, bool* missing) {
  const Source& source = app->project.sources[index];
  kelvra_fill(app, picture, PALETTE_PICTURE);
  *missing = source.file[0] != '\0' && app->source_missing[index] != 0;
  char path[KELVRA_PATH_SIZE];
  if (source.file[0] == '\0' || !kelvra_path(app->media_folder, source.file, path)) return;
  const bool selected = static_cast<int64_t>(index) == app->selected_source;
  if (selected && kelvra_video_paint(app->source_video, path, app->painter, picture, false)) return;
  if (app->posters == nullptr) return;
  const uint8_t* pixels = nullptr;
  const uint32_t state = kelvra_poster_get(app->posters, path, &pixels, nullptr);
  if (state == POSTER_READY && pixels != nullptr && !*missing) {
    kelvra_picture_compose(app->painter, pixels, POSTER_WIDTH, POSTER_HEIGHT, picture, TexturePlacement{0, 0, 1}, 1.0,
                           false);
    return;
  }
  if (state == POSTER_MISSING) *missing = true;
  if (*missing)
    kelvra_text(app->painter, picture, "File missing", kMissingText, true);
  else if (state == POSTER_FAILED)
    kelvra_text(app->painter, picture, "No picture", PALETTE_SECONDARY_TEXT, true);
}

}  // namespace

void kelvra_draw_search(KelvraApp* app) {
  const Rect f = app->search_field;
  kelvra_fill(app, f, app->search_focus ? PALETTE_SELECTED : PALETTE_BORDER);
  kelvra_fill(app, Rect{f.x + 1, f.y + 1, f.width - 2, f.height - 2}, PALETTE_SEARCH);
  const Rect area{f.x + 6, f.y, f.width - 18, f.height};
  if (area.width < 1) return;
  if (app->search_focus) {
    // About 7 px a character: a longer text shows its end, where the caret is.
    const size_t length = std::strlen(app->search_text);
    const size_t fits = static_cast<size_t>(std::max(area.width / 7 - 2, 3));
    const char* start = app->search_text + (length > fits ? length - fits : 0);
    char shown[sizeof app->search_text + sizeof kCaretMark];
    std::snprintf(shown, sizeof shown, "%s%s", start, kCaretMark);
    kelvra_text(app->painter, area, shown, PALETTE_PRIMARY_TEXT, false);
  } else if (app->search_text[0] != '\0') {
    kelvra_text(app->painter, area, app->search_text, PALETTE_PRIMARY_TEXT, false);
  } else {
    kelvra_text(app->painter, area, "Search titles and file names", PALETTE_SECONDARY_TEXT, false);
  }
}

void kelvra_draw_library(KelvraApp* app) {
  const int32_t H = app->layout_height;
  kelvra_fill(app, app->library_panel, PALETTE_BAR);
  kelvra_fill(app, Rect{175, 40, 1, H - 62}, PALETTE_LIBRARY_EDGE);
  kelvra_text(app->painter, Rect{6, 43, 100, 21}, "LIBRARY", PALETTE_SECONDARY_TEXT, false);
  double fraction = 0;
  const bool importing = kelvra_import_busy(app, &fraction);
  kelvra_box(app, app->import_button, importing ? "Cancel" : "Import", importing);
  if (importing) {
    kelvra_fill(app, Rect{7, 64, 161, 2}, PALETTE_METER_TRACK);
    kelvra_fill(app, Rect{7, 64, static_cast<int32_t>(161 * std::clamp(fraction, 0.0, 1.0)), 2}, PALETTE_METER_BAR);
  }
  const Project& project = app->project;
  if (project.source_count > 0 && app->library_shown_count == 0)
    kelvra_text(app->painter, Rect{11, 70, 153, 20}, "No source matches the search.", PALETTE_SECONDARY_TEXT, false);
  const uint64_t end = std::min(app->library_shown_count, app->library_scroll + app->library_rows_fit);
  for (uint64_t item = app->library_scroll; item < end; ++item) {
    const uint64_t i = app->library_shown[item];
    const Rect card = app->library_cards[i];
    if (card.width <= 0) continue;
    const int32_t b = card.y + card.height;
    const Source& source = project.sources[i];
    const bool selected = static_cast<int64_t>(i) == app->selected_source;
    kelvra_fill(app, card, selected ? PALETTE_SELECTED : PALETTE_BORDER);
    kelvra_fill(app, Rect{card.x + 1, card.y + 1, card.width - 2, card.height - 2}, PALETTE_CARD);
    bool missing = false;
    draw_card_picture(app, i, Rect{card.x + 1, card.y + 1, card.width - 2, 80}, &missing);
    if (source.file[0] != '\0' && !missing)
      kelvra_text(app->painter, Rect{11, b - 37, 40, 16}, "✓", PALETTE_CHECK, false);
    kelvra_text(app->painter, Rect{11, b - 22, 153, 20}, source.title, PALETTE_PRIMARY_TEXT, false);
  }
  if (app->library_scroll_bar.width > 0) {
    kelvra_fill(app, app->library_scroll_bar, PALETTE_CARD);
    kelvra_fill(app, app->library_thumb, app->thumb_drag ? PALETTE_SELECTED : PALETTE_BORDER);
  }
}
