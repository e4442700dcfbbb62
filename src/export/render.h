// The render queue: background exports and the render library.
#pragma once

struct RenderQueue;
struct KelvraApp;

RenderQueue* kelvra_render_create();
void kelvra_render_destroy(RenderQueue* queue);
void kelvra_render_poll(KelvraApp* app);
// Whether an export may be queued now: the timeline has a length (up to four
// hours) and every open canvas was previewed since the last edit.
bool kelvra_export_ready(const KelvraApp* app);
// Queues one export per open canvas, or the mix as WAV; false (with a status
// text) when nothing was queued.
bool kelvra_render_enqueue(KelvraApp* app, bool wav);
// Lists the earlier renders found in the media folder as library sources.
void kelvra_render_library(KelvraApp* app);
