// Input on the Audio tab: regions and notes drawn on the rolls, a region's
// end stretched, notes deleted and instruments chosen with the right button,
// a region duplicated to another place, the toolbar (play, metronome, tempo,
// mode, duplicate, instrument, zoom, rolls), the scroll bar and the wheel.
// Every change to the score opens an undo step first and is dropped when
// that fails.
//
// Index:
//   [points]   piano_point, scroll_thumb, audio_editor_tempo
//   [menu]     audio_editor_menu
//   [toolbar]  audio_editor_toolbar
//   [press]    audio_editor_press, audio_editor_finish
//   [input]    audio_editor_input
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/piano_roll.h"
#include "platform/ui.h"

namespace {

constexpr double kQuarter = 0.25;
constexpr int32_t kEndGrip = 5;  // pixels either side of a region's end that take it
constexpr uint32_t kMaxInstruments = 4;
constexpr uint32_t kInstrumentCount = 6;
constexpr uint16_t kInstrumentCommands = 16;  // menu commands from here add or remove an instrument

bool valid_region(const KelvraApp* app, int64_t region) {
  return region >= 0 && static_cast<uint64_t>(region) < app->project.score.region_count;
}

int64_t as_region(uint64_t index) { return index == UINT64_MAX ? -1 : static_cast<int64_t>(index); }

// The tempo slider under client x. The drag's one undo step opens with its
// first change, so a press that leaves the tempo as it was records nothing.
void slide_tempo(KelvraApp* app, const RollLayout* layout, int32_t x) {
  const double tempo = audio_tempo_at(layout, x);
  if (tempo == kelvra_score_bpm(&app->project.score)) return;
  if (!app->roll.tempo_step) {
    if (!kelvra_history_begin(app)) return;
    app->roll.tempo_step = 1;
  }
  audio_editor_tempo(app, tempo);
}

}  // namespace

// ------------------------------------------------------------------ [points]

bool piano_point(const KelvraApp* app, const RollLayout* layout, const UiInput* event, uint64_t* roll,
                 uint8_t* key) {
  const Rect area = layout->rolls;
  if (!kelvra_hit(area, event) || event->x < layout->grid_x) return false;
  const int32_t d = event->y - area.y;
  const int32_t height = audio_roll_height();
  const uint64_t r = app->roll.first_roll + static_cast<uint64_t>(d / height);
  const int32_t row = d % height - 19;
  if (r >= KELVRA_ROLL_COUNT || row < 0 || row > 215) return false;
  *roll = r;
  *key = audio_key_at(app, r, row);
  return true;
}

double scroll_thumb(const KelvraApp* app, const RollLayout* layout, int32_t x) {
  const Rect track = layout->scroll_track;
  const double limit = audio_scroll_limit(app, layout);
  const double total = layout->grid_width / app->roll.beat_width + limit;
  return std::clamp((x - track.x - app->roll.thumb_grab) / track.width * total, 0.0, limit);
}

void audio_editor_tempo(KelvraApp* app, double tempo) {
  Score& score = app->project.score;
  tempo = std::clamp(tempo, 20.0, 400.0);
  const double old = kelvra_score_bpm(&score);
  if (tempo == old) return;
  const double q = old / tempo;
  score.bpm = tempo;
  app->roll.score_playhead *= q;
  Project& project = app->project;
  for (uint64_t i = 0; i < project.clip_count; ++i) {
    Clip& clip = project.clips[i];
    if (!clip.music) continue;
    clip.in *= q;
    clip.out *= q;
  }
  kelvra_sequence_end(app);
  kelvra_seek(app);
}

// -------------------------------------------------------------------- [menu]

