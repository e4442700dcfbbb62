// KelvraApp: the editor's record, owned by the UI thread: the window and the
// painter, the handles of the workers it drives, the open document, and the
// state of its tabs, selection, drags, transport and history. Allocated
// zero-filled once per run (so it holds no C++ objects) and freed at exit.
// The engines below never see it: they take the document and records of
// their own. Fields are grouped by the module that owns them.
#pragma once

#include <cstdint>

#include "base/limits.h"
#include "base/rect.h"
#include "project/project.h"

struct UiWindow;
struct Painter;
struct VideoWorker;
struct WaveWorker;
struct AudioOutput;
struct RenderQueue;
struct PublishContext;
struct RecoveryWriter;
struct HistorySnapshot;
struct PosterWorker;
struct ImportWorker;
struct StripCache;

constexpr uint32_t KELVRA_LANE_VIDEOS = 7;
constexpr uint64_t HISTORY_MAX_STEPS = 100;
constexpr uint32_t KELVRA_ROLL_COUNT = 24;

enum : uint32_t {
  KELVRA_TAB_SAMPLING = 0,
  KELVRA_TAB_TIMELINE = 1,
  KELVRA_TAB_TEXT = 2,
  KELVRA_TAB_AUDIO = 3,
  KELVRA_TAB_RENDER = 4,
};
constexpr uint32_t KELVRA_TAB_COUNT = 5;

enum : uint32_t {
  KELVRA_LAYOUT_SPLIT = 0,
  KELVRA_LAYOUT_SOURCE = 1,
  KELVRA_LAYOUT_EDIT = 2,
};

enum : uint32_t {
  TRANSPORT_SOURCE = 0,
  TRANSPORT_SAMPLE = 1,
  TRANSPORT_TIMELINE = 2,
  TRANSPORT_SCORE = 3,
};

// What a left-button drag moves (drag_kind); the same numbers name the handle
// under the pointer, from which the frame loop picks the cursor.
enum : uint32_t {
  KELVRA_DRAG_NONE = 0,
  KELVRA_DRAG_TIMELINE_SCRUB = 1,  // press on the clip lanes away from a clip
  KELVRA_DRAG_SOURCE_SCRUB = 2,    // press on the source seek bar
  KELVRA_DRAG_NEW_RANGE = 3,       // press on the sample strip while no range exists
  KELVRA_DRAG_RANGE_BODY = 4,      // press inside the range
  KELVRA_DRAG_RANGE_IN = 5,        // press within 6 px of the range's in point
  KELVRA_DRAG_RANGE_OUT = 6,       // press within 6 px of the out point, nearer to it than to in
  KELVRA_DRAG_CLIP_MOVE = 7,       // press on a timeline clip
  KELVRA_DRAG_FADE_IN = 8,         // clip controls: fade-in knob
  KELVRA_DRAG_FADE_OUT = 9,        // fade-out knob
  KELVRA_DRAG_GAIN = 10,           // gain knob
  KELVRA_DRAG_POSITION = 11,       // position slider
  KELVRA_DRAG_SCROLL_BAR = 12,     // timeline scroll bar
  KELVRA_DRAG_INSET_MOVE = 13,     // an inset on the monitor
};

// Drags of the Text tab's titles and of the band's edits, numbered apart
// from the ones above.
enum : uint32_t {
  KELVRA_DRAG_TITLE_MOVE = 20,   // a title's box on the Text tab's canvas
  KELVRA_DRAG_TITLE_START = 21,  // the start of a title's box on the titles row
  KELVRA_DRAG_TITLE_END = 22,    // the end of a title's box on the titles row
  KELVRA_DRAG_TITLE_SHIFT = 23,  // a title's box on the titles row, moved in time
  KELVRA_DRAG_TRIM_IN = 24,      // within 5 px of a clip's left edge on the lanes
  KELVRA_DRAG_TRIM_OUT = 25,     // within 5 px of its right edge
};

