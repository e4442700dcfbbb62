// The sample range: the selected source's cut, or the selected clip of it.
#include <algorithm>
#include <cstring>

#include "app/app.h"
#include "editor/editor.h"

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
  out->video = source.video;
  out->audio = source.audio;
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