void audio_editor_menu(KelvraApp* app, int32_t x, int32_t y) {
  const int64_t selected = app->roll.selected_region;
  if (!valid_region(app, selected) || app->window == nullptr) return;
  ScoreRegion& region = app->project.score.regions[selected];
  const uint32_t count = std::min<uint32_t>(region.instrument_count, kMaxInstruments);
  char texts[kMaxInstruments + kInstrumentCount][48];
  UiMenuEntry entries[kMaxInstruments + kInstrumentCount];
  uint64_t items = 0;
  for (uint32_t i = 0; i < count; ++i) {
    std::snprintf(texts[items], sizeof texts[items], "%s%s", i == region.active ? "* " : "",
                  kelvra_score_name(region.instruments[i]));
    entries[items] = UiMenuEntry{texts[items], i + 1};
    ++items;
  }
  for (uint32_t instrument = 0; instrument < kInstrumentCount; ++instrument) {
    const bool has = std::find(region.instruments, region.instruments + count, instrument) != region.instruments + count;
    const char* verb = has && count > 1 ? "Remove" : !has && count < kMaxInstruments ? "Add" : nullptr;
    if (verb == nullptr) continue;
    std::snprintf(texts[items], sizeof texts[items], "%s %s", verb, kelvra_score_name(instrument));
    entries[items] = UiMenuEntry{texts[items], kInstrumentCommands + instrument};
    ++items;
  }
  const uint64_t command = ui_popup_menu(app->window, x, y, entries, items);
  if (command == 0) return;
  if (command < kInstrumentCommands) {
    const uint32_t position = static_cast<uint32_t>(command - 1);
    if (position < count && position != region.active && kelvra_history_begin(app))
      app->project.score.regions[selected].active = static_cast<uint8_t>(position);
    return;
  }
  const uint32_t instrument = static_cast<uint32_t>(command - kInstrumentCommands);
  if (instrument >= kInstrumentCount || !kelvra_history_begin(app)) return;
  ScoreRegion& edited = region;
  uint8_t* at = std::find(edited.instruments, edited.instruments + count, instrument);
  if (at != edited.instruments + count) {
    if (count <= 1) return;
    const uint32_t position = static_cast<uint32_t>(at - edited.instruments);
    std::copy(at + 1, edited.instruments + count, at);
    edited.instrument_count = static_cast<uint8_t>(count - 1);
    if (position < edited.active) edited.active -= 1;
    edited.active = static_cast<uint8_t>(std::min<uint32_t>(edited.active, edited.instrument_count - 1));
  } else if (count < kMaxInstruments) {
    edited.instruments[count] = static_cast<uint8_t>(instrument);
    edited.instrument_count = static_cast<uint8_t>(count + 1);
    edited.active = static_cast<uint8_t>(count);
  }
}

// ----------------------------------------------------------------- [toolbar]

bool audio_editor_toolbar(KelvraApp* app, const RollLayout* layout, const UiInput* event) {
  RollView& view = app->roll;
  Score& score = app->project.score;
  if (kelvra_hit(layout->play, event)) {
    kelvra_toggle(app, TRANSPORT_SCORE);
  } else if (kelvra_hit(layout->metronome, event)) {
    if (!kelvra_history_begin(app)) return true;
    score.metronome = !score.metronome;
    if (app->playing && app->transport_mode == TRANSPORT_SCORE) kelvra_seek(app);
  } else if (kelvra_hit(layout->tempo_slider, event)) {
    view.roll_drag = ROLL_DRAG_TEMPO;
    view.tempo_step = 0;
    slide_tempo(app, layout, event->x);
  } else if (kelvra_hit(layout->mode, event)) {
    view.notes_mode = !view.notes_mode;
    if (view.duplicate_region >= 0) kelvra_status(app, "");  // the destination prompt is void
    view.duplicate_region = -1;
  } else if (kelvra_hit(layout->duplicate, event)) {
    if (!valid_region(app, view.selected_region)) return true;
    if (view.duplicate_region < 0) {
      view.duplicate_region = view.selected_region;
      kelvra_status(app, "Click the destination beat and roll.");
    } else {
      view.duplicate_region = -1;
      kelvra_status(app, "");
    }
  } else if (kelvra_hit(layout->instrument, event)) {
    audio_editor_menu(app, layout->instrument.x, layout->instrument.y + layout->instrument.height);
  } else if (kelvra_hit(layout->add_roll, event)) {
    if (score.rolls > SCORE_MAX_ROLLS - 1 || !kelvra_history_begin(app)) return true;
    score.rolls += 1;
    view.first_roll = std::max<uint64_t>(score.rolls, 2) - 2;
  } else if (kelvra_hit(layout->to_timeline, event)) {
    kelvra_place_score(app);
  } else if (kelvra_hit(layout->zoom_out, event) || kelvra_hit(layout->zoom_in, event)) {
    const double factor = kelvra_hit(layout->zoom_out, event) ? 0.8 : 1.25;
    view.beat_width = std::clamp(view.beat_width * factor, 12.0, 144.0);
    view.roll_scroll = std::min(view.roll_scroll, audio_scroll_limit(app, layout));
  } else {
    return kelvra_hit(layout->position, event) || kelvra_hit(layout->tempo, event);
  }
  return true;
}

