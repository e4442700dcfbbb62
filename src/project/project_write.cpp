// Project file writing: a fixed text layout for everything the program owns,
// every other member of the file it was read from carried over byte for byte,
// and atomic replacement of the file on disk.
//
// Index:
//   [kept]     project_keep_fields and the skipped key sets
//   [items]    clips, transforms, cuts
//   [library]  rendered sources, canvas list
//   [file]     project_build_text, kelvra_project_save
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"
#include "project/project.h"
#include "project/score_file.h"
#include "project/text_buffer.h"

namespace {

const char* const kTopLevelSkips[] = {"clips", "cuts",    "layout", "audioScore", "embeddedMedia", "canvasSizes",
                                      "sources", "snap", "loudness"};
// The last entry, "transforms", is skipped only for a clip whose placement was edited.
const char* const kClipSkips[] = {"id", "name", "at", "in", "out", "lane", "gain", "video",
                                  "audio", "mode", "loops", "fadeIn", "fadeOut", "transforms"};
const char* const kCutSkips[] = {"in", "out", "video", "audio", "mode", "loops"};
const char* const kPlacementSkips[] = {"x", "y", "scale"};
const char* const kTitleSkips[] = {"text", "at", "duration", "x", "y", "style"};

template <size_t N>
constexpr size_t count_of(const char* const (&)[N]) {
  return N;
}

const char* flag(uint8_t value) { return value ? "true" : "false"; }
const char* mode(uint8_t loop) { return loop ? "loop" : "cut"; }

// Appends the raw text of the value at `index` of the kept document.
void append_raw_value(TextBuffer* buffer, const JsonDocument* document, uint64_t index) {
  const JsonToken& token = document->tokens[index];
  project_append_raw(buffer, document->text + token.start, token.end - token.start);
}

}  // namespace

// -------------------------------------------------------------------- [kept]

void project_keep_fields(TextBuffer* buffer, const JsonDocument* document, uint64_t object,
                         const char* const* skip_keys, size_t skip_count, uint8_t* written) {
  if (data_json_kind(document, object) != JSON_OBJECT) return;
  const JsonToken* tokens = document->tokens;
  for (uint64_t key = object + 1; key < tokens[object].next; key = tokens[key + 1].next) {
    char* name = data_json_string(document, key);
    bool skip = false;
    for (size_t i = 0; name != nullptr && i < skip_count && !skip; ++i) skip = std::strcmp(name, skip_keys[i]) == 0;
    std::free(name);
    if (skip) continue;
    const uint64_t start = tokens[key].start;
    const uint64_t end = tokens[key + 1].end;
    project_append(buffer, "%s%.*s", *written ? ", " : "", static_cast<int>(end - start), document->text + start);
    *written = 1;
  }
}

// ------------------------------------------------------------------- [items]

void project_write_transform(TextBuffer* buffer, const Project* project, const Clip* clip, uint8_t* written) {
  const JsonDocument* document = &project->document;
  const char* primary = kelvra_canvas_id(project);
  const uint64_t transforms = data_json_field(document, clip->json_index, "transforms");
  project_append(buffer, "%s\"transforms\": {", *written ? ", " : "");
  uint8_t kept = 0;
  project_keep_fields(buffer, document, transforms, &primary, 1, &kept);
  project_append(buffer, "%s", kept ? ", " : "");
  project_append_quoted(buffer, primary);
  project_append(buffer, ": {");
  uint8_t inner = 0;
  project_keep_fields(buffer, document, data_json_field(document, transforms, primary), kPlacementSkips,
                      count_of(kPlacementSkips), &inner);
  project_append(buffer, "%s\"x\": %.9g, \"y\": %.9g, \"scale\": %.9g}}", inner ? ", " : "",
                 text_finite(clip->transform.x), text_finite(clip->transform.y), text_finite(clip->transform.scale));
  *written = 1;
}

