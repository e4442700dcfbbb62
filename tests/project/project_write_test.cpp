#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "project/project.h"
#include "project/text_buffer.h"
#include "project_fixture.h"
#include "records_equal.h"
#include "test_util.h"

namespace {

using kelvra_test::empty_project;
using kelvra_test::ProjectPtr;

// Opens a file the test expects to be accepted.
ProjectPtr open_text(const std::string& text) {
  ProjectPtr p = kelvra_test::open_text(text);
  EXPECT_TRUE(p) << text;
  return p ? std::move(p) : empty_project();
}

std::string build(const Project* p, uint32_t layout = 0) {
  TextBuffer text;
  if (!project_build_text(p, layout, &text)) return "<failed>";
  std::string result(text.data, text.length);
  text_buffer_free(&text);
  return result;
}

// The exact text of `p` must equal tests/project/golden/`name`. With
// KELVRA_UPDATE_GOLDEN set the file is written instead (review the change).
void expect_golden(const Project* p, uint32_t layout, const std::string& name) {
  const std::string path = kelvra_test::test_data("project/golden/" + name);
  const std::string text = build(p, layout);
  if (std::getenv("KELVRA_UPDATE_GOLDEN") != nullptr) kelvra_test::write_file(path, text);
  EXPECT_EQ(text, kelvra_test::read_file(path)) << "differs from " << path;
}

TEST(ProjectWrite, EmptyProjectNeverRead) {
  ProjectPtr p = empty_project();
  expect_golden(p.get(), 1, "never-read.pjn");
}

TEST(ProjectWrite, CarriesOverMembersItDoesNotOwn) {
  ProjectPtr p = open_text(kelvra_test::read_file(kelvra_test::test_data("project/golden/carried.in.pjn")));
  expect_golden(p.get(), 2, "carried.pjn");

  // A file without "schemaVersion" is written without it.
  ProjectPtr bare = open_text("{\"note\": true}");
  EXPECT_EQ(build(bare.get()).rfind("{\n  \"note\": true,\n  \"layout\": \"split\",", 0), 0u);
}

// An edited placement of a read clip, a clip placed in the editor and a
// rendered source added to the library, written and read back.
TEST(ProjectWrite, EditedPlacementPlacedClipAndRenderedSource) {
  ProjectPtr p = open_text(kelvra_test::read_file(kelvra_test::test_data("project/golden/placement.in.pjn")));
  ASSERT_EQ(p->clip_count, 1u);
  EXPECT_EQ(p->clips[0].transform.scale, 0.5);
  p->clips[0].transform = Transform{0.25, -0.5, 0.75, 1};

  Clip placed{};
  std::snprintf(placed.id, sizeof placed.id, "v3-7-1");
  std::snprintf(placed.name, sizeof placed.name, "Sample 2");
  placed.source = 0;
  placed.json_index = KELVRA_NONE;
  placed.in = 1.25;
  placed.out = 3;
  placed.at = 4;
  placed.gain = 1;
  placed.loops = 2;
  placed.loop = 1;
  placed.video = 1;
  placed.audio = 0;
  placed.fade_in = 1.0 / 3.0;
  placed.transform.scale = 1;
  p->clips[p->clip_count++] = placed;

  Source rendered{};
  std::snprintf(rendered.id, sizeof rendered.id, "kelvra-render-1-0-fullhd.mp4");
  std::snprintf(rendered.file, sizeof rendered.file, "kelvra-render-1-0-fullhd.mp4");
  std::snprintf(rendered.title, sizeof rendered.title, "Export · 1-0-fullhd.mp4");
  rendered.duration = 12.5;
  rendered.rendered = 1;
  p->sources[p->source_count++] = rendered;

  expect_golden(p.get(), 0, "placement.pjn");

  // Reading the written file gives back what was written.
  ProjectPtr again = open_text(build(p.get()));
  ASSERT_EQ(again->clip_count, 2u);
  EXPECT_EQ(again->clips[0].transform.x, 0.25);
  EXPECT_EQ(again->clips[0].transform.scale, 0.75);
  EXPECT_EQ(again->clips[1].source, 0);
  EXPECT_EQ(again->clips[1].loops, 2u);
  ASSERT_EQ(again->source_count, 2u);
  EXPECT_EQ(again->sources[1].rendered, 1);
  EXPECT_EQ(again->sources[1].duration, 12.5);
  Transform square;
  kelvra_canvas_transform(&square, again.get(), &again->clips[0], 9);
  EXPECT_EQ(square.x, 0.1);
}

TEST(ProjectWrite, RenderedSourcesIntoAFileWithoutLibrary) {
  ProjectPtr p = empty_project();
  Source& rendered = p->sources[p->source_count++];
  std::snprintf(rendered.id, sizeof rendered.id, "r.wav");
  std::snprintf(rendered.file, sizeof rendered.file, "r.wav");
  rendered.rendered = 1;
  rendered.duration = 2;
  const std::string text = build(p.get());
  EXPECT_NE(text.find(",\n  \"sources\": [{\"id\":\"r.wav\",\"file\":\"r.wav\",\"title\":\"\",\"duration\":2,"
                      "\"rendered\":true}],\n  \"canvasSizes\""),
            std::string::npos)
      << text;
  // A plain (not rendered) source beyond the file's library is not written to it.
  rendered.rendered = 0;
  EXPECT_EQ(build(p.get()).find("\"sources\""), std::string::npos);
}

// A source imported in this session is written with the library, as a plain one.
TEST(ProjectWrite, ImportedSourcesJoinTheFileLibrary) {
  ProjectPtr p = empty_project();
  Source& imported = p->sources[p->source_count++];
  std::snprintf(imported.id, sizeof imported.id, "take.mp4");
  std::snprintf(imported.file, sizeof imported.file, "take.mp4");
  std::snprintf(imported.title, sizeof imported.title, "take");
  imported.imported = 1;
  imported.duration = 3;
  const std::string text = build(p.get());
  EXPECT_NE(text.find(",\n  \"sources\": [{\"id\":\"take.mp4\",\"file\":\"take.mp4\",\"title\":\"take\",\"duration\":3}],\n"
                      "  \"canvasSizes\""),
            std::string::npos)
      << text;
}

TEST(ProjectWrite, ReadWriteReadKeepsTheRecordAndTheText) {
  const std::string file =
      R"({"schemaVersion": 1, "sources": [{"id": "a", "file": "a.mp4", "title": "Ä \"quoted\"", "duration": 12.25},
                    {"id": "b", "file": "b.wav"}],
          "cuts": {"a": {"in": 0.5, "out": 3.75, "loops": 4, "mode": "loop", "video": false}},
          "clips": [{"id": "x", "name": "Line\nbreak", "sourceId": "a", "at": 1.1, "in": 0.3, "out": 2.9, "lane": 3,
                     "gain": 0.7, "fadeIn": 0.2, "fadeOut": 0.4, "loops": 5, "mode": "loop", "music": true}],
          "texts": [{"text": "Title", "at": 3}],
          "canvasSizes": ["reels", "hd"],
          "audioScore": {"bpm": 97.5, "master": 1.2, "metronome": true, "rolls": 3,
             "regions": [{"start": 1, "end": 9, "roll": 2, "low": 40, "high": 80, "volume": 0.6, "pan": -0.25,
                          "instruments": [3, 5], "active": 1}],
             "notes": [{"beat": 2, "length": 0.5, "key": 64, "velocity": 0.9, "region": 0},
                       {"beat": 11, "length": 1.5, "key": 30, "velocity": 0.1, "roll": 1}]}})";
  ProjectPtr first = open_text(file);
  const std::string written = build(first.get(), first->layout);
  ProjectPtr second = open_text(written);
  EXPECT_EQ(build(second.get(), second->layout), written);  // a second save changes nothing

  ASSERT_EQ(second->source_count, first->source_count);
  ASSERT_EQ(second->clip_count, first->clip_count);
  for (uint64_t i = 0; i < first->source_count; ++i)
    EXPECT_TRUE(kelvra_test::same_source(first->sources[i], second->sources[i])) << i;
  EXPECT_TRUE(kelvra_test::same_clip(first->clips[0], second->clips[0]));
  EXPECT_EQ(kelvra_test::score_difference(first->score, second->score), "");
  EXPECT_EQ(first->score.region_count, 1u);
  EXPECT_EQ(first->score.note_count, 2u);
  EXPECT_TRUE(kelvra_test::same_title(first->titles[0], second->titles[0]));
  EXPECT_EQ(second->canvas_mask, first->canvas_mask);
  EXPECT_STREQ(second->primary_canvas, "reels");
  EXPECT_EQ(second->timeline_end, first->timeline_end);
}