// ------------------------------------------------------------------- [press]

void audio_editor_press(KelvraApp* app, const RollLayout* layout, const UiInput* event) {
  if (audio_editor_toolbar(app, layout, event)) return;
  RollView& view = app->roll;
  Score& score = app->project.score;
  if (kelvra_hit(layout->scroll_track, event)) {
    const Rect track = layout->scroll_track;
    const double visible = layout->grid_width / view.beat_width;
    const double total = audio_scroll_limit(app, layout) + visible;
    const double thumb = track.x + view.roll_scroll / total * track.width;
    const double width = visible / total * track.width;
    view.thumb_grab = event->x >= thumb && event->x < thumb + width ? event->x - thumb : width / 2;
    view.roll_drag = ROLL_DRAG_THUMB;
    view.roll_scroll = scroll_thumb(app, layout, event->x);
    return;
  }
  const double beat = audio_beat_at(app, layout, event->x);
  if (kelvra_hit(layout->ruler, event)) {
    view.score_playhead = beat * 60 / kelvra_score_bpm(&score);
    kelvra_seek(app);
    return;
  }
  uint64_t roll = 0;
  uint8_t key = 0;
  if (!piano_point(app, layout, event, &roll, &key) || roll > score.rolls) return;
  if (valid_region(app, view.duplicate_region) && roll < score.rolls) {
    const uint64_t source = static_cast<uint64_t>(view.duplicate_region);
    view.duplicate_region = -1;
    kelvra_status(app, "");
    // A copy that does not fit (regions, notes or beats) changes nothing and opens no step.
    if (kelvra_score_can_duplicate(&score, source, roll, beat) && kelvra_history_begin(app) &&
        kelvra_score_duplicate(&app->project.score, source, roll, beat)) {
      view.selected_region = static_cast<int64_t>(app->project.score.region_count - 1);
      kelvra_status(app, "Duplicated region and notes.");
    }
    return;
  }
  view.drag_roll = roll;
  view.drag_anchor_beat = view.drag_beat = beat;
  view.drag_anchor_key = view.drag_key = key;
  view.selected_region = as_region(kelvra_score_region_at(&score, roll, beat, key));
  if (view.notes_mode && roll < score.rolls) {
    view.roll_drag = ROLL_DRAG_NEW_NOTE;
    return;
  }
  if (score.region_count > 0) {
    if (event->shift) {
      view.roll_drag = ROLL_DRAG_NEW_REGION;
      return;
    }
    for (uint64_t i = score.region_count; i-- > 0;) {
      const ScoreRegion& region = score.regions[i];
      const double end_x = layout->grid_x + (region.end - view.roll_scroll) * view.beat_width;
      if (region.roll == roll && region.low <= key && key <= region.high && std::fabs(event->x - end_x) <= kEndGrip) {
        view.selected_region = static_cast<int64_t>(i);
        view.drag_beat = region.end;
        view.roll_drag = ROLL_DRAG_REGION_END;
        return;
      }
    }
  }
  if (view.selected_region < 0) view.roll_drag = ROLL_DRAG_NEW_REGION;
}

