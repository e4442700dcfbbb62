// The clip-name field: taking the keyboard, caret and selection over UTF-8
// text, typing, deleting, pasting, storing or discarding the edit, drawing.
//
// The window layer delivers a key press as its key event followed by the
// character it types (Escape, Backspace, Tab, Enter and every Ctrl+letter
// type one too), and printable text as separate character events. Each rule
// here reacts to exactly one of the two so that one press acts once: Escape,
// the caret keys, Delete and the Ctrl shortcuts to their key; Backspace, Tab,
// Enter and printable text to their character.
//
// Index:
//   [text]   UTF-8 checks, boundaries, copying names
//   [edit]   name_replace, name_finish
//   [input]  kelvra_name_live, kelvra_name_input
//   [draw]   kelvra_name_draw
#include "editor/clip_name.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/palette.h"
#include "base/utf8.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/workspace.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

constexpr uint64_t kNameSize = sizeof(KelvraApp::name_text);
static_assert(sizeof(Clip::name) == kNameSize && sizeof(KelvraApp::pending_clip_name) == kNameSize,
              "the edit buffer, the pending name and a clip's name hold the same text");

constexpr char kCaretMark[] = "│";

// ------------------------------------------------------------------- [text]

bool continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Whether `length` bytes are well-formed UTF-8 without NUL: no stray or
// missing continuation bytes, no overlong forms, no surrogates, nothing past
// U+10FFFF.
bool valid_utf8(const char* text, uint64_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (uint64_t i = 0; i < length;) {
    const uint64_t bytes = utf8_char_length(p + i, length - i);
    if (bytes == 0) return false;
    i += bytes;
  }
  return true;
}

uint64_t name_length(const KelvraApp* app) { return strnlen(app->name_text, kNameSize - 1); }

// The start of the character before `offset` (0 at the least).
uint64_t previous_boundary(const char* text, uint64_t offset) {
  if (offset == 0) return 0;
  --offset;
  while (offset > 0 && continuation(text[offset])) --offset;
  return offset;
}

// The start of the character after `offset`, `length` at the most; `offset`
// itself when it is not below `length`.
uint64_t next_boundary(const char* text, uint64_t offset, uint64_t length) {
  if (offset >= length) return offset;
  ++offset;
  while (offset < length && continuation(text[offset])) ++offset;
  return offset;
}

// Copies a name into a buffer of kNameSize bytes, cut (if ever needed) on a
// character boundary.
void copy_name(char* out, const char* name) {
  uint64_t length = strnlen(name, kNameSize);
  if (length >= kNameSize) {
    length = kNameSize - 1;
    while (length > 0 && continuation(name[length])) --length;
  }
  std::memmove(out, name, length);
  out[length] = '\0';
}

// The clip a name belongs to, or null for an index that names no clip.
Clip* clip_at(KelvraApp* app, uint64_t index) {
  return index < app->project.clip_count ? &app->project.clips[index] : nullptr;
}

Clip* selected_clip(KelvraApp* app) { return clip_at(app, static_cast<uint64_t>(app->selected_clip)); }

// Keeps caret and anchor inside the text.
void clamp_offsets(KelvraApp* app) {
  const uint64_t length = name_length(app);
  app->name_caret = std::min(app->name_caret, length);
  app->name_anchor = std::min(app->name_anchor, length);
}

}  // namespace

// ------------------------------------------------------------------- [edit]

void name_replace(KelvraApp* app, const char* text) {
  if (text == nullptr) text = "";
  const uint64_t n = std::strcspn(text, "\r\n\t");
  if (n >= kNameSize || !valid_utf8(text, n)) return;
  clamp_offsets(app);
  const uint64_t length = name_length(app);
  const uint64_t lo = std::min(app->name_anchor, app->name_caret);
  const uint64_t hi = std::max(app->name_anchor, app->name_caret);
  if (length - (hi - lo) + n >= kNameSize) return;  // dropped whole, never cut
  std::memmove(app->name_text + lo + n, app->name_text + hi, length - hi + 1);  // the tail with its NUL
  std::memcpy(app->name_text + lo, text, n);
  app->name_caret = lo + n;
  app->name_anchor = lo + n;
}