// The Text tab's buttons, by index into KelvraApp::title_buttons.
enum : uint32_t {
  TEXT_ADD = 0,
  TEXT_COLOR,
  TEXT_BOX_COLOR,
  TEXT_NO_BOX,
  TEXT_DELETE,
  TEXT_BUTTONS,
};

// The file command waiting for its dialog's answer (KelvraApp::file_dialog).
enum : uint32_t {
  KELVRA_DIALOG_NONE = 0,
  KELVRA_DIALOG_OPEN = 1,
  KELVRA_DIALOG_SAVE = 2,
  KELVRA_DIALOG_IMPORT = 7,  // the Import button's chooser of media files
  KELVRA_DIALOG_TITLE_COLOR = 3,  // the colour chooser for the selected title's text
  KELVRA_DIALOG_TITLE_BOX = 4,    // the colour chooser for its box
};

// What a left-button drag on the piano roll does (RollView::roll_drag).
enum : uint32_t {
  ROLL_DRAG_NONE = 0,
  ROLL_DRAG_NEW_REGION = 1,
  ROLL_DRAG_REGION_END = 2,
  ROLL_DRAG_NEW_NOTE = 3,
  ROLL_DRAG_THUMB = 4,  // the scroll bar's thumb
  ROLL_DRAG_TEMPO = 5,  // the tempo slider
};

// The row of controls under the sample strip, by index into
// KelvraApp::sample_controls. The mode switch takes presses over both of
// its halves (cut and loop) together.
enum : uint32_t {
  SAMPLE_CONTROL_IN_LABEL = 0,
  SAMPLE_CONTROL_IN,
  SAMPLE_CONTROL_OUT_LABEL,
  SAMPLE_CONTROL_OUT,
  SAMPLE_CONTROL_VIDEO,
  SAMPLE_CONTROL_AUDIO,
  SAMPLE_CONTROL_CUT,
  SAMPLE_CONTROL_LOOP,
  SAMPLE_CONTROL_MODE,
  SAMPLE_CONTROLS,
};

// The clip controls under the lanes, by index into KelvraApp::clip_controls.
enum : uint32_t {
  SEQUENCE_CUT = 0,
  SEQUENCE_LOOP,
  SEQUENCE_FEWER,
  SEQUENCE_LOOPS,
  SEQUENCE_MORE,
  SEQUENCE_POSITION,
  SEQUENCE_FADE_IN,
  SEQUENCE_FADE_OUT,
  SEQUENCE_GAIN,
  SEQUENCE_VIDEO,
  SEQUENCE_AUDIO,
  SEQUENCE_SCROLL,
  SEQUENCE_CONTROLS,
};

// One header meter: its text and the fill of its bar.
struct Meter {
  char label[32];
  double fraction;
};

// The piano-roll view: not saved with the project, reset by the editor's
// reset, and captured whole by every undo step.
struct RollView {
  double score_playhead;  // seconds
  double roll_scroll;     // beat at the left edge of the note grid
  double beat_width;      // pixels per beat, 12..144
  double drag_anchor_beat;
  double drag_beat;
  double thumb_grab;      // pointer offset inside the scrollbar thumb
  uint64_t drag_roll;
  int64_t selected_region;
  int64_t duplicate_region;
  uint64_t first_roll;
  uint8_t drag_anchor_key;
  uint8_t drag_key;
  uint8_t roll_top_keys[KELVRA_ROLL_COUNT];
  uint32_t roll_drag;     // ROLL_DRAG_*
  uint8_t notes_mode;
  uint8_t tempo_step;     // the tempo drag has opened its undo step
};

struct EditHistory {
  uint64_t next_serial;  // last serial handed out; only grows
  HistorySnapshot* undo[HISTORY_MAX_STEPS];  // oldest first
  HistorySnapshot* redo[HISTORY_MAX_STEPS];  // oldest first
  uint64_t undo_count;
  uint64_t redo_count;
};

