// The clip-name field of the Sampling tab: it names the selected clip, or,
// with no clip selected, holds the name the next placed clip gets. A click
// gives it the keyboard with the whole text selected; while it has the
// keyboard it sees every event before the shortcuts do. Offsets are bytes
// into UTF-8 text and the keys move them a whole character at a time.
#pragma once

#include "base/rect.h"

struct KelvraApp;
struct UiInput;

// Whether the field can take the keyboard: the Sampling tab, a layout that
// shows the SAMPLE column, and a selected source.
bool kelvra_name_live(const KelvraApp* app);
// Offers one event to the field; true when the field consumed it.
bool kelvra_name_input(KelvraApp* app, const UiInput* event);
// Replaces the selection with `text` cut at its first CR, LF or TAB. Text
// that is not valid UTF-8, or that would make the name 160 bytes or longer,
// is dropped whole.
void name_replace(KelvraApp* app, const char* text);
// Stores the edited text, trimmed of spaces at both ends: as the edited
// clip's name (one undo step; an empty or unchanged name changes nothing),
// or, when no clip was being named, as the pending name.
void name_finish(KelvraApp* app);
// Draws the field in clip_name_field.
void kelvra_name_draw(KelvraApp* app);

// Gives the field's keyboard to the text of title `title`, the whole text
// selected; finishing stores it as the title's text (one undo step; an empty
// or unchanged text changes nothing).
void kelvra_title_edit_begin(KelvraApp* app, uint64_t title);
// Draws the text of the title being typed in, in the box `f`.
void kelvra_title_field_draw(KelvraApp* app, Rect f);
