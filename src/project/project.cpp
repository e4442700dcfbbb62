// Project model: canvas presets, clip length, canvas geometry and placements.
#include "project/project.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

const CanvasPreset kelvra_canvases[KELVRA_CANVAS_COUNT] = {
    {"hd", "HD 720p", 1280, 720},
    {"fullhd", "Full HD", 1920, 1080},
    {"dci2k", "DCI 2K", 2048, 1080},
    {"qhd", "QHD", 2560, 1440},
    {"uhd", "4K UHD", 3840, 2160},
    {"dci4k", "DCI 4K", 4096, 2160},
    {"shorts", "YouTube Shorts", 1080, 1920},
    {"reels", "Instagram Reels", 1080, 1920},
    {"vertical4k", "Vertical 4K", 2160, 3840},
    {"square", "Square", 1080, 1080},
    {"feed45", "Feed 4:5", 1080, 1350},
    {"feed34", "Feed 3:4", 1080, 1440},
    {"classic", "Classic 4:3", 1440, 1080},
    {"wide", "Scope", 2048, 858},
};

namespace {


// The row of `key` in the preset table, or KELVRA_CANVAS_COUNT when it names none.
uint32_t find_canvas(const char* key) {
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    if (std::strcmp(kelvra_canvases[i].key, key) == 0) return i;
  }
  return KELVRA_CANVAS_COUNT;
}

}  // namespace

double kelvra_clip_length(const Clip* clip) {
  double pass = clip->out - clip->in;
  return clip->loop ? pass * clip->loops : pass;
}

uint64_t kelvra_project_lost_clips(const Project* project) {
  uint64_t lost = 0;
  for (uint64_t i = 0; i < project->clip_count && i < PROJECT_MAX_ROWS; ++i)
    lost += !project->clips[i].music && static_cast<uint64_t>(project->clips[i].source) >= project->source_count;
  return lost;
}

void kelvra_lost_clips_text(uint64_t lost, char* out, uint64_t size) {
  if (lost == 1)
    std::snprintf(out, size, "1 clip names a source the project does not have; it was left out.");
  else
    std::snprintf(out, size, "%llu clips name a source the project does not have; they were left out.",
                  static_cast<unsigned long long>(lost));
}

const char* kelvra_canvas_id(const Project* project) {
  return project->primary_canvas[0] != '\0' ? project->primary_canvas : "fullhd";
}

uint32_t kelvra_canvas_index(const char* key) {
  uint32_t index = key != nullptr ? find_canvas(key) : KELVRA_CANVAS_COUNT;
  return index < KELVRA_CANVAS_COUNT ? index : KELVRA_DEFAULT_CANVAS;
}

uint32_t kelvra_canvas_mask(const Project* project) {
  if (project->canvas_mask != 0) return project->canvas_mask;
  return 1u << kelvra_canvas_index(kelvra_canvas_id(project));
}

void kelvra_canvas_fit(Rect* out, const CanvasPreset* preset, Rect frame) {
  const double aspect = static_cast<double>(preset->width) / preset->height;
  double w = std::clamp(std::round(frame.height * aspect), 0.0, std::fmax(frame.width, 0));
  double h = std::clamp(std::round(w / aspect), 0.0, std::fmax(frame.height, 0));
  out->width = static_cast<int32_t>(w);
  out->height = static_cast<int32_t>(h);
  out->x = frame.x + (frame.width - out->width) / 2;
  out->y = frame.y + (frame.height - out->height) / 2;
}

void kelvra_canvas_rect(Rect* out, const Project* project, Rect area) {
  kelvra_canvas_fit(out, &kelvra_canvases[kelvra_canvas_index(kelvra_canvas_id(project))], area);
}

void kelvra_canvas_transform(Transform* out, const Project* project, const Clip* clip, uint32_t canvas) {
  const uint32_t primary = kelvra_canvas_index(kelvra_canvas_id(project));
  if (canvas == primary && clip->transform.scale > 0.0) {
    *out = clip->transform;
    return;
  }
  *out = Transform{0.0, 0.0, 1.0, 0};
  if (canvas >= KELVRA_CANVAS_COUNT) return;
  const JsonDocument* document = &project->document;
  uint64_t placement = data_json_field(
      document, data_json_field(document, clip->json_index, "transforms"), kelvra_canvases[canvas].key);
  out->x = std::clamp(project_number(document, placement, "x", 0.0), -3.0, 3.0);
  out->y = std::clamp(project_number(document, placement, "y", 0.0), -3.0, 3.0);
  out->scale = std::clamp(project_number(document, placement, "scale", 1.0), 0.1, 3.0);
}

void project_read_transform(Project* project, Clip* clip) {
  kelvra_canvas_transform(&clip->transform, project, clip, kelvra_canvas_index(kelvra_canvas_id(project)));
  clip->transform.edited = 0;
}