void audio_editor_finish(KelvraApp* app) {
  RollView& view = app->roll;
  const uint32_t drag = view.roll_drag;
  view.roll_drag = ROLL_DRAG_NONE;
  const Score& score = app->project.score;
  if (drag == ROLL_DRAG_NEW_REGION) {
    if ((view.drag_beat == view.drag_anchor_beat && view.drag_key == view.drag_anchor_key) ||
        score.region_count >= SCORE_MAX_REGIONS || view.drag_roll >= SCORE_MAX_ROLLS || !kelvra_history_begin(app))
      return;
    Score& edited = app->project.score;
    if (view.drag_roll >= edited.rolls) edited.rolls = view.drag_roll + 1;
    ScoreRegion& region = edited.regions[edited.region_count];
    region = ScoreRegion{};
    region.start = std::min(view.drag_anchor_beat, view.drag_beat);
    region.end = std::max(view.drag_anchor_beat, view.drag_beat) + kQuarter;
    region.low = std::min(view.drag_anchor_key, view.drag_key);
    region.high = std::max(view.drag_anchor_key, view.drag_key);
    region.roll = static_cast<uint8_t>(view.drag_roll);
    region.volume = 1;
    region.instrument_count = 1;
    region.instruments[0] = SCORE_PIANO;
    view.selected_region = static_cast<int64_t>(edited.region_count++);
  } else if (drag == ROLL_DRAG_REGION_END) {
    if (!valid_region(app, view.selected_region)) return;
    const ScoreRegion& region = score.regions[view.selected_region];
    const double end = std::max(view.drag_beat, region.start + kQuarter);
    if (end != region.end && kelvra_history_begin(app)) app->project.score.regions[view.selected_region].end = end;
  } else if (drag == ROLL_DRAG_NEW_NOTE) {
    if (view.drag_roll >= score.rolls || score.note_count >= SCORE_MAX_NOTES) return;
    const double start = std::min(view.drag_anchor_beat, view.drag_beat);
    double end = std::max(view.drag_anchor_beat, view.drag_beat) + kQuarter;
    const uint64_t region = kelvra_score_region_at(&score, view.drag_roll, start, view.drag_anchor_key);
    if (region != UINT64_MAX) end = std::min(score.regions[region].end, end);
    if (!kelvra_history_begin(app)) return;
    Score& edited = app->project.score;
    edited.notes[edited.note_count++] =
        ScoreNote{start, end - start, 0.8f, region == UINT64_MAX ? SCORE_FREE_NOTE : static_cast<uint16_t>(region),
                  static_cast<uint8_t>(view.drag_roll), view.drag_anchor_key};
  }
}

// ------------------------------------------------------------------- [input]

