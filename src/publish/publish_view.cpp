// The publish panel: a box over the render list for one finished export,
// with the five destinations (a toggle, an account button and a status line
// each, the button reading "Cancel" while the target's sign-in or upload
// runs), a note on visibility, "Upload selected" and "Close". While it is
// open it takes every input event but the window's close.
#include <cstdio>

#include "app/app.h"
#include "app/workspace.h"
#include "base/palette.h"
#include "editor/editor.h"
#include "export/render.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "publish/publish.h"

namespace {

const char* const kNames[PUBLISH_TARGETS] = {"YouTube", "Twitch", "LinkedIn", "Instagram", "SoundCloud"};

struct Panel {
  int32_t left;
  int32_t width;
  int32_t right;
  int32_t y;
  int32_t status_width;
};

Panel panel_of(const KelvraApp* app) {
  const Rect p = app->main_panel;
  Panel panel{};
  panel.width = p.width >= 566 ? 550 : p.width - 20;
  panel.left = p.width >= 566 ? p.x + ((p.width - 550) >> 1) : p.x + 10;
  panel.right = panel.left + panel.width;
  panel.y = p.y;
  panel.status_width = p.width >= 566 ? 290 : p.width - 280;
  return panel;
}

bool context_busy(KelvraApp* app, uint32_t target) {
  PublishContext* context = kelvra_publishing_context(app);
  return context != nullptr && context->tasks[target].busy.load() != 0;
}

int32_t row_top(const Panel& panel, uint32_t i) { return panel.y + 80 + 30 * static_cast<int32_t>(i); }
Rect toggle(const Panel& panel, uint32_t i) { return Rect{panel.left + 13, row_top(panel, i), 104, 25}; }
Rect account(const Panel& panel, uint32_t i) { return Rect{panel.right - 128, row_top(panel, i), 114, 25}; }
Rect upload_button(const Panel& panel) { return Rect{panel.right - 244, panel.y + 269, 131, 27}; }
Rect close_button(const Panel& panel) { return Rect{panel.right - 107, panel.y + 269, 93, 27}; }

// The panel's job when it shows.
RenderJob* shown_job(KelvraApp* app) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr || !queue->publish_open || queue->publish_job >= queue->job_count) return nullptr;
  return &queue->jobs[queue->publish_job];
}

}  // namespace

void kelvra_publish_open(KelvraApp* app, uint64_t job) {
  RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return;
  queue->publish_open = 1;
  queue->publish_targets = 0;
  queue->publish_job = job;
  app->needs_redraw = 1;
}

void kelvra_publish_draw(KelvraApp* app) {
  RenderJob* job = shown_job(app);
  if (job == nullptr) return;
  const RenderQueue* queue = app->render_queue;
  const Panel panel = panel_of(app);
  Painter* painter = app->painter;
  kelvra_shape(painter, Rect{panel.left, panel.y + 32, panel.width, 281}, 5.0f, PALETTE_BORDER);
  kelvra_shape(painter, Rect{panel.left + 1, panel.y + 33, panel.width - 2, 279}, 4.0f, PALETTE_PANEL);
  kelvra_text(painter, Rect{panel.left + 13, panel.y + 39, panel.width - 26, 26}, "Upload export", PALETTE_PRIMARY_TEXT,
              false);
  RenderRow mix{};
  const bool paired = kelvra_render_wav(app, queue->publish_job, &mix);
  for (uint32_t i = 0; i < PUBLISH_TARGETS; ++i) {
    bool connected = false;
    const char* status = kelvra_publish_status(app, i, &connected);
    if (job->row.is_wav && i != PUBLISH_SOUNDCLOUD) status = "Requires video";
    else if (!job->row.is_wav && i == PUBLISH_SOUNDCLOUD && !paired) status = "Render a WAV mix for this edit";
    kelvra_box(app, toggle(panel, i), kNames[i], (queue->publish_targets >> i) & 1);
    const bool running = context_busy(app, i);
    kelvra_box(app, account(panel, i),
               running ? "Cancel" : i == PUBLISH_TWITCH ? "Video Producer" : connected ? "Account" : "Connect", false);
    kelvra_text(painter, Rect{panel.left + 126, row_top(panel, i), panel.status_width, 25}, status,
                PALETTE_SECONDARY_TEXT, false);
  }
  kelvra_text(painter, Rect{panel.left + 13, panel.y + 235, panel.width - 26, 23},
              "YouTube and SoundCloud start private. LinkedIn and Instagram publish to your profile.",
              PALETTE_SECONDARY_TEXT, false);
  kelvra_box(app, upload_button(panel), "Upload selected", queue->publish_targets != 0);
  kelvra_box(app, close_button(panel), "Close", false);
}

bool kelvra_publish_input(KelvraApp* app, const UiInput* event) {
  RenderJob* job = shown_job(app);
  if (job == nullptr || event->close) return false;
  RenderQueue* queue = app->render_queue;
  if (event->key == UI_KEY_ESCAPE) {
    queue->publish_open = 0;
    app->needs_redraw = 1;
    return true;
  }
  if (event->pointer != UI_POINTER_PRESS) return true;
  const Panel panel = panel_of(app);
  RenderRow mix{};
  const bool paired = kelvra_render_wav(app, queue->publish_job, &mix);
  for (uint32_t i = 0; i < PUBLISH_TARGETS; ++i) {
    // While the target's sign-in or upload runs, its account button cancels it.
    if (kelvra_hit(account(panel, i), event) && !kelvra_publish_cancel(app, i)) kelvra_publish_account(app, i);
    if (!kelvra_hit(toggle(panel, i), event)) continue;
    if (i != PUBLISH_SOUNDCLOUD) {
      if (!job->row.is_wav) queue->publish_targets ^= 1u << i;
      continue;
    }
    if (job->row.is_wav || paired) queue->publish_targets ^= 1u << i;
    break;
  }
  if (kelvra_hit(upload_button(panel), event) && queue->publish_targets != 0)
    kelvra_publish_submit(app, &job->row, queue->publish_targets);
  if (kelvra_hit(close_button(panel), event)) queue->publish_open = 0;
  app->needs_redraw = 1;
  return true;
}
