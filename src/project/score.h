// The music score held inside the project: tempo, master level, metronome,
// piano rolls, regions (instrument, key range, volume, pan over a span of
// beats) and notes. Times are beats; kelvra_score_bpm turns them into seconds.
#pragma once

#include <cstdint>

constexpr uint64_t SCORE_MAX_REGIONS = 128;
constexpr uint64_t SCORE_MAX_NOTES = 4096;
constexpr uint64_t SCORE_MAX_ROLLS = 24;
constexpr double SCORE_MAX_BEATS = 14400.0;
constexpr uint16_t SCORE_FREE_NOTE = 65535;  // `region` of a note that belongs to no region

enum : uint8_t {
  SCORE_PIANO = 0,
  SCORE_ELECTRIC_KEYS = 1,
  SCORE_ORGAN = 2,
  SCORE_BASS = 3,
  SCORE_BELL = 4,
  SCORE_DRUM_KIT = 5,
};

struct ScoreRegion {
  double start;  // first beat, 0..14399.75
  double end;    // beat after the last, start + 0.25 .. 14400
  float volume;  // 0..2
  float pan;     // -1 left .. 1 right
  uint8_t roll;
  uint8_t low;   // lowest key played
  uint8_t high;  // highest key played
  uint8_t instrument_count;  // 1..4
  uint8_t active;            // index into instruments of the one that plays
  uint8_t instruments[4];    // instrument numbers 0..5
};

struct ScoreNote {
  double beat;     // absolute start beat, also for notes in a region
  double length;   // beats, 0.0625..512
  float velocity;  // 0..1
  uint16_t region; // owning region, SCORE_FREE_NOTE for a free note
  uint8_t roll;
  uint8_t key;     // MIDI key, 69 = A 440 Hz
};

struct Score {
  double bpm;        // read through kelvra_score_bpm
  float master;      // 0..2
  uint8_t metronome;
  uint64_t rolls;    // 1..24
  uint64_t region_count;
  uint64_t note_count;
  ScoreRegion regions[SCORE_MAX_REGIONS];
  ScoreNote notes[SCORE_MAX_NOTES];
};

// The defaults of a new application state and of a file without a score.
void kelvra_score_defaults(Score* score);
double kelvra_score_bpm(const Score* score);
double kelvra_score_end(const Score* score);
const char* kelvra_score_name(uint32_t instrument);
// The beats where a note shows and sounds: inside its region's beats; false when its key is
// outside the region's keys.
bool kelvra_score_note_span(const Score* score, const ScoreNote& note, double* start, double* end);
uint64_t kelvra_score_region_at(const Score* score, uint64_t roll, double beat, uint32_t key);
// Whether kelvra_score_duplicate would succeed with these arguments.
bool kelvra_score_can_duplicate(const Score* score, uint64_t region, uint64_t roll, double start);
bool kelvra_score_duplicate(Score* score, uint64_t region, uint64_t roll, double start);
