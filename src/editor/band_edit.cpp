// Band editing: trims, splits, deletes, zoom, the position wheel, typed
// numbers and title spans. Times on the band follow the drawing: a time t is
// at x = lanes x + round((t - scroll) x pixels per second).
//
// Index:
//   (top)     geometry, snapping, the pieces of a split
//   [press]   kelvra_band_press, kelvra_band_handle
//   [drag]    kelvra_band_drag
//   [edits]   kelvra_band_split, kelvra_band_delete
//   [view]    kelvra_band_zoom, kelvra_band_wheel
//   [number]  kelvra_number_press, kelvra_number_input
#include "editor/band.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "editor/app.h"
#include "editor/editor.h"
#include "editor/history.h"
#include "editor/text_tab.h"
#include "editor/workspace.h"
#include "platform/clock.h"
#include "platform/ui.h"
#include "project/timeline_map.h"

namespace {

constexpr int32_t kEdgeGrab = 5;         // pixels either side of an edge that take it
constexpr double kSnapPixels = 8.0;      // as far as a moved clip snaps
constexpr double kMinTitle = 0.1;        // the shortest span a title's box is dragged to
constexpr double kZoomStep = 1.25;       // per wheel notch
constexpr uint64_t kDoubleClickMs = 419;
constexpr double kEpsilon = 1e-6;

double round_to(double value, double per) { return std::round(value * per) / per; }

double pointer_time(const KelvraApp* app, int32_t x) {
  return std::max((x - app->clip_lanes.x) / app->pixels_per_second + app->timeline_scroll, 0.0);
}

struct Span {
  int32_t x;
  int32_t width;
};

Span span_of(const KelvraApp* app, double at, double length) {
  const double pps = app->pixels_per_second;
  return Span{app->clip_lanes.x + kelvra_round((at - app->timeline_scroll) * pps),
              std::max(kelvra_round(length * pps), 3)};
}

// Which end of a box of `span` the pointer takes: 1 the start, 2 the end, 3
// the body, 0 none. The grab narrows on small boxes so that they can still be moved.
uint32_t edge_under(Span span, int32_t px) {
  const int32_t grab = std::min(kEdgeGrab, span.width / 3);
  const int32_t to_start = std::abs(px - span.x);
  const int32_t to_end = std::abs(px - (span.x + span.width));
  if (std::min(to_start, to_end) <= grab) return to_start <= to_end ? 1 : 2;
  return px >= span.x && px < span.x + span.width ? 3 : 0;
}

Clip* selected_clip(KelvraApp* app) {
  return static_cast<uint64_t>(app->selected_clip) < app->project.clip_count ? &app->project.clips[app->selected_clip]
                                                                               : nullptr;
}

double passes(const Clip* clip) { return clip->loop ? std::max<uint32_t>(clip->loops, 1) : 1; }

// The latest a trimmed clip's range may end: its source's end, or where it
// ended when the source's length is not known.
double source_end(const KelvraApp* app, const Clip* clip) {
  const Project& project = app->project;
  if (!clip->music && static_cast<uint64_t>(clip->source) < project.source_count &&
      project.sources[clip->source].duration > 0)
    return project.sources[clip->source].duration;
  return app->drag_start_out;
}

// `edge` moved to the nearest beat of the score or edge of another clip
// within reach, the point noted for the drawing; `edge` itself otherwise.
double snap_edge(KelvraApp* app, const Clip* clip, double edge) {
  const Project& project = app->project;
  const double reach = kSnapPixels / app->pixels_per_second;
  const double beat = 60.0 / kelvra_score_bpm(&project.score);
  double best = edge;
  double best_distance = reach;
  const auto consider = [&](double point) {
    const double distance = std::fabs(point - edge);
    if (distance <= best_distance && point >= 0) {
      best_distance = distance;
      best = point;
    }
  };
  consider(std::round(edge / beat) * beat);
  for (uint64_t i = 0; i < project.clip_count; ++i) {
    const Clip& other = project.clips[i];
    if (&other == clip) continue;
    consider(other.at);
    consider(other.at + kelvra_clip_length(&other));
  }
  if (best != edge) app->snap_time = best;
  return best;
}

// The title row's box under the pointer: its index and which part, or -1.
int64_t title_under(const KelvraApp* app, const UiInput* event, uint32_t* part) {
  const Project& project = app->project;
  const int32_t dy = event->y - app->clip_lanes.y;
  if (dy < 106 || dy >= 128) return -1;
  for (uint64_t i = project.title_count; i-- > 0;) {
    const Title& title = project.titles[i];
    const uint32_t under = edge_under(span_of(app, title.at, title.duration), event->x);
    if (under == 0) continue;
    *part = under;
    return static_cast<int64_t>(i);
  }
  return -1;
}

// The clip whose edge is under the pointer on a lane row: its index and
// which edge (1 start, 2 end), or -1.
int64_t clip_edge_under(const KelvraApp* app, const UiInput* event, uint32_t* edge) {
  const Project& project = app->project;
  const int32_t dy = event->y - app->clip_lanes.y;
  if (dy <= 17 || dy >= 106) return -1;
  const uint32_t lane = static_cast<uint32_t>(3 - (dy - 18) / 22);
  for (uint64_t i = project.clip_count; i-- > 0;) {
    const Clip& clip = project.clips[i];
    if (std::min<uint32_t>(clip.lane, 3) != lane) continue;
    const uint32_t under = edge_under(span_of(app, clip.at, kelvra_clip_length(&clip)), event->x);
    if (under == 3) return -1;  // the body of the clip on top: a move
    if (under == 0) continue;
    *edge = under;
    return static_cast<int64_t>(i);
  }
  return -1;
}

// One clip a split makes: a range played `loops` times from `at`.
struct Piece {
  double in;
  double out;
  double at;
  uint32_t loops;
};

// The pieces that play as `clip` does when cut `u` seconds after its start:
// whole passes before the cut loop as before, the pass the cut falls in
// becomes its two parts, and whole passes after it loop again. Two pieces,
// or up to four when a looped clip is cut inside a middle pass.
uint32_t split_pieces(const Clip& clip, double u, Piece* out) {
  const double pass = clip.out - clip.in;
  const uint32_t total = static_cast<uint32_t>(passes(&clip));
  uint32_t before = static_cast<uint32_t>(std::floor(u / pass + kEpsilon));
  double into = u - before * pass;
  if (into < kEpsilon) into = 0;
  if (pass - into < kEpsilon) {
    before += 1;
    into = 0;
  }
  uint32_t n = 0;
  if (before > 0) out[n++] = Piece{clip.in, clip.out, clip.at, before};
  if (into > 0) {
    out[n++] = Piece{clip.in, clip.in + into, clip.at + before * pass, 1};
    out[n++] = Piece{clip.in + into, clip.out, clip.at + u, 1};
  }
  const uint32_t used = before + (into > 0 ? 1 : 0);
  if (total > used) out[n++] = Piece{clip.in, clip.out, clip.at + used * pass, total - used};
  return n;
}

}  // namespace

