#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

#include "project/project.h"
#include "project/score.h"
#include "project/score_file.h"
#include "project/text_buffer.h"
#include "project_fixture.h"
#include "records_equal.h"

namespace {

using kelvra_test::open_text;
using kelvra_test::ProjectPtr;

ProjectPtr open_score(const std::string& score_json) {
  return open_text("{\"audioScore\": " + score_json + "}");
}

std::unique_ptr<Score> new_score() {
  auto score = std::make_unique<Score>();
  kelvra_score_defaults(score.get());
  return score;
}

ScoreRegion region(double start, double end, uint8_t roll = 0) {
  ScoreRegion r{};
  r.start = start;
  r.end = end;
  r.roll = roll;
  r.high = 127;
  r.volume = 1;
  r.instrument_count = 1;
  return r;
}

TEST(ScoreModel, TempoEndNamesAndLookup) {
  auto score = new_score();
  for (double bpm : {500.0, 0.0, 19.99, 400.01, static_cast<double>(NAN)}) {
    score->bpm = bpm;
    EXPECT_EQ(kelvra_score_bpm(score.get()), 120.0) << bpm;
  }
  score->bpm = 20;
  EXPECT_EQ(kelvra_score_bpm(score.get()), 20.0);

  EXPECT_EQ(kelvra_score_end(score.get()), 0.0);
  score->regions[score->region_count++] = region(0, 8);
  score->notes[score->note_count++] = ScoreNote{10, 1, 0.8f, SCORE_FREE_NOTE, 0, 60};
  EXPECT_EQ(kelvra_score_end(score.get()), 11.0);
  score->notes[0].region = 0;  // moved into the region: the region's end counts
  EXPECT_EQ(kelvra_score_end(score.get()), 8.0);

  EXPECT_STREQ(kelvra_score_name(0), "Piano");
  EXPECT_STREQ(kelvra_score_name(5), "Drum Kit");
  EXPECT_STREQ(kelvra_score_name(9), "Piano");

  score->regions[score->region_count++] = region(4, 12);  // overlaps the first
  score->regions[1].low = 50;
  EXPECT_EQ(kelvra_score_region_at(score.get(), 0, 5, 60), 1u);  // the later one wins
  EXPECT_EQ(kelvra_score_region_at(score.get(), 0, 5, 40), 0u);  // below the later one's key range
  EXPECT_EQ(kelvra_score_region_at(score.get(), 0, 12, 60), UINT64_MAX);  // end is exclusive
  EXPECT_EQ(kelvra_score_region_at(score.get(), 1, 5, 60), UINT64_MAX);
}

TEST(ScoreModel, DuplicateRegion) {
  auto score = new_score();
  score->rolls = 2;
  score->regions[score->region_count++] = region(2, 6);
  score->notes[score->note_count++] = ScoreNote{2.5, 1, 0.5f, 0, 0, 60};
  score->notes[score->note_count++] = ScoreNote{3, 1, 0.5f, SCORE_FREE_NOTE, 0, 61};
  score->notes[score->note_count++] = ScoreNote{5, 1, 0.7f, 0, 0, 62};

  ASSERT_TRUE(kelvra_score_duplicate(score.get(), 0, 1, 10));
  ASSERT_EQ(score->region_count, 2u);
  EXPECT_EQ(score->regions[1].start, 10.0);
  EXPECT_EQ(score->regions[1].end, 14.0);
  EXPECT_EQ(score->regions[1].roll, 1);
  ASSERT_EQ(score->note_count, 5u);
  EXPECT_EQ(score->notes[3].beat, 10.5);
  EXPECT_EQ(score->notes[3].region, 1);
  EXPECT_EQ(score->notes[3].roll, 1);
  EXPECT_EQ(score->notes[4].beat, 13.0);
  EXPECT_EQ(score->notes[4].key, 62);

  // Moving earlier drops notes that would start before beat 0.
  ASSERT_TRUE(kelvra_score_duplicate(score.get(), 0, 0, 0));
  EXPECT_EQ(score->note_count, 7u);
  EXPECT_EQ(score->notes[5].beat, 0.5);

  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 2, 20));     // roll beyond the rolls
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 9, 0, 20));     // no such region
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, -1));
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, INFINITY));
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, NAN));
  score->regions[0] = region(13000, 14000);
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, 26000));  // would end past 14400
  EXPECT_TRUE(kelvra_score_duplicate(score.get(), 0, 0, 13400));   // ends exactly at 14400

  score->region_count = SCORE_MAX_REGIONS;
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, 1));  // a 129th region
  score->region_count = 1;
  score->regions[0] = region(2, 6);
  score->note_count = SCORE_MAX_NOTES - 1;
  for (uint64_t i = 0; i < score->note_count; ++i) score->notes[i] = ScoreNote{3, 1, 0.5f, 0, 0, 60};
  EXPECT_FALSE(kelvra_score_duplicate(score.get(), 0, 0, 8));  // its notes do not fit
  EXPECT_EQ(score->region_count, 1u);
}

