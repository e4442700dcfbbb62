// The Render tab: the buttons that preview and queue exports, the loudness
// switch, the hint while exporting is not allowed yet, and the list of jobs
// with their progress, the loudness of their sound and,
// once a file is ready, "Play", "Open folder" and "Upload" (the publish
// panel); a job still queued or running has "Cancel".
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/render_tab.h"
#include "editor/workspace.h"
#include "export/render.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "publish/publish.h"

namespace {

constexpr int32_t kListTop = 45;   // first row's top below the panel's
constexpr int32_t kRowPitch = 55;  // rows are 50 high with 5 between
constexpr int32_t kRowHeight = 50;

Rect preview_button(Rect p) { return Rect{p.x + 8, p.y + 7, 119, 25}; }
Rect canvases_button(Rect p) { return Rect{p.x + 132, p.y + 7, 127, 25}; }
Rect wav_button(Rect p) { return Rect{p.x + 264, p.y + 7, 82, 25}; }
Rect loudness_button(Rect p) { return Rect{p.x + 351, p.y + 7, 150, 25}; }
// Takes every finished, failed and cancelled row off the list.
Rect clear_button(Rect p) { return Rect{p.x + p.width - 112, p.y + 7, 104, 25}; }
Rect play_button(Rect p, int32_t top) { return Rect{p.x + p.width - 237, top + 6, 71, 24}; }
Rect folder_button(Rect p, int32_t top) { return Rect{p.x + p.width - 162, top + 6, 71, 24}; }
// "Cancel" of a waiting or running job, "Upload" of a finished one.
Rect cancel_button(Rect p, int32_t top) { return Rect{p.x + p.width - 87, top + 6, 71, 24}; }
Rect upload_button(Rect p, int32_t top) { return cancel_button(p, top); }

bool pending(int32_t state) { return state < RENDER_READY; }

int32_t row_top(Rect p, uint64_t position) { return p.y + kListTop + kRowPitch * static_cast<int32_t>(position); }

void draw_row(KelvraApp* app, Rect p, const RenderRow& row, int32_t top) {
  Painter* painter = app->painter;
  kelvra_shape(painter, Rect{p.x + 8, top, p.width - 16, kRowHeight}, 3.0f, PALETTE_BAR);
  char line[140];
  kelvra_render_row_title(&row, line, 100);
  kelvra_text(painter, Rect{p.x + 16, top + 2, 260, 22}, line, PALETTE_PRIMARY_TEXT, false);
  kelvra_render_row_loudness(&row, line, sizeof line);
  kelvra_text(painter, Rect{p.x + 280, top + 2, p.width - 520, 22}, line, PALETTE_SECONDARY_TEXT, false);
  kelvra_render_row_status(&row, line, sizeof line);
  kelvra_text(painter, Rect{p.x + 16, top + 23, p.width - 256, 19}, line, PALETTE_SECONDARY_TEXT, false);
  const int32_t track = p.width - 30;
  const bool ready = row.state == RENDER_READY;
  const double fraction = ready ? 1.0 : std::clamp(row.progress, 0.0, 1.0);
  kelvra_fill(app, Rect{p.x + 15, top + 45, track, 2}, PALETTE_BORDER);
  kelvra_fill(app, Rect{p.x + 15, top + 45, static_cast<int32_t>(track * fraction), 2}, PALETTE_SELECTED);
  if (pending(row.state)) kelvra_box(app, cancel_button(p, top), "Cancel", false);
  if (!ready) return;
  kelvra_box(app, play_button(p, top), "Play", false);
  kelvra_box(app, folder_button(p, top), "Open folder", false);
  kelvra_box(app, upload_button(p, top), "Upload", false);
}

// Where the target suits, beside the switch.
const char* loudness_hint(double target) {
  if (target == 0.0) return "Exports keep the mix's own loudness";
  if (target == LOUDNESS_PLATFORM_TARGET) return "For YouTube, Instagram, LinkedIn and SoundCloud";
  if (target == LOUDNESS_OTHER_TARGET) return "For Twitch and other destinations";
  return "Custom target, true peak at most -1 dBTP";
}

// -14 (the platforms), -16 (everywhere else), off, and round again.
void next_loudness(KelvraApp* app) {
  const double target = kelvra_loudness_target(&app->project);
  // The sound's level is not part of a preview: the previews stay valid.
  const bool previewed = app->previewed_serial == app->edit_serial;
  if (!kelvra_history_begin(app)) return;
  Project& project = app->project;
  project.loudness_off = target == LOUDNESS_OTHER_TARGET;
  project.loudness_target = target == LOUDNESS_PLATFORM_TARGET ? LOUDNESS_OTHER_TARGET : 0.0;
  if (previewed) app->previewed_serial = app->edit_serial;
  char label[24];
  kelvra_loudness_label(kelvra_loudness_target(&project), label, sizeof label);
  char status[64];
  std::snprintf(status, sizeof status, "Export loudness: %s.", label);
  kelvra_status(app, status);
}

}  // namespace