struct KelvraApp {
  // --- shell and long-lived workers (created and destroyed by the main loop)
  UiWindow* window;
  uint32_t client_width;
  uint32_t client_height;
  Painter* painter;
  VideoWorker* source_video;
  VideoWorker* program_video;
  VideoWorker* lookahead_video;
  VideoWorker* lane_videos[KELVRA_LANE_VIDEOS];
  WaveWorker* wave;
  AudioOutput* audio_out;
  RenderQueue* render_queue;
  PublishContext* publishing;  // made on first use
  RecoveryWriter* recovery;
  char project_path[KELVRA_PATH_SIZE];  // full path of the open project's file; empty while untitled
  uint32_t file_dialog;  // KELVRA_DIALOG_*: the command whose file dialog is open

  // --- export readiness
  uint32_t previewed_canvases;
  uint64_t previewed_serial;
  uint64_t project_serial;

  // --- the open document
  Project project;

  // --- workspace layout, rewritten on every frame. Every rectangle here is
  // both where its part is drawn and where a press on it is tested.
  Rect main_panel;
  Rect library_panel;
  Rect source_view;
  Rect source_seek_bar;
  Rect sample_view;
  Rect sample_strip;
  Rect clip_name_field;
  Rect place_button;
  Rect source_play_button;  // under the SOURCE monitor, left of the seek bar
  Rect before_button;       // above the SAMPLE monitor: the source from the range's start
  Rect after_button;        // above the SAMPLE monitor: the sample
  Rect sample_controls[SAMPLE_CONTROLS];  // under the sample strip
  Rect layout_buttons[3];   // the timeline toolbar on the Sampling tab: split, source, edit
  Rect duplicate_button;    // the timeline toolbar on the Timeline tab
  Rect remove_button;
  Rect timeline_play_button;
  Rect export_button;
  Rect canvases_button;
  Rect follow_button;
  Rect snap_button;
  Rect monitor_area;   // the Timeline tab's canvas previews
  Rect inset_button;   // under the monitor, while the playhead has an inset clip
  Rect clip_controls[SEQUENCE_CONTROLS];  // under the lanes
  Rect clip_lanes;
  Rect timeline_toolbar;
  Rect open_button;
  Rect save_button;
  Rect undo_button;
  Rect redo_button;
  Rect tab_buttons[KELVRA_TAB_COUNT];
  Rect library_rows;  // presses select the row under them, 106 px a row
  Rect library_cards[PROJECT_MAX_ROWS];
  uint64_t library_card_count;  // the cards that fit above the status bar
  int32_t timeline_top;
  int32_t layout_width;
  int32_t layout_height;
  double pixels_per_second;
  double control_scale;

  // --- resource meters
  uint64_t next_sample_ms;
  uint64_t next_publish_ms;
  uint64_t last_idle;
  uint64_t last_kernel;
  uint64_t last_user;
  uint64_t busy_time;
  uint64_t total_time;
  Meter buffer_meter;
  Meter memory_meter;
  Meter cpu_meter;
  uint8_t have_times;

  char media_folder[KELVRA_PATH_SIZE];
  char status[200];

  // --- editor: tabs, selections and transport
  uint32_t active_tab;
  uint32_t transport_mode;
  uint32_t layout_mode;
  int64_t selected_source;
  int64_t selected_clip;
  double source_playhead;
  double sample_elapsed;
  double sample_media_time;
  double timeline_playhead;
  double timeline_scroll;
  uint64_t tick_time_ms;
  uint64_t seek_serial;
  uint64_t start_deadline_ms;
  double lookahead_time;
  uint8_t start_pending;
  uint8_t source_range_active;

  // --- editor: drags
  uint32_t drag_kind;  // KELVRA_DRAG_*
  uint8_t drag_started;
  uint8_t pending_deselect;
  int32_t press_x;
  int32_t press_y;
  double drag_anchor;
  double drag_start_in;
  double drag_start_out;
  uint64_t range_click_ms;
  uint64_t clip_serial;
  uint64_t inset_clip_index;
  double snap_time;  // where the dragged clip snapped (timeline seconds); -1 when it did not
  Transform inset_memory;      // the inset last turned off, given back when it is turned on again
  char inset_memory_id[96];    // the id of its clip
  uint32_t hover_control;      // 1 + the SEQUENCE_* control the pointer rests on, 0 for none
  uint8_t close_after_save;    // the close question's "Save": the window closes once the save succeeds