void project_write_clips(TextBuffer* buffer, const Project* project) {
  project_append(buffer, "[");
  for (uint64_t i = 0; i < project->clip_count; ++i) {
    const Clip* clip = &project->clips[i];
    project_append(buffer, "%s\n    {", i > 0 ? "," : "");
    uint8_t written = 0;
    const size_t skips = count_of(kClipSkips) - (clip->transform.edited ? 0 : 1);
    project_keep_fields(buffer, &project->document, clip->json_index, kClipSkips, skips, &written);
    if (clip->transform.edited) project_write_transform(buffer, project, clip, &written);
    project_append(buffer, "%s\"id\": ", written ? ", " : "");
    project_append_quoted(buffer, clip->id);
    project_append(buffer, ", \"name\": ");
    project_append_quoted(buffer, clip->name);
    if (clip->json_index == KELVRA_NONE && static_cast<uint64_t>(clip->source) < project->source_count) {
      const Source* source = &project->sources[clip->source];
      project_append(buffer, ", \"sourceId\": ");
      project_append_quoted(buffer, source->id);
      project_append(buffer, ", \"file\": ");
      project_append_quoted(buffer, source->file);
    }
    if (clip->json_index == KELVRA_NONE && clip->music) project_append(buffer, ", \"music\": true");
    project_append(buffer,
                   ", \"at\": %.9g, \"in\": %.9g, \"out\": %.9g, \"lane\": %u, \"gain\": %.9g, \"video\": %s, "
                   "\"audio\": %s, \"mode\": \"%s\", \"loops\": %u, \"fadeIn\": %.9g, \"fadeOut\": %.9g}",
                   text_finite(clip->at), text_finite(clip->in), text_finite(clip->out), clip->lane, text_finite(clip->gain),
                   flag(clip->video), flag(clip->audio), mode(clip->loop), clip->loops, text_finite(clip->fade_in),
                   text_finite(clip->fade_out));
  }
  project_append(buffer, "%s]", project->clip_count > 0 ? "\n  " : "");
}

void project_write_cuts(TextBuffer* buffer, const Project* project) {
  const JsonDocument* document = &project->document;
  const uint64_t cuts = data_json_field(document, 0, "cuts");
  const char* ids[PROJECT_MAX_ROWS];
  for (uint64_t i = 0; i < project->source_count; ++i) ids[i] = project->sources[i].id;
  project_append(buffer, "{");
  uint8_t written = 0;
  project_keep_fields(buffer, document, cuts, ids, project->source_count, &written);
  for (uint64_t i = 0; i < project->source_count; ++i) {
    const Source* source = &project->sources[i];
    project_append(buffer, "%s\n    ", written ? "," : "");
    project_append_quoted(buffer, source->id);
    project_append(buffer, ": {");
    uint8_t inner = 0;
    project_keep_fields(buffer, document, data_json_field(document, cuts, source->id), kCutSkips,
                        count_of(kCutSkips), &inner);
    project_append(buffer, "%s\"in\": %.9g, \"out\": %.9g, \"video\": %s, \"audio\": %s, \"mode\": \"%s\", \"loops\": %u}",
                   inner ? ", " : "", text_finite(source->in), text_finite(source->out), flag(source->video),
                   flag(source->audio), mode(source->loop), source->loops);
    written = 1;
  }
  project_append(buffer, "%s}", written ? "\n  " : "");
}

// ------------------------------------------------------------------ [titles]

namespace {

bool same_title(const Title& a, const Title& b) {
  return std::strcmp(a.text, b.text) == 0 && std::strcmp(a.background, b.background) == 0 &&
         std::strcmp(a.color, b.color) == 0 && a.at == b.at && a.duration == b.duration && a.x == b.x && a.y == b.y;
}

}  // namespace

bool project_texts_as_read(const Project* project) {
  const JsonDocument* document = &project->document;
  const uint64_t texts = data_json_field(document, 0, "texts");
  if (texts == JSON_NONE) return project->title_count == 0;
  uint64_t i = 0;
  for (uint64_t element = data_json_child(document, texts); element != JSON_NONE;
       element = data_json_after(document, element, texts), ++i) {
    if (i >= project->title_count || project->titles[i].json_index != element) return false;
    Title read;
    project_title(document, element, &read);
    if (!same_title(read, project->titles[i])) return false;
  }
  return i == project->title_count;
}

