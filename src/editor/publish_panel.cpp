// The publish panel: a box over the render list for one finished export,
// with the five destinations (a toggle, an account button and a status line
// each, the button reading "Cancel" while the target's sign-in or upload
// runs), a note on visibility, "Upload selected" and "Close". While it is
// open it takes every input event but the window's close.
#include <cstdio>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/render_tab.h"
#include "editor/workspace.h"
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
  PublishContext* context = kelvra_publishing(app);
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
  if (queue == nullptr || !app->publish_open || app->publish_job >= queue->job_count) return nullptr;
  return &queue->jobs[app->publish_job];
}

}  // namespace

PublishContext* kelvra_publishing(KelvraApp* app) {
  if (app->publishing == nullptr) app->publishing = kelvra_publish_create();
  return app->publishing;
}

void kelvra_publish_open(KelvraApp* app, uint64_t job) {
  if (app->render_queue == nullptr) return;
  app->publish_open = 1;
  app->publish_targets = 0;
  app->publish_job = job;
  app->needs_redraw = 1;
}

void kelvra_publish_draw(KelvraApp* app) {
  RenderJob* job = shown_job(app);
  if (job == nullptr) return;
  const Panel panel = panel_of(app);
  Painter* painter = app->painter;
  kelvra_shape(painter, Rect{panel.left, panel.y + 32, panel.width, 281}, 5.0f, PALETTE_BORDER);
  kelvra_shape(painter, Rect{panel.left + 1, panel.y + 33, panel.width - 2, 279}, 4.0f, PALETTE_PANEL);
  kelvra_text(painter, Rect{panel.left + 13, panel.y + 39, panel.width - 26, 26}, "Upload export", PALETTE_PRIMARY_TEXT,
              false);
  RenderRow mix{};
  const bool paired = kelvra_render_wav(app, app->publish_job, &mix);
  PublishContext* context = kelvra_publishing(app);
  for (uint32_t i = 0; i < PUBLISH_TARGETS; ++i) {
    bool connected = false;
    const char* status = context != nullptr ? kelvra_publish_status(context, i, &connected) : "Publishing is unavailable";
    if (job->row.is_wav && i != PUBLISH_SOUNDCLOUD) status = "Requires video";
    else if (!job->row.is_wav && i == PUBLISH_SOUNDCLOUD && !paired) status = "Render a WAV mix for this edit";
    kelvra_box(app, toggle(panel, i), kNames[i], (app->publish_targets >> i) & 1);
    const bool running = context_busy(app, i);
    const bool signed_in = !running && context != nullptr && kelvra_publish_signed_in(context, i);
    kelvra_box(app, account(panel, i),
               running     ? "Cancel"
               : i == PUBLISH_TWITCH ? "Video Producer"
               : signed_in ? "Disconnect"
               : connected ? "Account"
                           : "Connect",
               false);
    kelvra_text(painter, Rect{panel.left + 126, row_top(panel, i), panel.status_width, 25}, status,
                PALETTE_SECONDARY_TEXT, false);
  }
  kelvra_text(painter, Rect{panel.left + 13, panel.y + 235, panel.width - 26, 23},
              "YouTube and SoundCloud start private. LinkedIn and Instagram publish to your profile.",
              PALETTE_SECONDARY_TEXT, false);
  kelvra_box(app, upload_button(panel), "Upload selected", app->publish_targets != 0);
  kelvra_box(app, close_button(panel), "Close", false);
}

bool kelvra_publish_input(KelvraApp* app, const UiInput* event) {
  RenderJob* job = shown_job(app);
  if (job == nullptr || event->close) return false;
  if (event->key == UI_KEY_ESCAPE) {
    app->publish_open = 0;
    app->needs_redraw = 1;
    return true;
  }
  if (event->pointer != UI_POINTER_PRESS) return true;
  const Panel panel = panel_of(app);
  RenderRow mix{};
  const uint64_t row = app->publish_job;
  const bool paired = kelvra_render_wav(app, row, &mix);
  PublishContext* context = kelvra_publishing(app);
  for (uint32_t i = 0; i < PUBLISH_TARGETS && context != nullptr; ++i) {
    // While the target's sign-in or upload runs, its account button cancels
    // it; an account connected by a sign-in is disconnected (and forgotten).
    if (kelvra_hit(account(panel, i), event) && !kelvra_publish_cancel(context, i) &&
        !kelvra_publish_disconnect(context, i))
      kelvra_publish_account(context, i);
    if (!kelvra_hit(toggle(panel, i), event)) continue;
    if (i != PUBLISH_SOUNDCLOUD) {
      if (!job->row.is_wav) app->publish_targets ^= 1u << i;
      continue;
    }
    if (job->row.is_wav || paired) app->publish_targets ^= 1u << i;
    break;
  }
  if (kelvra_hit(upload_button(panel), event) && app->publish_targets != 0 && context != nullptr) {
    const RenderRow& shown = job->row;
    const bool reveal = kelvra_publish_submit(context, app->media_folder, shown.is_wav ? nullptr : shown.file_name,
                                              paired ? mix.file_name : nullptr, shown.title, app->publish_targets);
    if (reveal) kelvra_render_action(app, row, true);
  }
  if (kelvra_hit(close_button(panel), event)) app->publish_open = 0;
  app->needs_redraw = 1;
  return true;
}
