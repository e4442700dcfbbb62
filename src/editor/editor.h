// The editor: input dispatch, the transport, source sampling and the views of
// the tabs. Every function runs on the main thread over the KelvraApp record.
#pragma once

#include <cstdint>

#include "base/rect.h"
#include "project/project.h"

struct KelvraApp;
struct UiInput;
struct VideoWorker;

// The marked range of the selected source: a record with the layout of a clip.
using SampleRange = Clip;

// ------------------------------------------------------------ transport
// Restarts the playback clock at the current playheads (after any playhead move).
void kelvra_seek(KelvraApp* app);
void kelvra_select(KelvraApp* app, uint64_t index);
void kelvra_change_tab(KelvraApp* app, uint32_t tab);
// Play/pause for `mode` (TRANSPORT_*): pauses when that mode plays, else plays it.
void kelvra_toggle(KelvraApp* app, uint32_t mode);
// Stops playback: nothing plays and no start is pending.
void kelvra_stop_playback(KelvraApp* app);
// Stops playback and ends every drag, the piano roll's included.
void kelvra_halt(KelvraApp* app);
// Advances the clock and feeds the sound worker; returns needs_redraw.
bool kelvra_tick(KelvraApp* app);
// Posts the pictures the next frame draws to the video workers. The frame
// loop calls it after presenting, so that what is decoded during the frame
// wait is what the next frame shows, never the frame being drawn.
void kelvra_request_pictures(KelvraApp* app);

// ------------------------------------------------------- picture choice
// How far ahead of the playhead of `mode` pictures are asked for: one frame
// while that mode plays (a request is decoded during the frame wait and drawn
// in the next frame, when the clock has moved on by a frame), else 0.
double kelvra_picture_lead(const KelvraApp* app, uint32_t mode);
// Whether `worker` holds a frame of the clip's source within 0.14 s of what
// the clip shows at timeline time `time`.
// The file of the clip's source in the media folder; false when it has none.
bool kelvra_clip_path(const KelvraApp* app, const Clip* clip, char* path);
bool picture_near(const KelvraApp* app, VideoWorker* worker, const Clip* clip, double time);
// At a cut or loop wrap that the look-ahead prepared, gives the program slot
// to the worker that already holds the new picture. The tick runs it before
// the frame is drawn; the picture requests run it too.
void kelvra_picture_exchange(KelvraApp* app);
// Posts the clip stack under the timeline playhead and runs the cut look-ahead.
void kelvra_timeline_picture(KelvraApp* app);
// Posts the sample preview of `path` and runs the loop look-ahead.
void kelvra_sample_picture(KelvraApp* app, const char* path);

// -------------------------------------------------------------- timeline
// Puts the sample range on the timeline as a new, selected clip at the playhead.
void kelvra_place(KelvraApp* app);
// The lanes Place chooses from (lane 1 is 0).
constexpr uint32_t KELVRA_PLACE_LANES = 4;
// The lowest lane on which no clip plays in [at, at + length); lane 0 with
// `found` false when every lane has one there.
uint32_t kelvra_free_lane(const Project* project, double at, double length, bool* found);
// Puts `clip` on kelvra_free_lane for its place and length; false when no
// lane was free and it went on lane 0 over what is there.
bool kelvra_place_lane(const Project* project, Clip* clip);
// "+ Timeline" on the Audio tab: the selected region's beats, or the whole
// score, as a music clip at the timeline's playhead, one undo step.
void kelvra_place_score(KelvraApp* app);
// The MEDIA_STREAMS_* bits of source `index`'s file, probed once per file
// (0 while it cannot be read).
uint8_t kelvra_source_streams(KelvraApp* app, int64_t index);
// Whether turning on the clip switch for pictures (`video`) or sound of a
// clip of `source` (music for a negative source) asks for what it lacks;
// says so on the status line.
bool kelvra_switch_refused(KelvraApp* app, int64_t source, bool music, bool video);
// Notes which library sources have no readable file, for the clips drawn as missing.
void kelvra_check_sources(KelvraApp* app);
// The top layer under the timeline playhead, or null.
const Clip* kelvra_active_video(const KelvraApp* app);
// Tells on the status line of clips that name no source of the library.
void kelvra_report_lost_clips(KelvraApp* app);
// Recomputes the timeline end from clips and titles and pulls the playhead back to it.
void kelvra_sequence_end(KelvraApp* app);