TEST(ProjectWrite, NumbersUseNineSignificantDigits) {
  ProjectPtr p = empty_project();
  Source& s = p->sources[p->source_count++];
  std::snprintf(s.id, sizeof s.id, "n");
  s.in = 2.5;
  s.out = 3;
  s.loops = 1;
  const std::string text = build(p.get());
  EXPECT_NE(text.find("\"in\": 2.5, \"out\": 3, "), std::string::npos) << text;

  s.out = 1.0 / 0.0;  // a value that is not finite is written as 0, so the file stays readable
  const std::string guarded = build(p.get());
  EXPECT_NE(guarded.find("\"in\": 2.5, \"out\": 0, "), std::string::npos) << guarded;
  JsonDocument document{};
  EXPECT_TRUE(data_json_parse(&document, guarded.c_str()));
  data_json_free(&document);
}

// Titles as the file gave them keep their text byte for byte; an edited
// title is written out with the members the program does not know, in its
// object and in its style; a title made in the editor joins them; removing
// every title leaves an empty list.
TEST(ProjectWrite, TitlesKeepTheirTextUntilEditedAndTheirMembersAfter) {
  const std::string file =
      R"({"texts": [{"text": "A",  "at": 1, "font": "Serif", "style": {"background": "#112233", "shadow": 2}},
                    {"text": "B", "y": 0.5}], "after": true})";
  ProjectPtr p = open_text(file);
  EXPECT_NE(build(p.get()).find(R"("texts": [{"text": "A",  "at": 1, "font": "Serif", "style": {"background": "#112233", "shadow": 2}},
                    {"text": "B", "y": 0.5}])"),
            std::string::npos)
      << build(p.get());

  p->titles[0].x = 0.25;
  std::strcpy(p->titles[0].color, "#ffffff");
  Title& made = p->titles[p->title_count++];
  made = Title{};
  std::strcpy(made.text, "New \"one\"");
  made.duration = 3;
  made.json_index = KELVRA_NONE;
  const std::string edited = build(p.get());
  for (const char* member : {"\"font\": \"Serif\"", "\"shadow\": 2", "\"x\": 0.25", "\"color\": \"#ffffff\"",
                             "\"background\": \"#112233\"", "\"after\": true", "\"text\": \"New \\\"one\\\"\""})
    EXPECT_NE(edited.find(member), std::string::npos) << member << "\n" << edited;
  ProjectPtr again = open_text(edited);
  ASSERT_EQ(again->title_count, 3u);
  for (uint64_t i = 0; i < 3; ++i) EXPECT_TRUE(kelvra_test::same_title(again->titles[i], p->titles[i])) << i;
  // Saved again, the titles keep the text they were read with.
  const std::string second = build(again.get());
  EXPECT_NE(second.find(edited.substr(edited.find("\"texts\": ["), edited.find("\n  ],") - edited.find("\"texts\": ["))),
            std::string::npos)
      << second;
  EXPECT_EQ(build(open_text(second).get()), second);

  p->title_count = 0;
  const std::string none = build(p.get());
  EXPECT_NE(none.find("\"texts\": []"), std::string::npos) << none;
  EXPECT_EQ(open_text(none)->title_count, 0u);
}

}  // namespace