// ------------------------------------------------------------------- [press]

uint32_t kelvra_band_handle(const KelvraApp* app, const UiInput* event) {
  if (!kelvra_hit(app->clip_lanes, event)) return KELVRA_DRAG_NONE;
  uint32_t part = 0;
  if (title_under(app, event, &part) >= 0)
    return part == 1 ? KELVRA_DRAG_TITLE_START : part == 2 ? KELVRA_DRAG_TITLE_END : KELVRA_DRAG_TITLE_SHIFT;
  if (clip_edge_under(app, event, &part) >= 0) return part == 1 ? KELVRA_DRAG_TRIM_IN : KELVRA_DRAG_TRIM_OUT;
  return KELVRA_DRAG_NONE;
}

bool kelvra_band_press(KelvraApp* app, const UiInput* event) {
  uint32_t part = 0;
  const int64_t title = title_under(app, event, &part);
  if (title >= 0) {
    const Title& box = app->project.titles[title];
    app->selected_title = title;
    app->drag_kind = part == 1 ? KELVRA_DRAG_TITLE_START : part == 2 ? KELVRA_DRAG_TITLE_END : KELVRA_DRAG_TITLE_SHIFT;
    app->press_x = event->x;
    app->press_y = event->y;
    app->drag_anchor = pointer_time(app, event->x) - box.at;
    app->drag_start_out = box.at + box.duration;
    return true;
  }
  const int64_t index = clip_edge_under(app, event, &part);
  if (index < 0) return false;
  if (index != app->selected_clip) kelvra_select_clip(app, static_cast<uint64_t>(index));
  const Clip& clip = app->project.clips[index];
  app->drag_kind = part == 1 ? KELVRA_DRAG_TRIM_IN : KELVRA_DRAG_TRIM_OUT;
  app->press_x = event->x;
  app->press_y = event->y;
  app->drag_anchor = clip.at;
  app->drag_start_in = clip.in;
  app->drag_start_out = clip.out;
  return true;
}