namespace {

void wheel(KelvraApp* app, const RollLayout* layout, const UiInput* event) {
  RollView& view = app->roll;
  Score& score = app->project.score;
  const int32_t w = event->wheel;
  if (w == 0) return;
  if (kelvra_hit(layout->tempo, event) || kelvra_hit(layout->tempo_slider, event)) {
    const double step = (event->shift ? 5 : 1) * (w > 0 ? 1 : -1);
    const double tempo = kelvra_score_bpm(&score) + step;
    if (tempo >= 20 && tempo <= 400 && kelvra_history_begin(app)) audio_editor_tempo(app, tempo);
    return;
  }
  const Rect area = layout->rolls;
  const bool rows = event->y >= area.y && event->y < area.y + area.height;
  if (!event->shift && rows && event->x < layout->grid_x) {
    const uint64_t roll = view.first_roll + static_cast<uint64_t>((event->y - area.y) / audio_roll_height());
    if (roll < score.rolls && roll < KELVRA_ROLL_COUNT)
      view.roll_top_keys[roll] = static_cast<uint8_t>(std::clamp(view.roll_top_keys[roll] + w / 20, 23, 127));
    return;
  }
  if (!event->shift && kelvra_hit(area, event) && score.rolls > 1) {
    const int64_t last = static_cast<int64_t>(score.rolls) - std::max<int64_t>(area.height / audio_roll_height(), 1);
    view.first_roll = static_cast<uint64_t>(
        std::clamp<int64_t>(static_cast<int64_t>(view.first_roll) - w / 120, 0, std::max<int64_t>(last, 0)));
    return;
  }
  view.roll_scroll = std::clamp(view.roll_scroll - w / 30.0, 0.0, audio_scroll_limit(app, layout));
}

// A right-button click on a key row: delete the note under it in notes
// mode, else choose the instruments of the region under it.
void context_click(KelvraApp* app, const RollLayout* layout, const UiInput* event) {
  uint64_t roll = 0;
  uint8_t key = 0;
  if (!piano_point(app, layout, event, &roll, &key)) return;
  const double beat = audio_beat_at(app, layout, event->x);
  RollView& view = app->roll;
  const Score& score = app->project.score;
  if (view.notes_mode) {
    for (uint64_t i = score.note_count; i-- > 0;) {
      const ScoreNote& note = score.notes[i];
      if (note.roll != roll || note.key != key) continue;
      // Only where the note shows and sounds.
      double start = 0;
      double end = 0;
      if (!kelvra_score_note_span(&score, note, &start, &end) || !(start <= beat && beat < end)) continue;
      if (!kelvra_history_begin(app)) return;
      Score& edited = app->project.score;
      std::copy(edited.notes + i + 1, edited.notes + edited.note_count, edited.notes + i);
      edited.note_count -= 1;
      return;
    }
    return;
  }
  view.selected_region = as_region(kelvra_score_region_at(&score, roll, beat, key));
  audio_editor_menu(app, event->x, event->y);
}

}  // namespace

bool audio_editor_input(KelvraApp* app, const UiInput* event) {
  RollLayout layout;
  audio_layout(&layout, app);
  if (layout.grid_width < 1 || layout.rolls.height < 1 || event->pointer == UI_POINTER_NONE) return false;
  RollView& view = app->roll;
  if (view.roll_drag == ROLL_DRAG_NONE && !kelvra_hit(app->main_panel, event)) return false;
  switch (event->pointer) {
    case UI_POINTER_PRESS:
      audio_editor_press(app, &layout, event);
      break;
    case UI_POINTER_MOVE:
      if (view.roll_drag == ROLL_DRAG_THUMB) {
        view.roll_scroll = scroll_thumb(app, &layout, event->x);
      } else if (view.roll_drag == ROLL_DRAG_TEMPO) {
        slide_tempo(app, &layout, event->x);
      } else if (view.roll_drag != ROLL_DRAG_NONE) {
        view.drag_beat = audio_beat_at(app, &layout, event->x);
        const int32_t band = static_cast<int32_t>(view.drag_roll - view.first_roll) * audio_roll_height();
        view.drag_key = audio_key_at(app, view.drag_roll, std::clamp(event->y - layout.rolls.y - 19 - band, 0, 215));
      }
      break;
    case UI_POINTER_RELEASE:
      if (view.roll_drag != ROLL_DRAG_NONE) audio_editor_finish(app);
      break;
    case UI_POINTER_WHEEL:
      wheel(app, &layout, event);
      break;
    case UI_POINTER_CONTEXT:
      context_click(app, &layout, event);
      break;
    default:
      break;
  }
  app->needs_redraw = 1;
  return true;
}
