// Score operations: tempo, end, instrument names, region lookup and duplication.
#include "project/score.h"

#include <algorithm>
#include <cmath>
#include <cstring>

void kelvra_score_defaults(Score* score) {
  std::memset(score, 0, sizeof *score);
  score->bpm = 120.0;
  score->master = 0.85f;
  score->rolls = 1;
}

double kelvra_score_bpm(const Score* score) {
  double bpm = score->bpm;
  return bpm >= 20.0 && bpm <= 400.0 ? bpm : 120.0;
}

double kelvra_score_end(const Score* score) {
  double end = 0.0;
  for (uint64_t i = 0; i < score->region_count; ++i) {
    if (score->regions[i].end > end) end = score->regions[i].end;
  }
  for (uint64_t i = 0; i < score->note_count; ++i) {
    const ScoreNote& note = score->notes[i];
    if (note.region != SCORE_FREE_NOTE) continue;
    if (note.beat + note.length > end) end = note.beat + note.length;
  }
  return end;
}

const char* kelvra_score_name(uint32_t instrument) {
  static const char* const names[] = {"Piano", "Electric Keys", "Organ", "Bass", "Bell", "Drum Kit"};
  return instrument <= SCORE_DRUM_KIT ? names[instrument] : names[SCORE_PIANO];
}

bool kelvra_score_note_span(const Score* score, const ScoreNote& note, double* start, double* end) {
  *start = note.beat;
  *end = note.beat + note.length;
  if (note.region == SCORE_FREE_NOTE || note.region >= score->region_count) return true;
  const ScoreRegion& region = score->regions[note.region];
  if (note.key < region.low || note.key > region.high) return false;
  *start = std::max(*start, region.start);
  *end = std::min(*end, region.end);
  return true;
}

uint64_t kelvra_score_region_at(const Score* score, uint64_t roll, double beat, uint32_t key) {
  for (uint64_t i = score->region_count; i-- > 0;) {
    const ScoreRegion& region = score->regions[i];
    if (region.roll == roll && region.start <= beat && beat < region.end && region.low <= key &&
        key <= region.high)
      return i;
  }
  return UINT64_MAX;
}

bool kelvra_score_can_duplicate(const Score* score, uint64_t region, uint64_t roll, double start) {
  if (score->region_count >= SCORE_MAX_REGIONS || region >= score->region_count ||
      roll >= score->rolls || !std::isfinite(start) || start < 0.0)
    return false;
  const ScoreRegion& source = score->regions[region];
  if (source.end + (start - source.start) > SCORE_MAX_BEATS) return false;
  uint64_t owned = 0;
  for (uint64_t i = 0; i < score->note_count; ++i) owned += score->notes[i].region == region;
  return owned <= SCORE_MAX_NOTES - score->note_count;
}

bool kelvra_score_duplicate(Score* score, uint64_t region, uint64_t roll, double start) {
  if (!kelvra_score_can_duplicate(score, region, roll, start)) return false;
  const ScoreRegion source = score->regions[region];
  const double shift = start - source.start;
  const uint64_t existing = score->note_count;
  const uint64_t copy = score->region_count++;
  score->regions[copy] = source;
  score->regions[copy].start = start;
  score->regions[copy].end = source.end + shift;
  score->regions[copy].roll = static_cast<uint8_t>(roll);
  for (uint64_t i = 0; i < existing; ++i) {
    ScoreNote note = score->notes[i];
    if (note.region != region || note.beat + shift < 0.0) continue;
    note.beat += shift;
    note.region = static_cast<uint16_t>(copy);
    note.roll = static_cast<uint8_t>(roll);
    score->notes[score->note_count++] = note;
  }
  return true;
}