// -------------------------------------------------------------------- [drag]

void kelvra_band_drag(KelvraApp* app, const UiInput* event) {
  const uint32_t kind = app->drag_kind;
  const double t = round_to(pointer_time(app, event->x), 100);
  if (kind == KELVRA_DRAG_TITLE_START || kind == KELVRA_DRAG_TITLE_END || kind == KELVRA_DRAG_TITLE_SHIFT) {
    if (static_cast<uint64_t>(app->selected_title) >= app->project.title_count) return;
    Title* title = &app->project.titles[app->selected_title];
    if (kind == KELVRA_DRAG_TITLE_START) {
      const double end = app->drag_start_out;
      title->at = std::clamp(t, 0.0, std::max(end - kMinTitle, 0.0));
      title->duration = end - title->at;
    } else if (kind == KELVRA_DRAG_TITLE_END) {
      title->duration = std::max(t - title->at, kMinTitle);
    } else {
      title->at = std::max(round_to(pointer_time(app, event->x) - app->drag_anchor, 100), 0.0);
    }
    kelvra_sequence_end(app);
    app->dirty = 1;
    return;
  }
  Clip* clip = selected_clip(app);
  if (clip == nullptr || (kind != KELVRA_DRAG_TRIM_IN && kind != KELVRA_DRAG_TRIM_OUT)) return;
  app->snap_time = -1;
  const double edge = app->project.snap_off || event->shift ? t : snap_edge(app, clip, t);
  const double n = passes(clip);
  if (kind == KELVRA_DRAG_TRIM_OUT) {
    const double lowest = clip->in + BAND_MIN_PASS;
    clip->out = std::clamp(clip->in + (edge - clip->at) / n, lowest, std::max(source_end(app, clip), lowest));
  } else {
    const double at = app->drag_anchor;
    const double in = app->drag_start_in;
    const double out = app->drag_start_out;
    const double lowest = std::max(0.0, in - at / n);
    clip->in = std::clamp(in + (edge - at) / n, std::min(lowest, out - BAND_MIN_PASS), out - BAND_MIN_PASS);
    clip->out = out;
    clip->at = std::max(at + (clip->in - in) * n, 0.0);
  }
  kelvra_sequence_end(app);
  app->dirty = 1;
}

// ------------------------------------------------------------------- [edits]

void kelvra_band_split(KelvraApp* app) {
  Clip* clip = selected_clip(app);
  if (clip == nullptr) {
    kelvra_status(app, "Select a clip to split it at the playhead.");
    return;
  }
  const double length = kelvra_clip_length(clip);
  const double u = app->timeline_playhead - clip->at;
  const double pass = clip->out - clip->in;
  if (!(pass > 0) || u < BAND_MIN_PASS / 2 || u > length - BAND_MIN_PASS / 2) {
    kelvra_status(app, "Put the playhead inside the selected clip to split it there.");
    return;
  }
  Piece pieces[4];
  const uint32_t count = split_pieces(*clip, u, pieces);
  // A fade lasts at most half a pass; the first piece must hold the whole
  // fade-in and the last the whole fade-out, each within half of its own pass.
  const double fade_in = std::min(clip->fade_in, pass / 2);
  const double fade_out = std::min(clip->fade_out, pass / 2);
  const Piece& first = pieces[0];
  const Piece& last = pieces[count - 1];
  if (fade_in > (first.out - first.in) / 2 + kEpsilon || fade_out > (last.out - last.in) / 2 + kEpsilon) {
    kelvra_status(app, "The playhead is inside the clip's fade, so it was not split.");
    return;
  }
  Project& project = app->project;
  if (project.clip_count + count - 1 > PROJECT_MAX_ROWS) {
    kelvra_status(app, "The timeline holds 256 clips, the most it can.");
    return;
  }
  if (!kelvra_history_begin(app)) return;
  const uint64_t index = static_cast<uint64_t>(app->selected_clip);
  const Clip original = project.clips[index];
  // The pieces follow the clip in the table, so they stack as it did.
  std::memmove(&project.clips[index + count], &project.clips[index + 1],
               (project.clip_count - index - 1) * sizeof(Clip));
  for (uint32_t i = 0; i < count; ++i) {
    Clip& piece = project.clips[index + i];
    piece = original;  // name, source, gain, lane, switches, placement and the file's own members
    piece.in = pieces[i].in;
    piece.out = pieces[i].out;
    piece.at = pieces[i].at;
    piece.loops = pieces[i].loops;
    piece.loop = pieces[i].loops > 1 || (original.loop && pieces[i].out - pieces[i].in == pass);
    piece.fade_in = i == 0 ? fade_in : 0;
    piece.fade_out = i == count - 1 ? fade_out : 0;
    if (i > 0) {
      app->clip_serial += 1;
      std::snprintf(piece.id, sizeof piece.id, "v3-%llu-%llu", static_cast<unsigned long long>(ui_time_ms()),
                    static_cast<unsigned long long>(app->clip_serial));
    }
  }
  project.clip_count += count - 1;
  kelvra_sequence_end(app);
  app->dirty = 1;
  kelvra_status(app, count == 2 ? "Split the clip at the playhead."
                                : "Split the clip at the playhead; its whole loops on either side stay loops.");
}

