// The library column's behaviour: the search that filters the cards, their
// layout a card at a time with the scroll bar, the search field's keys, the
// wheel, the scroll bar and the column's keys, dropped files, and the poll
// that asks for posters and goes on with imports.
//
// Index:
//   [search]   kelvra_library_matches
//   [layout]   kelvra_library_layout, kelvra_library_source_at, kelvra_library_scroll_to
//   [input]    the search field, the scroll bar, wheel and keys; kelvra_library_input
//   [poll]     kelvra_library_poll
#include "editor/library.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/import.h"
#include "media/poster.h"
#include "platform/ui.h"

// ------------------------------------------------------------------ [search]

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `word` (`length` bytes, lower case) is in `text`, letters A to Z in either case.
bool contains(const char* text, const char* word, size_t length) {
  for (const char* at = text; *at != '\0'; ++at) {
    size_t i = 0;
    while (i < length && at[i] != '\0' && lower(at[i]) == word[i]) ++i;
    if (i == length) return true;
  }
  return false;
}

}  // namespace

bool kelvra_library_matches(const Source* source, const char* text) {
  char word[sizeof(KelvraApp::search_text)];
  const char* at = text;
  for (;;) {
    while (*at == ' ') ++at;
    if (*at == '\0') return true;
    size_t length = 0;
    while (at[length] != '\0' && at[length] != ' ' && length + 1 < sizeof word) {
      word[length] = lower(at[length]);
      ++length;
    }
    at += length;
    if (!contains(source->title, word, length) && !contains(source->file, word, length)) return false;
  }
}

// ------------------------------------------------------------------ [layout]

namespace {

constexpr int32_t kFirstCard = 67;  // the top of the first card row
constexpr int32_t kBarWidth = 5;
constexpr int32_t kShortestThumb = 16;

uint64_t last_scroll(const KelvraApp* app) {
  return app->library_shown_count > app->library_rows_fit ? app->library_shown_count - app->library_rows_fit : 0;
}

}  // namespace

void kelvra_library_layout(KelvraApp* app) {
  const int32_t W = app->layout_width;
  const int32_t H = app->layout_height;
  const int32_t f = std::clamp(W - 566, 0, 532);
  app->search_field = Rect{8, 7, f, 26};
  app->import_button = Rect{112, 43, 56, 21};

  const Project& project = app->project;
  const uint64_t sources = std::min(project.source_count, PROJECT_MAX_ROWS);
  uint64_t shown = 0;
  for (uint64_t i = 0; i < sources; ++i)
    if (kelvra_library_matches(&project.sources[i], app->search_text)) app->library_shown[shown++] = i;
  app->library_shown_count = shown;
  // Card k stands on b = 169 + 106 k; cards whose b reaches the status bar are left out.
  uint64_t fit = 0;
  while (fit < PROJECT_MAX_ROWS && 169 + LIBRARY_ROW * static_cast<int64_t>(fit) < H - 23) ++fit;
  app->library_rows_fit = fit;
  app->library_scroll = std::min(app->library_scroll, last_scroll(app));

  std::memset(app->library_cards, 0, sizeof app->library_cards);
  uint64_t cards = 0;
  for (uint64_t k = 0; k < fit && app->library_scroll + k < shown; ++k) {
    const uint64_t source = app->library_shown[app->library_scroll + k];
    app->library_cards[source] = Rect{7, kFirstCard + LIBRARY_ROW * static_cast<int32_t>(k), 161, 102};
    ++cards;
  }
  app->library_card_count = cards;

  app->library_scroll_bar = Rect{};
  app->library_thumb = Rect{};
  if (shown > fit && fit > 0) {
    const Rect bar{169, kFirstCard, kBarWidth, LIBRARY_ROW * static_cast<int32_t>(fit) - 4};
    const int32_t thumb = std::max(kShortestThumb, static_cast<int32_t>(bar.height * fit / shown));
    const uint64_t most = last_scroll(app);
    const int32_t travel = bar.height - thumb;
    app->library_scroll_bar = bar;
    app->library_thumb =
        Rect{bar.x, bar.y + static_cast<int32_t>(travel * static_cast<int64_t>(app->library_scroll) / static_cast<int64_t>(most)),
             bar.width, thumb};
  }
}

