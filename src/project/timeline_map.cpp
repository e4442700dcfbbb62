// The timeline time mapping: media time, layer time, opacity and the stack.
#include "project/timeline_map.h"

#include <algorithm>
#include <cmath>

#include "project/project.h"

double kelvra_media_time(double in, double out, double t) {
  const double pass = out - in;
  if (!(pass > 0.0)) return in;
  return in + std::fmod(std::max(t, 0.0), pass);
}

double kelvra_layer_time(const Clip* clip, double t) {
  return kelvra_media_time(clip->in, clip->out, t - clip->at);
}

double kelvra_layer_opacity(const Clip* clip, double t) {
  const double half = (clip->out - clip->in) * 0.5;
  const double fade_in = std::min(clip->fade_in, half);
  const double fade_out = std::min(clip->fade_out, half);
  const double u = t - clip->at;
  double opacity = 1.0;
  if (fade_in > 0.0) opacity = std::min(u / fade_in, 1.0);
  if (fade_out > 0.0) opacity = std::min((kelvra_clip_length(clip) - u) / fade_out, opacity);
  return std::max(opacity, 0.0);
}

uint64_t kelvra_video_stack(const Project* document, double t, uint64_t* out) {
  const Project& project = *document;
  uint64_t count = 0;
  for (uint64_t i = std::min(project.clip_count, PROJECT_MAX_ROWS); i-- > 0;) {
    const Clip& clip = project.clips[i];
    if (!clip.video || static_cast<uint64_t>(clip.source) >= project.source_count) continue;
    if (!(clip.at <= t && t < clip.at + kelvra_clip_length(&clip))) continue;
    // Before the first entry on a lower lane: later clips of one lane stay on top.
    uint64_t slot = 0;
    while (slot < count && project.clips[out[slot]].lane >= clip.lane) ++slot;
    if (slot == KELVRA_STACK_MAX) continue;  // all eight lie on its lane or higher
    if (count < KELVRA_STACK_MAX) ++count;   // otherwise the last entry drops out
    for (uint64_t k = count - 1; k > slot; --k) out[k] = out[k - 1];
    out[slot] = i;
  }
  return count;
}

const Clip* kelvra_video_at(const Project* project, double t) {
  uint64_t stack[KELVRA_STACK_MAX];
  if (kelvra_video_stack(project, t, stack) == 0) return nullptr;
  return &project->clips[stack[0]];
}
