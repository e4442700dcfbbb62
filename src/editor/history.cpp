// Edit history: heap snapshots on two 100-step stacks.
#include "editor/history.h"

#include <cstdlib>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"

// The fixed head of a snapshot; the sources and clips in use follow it in the same block.
struct HistorySnapshot {
  int64_t selected_source;
  int64_t selected_clip;
  uint64_t source_count;
  uint64_t clip_count;
  uint64_t title_count;
  int64_t selected_title;
  double timeline_playhead;
  double source_playhead;
  double sample_media_time;
  double sample_elapsed;
  double timeline_scroll;
  uint32_t layout_mode;
  uint32_t canvas_mask;
  uint8_t snap_off;
  uint8_t loudness_off;
  double loudness_target;
  uint8_t follow_playhead;
  uint8_t source_range_active;
  uint32_t transport_mode;
  uint64_t edit_serial;
  Score score;
  RollView roll;
};

static_assert(sizeof(HistorySnapshot) % alignof(Source) == 0 && sizeof(Source) % alignof(Clip) == 0 &&
                  sizeof(Clip) % alignof(Title) == 0,
              "rows follow the head without padding");

namespace {

void* (*g_allocate)(size_t) = std::malloc;

Source* snapshot_sources(HistorySnapshot* snapshot) { return reinterpret_cast<Source*>(snapshot + 1); }

Clip* snapshot_clips(HistorySnapshot* snapshot) {
  return reinterpret_cast<Clip*>(snapshot_sources(snapshot) + snapshot->source_count);
}

Title* snapshot_titles(HistorySnapshot* snapshot) {
  return reinterpret_cast<Title*>(snapshot_clips(snapshot) + snapshot->clip_count);
}

// Pushes on a stack, dropping its oldest snapshot when it is full.
void push(HistorySnapshot** stack, uint64_t* count, HistorySnapshot* snapshot) {
  if (*count == HISTORY_MAX_STEPS) {
    std::free(stack[0]);
    std::memmove(stack, stack + 1, (HISTORY_MAX_STEPS - 1) * sizeof *stack);
    --*count;
  }
  stack[(*count)++] = snapshot;
}

void free_stack(HistorySnapshot** stack, uint64_t* count) {
  while (*count > 0) {
    std::free(stack[--*count]);
    stack[*count] = nullptr;
  }
}

void restore(KelvraApp* app, HistorySnapshot* snapshot) {
  Project* project = &app->project;
  project->source_count = snapshot->source_count;
  project->clip_count = snapshot->clip_count;
  std::memcpy(project->sources, snapshot_sources(snapshot), snapshot->source_count * sizeof(Source));
  std::memcpy(project->clips, snapshot_clips(snapshot), snapshot->clip_count * sizeof(Clip));
  project->title_count = snapshot->title_count;
  std::memcpy(project->titles, snapshot_titles(snapshot), snapshot->title_count * sizeof(Title));
  app->selected_title = snapshot->selected_title;
  app->selected_source = snapshot->selected_source;
  app->selected_clip = snapshot->selected_clip;
  app->timeline_playhead = snapshot->timeline_playhead;
  app->source_playhead = snapshot->source_playhead;
  app->sample_media_time = snapshot->sample_media_time;
  app->sample_elapsed = snapshot->sample_elapsed;
  app->timeline_scroll = snapshot->timeline_scroll;
  app->layout_mode = snapshot->layout_mode;
  project->canvas_mask = snapshot->canvas_mask;
  project->snap_off = snapshot->snap_off;
  project->loudness_off = snapshot->loudness_off;
  project->loudness_target = snapshot->loudness_target;
  app->follow_playhead = snapshot->follow_playhead;
  app->source_range_active = snapshot->source_range_active;
  project->score = snapshot->score;
  app->roll = snapshot->roll;
  if (app->active_tab == KELVRA_TAB_SAMPLING)
    app->transport_mode = snapshot->transport_mode;
  else
    app->transport_mode = app->active_tab == KELVRA_TAB_AUDIO ? TRANSPORT_SCORE : TRANSPORT_TIMELINE;
  app->edit_serial = snapshot->edit_serial;
}

}  // namespace

