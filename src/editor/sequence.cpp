// Timeline bookkeeping shared by every edit of clip times and counts, and
// placing the sample range on the timeline as a new clip.
#include <cmath>
#include <cstdio>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "media/streams.h"
#include "platform/clock.h"
#include "platform/files.h"

uint8_t kelvra_source_streams(KelvraApp* app, int64_t index) {
  const Project& project = app->project;
  if (index < 0 || static_cast<uint64_t>(index) >= project.source_count) return 0;
  uint8_t& streams = app->source_streams[index];
  char path[KELVRA_PATH_SIZE];
  if (streams == 0 && kelvra_path(app->media_folder, project.sources[index].file, path))
    streams = media_source_streams(path);
  return streams;
}

bool kelvra_switch_refused(KelvraApp* app, int64_t source, bool music, bool video) {
  if (music) {
    if (!video) return false;
    kelvra_status(app, "A music clip has no pictures: its Video stays off.");
    return true;
  }
  const uint8_t streams = kelvra_source_streams(app, source);
  if (!(streams & MEDIA_STREAMS_KNOWN)) return false;
  if (video && !(streams & MEDIA_STREAMS_PICTURES)) {
    kelvra_status(app, "This source has no pictures: its Video stays off.");
    return true;
  }
  if (!video && !(streams & MEDIA_STREAMS_SOUND)) {
    kelvra_status(app, "This source has no sound: its Audio stays off.");
    return true;
  }
  return false;
}

void kelvra_check_sources(KelvraApp* app) {
  const Project& project = app->project;
  for (uint8_t& streams : app->source_streams) streams = 0;  // probed again when next asked
  for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i) {
    char path[KELVRA_PATH_SIZE];
    app->source_missing[i] = i < project.source_count &&
                             !(kelvra_path(app->media_folder, project.sources[i].file, path) && sys_file_readable(path));
  }
}

void kelvra_report_lost_clips(KelvraApp* app) {
  const uint64_t lost = kelvra_project_lost_clips(&app->project);
  if (lost == 0) return;
  char text[160];
  kelvra_lost_clips_text(lost, text, sizeof text);
  kelvra_status(app, text);
}

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

void kelvra_place(KelvraApp* app) {
  Project& project = app->project;
  if (static_cast<uint64_t>(app->selected_source) >= project.source_count || project.clip_count >= PROJECT_MAX_ROWS ||
      !kelvra_has_sample(app))
    return;
  kelvra_source_streams(app, app->selected_source);
  SampleRange range;
  kelvra_sample_range(&range, app);
  if (!(range.in < range.out) || !kelvra_history_begin(app)) return;
  const uint64_t index = project.clip_count;
  Clip& clip = project.clips[index];
  clip = Clip{};
  clip.source = app->selected_source;
  clip.json_index = KELVRA_NONE;  // no object of the loaded file
  clip.in = range.in;
  clip.out = range.out;
  clip.loops = range.loops;
  clip.video = range.video;
  clip.audio = range.audio;
  clip.loop = range.loop;
  clip.at = app->timeline_playhead;
  clip.gain = 1;
  clip.transform.scale = 1;
  const bool free = kelvra_place_lane(&project, &clip);
  project.clip_count = index + 1;
  app->selected_clip = static_cast<int64_t>(index);
  kelvra_sample_reset(app);
  if (app->pending_clip_name[0] != '\0') {
    std::snprintf(clip.name, sizeof clip.name, "%s", app->pending_clip_name);
    app->pending_clip_name[0] = '\0';
  } else {
    std::snprintf(clip.name, sizeof clip.name, "Sample %llu", static_cast<unsigned long long>(index + 1));
  }
  app->clip_serial += 1;
  std::snprintf(clip.id, sizeof clip.id, "v3-%llu-%llu", static_cast<unsigned long long>(ui_time_ms()),
                static_cast<unsigned long long>(app->clip_serial));
  kelvra_sequence_end(app);
  app->dirty = 1;
  kelvra_status(app, free ? "Placed a source range on the timeline."
                          : "Placed a source range on lane 1 over what is there: no lane is free for it.");
}