void name_finish(KelvraApp* app) {
  const char* text = app->name_text;
  uint64_t begin = 0;
  uint64_t end = name_length(app);
  while (begin < end && text[begin] == ' ') ++begin;
  while (end > begin && text[end - 1] == ' ') --end;
  if (!valid_utf8(text + begin, end - begin)) return;
  char result[kNameSize];
  std::memcpy(result, text + begin, end - begin);
  result[end - begin] = '\0';
  if (app->name_for_title) {
    Title* title = app->name_clip < app->project.title_count ? &app->project.titles[app->name_clip] : nullptr;
    if (title == nullptr || result[0] == '\0' || std::strcmp(result, title->text) == 0) return;
    if (!kelvra_history_begin(app)) return;
    std::memcpy(title->text, result, end - begin + 1);
  } else if (Clip* clip = clip_at(app, app->name_clip)) {
    if (result[0] == '\0' || std::strcmp(result, clip->name) == 0) return;
    if (!kelvra_history_begin(app)) return;
    std::memcpy(clip->name, result, end - begin + 1);
  } else {
    std::memcpy(app->pending_clip_name, result, end - begin + 1);
  }
  app->needs_redraw = 1;
}

// ------------------------------------------------------------------ [input]

namespace {

constexpr uint32_t key_letter(char letter) { return UI_KEY_A + static_cast<uint32_t>(letter - 'A'); }

constexpr uint32_t kBackspace = 8;
constexpr uint32_t kTab = 9;
constexpr uint32_t kEnter = 10;

void start_editing(KelvraApp* app) {
  app->name_for_title = 0;
  const Clip* clip = selected_clip(app);
  app->name_clip = clip != nullptr ? static_cast<uint64_t>(app->selected_clip) : KELVRA_NONE;
  copy_name(app->name_text, clip != nullptr ? clip->name : app->pending_clip_name);
  app->name_editing = 1;
}

// Ends editing; `store` keeps the text, otherwise the edit is discarded.
void stop_editing(KelvraApp* app, bool store) {
  app->name_editing = 0;
  if (store) name_finish(app);
  app->needs_redraw = 1;
}

void select_all(KelvraApp* app) {
  app->name_anchor = 0;
  app->name_caret = name_length(app);
}

void paste(KelvraApp* app) {
  char text[kNameSize];
  if (!ui_clipboard_read(app->window, text, sizeof text)) return;
  const void* end = std::memchr(text, '\0', sizeof text);
  if (end == nullptr) return;
  // Clipboard text is untrusted: anything that is not UTF-8 is refused whole.
  if (!valid_utf8(text, static_cast<uint64_t>(static_cast<const char*>(end) - text))) return;
  name_replace(app, text);
}

// Home, End, Left, Right; false for any other key.
bool move_caret(KelvraApp* app, const UiInput* event) {
  const uint64_t length = name_length(app);
  uint64_t caret = app->name_caret;
  switch (event->key) {
    case UI_KEY_HOME: caret = 0; break;
    case UI_KEY_END: caret = length; break;
    case UI_KEY_LEFT: caret = previous_boundary(app->name_text, caret); break;
    case UI_KEY_RIGHT: caret = next_boundary(app->name_text, caret, length); break;
    default: return false;
  }
  app->name_caret = caret;
  if (!event->shift) app->name_anchor = caret;
  return true;
}

// Backspace deletes the character before the caret, Delete the one after it;
// either deletes the selection when there is one.
void delete_character(KelvraApp* app, bool forward) {
  if (app->name_anchor == app->name_caret) {
    const uint64_t length = name_length(app);
    if (forward && app->name_caret < length)
      app->name_anchor = next_boundary(app->name_text, app->name_caret, length);
    else if (!forward && app->name_caret > 0)
      app->name_anchor = previous_boundary(app->name_text, app->name_caret);
  }
  name_replace(app, "");
}

// The events of a field that has the keyboard; false lets one go on to the
// rest of the dispatch.
bool editing_input(KelvraApp* app, const UiInput* event) {
  if (event->close) {
    stop_editing(app, true);
    return false;
  }
  if (event->key == UI_KEY_ESCAPE) {
    stop_editing(app, false);
    return true;
  }
  if (event->character == kTab || event->character == kEnter) {
    stop_editing(app, true);
    return true;
  }
  if (event->ctrl) {
    const uint32_t key = event->key;
    if (key == key_letter('Y') || key == key_letter('Z') || key == key_letter('S')) {
      stop_editing(app, true);  // the undo, redo or save runs on the stored name
      return false;
    }
    if (key == key_letter('A')) {
      select_all(app);
      return true;
    }
    if (key == key_letter('V')) {
      paste(app);
      return true;
    }
  }
  if (move_caret(app, event)) return true;
  if (event->character == kBackspace) {
    delete_character(app, false);
  } else if (event->key == UI_KEY_DELETE) {
    delete_character(app, true);
  } else if (event->character >= 32 && event->character <= 126 && !event->ctrl) {
    const char typed[2] = {static_cast<char>(event->character), '\0'};
    name_replace(app, typed);
  }
  return true;  // everything else is swallowed: Space types, Ctrl+Q does not close
}

}  // namespace

