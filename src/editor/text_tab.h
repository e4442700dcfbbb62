// The Text tab: titles written and placed by hand. "+ Title" adds one at the
// playhead and gives its text the keyboard; its text and box colours come
// from the colour chooser; its box is dragged on the primary canvas to place
// it, and its span on the band's titles row sets when it shows. Every change
// is one undo step.
#pragma once

#include <cstdint>

struct KelvraApp;
struct UiInput;

// The tab's rectangles: its buttons, the canvas and the box being typed in.
void kelvra_text_layout(KelvraApp* app);
// The tab's main panel.
void kelvra_text_draw(KelvraApp* app);
// Presses on the tab's panel; true when the press was the tab's.
bool kelvra_text_press(KelvraApp* app, const UiInput* event);
// The drag of a title's box on the canvas (KELVRA_DRAG_TITLE_MOVE).
void kelvra_text_drag(KelvraApp* app, const UiInput* event);

// A new title at the playhead, selected, its text given the keyboard.
void kelvra_title_add(KelvraApp* app);
// Removes the selected title.
void kelvra_title_delete(KelvraApp* app);
// Opens the colour chooser for the selected title's text
// (KELVRA_DIALOG_TITLE_COLOR) or box (KELVRA_DIALOG_TITLE_BOX).
void kelvra_title_color_begin(KelvraApp* app, uint32_t which);
// The chooser's answer for the title it was opened for.
void kelvra_title_color_chosen(KelvraApp* app, uint32_t which, uint32_t rgb);
