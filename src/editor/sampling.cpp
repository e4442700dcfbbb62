// The sample range (the selected source's cut, or the selected clip of it):
// building it, writing an edited range back, clip selection, the source seek
// bar and the range drags on the strip.
#include <algorithm>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "media/streams.h"

namespace {

// The selected clip when it exists and belongs to the selected source.
const Clip* selected_clip_of_source(const KelvraApp* app) {
  const Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_clip) >= project.clip_count) return nullptr;
  const Clip* clip = &project.clips[app->selected_clip];
  return clip->source == app->selected_source ? clip : nullptr;
}

}  // namespace

bool kelvra_has_sample(const KelvraApp* app) {
  if (static_cast<uint64_t>(app->selected_source) >= app->project.source_count) return false;
  return app->source_range_active || selected_clip_of_source(app) != nullptr;
}

SampleRange* kelvra_sample_range(SampleRange* out, const KelvraApp* app) {
  std::memset(out, 0, sizeof *out);
  if (static_cast<uint64_t>(app->selected_source) >= app->project.source_count) return out;
  if (const Clip* clip = selected_clip_of_source(app)) {
    *out = *clip;
    return out;
  }
  const Source& source = app->project.sources[app->selected_source];
  out->source = app->selected_source;
  out->loops = source.loops;
  out->gain = 1;
  // The switches fit the file: off for a kind of stream it does not have.
  const uint8_t streams = app->source_streams[app->selected_source];
  const bool known = (streams & MEDIA_STREAMS_KNOWN) != 0;
  out->video = source.video && (!known || (streams & MEDIA_STREAMS_PICTURES));
  out->audio = source.audio && (!known || (streams & MEDIA_STREAMS_SOUND));
  out->loop = app->source_range_active ? source.loop : 0;
  out->in = app->source_range_active ? source.in : 0;
  out->out = app->source_range_active ? source.out : source.duration;
  return out;
}

void kelvra_sample_reset(KelvraApp* app) {
  SampleRange range;
  kelvra_sample_range(&range, app);
  app->sample_elapsed = 0;
  app->transport_mode = TRANSPORT_SAMPLE;
  kelvra_stop_playback(app);
  app->sample_media_time = range.in;
  kelvra_seek(app);
}

void kelvra_clear_clip(KelvraApp* app) {
  app->pending_clip_name[0] = '\0';
  app->selected_clip = -1;
  app->source_range_active = 0;
  app->range_click_ms = 0;
  kelvra_sample_reset(app);
  if (app->active_tab == KELVRA_TAB_TIMELINE) app->transport_mode = TRANSPORT_TIMELINE;
  if (app->active_tab == KELVRA_TAB_AUDIO) app->transport_mode = TRANSPORT_SCORE;
}

double sample_position(const KelvraApp* app, int32_t x) {
  if (static_cast<uint64_t>(app->selected_source) >= app->project.source_count) return 0;
  const double duration = app->project.sources[app->selected_source].duration;
  const Rect& strip = app->sample_strip;
  const double t = static_cast<double>(x - strip.x) * duration / std::max(strip.width, 1);
  return std::clamp(t, 0.0, std::max(duration, 0.0));
}

void kelvra_sample_apply(KelvraApp* app, const SampleRange* range) {
  Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) >= project.source_count) return;
  if (selected_clip_of_source(app) != nullptr) {
    project.clips[app->selected_clip] = *range;
    kelvra_sequence_end(app);
  } else {
    Source& source = project.sources[app->selected_source];
    if (app->source_range_active) {
      source.in = range->in;
      source.out = range->out;
    }
    source.video = range->video;
    source.audio = range->audio;
    source.loop = range->loop;
    source.loops = range->loops;
  }
  kelvra_sample_reset(app);
}

void kelvra_select_clip(KelvraApp* app, uint64_t index) {
  app->pending_clip_name[0] = '\0';
  const Project& project = app->project;
  if (index < project.clip_count && static_cast<uint64_t>(project.clips[index].source) < project.source_count) {
    const int64_t source = project.clips[index].source;
    kelvra_change_tab(app, KELVRA_TAB_SAMPLING);
    if (source != app->selected_source) kelvra_select(app, static_cast<uint64_t>(source));
    if (app->layout_mode == KELVRA_LAYOUT_SOURCE) app->layout_mode = KELVRA_LAYOUT_SPLIT;
    app->selected_clip = static_cast<int64_t>(index);
    app->range_click_ms = 0;
    kelvra_sample_reset(app);
    return;
  }
  app->selected_clip = static_cast<int64_t>(index);
  app->range_click_ms = 0;
}

Rect* kelvra_sample_control(Rect* out, const KelvraApp* app, int32_t offset, int32_t width) {
  const Rect strip = app->sample_strip;
  *out = Rect{strip.x + kelvra_round(offset * app->control_scale), strip.y + strip.height + 5,
              kelvra_round(width * app->control_scale), 24};
  return out;
}

void kelvra_source_seek(KelvraApp* app, int32_t x) {
  const Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) >= project.source_count) return;
  const Rect bar = app->source_seek_bar;
  const double fraction =
      std::clamp(static_cast<double>(x - bar.x - 4) / std::max(bar.width - 8, 1), 0.0, 1.0);
  app->source_playhead = fraction * project.sources[app->selected_source].duration;
  app->playing = 0;
  app->transport_mode = TRANSPORT_SOURCE;
  kelvra_seek(app);
}

void kelvra_sample_drag(KelvraApp* app, int32_t x) {
  const Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) >= project.source_count) return;
  const double t = sample_position(app, x);
  const double duration = project.sources[app->selected_source].duration;
  const double shortest = std::min(duration, 0.05);
  SampleRange range;
  kelvra_sample_range(&range, app);
  switch (app->drag_kind) {
    case KELVRA_DRAG_RANGE_IN:
      range.in = std::max(std::min(t, range.out - shortest), 0.0);
      break;
    case KELVRA_DRAG_RANGE_OUT:
      range.out = std::min(duration, std::max(t, range.in + shortest));
      break;
    case KELVRA_DRAG_NEW_RANGE:
      range.in = std::min(duration - shortest, std::min(app->drag_anchor, t));
      range.out = std::max(std::max(app->drag_anchor, t), range.in + shortest);
      app->source_range_active = 1;
      break;
    case KELVRA_DRAG_RANGE_BODY: {
      const double length = app->drag_start_out - app->drag_start_in;
      range.in = std::max(std::min(app->drag_start_in + t - app->drag_anchor, duration - length), 0.0);
      range.out = range.in + length;
      break;
    }
    default:
      return;
  }
  kelvra_sample_apply(app, &range);
}