void project_write_texts(TextBuffer* buffer, const Project* project) {
  const JsonDocument* document = &project->document;
  project_append(buffer, "[");
  for (uint64_t i = 0; i < project->title_count; ++i) {
    const Title* title = &project->titles[i];
    // Token 0 is the whole document: a zero-filled title names no object of it.
    const uint64_t object = title->json_index != 0 ? title->json_index : KELVRA_NONE;
    project_append(buffer, "%s\n    {", i > 0 ? "," : "");
    uint8_t written = 0;
    project_keep_fields(buffer, document, object, kTitleSkips, count_of(kTitleSkips), &written);
    project_append(buffer, "%s\"text\": ", written ? ", " : "");
    project_append_quoted(buffer, title->text);
    project_append(buffer, ", \"at\": %.9g, \"duration\": %.9g, \"x\": %.9g, \"y\": %.9g, \"style\": {",
                   text_finite(title->at), text_finite(title->duration), text_finite(title->x), text_finite(title->y));
    // The style's other members stay; a colour the title has none of keeps what the file said.
    const char* style_skips[2];
    size_t style_skip_count = 0;
    if (title->background[0] != '\0') style_skips[style_skip_count++] = "background";
    if (title->color[0] != '\0') style_skips[style_skip_count++] = "color";
    uint8_t inner = 0;
    project_keep_fields(buffer, document, data_json_field(document, object, "style"), style_skips,
                        style_skip_count, &inner);
    if (title->background[0] != '\0') {
      project_append(buffer, "%s\"background\": ", inner ? ", " : "");
      project_append_quoted(buffer, title->background);
      inner = 1;
    }
    if (title->color[0] != '\0') {
      project_append(buffer, "%s\"color\": ", inner ? ", " : "");
      project_append_quoted(buffer, title->color);
    }
    project_append(buffer, "}}");
  }
  project_append(buffer, "%s]", project->title_count > 0 ? "\n  " : "");
}

// ----------------------------------------------------------------- [library]

void project_write_library(TextBuffer* buffer, const Project* project) {
  const JsonDocument* document = &project->document;
  const uint64_t sources = data_json_field(document, 0, "sources");
  uint64_t kept = 0;
  if (!data_json_array_count(document, sources, &kept)) kept = 0;

  // Sources past the file's own that joined the library in this session:
  // rendered files and imported ones.
  bool added = false;
  for (uint64_t i = kept; i < project->source_count && !added; ++i)
    added = project->sources[i].rendered || project->sources[i].imported;
  if (!added) {
    if (sources != JSON_NONE) {
      project_append(buffer, ",\n  \"sources\": ");
      append_raw_value(buffer, document, sources);
    }
    return;
  }
  project_append(buffer, ",\n  \"sources\": [");
  bool any = false;
  if (kept > 0) {
    const JsonToken& array = document->tokens[sources];
    project_append_raw(buffer, document->text + array.start + 1, array.end - array.start - 2);
    any = true;
  }
  for (uint64_t i = kept; i < project->source_count; ++i) {
    const Source* source = &project->sources[i];
    if (!source->rendered && !source->imported) continue;
    project_append(buffer, "%s{\"id\":", any ? ", " : "");
    project_append_quoted(buffer, source->id);
    project_append(buffer, ",\"file\":");
    project_append_quoted(buffer, source->file);
    project_append(buffer, ",\"title\":");
    project_append_quoted(buffer, source->title);
    project_append(buffer, ",\"duration\":%.9g%s}", text_finite(source->duration),
                   source->rendered ? ",\"rendered\":true" : "");
    any = true;
  }
  project_append(buffer, "]");
}

void project_write_canvas_list(TextBuffer* buffer, const Project* project) {
  const uint32_t mask = kelvra_canvas_mask(project);
  const uint32_t primary = kelvra_canvas_index(kelvra_canvas_id(project));
  project_append(buffer, ",\n  \"canvasSizes\": [");
  bool any = false;
  if (mask & (1u << primary)) {
    project_append(buffer, "\"%s\"", kelvra_canvases[primary].key);
    any = true;
  }
  for (uint32_t i = 0; i < KELVRA_CANVAS_COUNT; ++i) {
    if (i == primary || !(mask & (1u << i))) continue;
    project_append(buffer, "%s\"%s\"", any ? ", " : "", kelvra_canvases[i].key);
    any = true;
  }
  project_append(buffer, "]");
}