void history_set_allocator(void* (*allocate)(size_t)) { g_allocate = allocate != nullptr ? allocate : std::malloc; }

size_t history_snapshot_size(const KelvraApp* app) {
  return sizeof(HistorySnapshot) + app->project.source_count * sizeof(Source) +
         app->project.clip_count * sizeof(Clip) + app->project.title_count * sizeof(Title);
}

HistorySnapshot* history_capture(const KelvraApp* app) {
  const Project* project = &app->project;
  HistorySnapshot* snapshot = static_cast<HistorySnapshot*>(g_allocate(history_snapshot_size(app)));
  if (snapshot == nullptr) return nullptr;
  snapshot->selected_source = app->selected_source;
  snapshot->selected_clip = app->selected_clip;
  snapshot->source_count = project->source_count;
  snapshot->clip_count = project->clip_count;
  snapshot->title_count = project->title_count;
  snapshot->selected_title = app->selected_title;
  snapshot->timeline_playhead = app->timeline_playhead;
  snapshot->source_playhead = app->source_playhead;
  snapshot->sample_media_time = app->sample_media_time;
  snapshot->sample_elapsed = app->sample_elapsed;
  snapshot->timeline_scroll = app->timeline_scroll;
  snapshot->layout_mode = app->layout_mode;
  snapshot->canvas_mask = project->canvas_mask;
  snapshot->snap_off = project->snap_off;
  snapshot->loudness_off = project->loudness_off;
  snapshot->loudness_target = project->loudness_target;
  snapshot->follow_playhead = app->follow_playhead;
  snapshot->source_range_active = app->source_range_active;
  snapshot->transport_mode = app->transport_mode;
  snapshot->edit_serial = app->edit_serial;
  snapshot->score = project->score;
  snapshot->roll = app->roll;
  std::memcpy(snapshot_sources(snapshot), project->sources, project->source_count * sizeof(Source));
  std::memcpy(snapshot_clips(snapshot), project->clips, project->clip_count * sizeof(Clip));
  std::memcpy(snapshot_titles(snapshot), project->titles, project->title_count * sizeof(Title));
  return snapshot;
}

bool kelvra_history_begin(KelvraApp* app) {
  HistorySnapshot* snapshot = history_capture(app);
  if (snapshot == nullptr) {
    kelvra_status(app, "There is not enough memory to record this edit.");
    return false;
  }
  EditHistory* history = &app->history;
  push(history->undo, &history->undo_count, snapshot);
  free_stack(history->redo, &history->redo_count);
  app->dirty = 1;
  history->next_serial += 1;
  app->edit_serial = history->next_serial;
  return true;
}

void kelvra_history_step(KelvraApp* app, bool redo) {
  EditHistory* history = &app->history;
  HistorySnapshot** from = redo ? history->redo : history->undo;
  uint64_t* from_count = redo ? &history->redo_count : &history->undo_count;
  HistorySnapshot** to = redo ? history->undo : history->redo;
  uint64_t* to_count = redo ? &history->undo_count : &history->redo_count;
  if (*from_count == 0) return;
  HistorySnapshot* current = history_capture(app);
  if (current == nullptr) {
    kelvra_status(app, "There is not enough memory to restore this edit.");
    return;
  }
  HistorySnapshot* target = from[--*from_count];
  from[*from_count] = nullptr;
  push(to, to_count, current);

  restore(app, target);
  app->roll.duplicate_region = -1;
  app->previewed_canvases = 0;
  kelvra_halt(app);
  app->dirty = app->edit_serial != app->saved_serial;
  kelvra_seek(app);
  kelvra_sequence_end(app);
  std::free(target);
  kelvra_status(app, redo ? "Redid the last edit." : "Undid the last edit.");
}

void kelvra_history_clear(KelvraApp* app) {
  free_stack(app->history.undo, &app->history.undo_count);
  free_stack(app->history.redo, &app->history.redo_count);
}
