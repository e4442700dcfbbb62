// Field-by-field equality of the document records (padding bytes never count).
#pragma once

#include <cstring>
#include <string>

#include "project/project.h"
#include "project/score.h"

namespace kelvra_test {

inline std::string score_difference(const Score& a, const Score& b) {
  if (a.bpm != b.bpm || a.master != b.master || a.metronome != b.metronome || a.rolls != b.rolls)
    return "score head";
  if (a.region_count != b.region_count || a.note_count != b.note_count) return "score counts";
  for (uint64_t i = 0; i < a.region_count; ++i) {
    const ScoreRegion& x = a.regions[i];
    const ScoreRegion& y = b.regions[i];
    if (x.start != y.start || x.end != y.end || x.volume != y.volume || x.pan != y.pan || x.roll != y.roll ||
        x.low != y.low || x.high != y.high || x.instrument_count != y.instrument_count || x.active != y.active ||
        std::memcmp(x.instruments, y.instruments, x.instrument_count) != 0)
      return "region " + std::to_string(i);
  }
  for (uint64_t i = 0; i < a.note_count; ++i) {
    const ScoreNote& x = a.notes[i];
    const ScoreNote& y = b.notes[i];
    if (x.beat != y.beat || x.length != y.length || x.velocity != y.velocity || x.region != y.region ||
        x.roll != y.roll || x.key != y.key)
      return "note " + std::to_string(i);
  }
  return "";
}

// Clips compare without their document index, which moves with the file text.
inline bool same_clip(const Clip& a, const Clip& b) {
  return std::strcmp(a.id, b.id) == 0 && std::strcmp(a.name, b.name) == 0 && a.source == b.source &&
         a.in == b.in && a.out == b.out && a.at == b.at && a.fade_in == b.fade_in && a.fade_out == b.fade_out &&
         a.gain == b.gain && a.lane == b.lane && a.loops == b.loops && a.video == b.video && a.audio == b.audio &&
         a.loop == b.loop && a.music == b.music && a.transform.x == b.transform.x &&
         a.transform.y == b.transform.y && a.transform.scale == b.transform.scale &&
         a.transform.edited == b.transform.edited;
}

inline bool same_source(const Source& a, const Source& b) {
  return std::strcmp(a.id, b.id) == 0 && std::strcmp(a.file, b.file) == 0 && std::strcmp(a.title, b.title) == 0 &&
         a.in == b.in && a.out == b.out && a.duration == b.duration && a.loops == b.loops && a.video == b.video &&
         a.audio == b.audio && a.loop == b.loop && a.rendered == b.rendered;
}

inline bool same_title(const Title& a, const Title& b) {
  return std::strcmp(a.text, b.text) == 0 && std::strcmp(a.background, b.background) == 0 &&
         std::strcmp(a.color, b.color) == 0 && a.at == b.at && a.duration == b.duration && a.x == b.x && a.y == b.y;
}

}  // namespace kelvra_test
