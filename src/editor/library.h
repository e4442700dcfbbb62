// The library column and the header's search field: the cards of the sources
// the search lets through, scrolled a card at a time (wheel, scroll bar, Page
// Up and Page Down while the column has the keyboard), each card with the
// poster of its file; the Import button and files dropped on the window
// (import.h does the copying).
#pragma once

#include <cstdint>

struct KelvraApp;
struct UiInput;
struct Source;

constexpr int32_t LIBRARY_ROW = 106;  // a card and the gap under it

// Whether `source` passes the search `text`: every word of it (words are
// separated by spaces) is found in the source's title or file name, letters
// A to Z in either case. An empty text lets everything through.
bool kelvra_library_matches(const Source* source, const char* text);
// Filters the sources by the search text and lays out the column and the
// header's search field: the cards shown (library_cards by source, empty for
// the rest), the scroll bar with its thumb, the Import button.
void kelvra_library_layout(KelvraApp* app);
// The source of the card row under client y, or -1 when no card is there.
int64_t kelvra_library_source_at(const KelvraApp* app, int32_t y);
// Scrolls the column so that shown card `row` is at its top, as far as the cards reach.
void kelvra_library_scroll_to(KelvraApp* app, int64_t row);
// The search field's keys while it has the keyboard, presses on the search
// field and the scroll bar, the wheel over the column, the column's keys, and
// dropped files; true when the event was taken.
bool kelvra_library_input(KelvraApp* app, const UiInput* event);
// Once a frame: asks for the posters of new sources, redraws when posters
// arrive, tells once when the poster cache cannot be written, and goes on
// with imports (import.h).
void kelvra_library_poll(KelvraApp* app);
// The search field in the header.
void kelvra_draw_search(KelvraApp* app);