TEST(ScoreFile, ReadingClampsAndDefaults) {
  struct {
    const char* json;
    double bpm;
  } tempos[] = {{"{\"bpm\": 20000}", 120}, {"{\"bpm\": 500}", 400}, {"{\"bpm\": 10}", 20}, {"{}", 120},
                {"{\"bpm\": \"fast\"}", 120}};
  for (const auto& t : tempos) {
    ProjectPtr p = open_score(t.json);
    ASSERT_TRUE(p) << t.json;
    EXPECT_EQ(p->score.bpm, t.bpm) << t.json;
  }

  ProjectPtr p = open_score(R"({"rolls": 2.9, "master": 7, "metronome": true, "regions": [
      {"start": 100, "end": 50},
      {"instruments": [7, 1, 2.5, 3, 4, 5], "active": 9, "roll": 5, "low": 90, "high": 20},
      {"instruments": [], "pan": -3, "volume": 9},
      {"start": 20000, "instruments": [-1, "2", 1e0]}],
    "notes": [
      {"region": 3, "roll": 1, "beat": -4, "length": 1000, "key": 200, "velocity": 2},
      {"region": 1},
      {"region": 9, "roll": 7},
      {"region": -0.5},
      {}]})");
  ASSERT_TRUE(p);
  const Score& s = p->score;
  EXPECT_EQ(s.rolls, 2u);
  EXPECT_EQ(s.master, 2.0f);
  EXPECT_EQ(s.metronome, 1);
  ASSERT_EQ(s.region_count, 4u);
  EXPECT_EQ(s.regions[0].start, 100.0);
  EXPECT_EQ(s.regions[0].end, 100.25);
  const ScoreRegion& r1 = s.regions[1];
  ASSERT_EQ(r1.instrument_count, 4);
  EXPECT_EQ(r1.instruments[0], 1);
  EXPECT_EQ(r1.instruments[1], 3);
  EXPECT_EQ(r1.instruments[2], 4);
  EXPECT_EQ(r1.instruments[3], 5);
  EXPECT_EQ(r1.active, 3);
  EXPECT_EQ(r1.roll, 1);  // clamped to the rolls
  EXPECT_EQ(r1.low, 90);
  EXPECT_EQ(r1.high, 90);  // raised to the low key
  EXPECT_EQ(s.regions[2].instrument_count, 1);
  EXPECT_EQ(s.regions[2].instruments[0], 0);
  EXPECT_EQ(s.regions[2].pan, -1.0f);
  EXPECT_EQ(s.regions[2].volume, 2.0f);
  EXPECT_EQ(s.regions[2].end, 4.0);
  EXPECT_EQ(s.regions[3].start, 0.0);  // beyond the number rule
  EXPECT_EQ(s.regions[3].instrument_count, 1);
  EXPECT_EQ(s.regions[3].instruments[0], 0);  // only plain digit entries count

  ASSERT_EQ(s.note_count, 5u);
  const ScoreNote& n0 = s.notes[0];
  EXPECT_EQ(n0.region, 3);
  EXPECT_EQ(n0.roll, 0);  // the region's roll, not its own
  EXPECT_EQ(n0.beat, 0.0);
  EXPECT_EQ(n0.length, 512.0);
  EXPECT_EQ(n0.key, 127);
  EXPECT_EQ(n0.velocity, 1.0f);
  EXPECT_EQ(s.notes[1].roll, 1);
  EXPECT_EQ(s.notes[2].region, SCORE_FREE_NOTE);  // a region of another file: a free note
  EXPECT_EQ(s.notes[2].roll, 1);
  EXPECT_EQ(s.notes[3].region, SCORE_FREE_NOTE);
  EXPECT_EQ(s.notes[4].key, 60);
  EXPECT_EQ(s.notes[4].length, 0.25);
  EXPECT_FLOAT_EQ(s.notes[4].velocity, 0.8f);

  std::string regions = "{\"regions\": [";
  for (int i = 0; i < 129; ++i) regions += i ? ",{}" : "{}";
  EXPECT_FALSE(open_score(regions + "]}"));
  std::string notes = "{\"notes\": [";
  for (int i = 0; i < 4097; ++i) notes += i ? ",{}" : "{}";
  EXPECT_FALSE(open_score(notes + "]}"));
  EXPECT_FALSE(open_score("{\"notes\": {}}"));
  EXPECT_TRUE(open_score("[]"));  // not an object: the default score
}

