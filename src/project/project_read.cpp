// Project file reading, all or nothing: a file is read into a fresh candidate
// record that replaces the open project only when every check has passed.
// Also the media folder and the one rule that turns a bare name into a path.
//
// Index:
//   [folder]   kelvra_media_folder, kelvra_path
//   [fields]   project_string, project_number, project_boolean
//   [sections] sources and cuts, canvases, clips, titles
//   [open]     kelvra_project_open, kelvra_project_open_bytes, kelvra_project_close
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "platform/files.h"
#include "project/project.h"
#include "project/score_file.h"

namespace {

// A whole count from a clamped number, fraction dropped.
uint32_t whole(double value, double low, double high) { return static_cast<uint32_t>(std::clamp(value, low, high)); }

}  // namespace

// ------------------------------------------------------------------ [folder]

bool kelvra_media_folder(char* buffer) {
  const char* media = std::getenv("ZARNELK_MEDIA");
  int length;
  if (media != nullptr && media[0] != '\0') {
    length = std::snprintf(buffer, KELVRA_PATH_SIZE, "%s", media);
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr) return false;
    length = std::snprintf(buffer, KELVRA_PATH_SIZE, "%s/Videos/Zarnel", home);
  }
  if (length < 1 || length >= static_cast<int>(KELVRA_PATH_SIZE)) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

bool kelvra_path(const char* folder, const char* name, char* buffer) {
  if (folder == nullptr || name == nullptr || name[0] == '\0') return false;
  // Every byte but "/" (and the terminating NUL) may stand in a file name.
  if (std::strchr(name, '/') != nullptr) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  int length = std::snprintf(buffer, KELVRA_PATH_SIZE, "%s/%s", folder, name);
  if (length < 1 || length >= static_cast<int>(KELVRA_PATH_SIZE)) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

// ------------------------------------------------------------------ [fields]

namespace {

// Copies `text` (null: nothing) into `buffer`, cut to fit, and frees it.
void take_string(char* text, char* buffer, size_t size) {
  if (text == nullptr || size == 0) {
    std::free(text);
    return;
  }
  // A text cut to fit never ends in part of a UTF-8 character: the painter
  // refuses invalid UTF-8 and would show nothing at all.
  size_t length = std::strlen(text);
  if (length >= size) {
    length = size - 1;
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(buffer, text, length);
  buffer[length] = '\0';
  std::free(text);
}

}  // namespace

void project_string(const JsonDocument* document, uint64_t object, const char* key, char* buffer,
                    size_t size) {
  take_string(data_json_string(document, data_json_field(document, object, key)), buffer, size);
}

void project_text(const JsonDocument* document, uint64_t object, const char* key, char* buffer, size_t size) {
  take_string(data_json_text(document, data_json_field(document, object, key)), buffer, size);
}

double project_number(const JsonDocument* document, uint64_t object, const char* key, double fallback) {
  uint64_t index = data_json_field(document, object, key);
  if (data_json_kind(document, index) != JSON_NUMBER) return fallback;
  const JsonToken& token = document->tokens[index];
  const char* start = document->text + token.start;
  char* end = nullptr;
  double value = std::strtod(start, &end);
  if (end != document->text + token.end) return fallback;
  if (!std::isfinite(value) || std::fabs(value) > PROJECT_NUMBER_LIMIT) return fallback;
  return value;
}

uint8_t project_boolean(const JsonDocument* document, uint64_t object, const char* key, uint8_t fallback) {
  uint8_t value = fallback;
  data_json_bool(document, data_json_field(document, object, key), &value);
  return value;
}

// ---------------------------------------------------------------- [sections]

bool project_read_sources(Project* candidate) {
  const JsonDocument* document = &candidate->document;
  char layout[16] = "";
  project_string(document, 0, "layout", layout, sizeof layout);
  candidate->layout = std::strcmp(layout, "source") == 0 ? 1 : std::strcmp(layout, "edit") == 0 ? 2 : 0;

  uint64_t sources = data_json_field(document, 0, "sources");
  if (sources == JSON_NONE) return true;
  uint64_t count = 0;
  if (!data_json_array_count(document, sources, &count) || count > PROJECT_MAX_ROWS) return false;
  const uint64_t cuts = data_json_field(document, 0, "cuts");
  for (uint64_t element = data_json_child(document, sources); element != JSON_NONE;
       element = data_json_after(document, element, sources)) {
    Source* source = &candidate->sources[candidate->source_count];
    project_string(document, element, "id", source->id, sizeof source->id);
    if (source->id[0] == '\0') return false;
    project_string(document, element, "file", source->file, sizeof source->file);
    project_text(document, element, "title", source->title, sizeof source->title);
    source->rendered = project_boolean(document, element, "rendered", 0);
    const uint64_t cut = data_json_field(document, cuts, source->id);
    source->in = std::fmax(project_number(document, cut, "in", 0.0), 0.0);
    source->out = std::fmax(project_number(document, cut, "out", source->in), source->in);
    source->duration = std::fmax(project_number(document, element, "duration", 0.0), source->out);
    source->video = project_boolean(document, cut, "video", 1);
    source->audio = project_boolean(document, cut, "audio", 1);
    source->loops = whole(project_number(document, cut, "loops", 1.0), 1.0, 101.0);
    char mode[12] = "";
    project_string(document, cut, "mode", mode, sizeof mode);
    source->loop = std::strcmp(mode, "loop") == 0;
    ++candidate->source_count;
  }
  return true;
}

// "loudness": "off", or a target from -40 to -5 LUFS; anything else reads as the default.
void project_read_loudness(Project* candidate) {
  const JsonDocument* document = &candidate->document;
  const uint64_t value = data_json_field(document, 0, "loudness");
  candidate->loudness_off = 0;
  candidate->loudness_target = 0;
  if (data_json_kind(document, value) == JSON_STRING) {
    char word[8] = "";
    project_string(document, 0, "loudness", word, sizeof word);
    candidate->loudness_off = std::strcmp(word, "off") == 0;
  } else if (data_json_kind(document, value) == JSON_NUMBER) {
    const double target = project_number(document, 0, "loudness", 0.0);
    if (target >= -40.0 && target <= -5.0) candidate->loudness_target = target;
  }
}

void project_read_canvas(Project* candidate) {
  const JsonDocument* document = &candidate->document;
  char primary[24] = "";
  candidate->snap_off = !project_boolean(document, 0, "snap", 1);
  project_read_loudness(candidate);
  project_string(document, 0, "primaryCanvas", primary, sizeof primary);
  const uint64_t sizes = data_json_field(document, 0, "canvasSizes");
  if (data_json_kind(document, sizes) == JSON_ARRAY) {
    for (uint64_t element = data_json_child(document, sizes); element != JSON_NONE;
         element = data_json_after(document, element, sizes)) {
      char* key = data_json_string(document, element);
      if (key == nullptr) continue;
      for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
        if (std::strcmp(kelvra_canvases[i].key, key) != 0) continue;
        candidate->canvas_mask |= 1u << i;
        if (candidate->primary_canvas[0] == '\0')
          std::snprintf(candidate->primary_canvas, sizeof candidate->primary_canvas, "%s", key);
        break;
      }
      std::free(key);
    }
  }
  if (primary[0] == '\0') return;
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    if (std::strcmp(kelvra_canvases[i].key, primary) == 0) {
      std::snprintf(candidate->primary_canvas, sizeof candidate->primary_canvas, "%s", primary);
      return;
    }
  }
}