int64_t kelvra_library_source_at(const KelvraApp* app, int32_t y) {
  if (y < kFirstCard) return -1;
  const uint64_t row = static_cast<uint64_t>((y - kFirstCard) / LIBRARY_ROW);
  if (row >= app->library_rows_fit) return -1;
  // Counted over the sources as they are now, which a press may see before
  // the next layout does (a project opened or an import joined since).
  uint64_t item = app->library_scroll + row;
  const Project& project = app->project;
  for (uint64_t i = 0; i < std::min(project.source_count, PROJECT_MAX_ROWS); ++i) {
    if (!kelvra_library_matches(&project.sources[i], app->search_text)) continue;
    if (item == 0) return static_cast<int64_t>(i);
    --item;
  }
  return -1;
}

void kelvra_library_scroll_to(KelvraApp* app, int64_t row) {
  const uint64_t wanted = row < 0 ? 0 : static_cast<uint64_t>(row);
  const uint64_t scroll = std::min(wanted, last_scroll(app));
  if (scroll == app->library_scroll) return;
  app->library_scroll = scroll;
  kelvra_library_layout(app);
  app->needs_redraw = 1;
}

// ------------------------------------------------------------------- [input]

namespace {

constexpr uint32_t key_letter(char letter) { return UI_KEY_A + static_cast<uint32_t>(letter - 'A'); }

constexpr uint32_t kBackspace = 8;
constexpr uint32_t kTab = 9;
constexpr uint32_t kEnter = 10;

// A new search shows its first matches at the top.
void search_changed(KelvraApp* app) {
  app->library_scroll = 0;
  kelvra_library_layout(app);
  app->needs_redraw = 1;
}

void append_search(KelvraApp* app, const char* text) {
  const size_t length = std::strlen(app->search_text);
  size_t add = std::strcspn(text, "\r\n\t");
  for (size_t i = 0; i < add; ++i)
    if (static_cast<unsigned char>(text[i]) < 32 || static_cast<unsigned char>(text[i]) > 126) return;  // ASCII only
  if (length + add >= sizeof app->search_text) return;
  std::memcpy(app->search_text + length, text, add);
  app->search_text[length + add] = '\0';
  search_changed(app);
}

// The keys of the search field while it has the keyboard; false lets one go
// on (the close, Ctrl+Q, Ctrl+S, Ctrl+O, Ctrl+Z, Ctrl+Y).
bool search_keys(KelvraApp* app, const UiInput* event) {
  if (event->close) {
    app->search_focus = 0;
    return false;
  }
  if (event->key == UI_KEY_ESCAPE) {
    app->search_text[0] = '\0';
    app->search_focus = 0;
    search_changed(app);
    return true;
  }
  if (event->character == kEnter || event->character == kTab) {
    app->search_focus = 0;
    app->needs_redraw = 1;
    return true;
  }
  if (event->ctrl) {
    if (event->key == key_letter('V')) {
      char pasted[sizeof app->search_text];
      if (ui_clipboard_read(app->window, pasted, sizeof pasted) && std::memchr(pasted, '\0', sizeof pasted) != nullptr)
        append_search(app, pasted);
      return true;
    }
    const uint32_t key = event->key;
    if (key == key_letter('Q') || key == key_letter('S') || key == key_letter('O') || key == key_letter('Z') ||
        key == key_letter('Y')) {
      app->search_focus = 0;
      return false;
    }
    return true;
  }
  if (event->character == kBackspace) {
    const size_t length = std::strlen(app->search_text);
    if (length > 0) {
      app->search_text[length - 1] = '\0';
      search_changed(app);
    }
    return true;
  }
  if (event->key == UI_KEY_DELETE) {
    if (app->search_text[0] != '\0') {
      app->search_text[0] = '\0';
      search_changed(app);
    }
    return true;
  }
  if (event->character >= 32 && event->character <= 126) {
    const char typed[2] = {static_cast<char>(event->character), '\0'};
    append_search(app, typed);
  }
  return true;  // everything else stays in the field: Space types, the arrows do nothing
}

// Moves the thumb so that its top follows the pointer at client y.
void drag_thumb(KelvraApp* app, int32_t y) {
  const Rect bar = app->library_scroll_bar;
  const int32_t travel = bar.height - app->library_thumb.height;
  const uint64_t most = last_scroll(app);
  if (travel <= 0 || most == 0) return;
  const int32_t top = std::clamp(y - app->thumb_grab - bar.y, 0, travel);
  const int64_t row = (static_cast<int64_t>(top) * static_cast<int64_t>(most) + travel / 2) / travel;
  kelvra_library_scroll_to(app, row);
}

// A press on the scroll bar: the thumb is taken, or the column moves a page toward the press.
void bar_press(KelvraApp* app, const UiInput* event) {
  const Rect thumb = app->library_thumb;
  const int64_t scroll = static_cast<int64_t>(app->library_scroll);
  const int64_t page = static_cast<int64_t>(std::max<uint64_t>(app->library_rows_fit, 1));
  if (event->y < thumb.y) {
    kelvra_library_scroll_to(app, scroll - page);
  } else if (event->y >= thumb.y + thumb.height) {
    kelvra_library_scroll_to(app, scroll + page);
  } else {
    app->thumb_drag = 1;
    app->thumb_grab = event->y - thumb.y;
  }
}

// Page Up, Page Down, Home and End while the column has the keyboard.
bool column_keys(KelvraApp* app, const UiInput* event) {
  if (event->ctrl || event->shift) return false;
  const int64_t scroll = static_cast<int64_t>(app->library_scroll);
  const int64_t page = static_cast<int64_t>(std::max<uint64_t>(app->library_rows_fit, 1));
  switch (event->key) {
    case UI_KEY_PAGE_UP: kelvra_library_scroll_to(app, scroll - page); return true;
    case UI_KEY_PAGE_DOWN: kelvra_library_scroll_to(app, scroll + page); return true;
    case UI_KEY_HOME: kelvra_library_scroll_to(app, 0); return true;
    case UI_KEY_END: kelvra_library_scroll_to(app, static_cast<int64_t>(last_scroll(app))); return true;
    default: return false;
  }
}

void take_drop(KelvraApp* app, const UiInput* event) {
  char path[KELVRA_PATH_SIZE];
  if (!ui_window_dropped_path(app->window, event, path, sizeof path)) {
    kelvra_status(app, "A dropped file could not be imported: its path is too long.");
    return;
  }
  kelvra_import_path(app, path);
}

}  // namespace

