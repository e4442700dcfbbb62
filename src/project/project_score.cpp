// The score's place in the project file: the "audioScore" member's exact text
// and its reading rules with defaults and clamps.
#include <algorithm>
#include <cmath>

#include "project/project.h"
#include "project/score_file.h"
#include "project/text_buffer.h"

namespace {

// Reads the instrument list of a region: digits-only entries up to 5, at most four; [0] when none.
void read_instruments(const JsonDocument* document, uint64_t list, ScoreRegion* region) {
  region->instrument_count = 0;
  if (data_json_kind(document, list) == JSON_ARRAY) {
    for (uint64_t entry = data_json_child(document, list); entry != JSON_NONE && region->instrument_count < 4;
         entry = data_json_after(document, entry, list)) {
      uint64_t number = 0;
      if (data_json_size(document, entry, &number) && number <= SCORE_DRUM_KIT)
        region->instruments[region->instrument_count++] = static_cast<uint8_t>(number);
    }
  }
  if (region->instrument_count == 0) {
    region->instruments[0] = SCORE_PIANO;
    region->instrument_count = 1;
  }
}

void read_region(const JsonDocument* document, uint64_t object, const Score* score, ScoreRegion* region) {
  *region = ScoreRegion{};
  region->start = std::clamp(project_number(document, object, "start", 0.0), 0.0, SCORE_MAX_BEATS - 0.25);
  region->end = std::clamp(project_number(document, object, "end", region->start + 4.0), region->start + 0.25,
                      SCORE_MAX_BEATS);
  region->roll = static_cast<uint8_t>(std::clamp(project_number(document, object, "roll", 0.0), 0.0,
                                            static_cast<double>(score->rolls - 1)));
  region->low = static_cast<uint8_t>(std::clamp(project_number(document, object, "low", 0.0), 0.0, 127.0));
  double high = std::fmin(project_number(document, object, "high", 127.0), 127.0);
  region->high = static_cast<uint8_t>(std::fmax(high, region->low));
  region->volume = static_cast<float>(std::clamp(project_number(document, object, "volume", 1.0), 0.0, 2.0));
  region->pan = static_cast<float>(std::clamp(project_number(document, object, "pan", 0.0), -1.0, 1.0));
  read_instruments(document, data_json_field(document, object, "instruments"), region);
  region->active = static_cast<uint8_t>(
      std::clamp(project_number(document, object, "active", 0.0), 0.0, region->instrument_count - 1.0));
}

void read_note(const JsonDocument* document, uint64_t object, const Score* score, ScoreNote* note) {
  *note = ScoreNote{};
  const double region = project_number(document, object, "region", -1.0);
  if (region >= 0.0 && region < static_cast<double>(score->region_count)) {
    note->region = static_cast<uint16_t>(region);
    note->roll = score->regions[note->region].roll;
  } else {
    note->region = SCORE_FREE_NOTE;
    note->roll = static_cast<uint8_t>(std::clamp(project_number(document, object, "roll", 0.0), 0.0,
                                            static_cast<double>(score->rolls - 1)));
  }
  note->beat = std::fmax(project_number(document, object, "beat", 0.0), 0.0);
  note->length = std::clamp(project_number(document, object, "length", 0.25), 0.0625, 512.0);
  note->key = static_cast<uint8_t>(std::clamp(project_number(document, object, "key", 60.0), 0.0, 127.0));
  note->velocity = static_cast<float>(std::clamp(project_number(document, object, "velocity", 0.8), 0.0, 1.0));
}

}  // namespace

bool project_read_score(Project* project) {
  Score* score = &project->score;
  kelvra_score_defaults(score);
  const JsonDocument* document = &project->document;
  const uint64_t object = data_json_field(document, 0, "audioScore");
  if (object == JSON_NONE) return project_import_music(project);

  const uint64_t regions = data_json_field(document, object, "regions");
  const uint64_t notes = data_json_field(document, object, "notes");
  uint64_t count = 0;
  if (regions != JSON_NONE && (!data_json_array_count(document, regions, &count) || count > SCORE_MAX_REGIONS))
    return false;
  if (notes != JSON_NONE && (!data_json_array_count(document, notes, &count) || count > SCORE_MAX_NOTES))
    return false;

  score->bpm = std::clamp(project_number(document, object, "bpm", 120.0), 20.0, 400.0);
  score->master = static_cast<float>(std::clamp(project_number(document, object, "master", 0.85), 0.0, 2.0));
  score->metronome = project_boolean(document, object, "metronome", 0);
  score->rolls = static_cast<uint64_t>(
      std::clamp(project_number(document, object, "rolls", 1.0), 1.0, static_cast<double>(SCORE_MAX_ROLLS)));
  for (uint64_t element = data_json_child(document, regions); element != JSON_NONE;
       element = data_json_after(document, element, regions)) {
    read_region(document, element, score, &score->regions[score->region_count]);
    ++score->region_count;
  }
  for (uint64_t element = data_json_child(document, notes); element != JSON_NONE;
       element = data_json_after(document, element, notes)) {
    read_note(document, element, score, &score->notes[score->note_count]);
    ++score->note_count;
  }
  return true;
}

void project_write_score(TextBuffer* buffer, const Score* score) {
  project_append(buffer, "{ \"bpm\": %.9g, \"master\": %.9g, \"metronome\": %s, \"rolls\": %zu, \"regions\": [",
                 kelvra_score_bpm(score), text_finite(static_cast<double>(score->master)),
                 score->metronome ? "true" : "false", static_cast<size_t>(score->rolls == 0 ? 1 : score->rolls));
  for (uint64_t i = 0; i < score->region_count; ++i) {
    const ScoreRegion& region = score->regions[i];
    project_append(buffer,
                   "%s\n    { \"start\": %.9g, \"end\": %.9g, \"roll\": %u, \"low\": %u, \"high\": %u, "
                   "\"volume\": %.9g, \"pan\": %.9g, \"active\": %u, \"instruments\": [",
                   i > 0 ? "," : "", text_finite(region.start), text_finite(region.end), region.roll, region.low,
                   region.high, text_finite(static_cast<double>(region.volume)), text_finite(static_cast<double>(region.pan)),
                   region.active);
    for (uint32_t k = 0; k < region.instrument_count && k < 4; ++k)
      project_append(buffer, "%s%u", k > 0 ? ", " : "", region.instruments[k]);
    project_append(buffer, "] }");
  }
  project_append(buffer, "], \"notes\": [");
  for (uint64_t i = 0; i < score->note_count; ++i) {
    const ScoreNote& note = score->notes[i];
    project_append(buffer,
                   "%s\n    { \"beat\": %.9g, \"length\": %.9g, \"key\": %u, \"velocity\": %.9g, \"roll\": %u, "
                   "\"region\": %d }",
                   i > 0 ? "," : "", text_finite(note.beat), text_finite(note.length), note.key,
                   text_finite(static_cast<double>(note.velocity)), note.roll,
                   note.region == SCORE_FREE_NOTE ? -1 : static_cast<int>(note.region));
  }
  project_append(buffer, "] }");
}