namespace {

// A clip's gain, from silence to PROJECT_MOST_GAIN (1 when missing). A number
// past the reader's limit is as far past +10 dB as any, and reads as +10 dB
// too (as silence when negative).
double clip_gain(const JsonDocument* document, uint64_t clip) {
  const double gain = project_number(document, clip, "gain", NAN);
  if (!std::isnan(gain)) return std::clamp(gain, 0.0, PROJECT_MOST_GAIN);
  const uint64_t field = data_json_field(document, clip, "gain");
  if (data_json_kind(document, field) != JSON_NUMBER) return 1.0;
  return document->text[document->tokens[field].start] == '-' ? 0.0 : PROJECT_MOST_GAIN;
}

}  // namespace

void project_clip(Project* candidate, Clip* clip, uint64_t index) {
  const JsonDocument* document = &candidate->document;
  char source_id[96] = "";
  char file[KELVRA_PATH_SIZE] = "";
  char mode[12] = "";
  project_string(document, index, "sourceId", source_id, sizeof source_id);
  project_string(document, index, "file", file, sizeof file);
  project_string(document, index, "mode", mode, sizeof mode);
  clip->loop = std::strcmp(mode, "loop") == 0;
  project_string(document, index, "id", clip->id, sizeof clip->id);
  project_text(document, index, "name", clip->name, sizeof clip->name);
  clip->json_index = index;
  clip->transform = Transform{};
  project_read_transform(candidate, clip);
  clip->in = std::fmax(project_number(document, index, "in", 0.0), 0.0);
  clip->out = std::fmax(project_number(document, index, "out", clip->in), clip->in);
  clip->at = std::fmax(project_number(document, index, "at", 0.0), 0.0);
  clip->lane = whole(project_number(document, index, "lane", 0.0), 0.0, 7.0);
  clip->loops = whole(project_number(document, index, "loops", 1.0), 1.0, 101.0);
  clip->audio = project_boolean(document, index, "audio", 1);
  clip->video = project_boolean(document, index, "video", 1);
  clip->music = project_boolean(document, index, "music", 0);
  clip->gain = clip_gain(document, index);
  const double fade = project_number(document, index, "fade", 0.0);
  clip->fade_in = project_number(document, index, "fadeIn", fade);
  clip->fade_out = project_number(document, index, "fadeOut", fade);

  clip->source = -1;
  for (uint64_t i = 0; i < candidate->source_count; ++i) {
    const Source& source = candidate->sources[i];
    if ((source_id[0] != '\0' && std::strcmp(source_id, source.id) == 0) ||
        (file[0] != '\0' && std::strcmp(file, source.file) == 0)) {
      clip->source = static_cast<int64_t>(i);
      break;
    }
  }
}

