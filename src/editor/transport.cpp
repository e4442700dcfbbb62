// The transport: selecting sources, changing tabs and restarting the clock.
#include <cmath>
#include <limits>

#include "app/app.h"
#include "editor/editor.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/clock.h"

void kelvra_seek(KelvraApp* app) {
  const uint64_t now = ui_time_ms();
  app->seek_serial += 1;
  app->tick_time_ms = now;
  app->needs_redraw = 1;
  app->start_deadline_ms = now + 1400;
  app->lookahead_time = std::numeric_limits<double>::infinity();
  app->start_pending = app->playing;
}

void kelvra_stop_playback(KelvraApp* app) {
  app->playing = 0;
  app->start_pending = 0;
}

void kelvra_halt(KelvraApp* app) {
  kelvra_stop_playback(app);
  app->drag_kind = KELVRA_DRAG_NONE;
  app->pending_deselect = 0;
  app->roll.roll_drag = ROLL_DRAG_NONE;
}

void kelvra_select(KelvraApp* app, uint64_t index) {
  if (index >= app->project.source_count) return;
  const Source& source = app->project.sources[index];
  app->selected_source = static_cast<int64_t>(index);
  app->pending_clip_name[0] = '\0';
  app->source_playhead = 0;
  app->selected_clip = -1;
  app->range_click_ms = 0;
  app->source_range_active = source.out > source.in;
  kelvra_sample_reset(app);
  app->transport_mode = app->layout_mode == KELVRA_LAYOUT_EDIT ? TRANSPORT_SAMPLE : TRANSPORT_SOURCE;
}

void kelvra_change_tab(KelvraApp* app, uint32_t tab) {
  if (tab == app->active_tab) return;
  app->active_tab = tab;
  kelvra_stop_playback(app);
  app->needs_redraw = 1;
  switch (tab) {
    case KELVRA_TAB_TIMELINE:
      app->transport_mode = TRANSPORT_TIMELINE;
      break;
    case KELVRA_TAB_AUDIO:
      app->transport_mode = TRANSPORT_SCORE;
      break;
    case KELVRA_TAB_SAMPLING:
      if (app->layout_mode == KELVRA_LAYOUT_SOURCE)
        app->transport_mode = TRANSPORT_SOURCE;
      else if (static_cast<uint64_t>(app->selected_clip) < app->project.clip_count ||
               app->layout_mode == KELVRA_LAYOUT_EDIT)
        app->transport_mode = TRANSPORT_SAMPLE;
      else
        app->transport_mode = TRANSPORT_SOURCE;
      break;
    default:
      break;
  }
}

// Advances the clock and keeps the workers fed with the selected source: its
// picture at the source playhead, and its sound while the Sampling tab shows.
bool kelvra_tick(KelvraApp* app) {
  const uint64_t now = ui_time_ms();
  app->tick_time_ms = now;
  Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) < project.source_count) {
    Source& source = project.sources[app->selected_source];
    char path[KELVRA_PATH_SIZE];
    if (kelvra_path(app->media_folder, source.file, path)) {
      if (!(source.rendered && !source.video)) kelvra_video_request(app->source_video, path, app->source_playhead);
      if (app->active_tab == KELVRA_TAB_SAMPLING) kelvra_wave_request(app->wave, path);
      double video_duration = 0;
      double wave_duration = 0;
      kelvra_video_size(app->source_video, path, &video_duration, nullptr);
      kelvra_wave_state(app->wave, path, &wave_duration);
      source.duration = std::fmax(source.duration, std::fmax(video_duration, wave_duration));
    }
  }
  return app->needs_redraw != 0;
}
