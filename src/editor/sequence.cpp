// Timeline bookkeeping shared by every edit of clip times and counts.
#include <cmath>

#include "app/app.h"
#include "editor/editor.h"

void kelvra_sequence_end(KelvraApp* app) {
  const Project& project = app->project;
  double end = 0.0;
  for (uint64_t i = 0; i < project.clip_count; ++i)
    end = std::fmax(end, project.clips[i].at + kelvra_clip_length(&project.clips[i]));
  for (uint64_t i = 0; i < project.title_count; ++i)
    end = std::fmax(end, project.titles[i].at + project.titles[i].duration);
  app->project.timeline_end = end;
  if (app->timeline_playhead > end) app->timeline_playhead = end;
}