void project_title(const JsonDocument* document, uint64_t element, Title* title) {
  *title = Title{};
  title->json_index = element;
  title->at = std::fmax(project_number(document, element, "at", 0.0), 0.0);
  title->duration = std::fmax(project_number(document, element, "duration", 2.0), 0.0);
  title->x = std::clamp(project_number(document, element, "x", 0.5), 0.0, 1.0);
  title->y = std::clamp(project_number(document, element, "y", 0.82), 0.0, 1.0);
  project_text(document, element, "text", title->text, sizeof title->text);
  const uint64_t style = data_json_field(document, element, "style");
  project_string(document, style, "background", title->background, sizeof title->background);
  project_string(document, style, "color", title->color, sizeof title->color);
}

bool project_read_sequence(Project* candidate) {
  project_read_canvas(candidate);
  const JsonDocument* document = &candidate->document;
  const uint64_t clips = data_json_field(document, 0, "clips");
  const uint64_t texts = data_json_field(document, 0, "texts");
  uint64_t count = 0;
  if (clips != JSON_NONE && (!data_json_array_count(document, clips, &count) || count > PROJECT_MAX_ROWS))
    return false;
  if (texts != JSON_NONE && (!data_json_array_count(document, texts, &count) || count > PROJECT_MAX_ROWS))
    return false;

  for (uint64_t element = data_json_child(document, clips); element != JSON_NONE;
       element = data_json_after(document, element, clips)) {
    Clip* clip = &candidate->clips[candidate->clip_count++];
    project_clip(candidate, clip, element);
    candidate->timeline_end = std::fmax(candidate->timeline_end, clip->at + kelvra_clip_length(clip));
    if (clip->source >= 0) {
      Source* source = &candidate->sources[clip->source];
      source->duration = std::fmax(source->duration, clip->out);
    }
  }

  for (uint64_t element = data_json_child(document, texts); element != JSON_NONE;
       element = data_json_after(document, element, texts)) {
    Title* title = &candidate->titles[candidate->title_count++];
    project_title(document, element, title);
    candidate->timeline_end = std::fmax(candidate->timeline_end, title->at + title->duration);
  }
  return true;
}

// -------------------------------------------------------------------- [open]

namespace {

// Frees what a candidate owns and the candidate itself.
void discard(Project* candidate) {
  data_json_free(&candidate->document);
  std::free(candidate->file_text);
  std::free(candidate);
}

// Parses the NUL-terminated text the candidate owns, checks it is a version-1
// project object, reads every section, and on success moves the candidate into
// `project`. The candidate is freed either way.
bool open_candidate(Project* project, Project* candidate) {
  if (!data_json_parse(&candidate->document, candidate->file_text) ||
      candidate->document.tokens[0].kind != JSON_OBJECT ||
      project_number(&candidate->document, 0, "schemaVersion", 1.0) != 1.0 ||
      !project_read_sources(candidate) || !project_read_sequence(candidate) || !project_read_score(candidate)) {
    discard(candidate);
    return false;
  }
  uint64_t embedded = 0;
  candidate->embedded_media =
      data_json_array_count(&candidate->document, data_json_field(&candidate->document, 0, "embeddedMedia"),
                            &embedded) &&
      embedded > 0;
  data_json_free(&project->document);
  std::free(project->file_text);
  std::memcpy(project, candidate, sizeof *project);
  std::free(candidate);
  return true;
}

Project* new_candidate() { return static_cast<Project*>(std::calloc(1, sizeof(Project))); }

}  // namespace

bool kelvra_project_open(Project* project, const char* path) {
  if (project == nullptr || path == nullptr) return false;
  uint64_t size = 0;
  const int fd = sys_open_regular(path, &size);
  if (fd < 0) return false;
  Project* candidate = size >= 1 && size <= PROJECT_MAX_FILE_SIZE ? new_candidate() : nullptr;
  bool ok = candidate != nullptr;
  if (ok) {
    candidate->file_text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 1));
    ok = candidate->file_text != nullptr && sys_read_exactly(fd, candidate->file_text, size) &&
         std::memchr(candidate->file_text, '\0', static_cast<size_t>(size)) == nullptr;
  }
  ::close(fd);
  if (!ok) {
    if (candidate != nullptr) discard(candidate);
    return false;
  }
  candidate->file_text[size] = '\0';
  return open_candidate(project, candidate);
}

bool kelvra_project_open_bytes(Project* project, const char* data, uint64_t size) {
  if (project == nullptr || data == nullptr || size < 1 || size > PROJECT_MAX_FILE_SIZE) return false;
  if (std::memchr(data, '\0', size) != nullptr) return false;
  Project* candidate = new_candidate();
  if (candidate == nullptr) return false;
  candidate->file_text = static_cast<char*>(std::malloc(size + 1));
  if (candidate->file_text == nullptr) {
    discard(candidate);
    return false;
  }
  std::memcpy(candidate->file_text, data, size);
  candidate->file_text[size] = '\0';
  return open_candidate(project, candidate);
}

void kelvra_project_close(Project* project) {
  data_json_free(&project->document);
  std::free(project->file_text);
  std::memset(project, 0, sizeof *project);
}