TEST(ScoreFile, ExactTextAndRoundTrip) {
  auto score = new_score();
  score->bpm = 500;  // written as 120
  score->rolls = 2;
  score->regions[score->region_count] = region(1, 5.5, 1);
  score->regions[score->region_count].instruments[1] = 4;
  score->regions[score->region_count].instrument_count = 2;
  score->regions[score->region_count].active = 1;
  score->regions[score->region_count].pan = -0.5f;
  ++score->region_count;
  score->notes[score->note_count++] = ScoreNote{1.5, 0.25, 0.5f, 0, 1, 69};
  score->notes[score->note_count++] = ScoreNote{7, 2, 1.0f, SCORE_FREE_NOTE, 0, 36};
  TextBuffer text{};
  project_write_score(&text, score.get());
  ASSERT_FALSE(text.failed);
  EXPECT_STREQ(text.data,
               "{ \"bpm\": 120, \"master\": 0.850000024, \"metronome\": false, \"rolls\": 2, \"regions\": [\n"
               "    { \"start\": 1, \"end\": 5.5, \"roll\": 1, \"low\": 0, \"high\": 127, \"volume\": 1, \"pan\": -0.5, "
               "\"active\": 1, \"instruments\": [0, 4] }], \"notes\": [\n"
               "    { \"beat\": 1.5, \"length\": 0.25, \"key\": 69, \"velocity\": 0.5, \"roll\": 1, \"region\": 0 },\n"
               "    { \"beat\": 7, \"length\": 2, \"key\": 36, \"velocity\": 1, \"roll\": 0, \"region\": -1 }] }");

  score->bpm = 133.3;
  score->master = 0.3f;
  score->metronome = 1;
  text_buffer_free(&text);
  project_write_score(&text, score.get());
  ProjectPtr p = open_score(text.data);
  ASSERT_TRUE(p);
  EXPECT_EQ(kelvra_test::score_difference(p->score, *score), "");
  text_buffer_free(&text);
}

