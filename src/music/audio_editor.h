// The piano-roll editor of the Audio tab.
#pragma once

struct KelvraApp;
struct UiInput;

// Clears the view state and places each roll's top key above its highest note.
void audio_editor_reset(KelvraApp* app);
void audio_draw(KelvraApp* app);
// Offers an event to the editor; true when it took it.
bool audio_editor_input(KelvraApp* app, const UiInput* event);