bool kelvra_library_input(KelvraApp* app, const UiInput* event) {
  if (event->drop != 0) {
    take_drop(app, event);
    return true;
  }
  if (app->thumb_drag) {
    if (event->pointer == UI_POINTER_MOVE) {
      drag_thumb(app, event->y);
      return true;
    }
    if (event->pointer == UI_POINTER_RELEASE || event->pointer == UI_POINTER_PRESS) app->thumb_drag = 0;
  }
  if (event->pointer == UI_POINTER_PRESS) {
    app->library_focus = kelvra_hit(app->library_panel, event);
    const bool in_search = kelvra_hit(app->search_field, event);
    if (!in_search) {
      if (app->search_focus) app->needs_redraw = 1;
      app->search_focus = 0;
    }
    if (in_search) {
      app->search_focus = 1;
      app->needs_redraw = 1;
      return true;
    }
    if (kelvra_hit(app->import_button, event)) {
      kelvra_import_button(app);
      app->needs_redraw = 1;
      return true;
    }
    if (kelvra_hit(app->library_scroll_bar, event)) {
      bar_press(app, event);
      app->needs_redraw = 1;
      return true;
    }
    return false;
  }
  if (app->search_focus && search_keys(app, event)) return true;
  if (event->pointer == UI_POINTER_WHEEL && kelvra_hit(app->library_panel, event)) {
    // A notch (120) moves one card; the wheel's direction moves the view as a page does.
    const int64_t notches = event->wheel / 120 != 0 ? event->wheel / 120 : (event->wheel > 0 ? 1 : -1);
    kelvra_library_scroll_to(app, static_cast<int64_t>(app->library_scroll) - notches);
    return true;
  }
  if (app->library_focus && !app->search_focus && event->key != UI_KEY_NONE && column_keys(app, event)) return true;
  return false;
}

// -------------------------------------------------------------------- [poll]

void kelvra_library_poll(KelvraApp* app) {
  kelvra_import_poll(app);
  if (app->posters == nullptr) return;
  // Every source's poster is asked for once, oldest first; the cards on
  // screen ask again as they are drawn, and so come first.
  const Project& project = app->project;
  if (app->posters_project != app->project_serial || app->posters_asked > project.source_count) {
    app->posters_project = app->project_serial;
    app->posters_asked = 0;
  }
  for (; app->posters_asked < project.source_count; ++app->posters_asked) {
    char path[KELVRA_PATH_SIZE];
    if (kelvra_path(app->media_folder, project.sources[app->posters_asked].file, path))
      kelvra_poster_get(app->posters, path, nullptr, nullptr);
  }
  const uint64_t serial = kelvra_poster_serial(app->posters);
  if (serial != app->poster_serial) {
    app->poster_serial = serial;
    app->needs_redraw = 1;
  }
  if (!app->cache_reported && kelvra_poster_cache_failed(app->posters)) {
    app->cache_reported = 1;
    kelvra_status(app, "The picture cache folder cannot be written: library pictures are made again at each start.");
  }
}
