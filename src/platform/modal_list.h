// The window layer's own modal list (popup menus and the fallback file picker).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ui.h"

struct ModalListView {
  const char* caption;      // window caption of a dialog
  const char* title;        // a header line above the rows, or null
  const char* const* rows;
  uint64_t row_count;
  char* field;              // one editable line of text, or null
  size_t field_size;
  uint64_t back_row;        // the row Backspace on an empty field chooses (UINT64_MAX: none)
  bool single_click;        // a single click chooses a row (otherwise a double click)
};

enum ModalResult { MODAL_CANCEL, MODAL_ROW, MODAL_FIELD };

// Runs the list until a row is chosen (MODAL_ROW, its index in `chosen`), the
// field is accepted with Enter (MODAL_FIELD) or the list is dismissed.
// (x, y) is a client point of `owner` for a popup; a dialog is centred.
ModalResult ui_modal_list_run(UiWindow* owner, int32_t x, int32_t y, bool popup, const ModalListView* view,
                              uint64_t* chosen);
