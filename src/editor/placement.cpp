// Where new clips go on the timeline: the lowest lane free for the clip's
// whole length from the playhead, and the score placed as a music clip from
// the Audio tab.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "platform/clock.h"
#include "project/score.h"

uint32_t kelvra_free_lane(const Project* project, double at, double length, bool* found) {
  const double end = at + std::max(length, 0.0);
  for (uint32_t lane = 0; lane < KELVRA_PLACE_LANES; ++lane) {
    bool free = true;
    for (uint64_t i = 0; i < project->clip_count && i < PROJECT_MAX_ROWS && free; ++i) {
      const Clip& clip = project->clips[i];
      if (std::min<uint32_t>(clip.lane, KELVRA_PLACE_LANES - 1) != lane) continue;
      const double clip_end = clip.at + kelvra_clip_length(&clip);
      free = !(clip.at < end && clip_end > at);  // touching ends do not overlap
    }
    if (free) {
      *found = true;
      return lane;
    }
  }
  *found = false;
  return 0;
}

bool kelvra_place_lane(const Project* project, Clip* clip) {
  bool found = false;
  clip->lane = kelvra_free_lane(project, clip->at, kelvra_clip_length(clip), &found);
  return found;
}

void kelvra_place_score(KelvraApp* app) {
  Project& project = app->project;
  const Score& score = project.score;
  double first = 0;
  double last = kelvra_score_end(&score);
  const int64_t region = app->roll.selected_region;
  if (region >= 0 && static_cast<uint64_t>(region) < score.region_count) {
    first = score.regions[region].start;
    last = score.regions[region].end;
  }
  if (!(last > first)) {
    kelvra_status(app, "The score is empty: draw a region or notes before placing it.");
    return;
  }
  if (project.clip_count >= PROJECT_MAX_ROWS) {
    kelvra_status(app, "The timeline holds as many clips as it can.");
    return;
  }
  if (!kelvra_history_begin(app)) return;
  const double seconds_per_beat = 60.0 / kelvra_score_bpm(&score);
  const uint64_t index = project.clip_count;
  Clip& clip = project.clips[index];
  clip = Clip{};
  clip.source = -1;
  clip.json_index = KELVRA_NONE;
  clip.in = first * seconds_per_beat;
  clip.out = last * seconds_per_beat;
  clip.at = app->timeline_playhead;
  clip.gain = 1;
  clip.loops = 1;
  clip.audio = 1;
  clip.music = 1;
  clip.transform.scale = 1;
  const bool free = kelvra_place_lane(&project, &clip);
  if (region >= 0 && static_cast<uint64_t>(region) < score.region_count)
    std::snprintf(clip.name, sizeof clip.name, "Score, beats %g-%g", first + 1, last);
  else
    std::snprintf(clip.name, sizeof clip.name, "Score");
  app->clip_serial += 1;
  std::snprintf(clip.id, sizeof clip.id, "v3-%llu-%llu", static_cast<unsigned long long>(ui_time_ms()),
                static_cast<unsigned long long>(app->clip_serial));
  project.clip_count = index + 1;
  kelvra_sequence_end(app);
  app->dirty = 1;
  char text[160];
  std::snprintf(text, sizeof text, !free ? "Placed the score on lane 1 over what is there: no lane is free for it."
                                                      : "Placed the score on lane %u of the timeline.",
                clip.lane + 1);
  kelvra_status(app, text);
}