bool kelvra_name_live(const KelvraApp* app) {
  return app->active_tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE &&
         static_cast<uint64_t>(app->selected_source) < app->project.source_count;
}

bool kelvra_name_input(KelvraApp* app, const UiInput* event) {
  if (event->pointer == UI_POINTER_PRESS && app->name_editing && app->name_for_title) {
    if (kelvra_hit(app->title_field, event)) {
      select_all(app);
      app->needs_redraw = 1;
      return true;
    }
    stop_editing(app, true);
    return false;
  }
  if (event->pointer == UI_POINTER_PRESS) {
    if (kelvra_name_live(app) && kelvra_hit(app->clip_name_field, event)) {
      if (!app->name_editing) start_editing(app);
      select_all(app);
      app->needs_redraw = 1;
      return true;
    }
    if (app->name_editing) stop_editing(app, true);
    return false;  // the press goes on to what lies under it
  }
  if (!app->name_editing) return false;
  clamp_offsets(app);
  const bool consumed = editing_input(app, event);
  if (consumed) app->needs_redraw = 1;
  return consumed;
}

void kelvra_title_edit_begin(KelvraApp* app, uint64_t title) {
  if (title >= app->project.title_count) return;
  if (app->name_editing) stop_editing(app, true);
  app->name_for_title = 1;
  app->name_clip = title;
  copy_name(app->name_text, app->project.titles[title].text);
  app->name_editing = 1;
  select_all(app);
  app->needs_redraw = 1;
}

// ------------------------------------------------------------------- [draw]

namespace {

// The edited text as the field in `f` shows it: the caret as a mark inside
// it, or the text with its selection highlighted.
void editing_text(KelvraApp* app, Rect f, char* shown, uint32_t highlight) {
  if (app->name_anchor != app->name_caret) {
    kelvra_fill(app, Rect{f.x + 3, f.y + 4, f.width - 6, f.height - 8}, highlight);
    copy_name(shown, app->name_text);
  } else {
    // About 7 px a byte: past that many bytes the start of the text scrolls
    // out so that the caret stays in view.
    const char* text = app->name_text;
    const uint64_t caret = std::min(app->name_caret, name_length(app));
    const uint64_t fits = static_cast<uint64_t>(std::max<int64_t>((static_cast<int64_t>(f.width) - 16) / 7, 3));
    uint64_t start = caret > fits ? caret - fits : 0;
    while (start < caret && continuation(text[start])) ++start;
    std::snprintf(shown, kNameSize + sizeof kCaretMark, "%.*s%s%s", static_cast<int>(caret - start), text + start,
                  kCaretMark, text + caret);
  }
}

}  // namespace

void kelvra_title_field_draw(KelvraApp* app, Rect f) {
  if (!app->name_editing || !app->name_for_title || f.width < 1 || f.height < 1) return;
  kelvra_shape(app->painter, f, 3.0f, PALETTE_SELECTED);
  kelvra_shape(app->painter, Rect{f.x + 1, f.y + 1, f.width - 2, f.height - 2}, 2.0f, PALETTE_PICTURE);
  char shown[kNameSize + sizeof kCaretMark];
  editing_text(app, f, shown, PALETTE_ACTIVE_BUTTON);
  kelvra_text(app->painter, Rect{f.x + 5, f.y, f.width - 10, f.height}, shown, PALETTE_PRIMARY_TEXT, true);
}

void kelvra_name_draw(KelvraApp* app) {
  const Rect f = app->clip_name_field;
  if (f.width < 1 || f.height < 1) return;
  const bool editing = app->name_editing && !app->name_for_title;
  kelvra_shape(app->painter, f, 3.0f, editing ? PALETTE_SELECTED : PALETTE_BORDER);
  kelvra_shape(app->painter, Rect{f.x + 1, f.y + 1, f.width - 2, f.height - 2}, 2.0f, PALETTE_PICTURE);

  char shown[kNameSize + sizeof kCaretMark];
  if (!editing) {
    const Clip* clip = selected_clip(app);
    copy_name(shown, clip != nullptr ? clip->name : app->pending_clip_name);
  } else {
    editing_text(app, f, shown, PALETTE_ACTIVE_BUTTON);
  }
  const Rect area{f.x + 5, f.y, f.width - 10, f.height};
  if (shown[0] != '\0')
    kelvra_text(app->painter, area, shown, PALETTE_PRIMARY_TEXT, false);
  else
    kelvra_text(app->painter, area, "Clip name", PALETTE_SECONDARY_TEXT, false);
}