TEST(ScoreFile, LegacyMusicImport) {
  ProjectPtr p = open_text(R"({"music": {"bpm": 90, "master": 0.5,
    "patterns": [{"id": "p1", "beats": 4, "notes": [{"at": 1, "key": 50, "velocity": 0.5}, {"at": 5, "key": 70},
                                                    {"at": 2, "key": 1, "length": 0.01}]},
                 {"id": "empty", "beats": 0}],
    "channels": [{"id": "keys", "instrument": "piano-grand"},
                 {"id": "drums", "instrument": "kit-808", "volume": 1.5, "pan": 3, "track": {"volume": 2, "velocity": 0.5}},
                 {"id": "muted", "instrument": "kit", "mute": true}],
    "blocks": [{"pattern": "p1", "channel": "drums", "at": 8},
               {"pattern": "nope", "channel": "keys"},
               {"pattern": "p1", "channel": "unknown", "at": 20000},
               {"pattern": "empty", "channel": "muted", "at": 2}]}})");
  ASSERT_TRUE(p);
  const Score& s = p->score;
  EXPECT_EQ(s.bpm, 90.0);
  EXPECT_FLOAT_EQ(s.master, 0.5f);
  EXPECT_EQ(s.metronome, 0);
  ASSERT_EQ(s.region_count, 3u);
  const ScoreRegion& drums = s.regions[0];
  EXPECT_EQ(drums.start, 8.0);
  EXPECT_EQ(drums.end, 12.0);
  EXPECT_EQ(drums.roll, 1);
  EXPECT_EQ(drums.instruments[0], SCORE_DRUM_KIT);
  EXPECT_EQ(drums.volume, 2.0f);  // 1.5 x 2, clamped
  EXPECT_EQ(drums.pan, 1.0f);
  EXPECT_EQ(drums.low, 0);    // lowest key 1 - 2, not below 0
  EXPECT_EQ(drums.high, 52);  // highest key 50 + 2
  // Only the notes at 1 and 2 start inside the 4-beat pattern placed at beat 8.
  ASSERT_EQ(s.note_count, 4u);
  EXPECT_EQ(s.notes[0].beat, 9.0);
  EXPECT_FLOAT_EQ(s.notes[0].velocity, 0.25f);
  EXPECT_EQ(s.notes[0].region, 0);
  EXPECT_EQ(s.notes[0].roll, 1);
  EXPECT_EQ(s.notes[1].length, 0.0625);

  const ScoreRegion& unknown = s.regions[1];  // a channel that is not found: position 0, defaults
  EXPECT_EQ(unknown.roll, 0);
  EXPECT_EQ(unknown.start, 0.0);
  EXPECT_EQ(unknown.instruments[0], SCORE_PIANO);
  const ScoreRegion& muted = s.regions[2];
  EXPECT_EQ(muted.roll, 2);
  EXPECT_EQ(muted.volume, 0.0f);
  EXPECT_EQ(muted.instruments[0], SCORE_PIANO);  // "kit" without the hyphen
  EXPECT_EQ(muted.end, 2.25);
  EXPECT_EQ(muted.low, 0);
  EXPECT_EQ(muted.high, 127);
  EXPECT_EQ(s.rolls, 3u);

  // "audioScore" takes precedence over "music".
  ProjectPtr both = open_text(R"({"audioScore": {"bpm": 60}, "music": {"bpm": 90}})");
  EXPECT_EQ(both->score.bpm, 60.0);
  // Without blocks the score stays empty; a channel beyond the 24th is skipped.
  std::string channels = "[";
  for (int i = 0; i < 25; ++i) channels += (i ? "," : "") + std::string("{\"id\": \"c") + std::to_string(i) + "\"}";
  ProjectPtr far = open_text(R"({"music": {"patterns": [{"id": "p"}], "channels": )" + channels +
                             R"(], "blocks": [{"pattern": "p", "channel": "c24"}, {"pattern": "p", "channel": "c23"}]}})");
  ASSERT_EQ(far->score.region_count, 1u);
  EXPECT_EQ(far->score.regions[0].roll, 23);
  EXPECT_EQ(far->score.rolls, 24u);
}

// Blocks whose pattern is missing never count toward the region limit, so each
// one is looked up; a file of 100,000 of them over 100,000 patterns must still
// open at once (a search of the patterns for every block would take hours).
TEST(ScoreFile, LegacyImportLooksPatternsUpByIdentifier) {
  const int count = 100000;
  std::string text = R"({"music": {"patterns": [)";
  for (int i = 0; i < count; ++i) text += (i ? ",{\"id\":\"p" : "{\"id\":\"p") + std::to_string(i) + "\"}";
  text += R"(, {"id": "p7", "beats": 2}], "channels": [{"id": "c"}, {"id": "c", "instrument": "kit-1"}], "blocks": [)";
  for (int i = 0; i < count; ++i) text += (i ? ",{\"pattern\":\"q" : "{\"pattern\":\"q") + std::to_string(i) + "\"}";
  text += R"(, {"pattern": "p7", "channel": "c", "at": 3}]}})";
  ProjectPtr p = open_text(text);
  ASSERT_TRUE(p);
  ASSERT_EQ(p->score.region_count, 1u);
  EXPECT_EQ(p->score.regions[0].start, 3.0);
  EXPECT_EQ(p->score.regions[0].end, 7.0);  // the first "p7" (4 beats), not the later one
  EXPECT_EQ(p->score.regions[0].instruments[0], SCORE_PIANO);  // the first channel "c"
}

TEST(ScoreFile, LegacyImportStopsAtCapacity) {
  std::string notes;
  for (int i = 0; i < 40; ++i) notes += (i ? "," : "") + std::string("{\"at\": 0.1}");
  std::string blocks;
  for (int i = 0; i < 200; ++i) blocks += (i ? "," : "") + std::string("{\"pattern\": \"p\"}");
  ProjectPtr p = open_text(R"({"music": {"patterns": [{"id": "p", "notes": [)" + notes + R"(]}], "blocks": [)" +
                           blocks + "]}}");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->score.region_count, SCORE_MAX_REGIONS);
  EXPECT_EQ(p->score.note_count, SCORE_MAX_NOTES);
}

}  // namespace
