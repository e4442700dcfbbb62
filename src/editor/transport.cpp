// The transport: one play/pause clock over four things (a source, the sample
// range, the timeline, the score), its playheads, and the tick that advances
// the active one from the audio device's clock, or the wall clock when the
// device does not answer, and keeps the decoding workers fed.
#include <cmath>
#include <cstring>
#include <limits>

#include "editor/app.h"
#include "editor/audio_output.h"
#include "editor/editor.h"
#include "editor/piano_roll.h"
#include "media/audio_mix.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/clock.h"
#include "project/timeline_map.h"

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
  kelvra_source_streams(app, app->selected_source);
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

void kelvra_toggle(KelvraApp* app, uint32_t mode) {
  if (app->playing && mode == app->transport_mode) {
    kelvra_stop_playback(app);
    if (std::strcmp(app->status, "Buffering preview audio...") == 0) kelvra_status(app, "");
    app->needs_redraw = 1;
    return;
  }
  app->transport_mode = mode;
  const Project& project = app->project;
  const bool selected = static_cast<uint64_t>(app->selected_source) < project.source_count;
  switch (mode) {
    case TRANSPORT_SCORE: {
      const double length = kelvra_score_end(&project.score) * 60.0 / kelvra_score_bpm(&project.score);
      if (length > 0) {
        app->playing = 1;
        if (app->roll.score_playhead >= length) app->roll.score_playhead = 0;
      } else {
        app->playing = project.score.metronome;  // an empty score still plays its metronome
      }
      break;
    }
    case TRANSPORT_TIMELINE:
      app->playing = project.timeline_end > 0;
      if (app->timeline_playhead >= project.timeline_end) app->timeline_playhead = 0;
      break;
    case TRANSPORT_SOURCE:
      app->playing = selected;
      if (selected && app->source_playhead >= project.sources[app->selected_source].duration) app->source_playhead = 0;
      break;
    default: {
      app->playing = selected;
      SampleRange range;
      kelvra_sample_range(&range, app);
      if (app->sample_elapsed >= kelvra_clip_length(&range) || app->sample_elapsed < 0) {
        app->sample_elapsed = 0;
        app->sample_media_time = range.in;
      }
      break;
    }
  }
  kelvra_seek(app);
  app->needs_redraw = 1;
}

namespace {

// Moves the active playhead to p, stopping at its end.
void advance(KelvraApp* app, double p) {
  Project& project = app->project;
  switch (app->transport_mode) {
    case TRANSPORT_SCORE: {
      double length = kelvra_score_end(&project.score) * 60.0 / kelvra_score_bpm(&project.score);
      if (length <= 0 && project.score.metronome) length = std::numeric_limits<double>::infinity();
      app->roll.score_playhead = std::fmin(length, p);
      app->playing = app->roll.score_playhead < length;
      // With follow on, the roll pages forward once the playhead passes 82 %
      // of the visible beats, leaving it 18 % from the left edge.
      RollLayout layout;
      audio_layout(&layout, app);
      const double visible = layout.grid_width / app->roll.beat_width;
      if (app->follow_playhead && visible > 0) {
        const double beat = kelvra_score_bpm(&project.score) * app->roll.score_playhead / 60.0;
        if (beat > app->roll.roll_scroll + 0.82 * visible)
          app->roll.roll_scroll = std::fmin(beat - 0.18 * visible, audio_scroll_limit(app, &layout));
      }
      app->needs_redraw = 1;
      break;
    }
    case TRANSPORT_TIMELINE: {
      app->timeline_playhead = std::fmin(project.timeline_end, p);
      app->playing = app->timeline_playhead < project.timeline_end;
      if (app->follow_playhead) {
        const double visible = app->clip_lanes.width / app->pixels_per_second;
        app->timeline_scroll =
            std::fmax(std::fmin(app->timeline_playhead - 0.5 * visible, project.timeline_end - visible), 0.0);
      }
      app->needs_redraw = 1;
      break;
    }
    case TRANSPORT_SOURCE: {
      if (static_cast<uint64_t>(app->selected_source) >= project.source_count) break;
      app->needs_redraw = 1;
      if (app->start_pending) break;
      const double duration = project.sources[app->selected_source].duration;
      app->source_playhead = std::fmin(duration, p);
      app->playing = app->source_playhead < duration;
      break;
    }
    default: {
      if (static_cast<uint64_t>(app->selected_source) >= project.source_count) break;
      app->needs_redraw = 1;
      if (app->start_pending) break;
      SampleRange range;
      kelvra_sample_range(&range, app);
      const double length = kelvra_clip_length(&range);
      if (!(length > 0)) {
        app->playing = 0;
        break;
      }
      app->sample_elapsed = std::fmin(p, length);
      app->playing = app->sample_elapsed < length;
      app->sample_media_time = app->playing ? kelvra_media_time(range.in, range.out, app->sample_elapsed) : range.out;
      break;
    }
  }
  if (!app->playing) app->start_pending = 0;
}

double active_playhead(const KelvraApp* app) {
  switch (app->transport_mode) {
    case TRANSPORT_SCORE: return app->roll.score_playhead;
    case TRANSPORT_TIMELINE: return app->timeline_playhead;
    case TRANSPORT_SOURCE: return app->source_playhead;
    default: return app->sample_elapsed;
  }
}

}  // namespace

bool kelvra_tick(KelvraApp* app) {
  const uint64_t now = ui_time_ms();
  const double dt = app->start_pending ? 0.0 : static_cast<double>(now - app->tick_time_ms) / 1000.0;
  app->tick_time_ms = now;
  if (app->playing) {
    double position = 0;
    if (!kelvra_audio_position(app, &position)) position = active_playhead(app) + dt;
    advance(app, position);
  }

  Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) < project.source_count) {
    Source& source = project.sources[app->selected_source];
    char path[KELVRA_PATH_SIZE];
    if (kelvra_path(app->media_folder, source.file, path)) {
      if (app->active_tab == KELVRA_TAB_SAMPLING) kelvra_wave_request(app->wave, path);
      double video_duration = 0;
      double wave_duration = 0;
      kelvra_video_size(app->source_video, path, &video_duration, nullptr);
      kelvra_wave_state(app->wave, path, &wave_duration);
      source.duration = std::fmax(source.duration, std::fmax(video_duration, wave_duration));
    }
  }
  kelvra_picture_exchange(app);
  return app->needs_redraw != 0;
}

void kelvra_request_pictures(KelvraApp* app) {
  const Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) < project.source_count) {
    const Source& source = project.sources[app->selected_source];
    char path[KELVRA_PATH_SIZE];
    if (kelvra_path(app->media_folder, source.file, path)) {
      const bool sound_only = source.rendered && !source.video;
      if (!sound_only)
        kelvra_video_request(app->source_video, path,
                             app->source_playhead + kelvra_picture_lead(app, TRANSPORT_SOURCE));
      if (app->active_tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE && !sound_only)
        kelvra_sample_picture(app, path);
    }
  }
  if (app->active_tab == KELVRA_TAB_TIMELINE || app->active_tab == KELVRA_TAB_TEXT) kelvra_timeline_picture(app);
}