  // --- editor: clip-name field
  uint8_t name_editing;
  char name_text[160];
  uint64_t name_caret;
  uint64_t name_anchor;
  uint64_t name_clip;
  char pending_clip_name[160];

  // --- editor: Render tab and publish panel
  uint64_t render_scroll;    // first job row shown on the Render tab
  uint64_t publish_job;      // the row the publish panel shows
  uint32_t publish_targets;  // the destinations ticked on it
  uint8_t publish_open;

  // --- editor: piano roll
  RollView roll;

  // --- edit history
  uint64_t edit_serial;
  uint64_t saved_serial;
  EditHistory history;

  // --- flags
  uint8_t playing;
  uint8_t follow_playhead;
  uint8_t source_missing[PROJECT_MAX_ROWS];  // the source's file was not found when the project opened
  uint8_t source_streams[PROJECT_MAX_ROWS];  // MEDIA_STREAMS_* of the source's file once probed, else 0
  uint8_t needs_redraw;
  uint8_t dirty;

  // --- library: posters, scrolling, search and import (editor/library*.cpp, import.cpp)
  PosterWorker* posters;   // made at start-up
  ImportWorker* importer;  // made by the first import
  Rect search_field;       // in the header
  Rect import_button;      // beside "LIBRARY"; "Cancel" while an import runs
  Rect library_scroll_bar; // empty while every card fits
  Rect library_thumb;
  uint64_t library_shown[PROJECT_MAX_ROWS];  // the sources the search lets through, in table order
  uint64_t library_shown_count;
  uint64_t library_scroll;      // the first of the shown sources at the top of the column
  uint64_t library_rows_fit;    // cards that fit above the status bar
  uint64_t posters_asked;       // sources whose posters were asked for, of project posters_project
  uint64_t posters_project;     // project_serial when they were asked
  uint64_t poster_serial;       // the poster worker's serial when last drawn
  int32_t thumb_grab;           // pointer offset inside the scroll bar's thumb while it is dragged
  char search_text[128];
  uint8_t search_focus;         // the search field has the keyboard
  uint8_t library_focus;        // the last press was on the library: Page Up and Page Down scroll it
  uint8_t thumb_drag;           // the scroll bar's thumb follows the pointer
  uint8_t cache_reported;       // the status line told that the poster cache cannot be written
  // --- editor: titles on the Text tab (the text field is the clip-name
  // field's, with name_clip naming the title while name_for_title is set)
  int64_t selected_title;
  uint64_t color_title;       // the title whose colour chooser is open
  uint64_t title_click_ms;    // the last press on a title's box, for double-clicks
  int64_t title_click;
  uint8_t name_for_title;
  Rect title_canvas;          // the primary canvas as the Text tab shows it
  Rect title_field;           // the box of the title being typed in
  Rect title_buttons[TEXT_BUTTONS];

  // --- editor: band editing
  Rect split_button;          // "Split" on the Timeline tab's toolbar
  double band_pps;            // the band's zoom in pixels a second; 0 before the first zoom
  uint32_t number_control;    // SEQUENCE_* + 1 of the control whose number is typed; 0 for none
  uint32_t number_click_control;
  uint64_t number_click_ms;
  int32_t number_click_x;     // where the first press of a double-click came
  int32_t number_click_y;
  uint8_t number_fresh;       // nothing typed yet: the first character replaces the number
  char number_text[24];
  StripCache* strips;         // the band's waveforms and pictures, decoded in the background
  uint64_t strips_seen;       // the cache's serial at the last frame
};

// Allocates the zero-filled record and sets the initial values; null when memory runs out.
KelvraApp* kelvra_app_create();
// Frees the record; the caller has destroyed what it points to.
void kelvra_app_free(KelvraApp* app);
// Sets the status line (cut to 199 bytes), asks for a redraw, returns the formatted length.
int kelvra_status(KelvraApp* app, const char* message);