void kelvra_render_draw(KelvraApp* app) {
  const Rect p = app->main_panel;
  const bool ready = kelvra_export_ready(app);
  kelvra_box(app, preview_button(p), "Preview canvases", false);
  kelvra_box(app, canvases_button(p), "Render canvases", ready);
  kelvra_box(app, wav_button(p), "WAV mix", ready);
  const double target = kelvra_loudness_target(&app->project);
  char label[40];
  kelvra_loudness_label(target, label + 9, sizeof label - 9);
  std::memcpy(label, "Loudness ", 9);
  kelvra_box(app, loudness_button(p), label, target != 0.0);
  kelvra_box(app, clear_button(p), "Clear ended", false);
  const Rect hint{p.x + 511, p.y + 7, p.width - 520 - 112, 25};
  kelvra_text(app->painter, hint, ready ? loudness_hint(target) : "Preview every open canvas in Timeline",
              PALETTE_SECONDARY_TEXT, false);
  const RenderQueue* queue = app->render_queue;
  if (queue == nullptr) return;
  RenderRow rows[RENDER_MAX_JOBS];
  const uint64_t count = kelvra_render_rows(app, rows);
  for (uint64_t i = app->render_scroll; i < count; ++i) {
    const int32_t top = row_top(p, i - app->render_scroll);
    if (top + kRowHeight >= p.y + p.height) break;
    draw_row(app, p, rows[i], top);
  }
  kelvra_publish_draw(app);
}

bool kelvra_render_input(KelvraApp* app, const UiInput* event) {
  if (kelvra_publish_input(app, event)) return true;
  const Rect p = app->main_panel;
  if (app->active_tab != KELVRA_TAB_RENDER || !kelvra_hit(p, event)) return false;
  RenderQueue* queue = app->render_queue;
  if (event->wheel != 0) {
    if (queue == nullptr) return false;
    const int64_t visible = (p.height - kListTop) / kRowPitch;
    const int64_t step = event->wheel < 0 ? 1 : -1;
    const int64_t most = static_cast<int64_t>(queue->job_count) - visible;
    app->render_scroll = static_cast<uint64_t>(
        std::max<int64_t>(0, std::min<int64_t>(static_cast<int64_t>(app->render_scroll) + step, most)));
    app->needs_redraw = 1;
    return true;
  }
  if (event->pointer != UI_POINTER_PRESS) return false;
  if (kelvra_hit(preview_button(p), event)) {
    kelvra_change_tab(app, KELVRA_TAB_TIMELINE);
  } else if (kelvra_hit(canvases_button(p), event)) {
    kelvra_render_enqueue(app, false);
  } else if (kelvra_hit(wav_button(p), event)) {
    kelvra_render_enqueue(app, true);
  } else if (kelvra_hit(loudness_button(p), event)) {
    next_loudness(app);
  } else if (kelvra_hit(clear_button(p), event)) {
    kelvra_render_clear_ended(app);
  } else if (queue != nullptr && event->y >= p.y + kListTop) {
    const uint64_t index = app->render_scroll + static_cast<uint64_t>((event->y - p.y - kListTop) / kRowPitch);
    const int32_t top = row_top(p, index - app->render_scroll);
    // Only rows that are drawn take presses: one cut off by the panel's end shows no buttons.
    const bool shown = top + kRowHeight < p.y + p.height;
    if (index < queue->job_count && shown && kelvra_hit(Rect{p.x + 8, top, p.width - 16, kRowHeight}, event)) {
      const RenderJob& job = queue->jobs[index];
      const int32_t state = job.thread != nullptr ? job.stage.load() : job.row.state;
      if (pending(state) && kelvra_hit(cancel_button(p, top), event)) {
        kelvra_render_cancel(app, index);
      } else if (job.thread == nullptr && state == RENDER_READY) {
        if (kelvra_hit(play_button(p, top), event))
          kelvra_render_action(app, index, false);
        else if (kelvra_hit(folder_button(p, top), event))
          kelvra_render_action(app, index, true);
        else if (kelvra_hit(upload_button(p, top), event))
          kelvra_publish_open(app, index);
      }
    }
  }
  return true;
}
