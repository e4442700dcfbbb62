// Undo and redo by whole snapshots of the editable state.
//
// Every editor calls kelvra_history_begin before it changes the document; a
// drag calls it once, when it first moves. Undo and redo swap the current
// state with the top snapshot of one stack. Serials tell whether the state
// differs from what was last saved.
#pragma once

#include <cstddef>

struct KelvraApp;
struct HistorySnapshot;

HistorySnapshot* history_capture(const KelvraApp* app);
bool kelvra_history_begin(KelvraApp* app);
void kelvra_history_step(KelvraApp* app, bool redo);
void kelvra_history_clear(KelvraApp* app);

// Size in bytes of a snapshot of the current state.
size_t history_snapshot_size(const KelvraApp* app);
// Swaps the allocator snapshots come from (null restores malloc); tests use it
// to run out of memory on purpose.
void history_set_allocator(void* (*allocate)(size_t));
