// The editor: input dispatch, the transport, source sampling and the views of
// the tabs. Every function runs on the main thread over the KelvraApp record.
#pragma once

#include <cstdint>

#include "base/rect.h"
#include "project/project.h"

struct KelvraApp;
struct UiInput;

// The marked range of the selected source: a record with the layout of a clip.
using SampleRange = Clip;

// ------------------------------------------------------------ transport
// Restarts the playback clock at the current playheads (after any playhead move).
void kelvra_seek(KelvraApp* app);
void kelvra_select(KelvraApp* app, uint64_t index);
void kelvra_change_tab(KelvraApp* app, uint32_t tab);
// Stops playback: nothing plays and no start is pending.
void kelvra_stop_playback(KelvraApp* app);
// Stops playback and ends every drag, the piano roll's included.
void kelvra_halt(KelvraApp* app);
// Advances the clock and feeds the workers; returns needs_redraw.
bool kelvra_tick(KelvraApp* app);

// -------------------------------------------------------------- timeline
// Recomputes the timeline end from clips and titles and pulls the playhead back to it.
void kelvra_sequence_end(KelvraApp* app);

// -------------------------------------------------------------- sampling
bool kelvra_has_sample(const KelvraApp* app);
SampleRange* kelvra_sample_range(SampleRange* out, const KelvraApp* app);
void kelvra_sample_reset(KelvraApp* app);
void kelvra_clear_clip(KelvraApp* app);
// Source time under client x on the sample strip.
double sample_position(const KelvraApp* app, int32_t x);

// ----------------------------------------------------------------- input
void kelvra_input(KelvraApp* app, const UiInput* event);
void kelvra_press(KelvraApp* app, const UiInput* event);
bool kelvra_hit(Rect rect, const UiInput* event);
// The range handle under the pointer: KELVRA_DRAG_NONE, _RANGE_BODY, _RANGE_IN or _RANGE_OUT.
uint32_t kelvra_sample_handle(const KelvraApp* app, const UiInput* event);

// ----------------------------------------------------------------- views
void kelvra_draw_sampling(KelvraApp* app);
void kelvra_draw_monitor(KelvraApp* app);
void kelvra_draw_other(KelvraApp* app);
void kelvra_draw_sequence(KelvraApp* app);
