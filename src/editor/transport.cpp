// The transport: selecting sources, changing tabs and restarting the clock.
#include <limits>

#include "app/app.h"
#include "editor/editor.h"
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
  app->playing = 0;
  app->start_pending = 0;
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

// The clock advances with the playback engine; until it exists nothing plays.
bool kelvra_tick(KelvraApp* app) { return app->needs_redraw != 0; }
