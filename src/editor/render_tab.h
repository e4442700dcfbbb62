// The editor's side of exports and publishing: queuing the open project,
// the poll that adds finished files to the library, the actions on a
// finished row, the Render tab and the publish panel over it.
#pragma once

#include <cstdint>

struct KelvraApp;
struct RenderRow;
struct UiInput;

// ----------------------------------------------------------------- [queue]
// Whether an export may be queued now: the timeline has a length (up to four
// hours) and every open canvas was previewed since the last edit.
bool kelvra_export_ready(const KelvraApp* app);
// Queues one export per open canvas, or the mix as WAV; false (with a status
// text) when nothing was queued.
bool kelvra_render_enqueue(KelvraApp* app, bool wav);
// Queues one MP4 job per canvas of `canvases` (bit k for preset k), or with
// `wav` the mix, without the preview test; the whole batch or nothing. The
// row the publish panel shows stays on the list.
bool kelvra_render_batch(KelvraApp* app, uint32_t canvases, bool wav);
// Polls the queue and adds every file it finished to the library.
void kelvra_render_poll(KelvraApp* app);
// Fills `rows` (24) with one row a job; the number of jobs.
uint64_t kelvra_render_rows(const KelvraApp* app, RenderRow* rows);
// Takes a finished, failed or cancelled row off the list (not the one the
// publish panel shows).
void kelvra_render_remove_row(KelvraApp* app, uint64_t row);
// Takes every finished, failed and cancelled row off the list (but the one
// the publish panel shows); the number taken off, told on the status line.
uint64_t kelvra_render_clear_ended(KelvraApp* app);

// --------------------------------------------------------------- [library]
// The library index of the rendered file `file_name`, added when new; -1 when the library is full.
int64_t kelvra_render_add_source(KelvraApp* app, const char* file_name, bool is_wav, double duration);
// Lists the earlier renders found in the media folder as library sources.
void kelvra_render_library(KelvraApp* app);

// --------------------------------------------------------------- [actions]
// Stops a queued or running job (with a status text); false when it has already ended.
bool kelvra_render_cancel(KelvraApp* app, uint64_t row);
// Plays a finished job's file (reveal false) or shows it in the file manager.
bool kelvra_render_action(KelvraApp* app, uint64_t row, bool reveal);
// The finished WAV mix of the same edit as `row` (the row itself for a mix); false when there is none.
bool kelvra_render_wav(const KelvraApp* app, uint64_t row, RenderRow* out);

// -------------------------------------------------------------- [render tab]
void kelvra_render_draw(KelvraApp* app);
bool kelvra_render_input(KelvraApp* app, const UiInput* event);

// ----------------------------------------------------------- [publish panel]
// The publishing tasks, made on first use; null when memory runs out.
struct PublishContext* kelvra_publishing(KelvraApp* app);
void kelvra_publish_open(KelvraApp* app, uint64_t job);
void kelvra_publish_draw(KelvraApp* app);
bool kelvra_publish_input(KelvraApp* app, const UiInput* event);
