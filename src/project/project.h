// The open document: library sources with their cuts, timeline clips, text
// titles, the score, the output canvases and the stored workspace layout.
// One fixed-size record with fixed-capacity tables, moved only by whole-record
// copies. It keeps the text of the file it was read from and that text's JSON
// tree, so that saving carries over every member it does not produce.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/limits.h"
#include "base/rect.h"
#include "json/json.h"
#include "project/score.h"

constexpr uint64_t PROJECT_MAX_ROWS = 256;
constexpr double PROJECT_NUMBER_LIMIT = 14400.0;  // four hours
// A clip's gain as read: from silence to +10 dB, the reach of the timeline's
// gain knob. A hand-edited file may say more; beyond it the mix would only
// clip in the preview and overflow the export's loudness meter.
constexpr double PROJECT_MOST_GAIN = 3.1622776601683795;
constexpr uint64_t PROJECT_MAX_FILE_SIZE = 285212672;  // 272 MiB

struct Transform {
  double x;      // offset in canvas widths, -3..3
  double y;      // offset in canvas heights, -3..3
  double scale;  // 0.1..3; 0 or less means "not set"
  uint8_t edited;
};

struct Source {
  char id[96];
  char file[KELVRA_NAME_SIZE];
  char title[160];
  double in;
  double out;
  double duration;
  uint32_t loops;
  uint8_t video;
  uint8_t audio;
  uint8_t loop;
  uint8_t rendered;
  uint8_t imported;  // joined the library by an import since the file was read; saved like a rendered one
};

struct Clip {
  char id[96];
  char name[160];
  int64_t source;       // index into sources, -1 when not in the library
  uint64_t json_index;  // the clip's object in the document, KELVRA_NONE for a placed clip
  double in;
  double out;
  double at;
  double fade_in;
  double fade_out;
  double gain;
  uint32_t lane;
  uint32_t loops;
  uint8_t video;
  uint8_t audio;
  uint8_t loop;
  uint8_t music;
  Transform transform;
};

struct Title {
  char text[160];
  char background[16];
  char color[16];
  double at;
  double duration;
  double x;
  double y;
  uint64_t json_index;  // the title's object in the document, KELVRA_NONE for a title made in the editor
};

struct Project {
  char* file_text;  // owned; null for a project never read from a file
  JsonDocument document;
  Source sources[PROJECT_MAX_ROWS];
  Clip clips[PROJECT_MAX_ROWS];
  Title titles[PROJECT_MAX_ROWS];
  Score score;
  uint64_t source_count;
  uint64_t clip_count;
  uint64_t title_count;
  double timeline_end;
  uint32_t layout;  // 0 split, 1 source, 2 edit
  char primary_canvas[24];
  uint32_t canvas_mask;
  uint8_t embedded_media;
  uint8_t snap_off;  // timeline drags do not snap to beats and clip edges ("snap": false)
  uint8_t loudness_off;     // exports keep the mix's own loudness ("loudness": "off")
  double loudness_target;   // exports' loudness in LUFS; 0 for the default, -14 ("loudness": -16)
};

struct CanvasPreset {
  const char* key;
  const char* label;
  uint32_t width;
  uint32_t height;
};

constexpr uint32_t KELVRA_CANVAS_COUNT = 14;
constexpr uint32_t KELVRA_DEFAULT_CANVAS = 1;  // "fullhd"
extern const CanvasPreset kelvra_canvases[KELVRA_CANVAS_COUNT];

// ------------------------------------------------------------------ model
double kelvra_clip_length(const Clip* clip);
// Clips that play no music and name no source of the library: opening keeps
// them, but they play nothing.
uint64_t kelvra_project_lost_clips(const Project* project);
// The sentence that tells the user about `lost` such clips.
void kelvra_lost_clips_text(uint64_t lost, char* out, uint64_t size);
const char* kelvra_canvas_id(const Project* project);
uint32_t kelvra_canvas_index(const char* key);
uint32_t kelvra_canvas_mask(const Project* project);
void kelvra_canvas_fit(Rect* out, const CanvasPreset* preset, Rect frame);
void kelvra_canvas_rect(Rect* out, const Project* project, Rect area);
void kelvra_canvas_transform(Transform* out, const Project* project, const Clip* clip, uint32_t canvas);
void project_read_transform(Project* project, Clip* clip);

// ---------------------------------------------------------------- reading
bool kelvra_media_folder(char* buffer);
bool kelvra_path(const char* folder, const char* name, char* buffer);
bool kelvra_project_open(Project* project, const char* path);
// Opens a project from bytes already in memory: parse, check and read every
// section into a candidate that replaces `project` only when all of it held.
bool kelvra_project_open_bytes(Project* project, const char* data, uint64_t size);
void kelvra_project_close(Project* project);

bool project_read_sources(Project* candidate);
bool project_read_sequence(Project* candidate);
void project_read_canvas(Project* candidate);
void project_read_loudness(Project* candidate);
void project_clip(Project* candidate, Clip* clip, uint64_t index);
// Reads the element of "texts" at `index` into `title` (its json_index included).
void project_title(const JsonDocument* document, uint64_t index, Title* title);
void project_string(const JsonDocument* document, uint64_t object, const char* key, char* buffer,
                    size_t size);
// A string field shown as text (a name or a title): what is not UTF-8 or cannot
// be held reads as U+FFFD instead of emptying the field.
void project_text(const JsonDocument* document, uint64_t object, const char* key, char* buffer, size_t size);
double project_number(const JsonDocument* document, uint64_t object, const char* key, double fallback);
uint8_t project_boolean(const JsonDocument* document, uint64_t object, const char* key, uint8_t fallback);

// ---------------------------------------------------------------- writing
struct TextBuffer;
enum : uint32_t {
  PROJECT_SAVED = 0,
  PROJECT_SAVED_NOT_FLUSHED = 1,  // the file was replaced, but its folder could not be flushed to disk
  PROJECT_SAVE_FAILED = 2,        // nothing was written
  PROJECT_SAVE_TOO_LARGE = 3,     // the text is past what opening accepts; nothing was written
  PROJECT_SAVE_READ_ONLY = 4,     // the file is read-only; nothing was written
};
// Writes the project's text to `path` atomically, after checking that opening
// would accept it; a PROJECT_SAVE* result.
uint32_t kelvra_project_save(const Project* project, const char* path, uint32_t layout);
// Builds the file text that kelvra_project_save writes; false when it could not be built.
bool project_build_text(const Project* project, uint32_t layout, TextBuffer* out);
// The same into a buffer already in use, keeping its memory.
bool project_rebuild_text(const Project* project, uint32_t layout, TextBuffer* out);
// Writes text built above to `path` the way kelvra_project_save does; a PROJECT_SAVE* result.
uint32_t kelvra_project_write_text(const TextBuffer* text, const char* path);
void project_keep_fields(TextBuffer* buffer, const JsonDocument* document, uint64_t object,
                         const char* const* skip_keys, size_t skip_count, uint8_t* written);
void project_write_clips(TextBuffer* buffer, const Project* project);
void project_write_cuts(TextBuffer* buffer, const Project* project);
// Whether the titles are those of the file's "texts", unchanged and in order,
// so that the member can be carried over as it was.
bool project_texts_as_read(const Project* project);
void project_write_texts(TextBuffer* buffer, const Project* project);
void project_write_library(TextBuffer* buffer, const Project* project);
void project_write_canvas_list(TextBuffer* buffer, const Project* project);
void project_write_transform(TextBuffer* buffer, const Project* project, const Clip* clip, uint8_t* written);
