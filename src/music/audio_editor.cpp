// Piano-roll view state and its reset. The Audio tab draws nothing over the
// empty panel and takes no input.
#include "music/audio_editor.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "app/app.h"

void audio_editor_reset(KelvraApp* app) {
  RollView* view = &app->roll;
  std::memset(view, 0, sizeof *view);
  view->selected_region = -1;
  view->duplicate_region = -1;
  view->beat_width = 36;
  const Score& score = app->project.score;
  int highest[KELVRA_ROLL_COUNT];
  std::fill(std::begin(highest), std::end(highest), -1);
  for (uint64_t i = 0; i < score.note_count; ++i) {
    const ScoreNote& note = score.notes[i];
    if (note.roll < KELVRA_ROLL_COUNT) highest[note.roll] = std::max<int>(highest[note.roll], note.key);
  }
  for (uint32_t roll = 0; roll < KELVRA_ROLL_COUNT; ++roll)
    view->roll_top_keys[roll] = static_cast<uint8_t>(highest[roll] < 0 ? 76 : std::clamp(highest[roll] + 3, 23, 127));
}

void audio_draw(KelvraApp*) {}

bool audio_editor_input(KelvraApp*, const UiInput*) { return false; }