// -------------------------------------------------------------------- [file]

bool project_build_text(const Project* project, uint32_t layout, TextBuffer* out) {
  *out = TextBuffer{};
  return project_rebuild_text(project, layout, out);
}

bool project_rebuild_text(const Project* project, uint32_t layout, TextBuffer* out) {
  out->length = 0;
  out->failed = 0;
  if (out->data != nullptr) out->data[0] = '\0';
  const JsonDocument* document = &project->document;
  project_append(out, "{\n  ");
  uint8_t written = 0;
  if (project->file_text == nullptr) {
    project_append(out, "\"schemaVersion\": 1");
    written = 1;
  }
  // Titles as the file had them keep their text; edited ones are written out.
  const bool texts_kept = project_texts_as_read(project);
  const char* top_skips[count_of(kTopLevelSkips) + 1];
  for (size_t i = 0; i < count_of(kTopLevelSkips); ++i) top_skips[i] = kTopLevelSkips[i];
  top_skips[count_of(kTopLevelSkips)] = "texts";
  project_keep_fields(out, document, 0, top_skips, count_of(kTopLevelSkips) + (texts_kept ? 0 : 1), &written);
  const char* layout_word = layout == 1 ? "source" : layout == 2 ? "edit" : "split";
  project_append(out, "%s\n  \"layout\": \"%s\",\n  \"clips\": ", written ? "," : "", layout_word);
  project_write_clips(out, project);
  if (!texts_kept) {
    project_append(out, ",\n  \"texts\": ");
    project_write_texts(out, project);
  }
  project_append(out, ",\n  \"cuts\": ");
  project_write_cuts(out, project);
  project_append(out, ",\n  \"audioScore\": ");
  project_write_score(out, &project->score);
  project_write_library(out, project);
  project_write_canvas_list(out, project);
  if (project->snap_off) project_append(out, ",\n  \"snap\": false");
  if (project->loudness_off)
    project_append(out, ",\n  \"loudness\": \"off\"");
  else if (project->loudness_target != 0.0 && project->loudness_target != -14.0)
    project_append(out, ",\n  \"loudness\": %g", project->loudness_target);
  const uint64_t embedded = data_json_field(document, 0, "embeddedMedia");
  if (embedded != JSON_NONE) {
    project_append(out, ",\n  \"embeddedMedia\": ");
    append_raw_value(out, document, embedded);
  }
  project_append(out, "\n}\n");
  if (out->failed) {
    text_buffer_free(out);
    return false;
  }
  return true;
}

namespace {

// Whether the reader would take `text` back: its size, syntax, nesting and
// token count within the reader's limits. The text is parsed exactly as
// opening parses it.
bool readable(const TextBuffer& text) {
  if (text.length < 1 || text.length > PROJECT_MAX_FILE_SIZE) return false;
  JsonDocument document{};
  const bool parsed = data_json_parse(&document, text.data);
  data_json_free(&document);
  return parsed;
}

}  // namespace

uint32_t kelvra_project_save(const Project* project, const char* path, uint32_t layout) {
  TextBuffer text;
  if (!project_build_text(project, layout, &text)) return PROJECT_SAVE_FAILED;
  const uint32_t result = kelvra_project_write_text(&text, path);
  text_buffer_free(&text);
  return result;
}

uint32_t kelvra_project_write_text(const TextBuffer* text, const char* path) {
  if (!readable(*text)) return PROJECT_SAVE_TOO_LARGE;
  switch (sys_file_write_atomic(path, text->data, text->length)) {
    case SYS_WRITE_DONE: return PROJECT_SAVED;
    case SYS_WRITE_NOT_FLUSHED: return PROJECT_SAVED_NOT_FLUSHED;
    case SYS_WRITE_READ_ONLY: return PROJECT_SAVE_READ_ONLY;
    default: return PROJECT_SAVE_FAILED;
  }
}
