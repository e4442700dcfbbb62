// Import of the older "music" member: patterns placed as blocks on channels
// become regions with their notes. Read only; the writer never produces it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "project/project.h"
#include "project/score_file.h"

namespace {

// Adds the notes of `pattern` to the region just added; returns whether any was added.
bool import_notes(const JsonDocument* document, uint64_t pattern, uint64_t track, Score* score, uint8_t* lowest,
                  uint8_t* highest) {
  const uint64_t region_index = score->region_count - 1;
  const ScoreRegion& region = score->regions[region_index];
  const double velocity_scale = project_number(document, track, "velocity", 1.0);
  const uint64_t notes = data_json_field(document, pattern, "notes");
  if (data_json_kind(document, notes) != JSON_ARRAY) return false;
  bool added = false;
  for (uint64_t element = data_json_child(document, notes); element != JSON_NONE && score->note_count < SCORE_MAX_NOTES;
       element = data_json_after(document, element, notes)) {
    const double beat = region.start + std::fmax(project_number(document, element, "at", 0.0), 0.0);
    if (beat >= region.end) continue;
    ScoreNote* note = &score->notes[score->note_count++];
    *note = ScoreNote{};
    note->beat = beat;
    note->length = std::fmax(project_number(document, element, "length", 0.25), 0.0625);
    note->key = static_cast<uint8_t>(std::clamp(project_number(document, element, "key", 60.0), 0.0, 127.0));
    note->velocity = static_cast<float>(
        std::clamp(project_number(document, element, "velocity", 0.8) * velocity_scale, 0.0, 1.0));
    note->region = static_cast<uint16_t>(region_index);
    note->roll = region.roll;
    if (!added || note->key < *lowest) *lowest = note->key;
    if (!added || note->key > *highest) *highest = note->key;
    added = true;
  }
  return added;
}

}  // namespace

namespace {

// The elements of a "patterns" or "channels" array by their "id" (as read into
// a 96-byte field), the first element of each id kept with its position.
using IdIndex = std::unordered_map<std::string, std::pair<uint64_t, uint64_t>>;

void index_ids(const JsonDocument* document, uint64_t array, IdIndex* index) {
  if (data_json_kind(document, array) != JSON_ARRAY) return;
  uint64_t at = 0;
  for (uint64_t element = data_json_child(document, array); element != JSON_NONE;
       element = data_json_after(document, element, array), ++at) {
    char id[96] = "";
    project_string(document, element, "id", id, sizeof id);
    if (id[0] != '\0') index->emplace(id, std::make_pair(element, at));
  }
}

// The element whose id is `id`, or JSON_NONE; `position` is set only when found.
uint64_t find_id(const IdIndex& index, const char* id, uint64_t* position) {
  if (id[0] == '\0') return JSON_NONE;
  const auto found = index.find(id);
  if (found == index.end()) return JSON_NONE;
  if (position != nullptr) *position = found->second.second;
  return found->second.first;
}

}  // namespace

bool project_import_music(Project* project) {
  Score* score = &project->score;
  const JsonDocument* document = &project->document;
  const uint64_t music = data_json_field(document, 0, "music");
  score->bpm = std::clamp(project_number(document, music, "bpm", 120.0), 20.0, 400.0);
  score->master = static_cast<float>(std::clamp(project_number(document, music, "master", 0.85), 0.0, 2.0));
  score->rolls = 1;
  score->metronome = 0;
  const uint64_t blocks = data_json_field(document, music, "blocks");
  if (data_json_kind(document, blocks) != JSON_ARRAY) return true;
  // Looked up by id once each, so that a file of many blocks imports in linear time.
  IdIndex patterns;
  IdIndex channels;
  index_ids(document, data_json_field(document, music, "patterns"), &patterns);
  index_ids(document, data_json_field(document, music, "channels"), &channels);

  for (uint64_t block = data_json_child(document, blocks); block != JSON_NONE && score->region_count < SCORE_MAX_REGIONS;
       block = data_json_after(document, block, blocks)) {
    char pattern_id[96] = "";
    char channel_id[96] = "";
    project_string(document, block, "pattern", pattern_id, sizeof pattern_id);
    project_string(document, block, "channel", channel_id, sizeof channel_id);
    const uint64_t pattern = find_id(patterns, pattern_id, nullptr);
    uint64_t position = 0;
    const uint64_t channel = find_id(channels, channel_id, &position);
    if (pattern == JSON_NONE || position > SCORE_MAX_ROLLS - 1) continue;
    const uint64_t track = data_json_field(document, channel, "track");

    ScoreRegion* region = &score->regions[score->region_count++];
    *region = ScoreRegion{};
    region->start = std::clamp(project_number(document, block, "at", 0.0), 0.0, SCORE_MAX_BEATS - 0.25);
    const double beats = std::fmax(project_number(document, pattern, "beats", 4.0), 0.25);
    region->end = std::fmin(region->start + beats, SCORE_MAX_BEATS);
    region->roll = static_cast<uint8_t>(position);
    const double volume = project_number(document, channel, "volume", 1.0) * project_number(document, track, "volume", 1.0);
    region->volume = project_boolean(document, channel, "mute", 0) ? 0.0f : static_cast<float>(std::clamp(volume, 0.0, 2.0));
    region->pan = static_cast<float>(std::clamp(project_number(document, channel, "pan", 0.0), -1.0, 1.0));
    region->low = 0;
    region->high = 127;
    char instrument[16] = "";
    project_string(document, channel, "instrument", instrument, sizeof instrument);
    region->instruments[0] = std::strncmp(instrument, "kit-", 4) == 0 ? SCORE_DRUM_KIT : SCORE_PIANO;
    region->instrument_count = 1;
    region->active = 0;
    if (score->rolls < position + 1) score->rolls = position + 1;

    uint8_t lowest = 0;
    uint8_t highest = 0;
    if (import_notes(document, pattern, track, score, &lowest, &highest)) {
      region->low = static_cast<uint8_t>(lowest >= 2 ? lowest - 2 : 0);
      region->high = static_cast<uint8_t>(highest + 2 <= 127 ? highest + 2 : 127);
    }
  }
  return true;
}