void kelvra_band_delete(KelvraApp* app) {
  if (app->active_tab == KELVRA_TAB_TEXT && static_cast<uint64_t>(app->selected_title) < app->project.title_count) {
    kelvra_title_delete(app);
    return;
  }
  if (selected_clip(app) == nullptr) return;
  sequence_remove(app);
  kelvra_sequence_end(app);
}

// -------------------------------------------------------------------- [view]

bool kelvra_band_zoom(KelvraApp* app, const UiInput* event) {
  if (!event->ctrl || event->wheel == 0 || !kelvra_hit(app->clip_lanes, event)) return false;
  const double pps = app->pixels_per_second;
  const double wanted = std::clamp(pps * std::pow(kZoomStep, event->wheel / 120.0), BAND_MIN_PPS, BAND_MAX_PPS);
  const double offset = (event->x - app->clip_lanes.x) / pps;  // seconds from the left edge to the pointer
  const double pointer = app->timeline_scroll + offset;
  app->band_pps = wanted;
  app->pixels_per_second = wanted;
  app->timeline_scroll = std::max(pointer - (event->x - app->clip_lanes.x) / wanted, 0.0);
  app->needs_redraw = 1;
  return true;
}

bool kelvra_band_wheel(KelvraApp* app, const UiInput* event) {
  if (event->wheel == 0 || selected_clip(app) == nullptr ||
      !kelvra_hit(app->clip_controls[SEQUENCE_POSITION], event))
    return false;
  if (!kelvra_history_begin(app)) return true;
  Clip* clip = selected_clip(app);
  const double step = event->shift ? 0.01 : 0.1;
  clip->at = std::max(round_to(clip->at + (event->wheel > 0 ? step : -step), 100), 0.0);
  kelvra_sequence_end(app);
  return true;
}

// ------------------------------------------------------------------ [number]

namespace {

constexpr uint32_t kNumbered[] = {SEQUENCE_POSITION, SEQUENCE_FADE_IN, SEQUENCE_FADE_OUT, SEQUENCE_GAIN,
                                  SEQUENCE_LOOPS};

double gain_decibels(double gain) { return 20 * std::log10(std::max(gain, 0.01)); }

void close_number(KelvraApp* app) {
  app->number_control = 0;
  app->needs_redraw = 1;
}

// Stores the typed number in the control's field of the selected clip: one
// undo step when it changes anything; text that is no number is refused.
void apply_number(KelvraApp* app) {
  const uint32_t control = app->number_control - 1;
  close_number(app);
  Clip* clip = selected_clip(app);
  if (clip == nullptr) return;
  char text[sizeof app->number_text];
  std::snprintf(text, sizeof text, "%s", app->number_text);
  for (char* c = text; *c != '\0'; ++c)
    if (*c == ',') *c = '.';
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value)) {
    kelvra_status(app, "Type a number, such as 2.5; nothing was changed.");
    return;
  }
  Clip changed = *clip;
  switch (control) {
    case SEQUENCE_POSITION: changed.at = round_to(std::clamp(value, 0.0, PROJECT_NUMBER_LIMIT), 100); break;
    case SEQUENCE_FADE_IN: changed.fade_in = round_to(std::clamp(value, 0.0, 5.0), 100); break;
    case SEQUENCE_FADE_OUT: changed.fade_out = round_to(std::clamp(value, 0.0, 5.0), 100); break;
    case SEQUENCE_GAIN: changed.gain = std::pow(10.0, std::round(std::clamp(value, -10.0, 10.0) * 4) / 80); break;
    default:
      changed.loops = static_cast<uint32_t>(std::clamp(std::round(value), 1.0, 101.0));
      if (changed.loops > 1) changed.loop = 1;
      break;
  }
  if (std::memcmp(&changed, clip, sizeof changed) == 0 || !kelvra_history_begin(app)) return;
  *selected_clip(app) = changed;
  kelvra_sequence_end(app);
}

}  // namespace

