// Which pictures playback needs: each tick posts the frames under the
// playhead to the video workers, and keeps `lookahead_video` decoding the
// first frame after the next cut or loop wrap, so that when the playhead gets
// there the two workers trade places and the new picture is already decoded.
//
// Index:
//   [near]      kelvra_picture_lead, kelvra_clip_path, picture_near
//   [timeline]  kelvra_picture_exchange, kelvra_timeline_picture: the clip stack and the cut look-ahead
//   [sample]    kelvra_sample_picture: the sample preview and the loop look-ahead
#include <cmath>
#include <limits>
#include <utility>

#include "editor/app.h"
#include "editor/editor.h"
#include "media/video.h"
#include "project/timeline_map.h"

namespace {

constexpr double kNear = 0.14;      // a worker's frame this close to a clip's time shows that clip
constexpr double kHorizon = 1.55;   // cuts and wraps further ahead are not prepared yet
constexpr double kAfterCut = 1.0 / 30.0;
constexpr double kOnTheWrap = 1e-7;  // a time exactly on a wrap belongs to the next pass
constexpr double kNone = std::numeric_limits<double>::infinity();
constexpr double kFramePeriod = 1.0 / 30.0;
constexpr double kLeadMargin = 0.001;  // a led request stays this far inside its pass

// The timeline time whose picture is asked for at playhead t: `lead` ahead,
// but never past the end of the clip's current pass (the look-ahead prepares
// what follows a cut or a wrap).
double led_time(const Clip* clip, double t, double lead) {
  double end = clip->at + kelvra_clip_length(clip);
  const double pass = clip->out - clip->in;
  if (pass > 0) end = std::fmin(end, clip->at + pass * (std::floor((t - clip->at) / pass + kOnTheWrap) + 1));
  return std::fmax(t, std::fmin(t + lead, end - kLeadMargin));
}

void request_clip(const KelvraApp* app, VideoWorker* worker, const Clip* clip, double t) {
  char path[KELVRA_PATH_SIZE];
  const double time = led_time(clip, t, kelvra_picture_lead(app, TRANSPORT_TIMELINE));
  if (kelvra_clip_path(app, clip, path)) kelvra_video_request(worker, path, kelvra_layer_time(clip, time));
}

}  // namespace

// -------------------------------------------------------------------- [near]

bool kelvra_clip_path(const KelvraApp* app, const Clip* clip, char* path) {
  const Project& project = app->project;
  return static_cast<uint64_t>(clip->source) < project.source_count &&
         kelvra_path(app->media_folder, project.sources[clip->source].file, path);
}

double kelvra_picture_lead(const KelvraApp* app, uint32_t mode) {
  return app->playing && !app->start_pending && app->transport_mode == mode ? kFramePeriod : 0.0;
}

bool picture_near(const KelvraApp* app, VideoWorker* worker, const Clip* clip, double time) {
  char path[KELVRA_PATH_SIZE];
  double shown = 0;
  if (clip == nullptr || !kelvra_clip_path(app, clip, path) || !kelvra_video_position(worker, path, &shown)) return false;
  return std::fabs(shown - kelvra_layer_time(clip, time)) <= kNear;
}

// ---------------------------------------------------------------- [timeline]

namespace {

// At the cut or wrap the look-ahead was prepared for, the worker already
// near the top clip takes the program slot (and the look-ahead worker the
// first lane's, when it shows that layer). True when it was time to.
bool timeline_exchange(KelvraApp* app, const uint64_t* stack, uint64_t n) {
  const double t = app->timeline_playhead;
  const Clip* clips = app->project.clips;
  const Clip* top = n > 0 ? &clips[stack[0]] : nullptr;
  if (!(app->playing && app->transport_mode == TRANSPORT_TIMELINE && app->lookahead_video != nullptr &&
        t >= app->lookahead_time))
    return false;
  VideoWorker** chosen = nullptr;
  if (picture_near(app, app->lookahead_video, top, t)) chosen = &app->lookahead_video;
  for (uint32_t i = 0; chosen == nullptr && i < KELVRA_LANE_VIDEOS; ++i)
    if (app->lane_videos[i] != nullptr && picture_near(app, app->lane_videos[i], top, t)) chosen = &app->lane_videos[i];
  const bool chosen_near = chosen != nullptr;
  if (chosen == nullptr) chosen = &app->lookahead_video;
  if (chosen_near || !picture_near(app, app->program_video, top, t)) std::swap(*chosen, app->program_video);
  app->lookahead_time = kNone;
  if (n > 1) {
    if (app->lane_videos[0] == nullptr) app->lane_videos[0] = kelvra_video_create();
    if (picture_near(app, app->lookahead_video, &clips[stack[1]], t)) std::swap(app->lookahead_video, app->lane_videos[0]);
  }
  return true;
}

// At the loop wrap the look-ahead was prepared for, the two workers trade places.
void sample_exchange(KelvraApp* app, const SampleRange& range) {
  if (app->playing && app->transport_mode == TRANSPORT_SAMPLE && range.video && range.loop &&
      app->lookahead_video != nullptr && app->lookahead_time <= app->sample_elapsed) {
    app->lookahead_time = kNone;
    std::swap(app->program_video, app->lookahead_video);
  }
}

}  // namespace