// Presses and drags on the clip lanes: select or move a clip, or scrub.
void kelvra_sequence_press(KelvraApp* app, const UiInput* event);
void kelvra_sequence_drag(KelvraApp* app, const UiInput* event);
// The clip controls under the lanes; press and wheel say whether they took the event.
bool sequence_clip_controls_press(KelvraApp* app, const UiInput* event);
void sequence_clip_controls_drag(KelvraApp* app, const UiInput* event);
bool sequence_clip_controls_wheel(KelvraApp* app, const UiInput* event);
// Copies the selected clip to right after itself, selected; removes the selected clip.
void sequence_duplicate(KelvraApp* app);
void sequence_remove(KelvraApp* app);

// -------------------------------------------------------------- canvases
// The preview cell of canvas preset `index`; empty when it is not open.
Rect* kelvra_preview_cell(Rect* out, const KelvraApp* app, uint32_t index);
// The primary canvas's picture inside its preview cell, empty when not shown.
Rect* kelvra_primary_picture(Rect* out, const KelvraApp* app);
// Every open canvas at the playhead, side by side; records which showed a picture.
void kelvra_draw_canvases(KelvraApp* app);
// The clips under the playhead composed into `picture` as the primary canvas
// shows them; false when no layer's picture was there.
bool kelvra_compose_primary(KelvraApp* app, Rect picture);
// The toolbar's "Export" and "Canvases" buttons; true when the press was theirs.
bool kelvra_canvas_press(KelvraApp* app, const UiInput* event);

// --------------------------------------------------------------- monitor
Rect* kelvra_monitor_area(Rect* out, const KelvraApp* app);
Rect* kelvra_inset_control(Rect* out, const KelvraApp* app);
// The top clip under the playhead when it has a layer below it and the
// primary canvas is open, else -1: the clip the "Inset" button acts on.
int64_t kelvra_inset_clip(const KelvraApp* app);
// Where a clip with `transform` lands in canvas rectangle `canvas`: covering
// it at scale 1, scaled, centred, then moved by canvas widths and heights.
Rect* kelvra_inset_bounds(Rect* out, const KelvraApp* app, Rect canvas, const Transform* transform);
// The inset button, wheel and press over the inset; true when the event was taken.
bool kelvra_monitor_press(KelvraApp* app, const UiInput* event);
void kelvra_monitor_drag(KelvraApp* app, const UiInput* event);

// -------------------------------------------------------------- sampling
bool kelvra_has_sample(const KelvraApp* app);
SampleRange* kelvra_sample_range(SampleRange* out, const KelvraApp* app);
void kelvra_sample_reset(KelvraApp* app);
void kelvra_clear_clip(KelvraApp* app);
// Writes an edited range back to the selected clip or the source's cut, then rewinds.
void kelvra_sample_apply(KelvraApp* app, const SampleRange* range);
void kelvra_select_clip(KelvraApp* app, uint64_t index);
// A control of the row under the strip, at an unscaled offset and width.
Rect* kelvra_sample_control(Rect* out, const KelvraApp* app, int32_t offset, int32_t width);
// Moves the source playhead to the seek bar position under client x and stops.
void kelvra_source_seek(KelvraApp* app, int32_t x);
// Moves the handle of the range drag in progress to client x.
void kelvra_sample_drag(KelvraApp* app, int32_t x);
// Source time under client x on the sample strip.
double sample_position(const KelvraApp* app, int32_t x);

// -------------------------------------------------------------- tooltips
// The name of clip control `control` (1 + SEQUENCE_*), null for one without.
const char* kelvra_tooltip_text(uint32_t control);
// Notes the control under the resting pointer at x, y (`over` false when it
// is not over the window); a change redraws.
void kelvra_hover(KelvraApp* app, bool over, int32_t x, int32_t y);
// The resting control's name in a box above it; drawn last.
void kelvra_draw_tooltip(KelvraApp* app);

// ----------------------------------------------------------------- input
void kelvra_input(KelvraApp* app, const UiInput* event);
void kelvra_press(KelvraApp* app, const UiInput* event);
bool kelvra_hit(Rect rect, const UiInput* event);
// The range handle under the pointer: KELVRA_DRAG_NONE, _RANGE_BODY, _RANGE_IN or _RANGE_OUT.
uint32_t kelvra_sample_handle(const KelvraApp* app, const UiInput* event);

// ----------------------------------------------------------------- views
void kelvra_draw_sampling(KelvraApp* app);
// One range on the sample strip: the active range with its edges and grips, or another clip's.
void sample_marker(KelvraApp* app, double in, double out, double duration, bool active);
void kelvra_draw_monitor(KelvraApp* app);
void kelvra_draw_other(KelvraApp* app);
void kelvra_draw_sequence(KelvraApp* app);