bool kelvra_number_press(KelvraApp* app, const UiInput* event) {
  Clip* clip = selected_clip(app);
  if (clip == nullptr || event->pointer != UI_POINTER_PRESS) return false;
  uint32_t over = SEQUENCE_CONTROLS;
  for (uint32_t control : kNumbered)
    if (kelvra_hit(app->clip_controls[control], event)) over = control;
  if (over == SEQUENCE_CONTROLS) return false;
  const uint64_t now = ui_time_ms();
  const bool again = app->number_click_control == over + 1 && now - app->number_click_ms <= kDoubleClickMs &&
                     std::abs(event->x - app->number_click_x) <= 3 && std::abs(event->y - app->number_click_y) <= 3;
  if (!again) {
    app->number_click_control = over + 1;
    app->number_click_ms = now;
    app->number_click_x = event->x;
    app->number_click_y = event->y;
    return false;  // the first press does what it always does (the slider's puts the clip there)
  }
  app->number_click_control = 0;
  switch (over) {
    case SEQUENCE_POSITION: std::snprintf(app->number_text, sizeof app->number_text, "%.2f", clip->at); break;
    case SEQUENCE_FADE_IN: std::snprintf(app->number_text, sizeof app->number_text, "%.2f", clip->fade_in); break;
    case SEQUENCE_FADE_OUT: std::snprintf(app->number_text, sizeof app->number_text, "%.2f", clip->fade_out); break;
    case SEQUENCE_GAIN:
      std::snprintf(app->number_text, sizeof app->number_text, "%.2f", gain_decibels(clip->gain));
      break;
    default: std::snprintf(app->number_text, sizeof app->number_text, "%u", clip->loops); break;
  }
  app->number_control = over + 1;
  app->number_fresh = 1;
  app->drag_kind = KELVRA_DRAG_NONE;
  app->needs_redraw = 1;
  return true;
}

bool kelvra_number_input(KelvraApp* app, const UiInput* event) {
  if (app->number_control == 0) return false;
  const uint32_t control = app->number_control - 1;
  if (event->close) {
    apply_number(app);
    return false;
  }
  if (event->pointer == UI_POINTER_PRESS) {
    if (kelvra_hit(app->clip_controls[control], event)) return true;
    apply_number(app);
    return false;
  }
  if (event->key == UI_KEY_ESCAPE) {
    close_number(app);
    return true;
  }
  if (event->ctrl && (event->key == UI_KEY_A + ('Z' - 'A') || event->key == UI_KEY_A + ('Y' - 'A') ||
                      event->key == UI_KEY_A + ('S' - 'A'))) {
    apply_number(app);
    return false;
  }
  if (event->character == 9 || event->character == 10) {
    apply_number(app);
    return true;
  }
  const bool fresh = app->number_fresh != 0;
  const uint64_t length = std::strlen(app->number_text);
  const char c = static_cast<char>(event->character);
  if (event->character == 8) {
    if (fresh) app->number_text[0] = '\0';
    else if (length > 0) app->number_text[length - 1] = '\0';
    app->number_fresh = 0;
  } else if (!event->ctrl && ((c >= '0' && c <= '9') || c == '.' || c == ',' || c == '-')) {
    if (fresh) {
      app->number_text[0] = c;
      app->number_text[1] = '\0';
    } else if (length + 1 < sizeof app->number_text) {
      app->number_text[length] = c;
      app->number_text[length + 1] = '\0';
    }
    app->number_fresh = 0;
  } else if (event->pointer != UI_POINTER_NONE && event->pointer != UI_POINTER_WHEEL) {
    return false;  // moves and releases go on
  }
  app->needs_redraw = 1;
  return true;
}