void kelvra_picture_exchange(KelvraApp* app) {
  if (app->active_tab == KELVRA_TAB_TIMELINE) {
    uint64_t stack[KELVRA_STACK_MAX];
    const uint64_t n = kelvra_video_stack(&app->project, app->timeline_playhead, stack);
    if (n > 0 || app->playing) timeline_exchange(app, stack, n);
  } else if (app->active_tab == KELVRA_TAB_SAMPLING && app->layout_mode != KELVRA_LAYOUT_SOURCE &&
             static_cast<uint64_t>(app->selected_source) < app->project.source_count) {
    SampleRange range;
    sample_exchange(app, *kelvra_sample_range(&range, app));
  }
}

void kelvra_timeline_picture(KelvraApp* app) {
  const double t = app->timeline_playhead;
  uint64_t stack[KELVRA_STACK_MAX];
  const uint64_t n = kelvra_video_stack(&app->project, t, stack);
  const Clip* clips = app->project.clips;
  const Clip* top = n > 0 ? &clips[stack[0]] : nullptr;
  const bool timeline = app->playing && app->transport_mode == TRANSPORT_TIMELINE;
  if (!app->playing && n == 0) return;
  if (app->playing && n == 0 && !(timeline && app->lookahead_video != nullptr)) return;

  timeline_exchange(app, stack, n);
  if (top != nullptr) request_clip(app, app->program_video, top, t);
  if (n > 1) {
    for (uint64_t i = 1; i < n; ++i) {
      VideoWorker*& lane = app->lane_videos[i - 1];
      if (lane == nullptr) lane = kelvra_video_create();
      if (lane != nullptr) request_clip(app, lane, &clips[stack[i]], t);
    }
  }

  // Look ahead to the next cut or wrap of the top layer.
  if (!timeline || app->lookahead_video == nullptr || app->lookahead_time != kNone) return;
  const double horizon = t + kHorizon;
  double next = horizon;
  if (top != nullptr) {
    const double pass = top->out - top->in;
    if (pass > 0) {
      const double k = std::floor((t - top->at) / pass + kOnTheWrap);
      next = std::fmin(std::fmin(top->at + kelvra_clip_length(top), top->at + pass * (k + 1)), horizon);
    } else {
      next = std::fmin(top->at + kelvra_clip_length(top), horizon);
    }
  }
  const Project& project = app->project;
  for (uint64_t i = 0; i < project.clip_count; ++i) {
    const Clip& clip = clips[i];
    if (!clip.video || static_cast<uint64_t>(clip.source) >= project.source_count || !(clip.in < clip.out)) continue;
    if (top != nullptr && clip.lane < top->lane) continue;
    if (t < clip.at && clip.at < next) next = clip.at;
  }
  if (next >= horizon) return;
  const double at = next + kAfterCut;
  const Clip* coming = kelvra_video_at(&app->project, at);
  char path[KELVRA_PATH_SIZE];
  if (coming != nullptr && kelvra_clip_path(app, coming, path)) {
    kelvra_video_request(app->lookahead_video, path, kelvra_layer_time(coming, at));
    app->lookahead_time = next;
  }
}

// ------------------------------------------------------------------ [sample]

void kelvra_sample_picture(KelvraApp* app, const char* path) {
  SampleRange range;
  kelvra_sample_range(&range, app);
  const double e = app->sample_elapsed;
  const double s = range.out > range.in && app->sample_media_time < range.out
                       ? std::fmax(app->sample_media_time,
                                   std::fmin(app->sample_media_time + kelvra_picture_lead(app, TRANSPORT_SAMPLE),
                                             range.out - kLeadMargin))
                       : app->sample_media_time;
  if (!(app->playing && app->transport_mode == TRANSPORT_SAMPLE && range.video && range.loop &&
        app->lookahead_video != nullptr)) {
    kelvra_video_request(app->program_video, path, s);
    return;
  }
  sample_exchange(app, range);
  kelvra_video_request(app->program_video, path, s);
  const double pass = range.out - range.in;
  if (app->lookahead_time != kNone || !(pass > 0)) return;
  const double wrap = (std::floor(e / pass + kOnTheWrap) + 1) * pass;
  if (wrap < kelvra_clip_length(&range) - kOnTheWrap && wrap - e <= kHorizon) {
    kelvra_video_request(app->lookahead_video, path, range.in + std::fmin(pass * 0.5, kAfterCut));
    app->lookahead_time = wrap;
  }
}

const Clip* kelvra_active_video(const KelvraApp* app) { return kelvra_video_at(&app->project, app->timeline_playhead); }
