#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <memory>
#include <string>

#include "project/project.h"
#include "project_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::TempDir;
using kelvra_test::write_file;

using kelvra_test::empty_project;
using kelvra_test::open_text;
using kelvra_test::ProjectPtr;

TEST(ProjectRead, EmptyObjectOpensAsEmptyProject) {
  ProjectPtr p = open_text("{}");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->layout, 0u);
  EXPECT_STREQ(p->primary_canvas, "");
  EXPECT_STREQ(kelvra_canvas_id(p.get()), "fullhd");
  EXPECT_EQ(p->canvas_mask, 0u);
  EXPECT_EQ(kelvra_canvas_mask(p.get()), 1u << 1);
  EXPECT_EQ(p->source_count + p->clip_count + p->title_count, 0u);
  EXPECT_EQ(p->score.bpm, 120.0);
  EXPECT_FLOAT_EQ(p->score.master, 0.85f);
  EXPECT_EQ(p->score.rolls, 1u);
  EXPECT_EQ(p->embedded_media, 0);
}

TEST(ProjectRead, AcceptanceRules) {
  std::string many_sources = "{\"sources\": [";
  for (int i = 0; i < 257; ++i) many_sources += (i ? "," : "") + std::string("{\"id\": \"s") + std::to_string(i) + "\"}";
  many_sources += "]}";
  std::string many_clips = "{\"clips\": [";
  for (int i = 0; i < 257; ++i) many_clips += i ? ",{}" : "{}";
  many_clips += "]}";
  const struct {
    std::string text;
    bool opens;
  } cases[] = {
      {R"({"schemaVersion": 1})", true},
      {R"({"schemaVersion": 2})", false},
      {R"({"schemaVersion": "2"})", true},  // not a number: counts as 1
      {R"({"schemaVersion": 1e9})", true},  // beyond the number rule: the default 1
      {R"({"schemaVersion": 1.0})", true},
      {"[]", false},
      {"\"text\"", false},
      {"{", false},
      {R"({"sources": {}})", false},
      {R"({"sources": [{"file": "a.mp4"}]})", false},   // a source without an id
      {R"({"sources": [{"id": ""}]})", false},
      {R"({"sources": [{"id": 5}]})", false},
      {R"({"clips": 3})", false},
      {R"({"texts": {}})", false},
      {R"({"audioScore": {"regions": {}}})", false},
      {many_sources, false},
      {many_clips, false},
  };
  for (const auto& c : cases) EXPECT_EQ(open_text(c.text) != nullptr, c.opens) << c.text.substr(0, 80);

  ProjectPtr p = empty_project();
  EXPECT_FALSE(kelvra_project_open_bytes(p.get(), "{}\0{}", 5));  // a NUL byte
  EXPECT_FALSE(kelvra_project_open_bytes(p.get(), "", 0));
}

TEST(ProjectRead, SourcesCutsAndClamps) {
  ProjectPtr p = open_text(R"({
    "layout": "edit",
    "sources": [
      {"id": "a", "file": "a.mp4", "title": "A", "duration": 3},
      {"id": "b", "file": "b.wav", "rendered": true},
      {"id": "c", "file": "c.mp4", "duration": -5}
    ],
    "cuts": {
      "a": {"in": 1.5, "out": 4, "video": false, "audio": true, "loops": 3.9, "mode": "loop"},
      "b": {"in": -2, "out": 1, "loops": 500, "mode": "looping"},
      "c": {"in": 8, "out": 2, "loops": 0}
    }})");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->layout, 2u);
  ASSERT_EQ(p->source_count, 3u);
  const Source& a = p->sources[0];
  EXPECT_STREQ(a.id, "a");
  EXPECT_STREQ(a.file, "a.mp4");
  EXPECT_STREQ(a.title, "A");
  EXPECT_EQ(a.in, 1.5);
  EXPECT_EQ(a.out, 4.0);
  EXPECT_EQ(a.duration, 4.0);  // raised to the out point
  EXPECT_EQ(a.video, 0);
  EXPECT_EQ(a.loops, 3u);
  EXPECT_EQ(a.loop, 1);
  const Source& b = p->sources[1];
  EXPECT_EQ(b.in, 0.0);
  EXPECT_EQ(b.loops, 101u);
  EXPECT_EQ(b.loop, 0);
  EXPECT_EQ(b.rendered, 1);
  const Source& c = p->sources[2];
  EXPECT_EQ(c.in, 8.0);
  EXPECT_EQ(c.out, 8.0);
  EXPECT_EQ(c.duration, 8.0);
  EXPECT_EQ(c.loops, 1u);
  EXPECT_EQ(c.video, 1);
}

TEST(ProjectRead, ClipsTitlesAndTimelineEnd) {
  ProjectPtr p = open_text(R"({
    "sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}, {"id": "c", "file": "c.mp4", "duration": 1}],
    "clips": [
      {"id": "k1", "name": "One", "sourceId": "zzz", "file": "c.mp4", "in": 5, "out": 3, "lane": 9, "loops": 0,
       "at": 20000, "gain": 0.5, "fade": 0.25, "fadeOut": 1, "music": true},
      {"id": "k2", "sourceId": "b", "file": "c.mp4", "in": 2, "out": 5, "loops": 3, "mode": "loop", "at": 10,
       "lane": 2.7, "audio": false},
      {"file": "nowhere.mp4", "out": 1}
    ],
    "texts": [{"text": "Hi", "at": 30, "style": {"background": "#112233", "color": "#ffffff-and-more"}},
              {"x": 7, "y": -1, "duration": -3}]
    })");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->clip_count, 3u);
  const Clip& one = p->clips[0];
  EXPECT_EQ(one.in, 5.0);
  EXPECT_EQ(one.out, 5.0);
  EXPECT_EQ(one.lane, 7u);
  EXPECT_EQ(one.loops, 1u);
  EXPECT_EQ(one.at, 0.0);  // out of range: the default
  EXPECT_EQ(one.source, 2);  // found through its file
  EXPECT_EQ(one.gain, 0.5);
  EXPECT_EQ(one.fade_in, 0.25);
  EXPECT_EQ(one.fade_out, 1.0);
  EXPECT_EQ(one.music, 1);
  EXPECT_EQ(one.json_index, data_json_child(&p->document, data_json_field(&p->document, 0, "clips")));
  EXPECT_EQ(one.transform.scale, 1.0);
  const Clip& two = p->clips[1];
  EXPECT_EQ(two.source, 1);  // the identifier wins over the file: the first matching source
  EXPECT_EQ(two.lane, 2u);
  EXPECT_EQ(kelvra_clip_length(&two), 9.0);
  EXPECT_EQ(two.audio, 0);
  EXPECT_EQ(p->clips[2].source, -1);
  EXPECT_EQ(p->sources[2].duration, 5.0);  // raised to the out point of the clip that uses it

  ASSERT_EQ(p->title_count, 2u);
  EXPECT_STREQ(p->titles[0].text, "Hi");
  EXPECT_STREQ(p->titles[0].background, "#112233");
  EXPECT_STREQ(p->titles[0].color, "#ffffff-and-mor");  // cut to 15 bytes
  EXPECT_EQ(p->titles[0].duration, 2.0);
  EXPECT_EQ(p->titles[0].y, 0.82);
  EXPECT_EQ(p->titles[1].x, 1.0);
  EXPECT_EQ(p->titles[1].y, 0.0);
  EXPECT_EQ(p->titles[1].duration, 0.0);
  EXPECT_EQ(p->timeline_end, 32.0);  // the title at 30 for 2 s ends last; the looped clip ends at 19
}

TEST(ProjectRead, CanvasesAndPlacements) {
  ProjectPtr p = open_text(R"({"canvasSizes": ["square", "bogus", 7, "shorts"]})");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->canvas_mask, (1u << 9) | (1u << 6));
  EXPECT_STREQ(p->primary_canvas, "square");

  p = open_text(R"({"canvasSizes": ["square", "bogus", "shorts"], "primaryCanvas": "reels"})");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->canvas_mask, (1u << 9) | (1u << 6));
  EXPECT_STREQ(p->primary_canvas, "reels");

  p = open_text(R"({"primaryCanvas": "huge", "clips": [{"transforms": {"fullhd": {"x": -4, "y": 0.25, "scale": 5},
                                                                        "square": {"x": 0.5}}}, {}]})");
  ASSERT_TRUE(p);
  EXPECT_STREQ(p->primary_canvas, "");  // a key that is not a preset is ignored
  EXPECT_EQ(kelvra_canvas_index(kelvra_canvas_id(p.get())), 1u);
  const Clip& clip = p->clips[0];
  EXPECT_EQ(clip.transform.x, -3.0);
  EXPECT_EQ(clip.transform.y, 0.25);
  EXPECT_EQ(clip.transform.scale, 3.0);
  EXPECT_EQ(clip.transform.edited, 0);
  Transform placement;
  kelvra_canvas_transform(&placement, p.get(), &clip, 9);
  EXPECT_EQ(placement.x, 0.5);
  EXPECT_EQ(placement.scale, 1.0);
  kelvra_canvas_transform(&placement, p.get(), &clip, 6);  // not given by the file
  EXPECT_EQ(placement.x, 0.0);
  EXPECT_EQ(placement.y, 0.0);
  EXPECT_EQ(placement.scale, 1.0);
  Clip placed{};
  placed.json_index = KELVRA_NONE;
  kelvra_canvas_transform(&placement, p.get(), &placed, 1);
  EXPECT_EQ(placement.scale, 1.0);
}

TEST(ProjectModel, CanvasLookupsAndFit) {
  EXPECT_EQ(kelvra_canvas_index("wide"), 13u);
  EXPECT_EQ(kelvra_canvas_index("WIDE"), 1u);
  EXPECT_EQ(kelvra_canvas_index(""), 1u);
  Rect r;
  kelvra_canvas_fit(&r, &kelvra_canvases[6], Rect{0, 0, 400, 300});
  EXPECT_EQ(r.width, 169);
  EXPECT_EQ(r.height, 300);
  EXPECT_EQ(r.x, 115);
  kelvra_canvas_fit(&r, &kelvra_canvases[13], Rect{10, 20, 400, 300});
  EXPECT_EQ(r.width, 400);
  EXPECT_EQ(r.height, 168);
  EXPECT_EQ(r.x, 10);
  EXPECT_EQ(r.y, 20 + 66);
  Clip clip{};
  clip.in = 2;
  clip.out = 5;
  clip.loops = 3;
  clip.loop = 1;
  EXPECT_EQ(kelvra_clip_length(&clip), 9.0);
  clip.loop = 0;
  EXPECT_EQ(kelvra_clip_length(&clip), 3.0);
}

TEST(ProjectRead, FailedOpenLeavesTheOpenProjectAsItWas) {
  ProjectPtr p = open_text(R"({"sources": [{"id": "keep"}], "clips": [{"sourceId": "keep", "out": 2}]})");
  ASSERT_TRUE(p);
  auto before = std::make_unique<unsigned char[]>(sizeof(Project));
  std::memcpy(before.get(), p.get(), sizeof(Project));
  const std::string text_before = p->file_text;

  TempDir dir;
  const std::string bad[] = {"{\"schemaVersion\": 2}", "{\"sources\": [{}]}", "{ truncated", ""};
  for (const std::string& content : bad) {
    write_file(dir.file("bad.json"), content);
    EXPECT_FALSE(kelvra_project_open(p.get(), dir.file("bad.json").c_str()));
    EXPECT_EQ(std::memcmp(before.get(), p.get(), sizeof(Project)), 0);
    EXPECT_EQ(p->file_text, text_before);
  }
  EXPECT_FALSE(kelvra_project_open(p.get(), dir.file("missing.json").c_str()));
  EXPECT_FALSE(kelvra_project_open(p.get(), dir.path().c_str()));  // a folder
  EXPECT_EQ(std::memcmp(before.get(), p.get(), sizeof(Project)), 0);

  // A FIFO is refused at once rather than waited on for a writer.
  ASSERT_EQ(::mkfifo(dir.file("pipe.pjn").c_str(), 0600), 0);
  auto fifo = std::async(std::launch::async, [&] { return kelvra_project_open(p.get(), dir.file("pipe.pjn").c_str()); });
  if (fifo.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "opening a FIFO waited for a writer";
    ::close(::open(dir.file("pipe.pjn").c_str(), O_RDWR));
  }
  EXPECT_FALSE(fifo.get());
  EXPECT_EQ(std::memcmp(before.get(), p.get(), sizeof(Project)), 0);

  write_file(dir.file("good.json"), R"({"clips": [{}, {}]})");
  EXPECT_TRUE(kelvra_project_open(p.get(), dir.file("good.json").c_str()));
  EXPECT_EQ(p->clip_count, 2u);
  EXPECT_EQ(p->source_count, 0u);
}

TEST(ProjectPaths, BareNamesAndMediaFolder) {
  char out[KELVRA_PATH_SIZE];
  EXPECT_TRUE(kelvra_path("/media", "demo.pjn", out));
  EXPECT_STREQ(out, "/media/demo.pjn");
  for (const char* name : {"", ".", "..", "a/b", "/"}) EXPECT_FALSE(kelvra_path("/media", name, out)) << name;
  // Every other byte may stand in a name, as on the file system.
  for (const char* name : {"...", "a\\b", "c:d", "caf\xc3", "new\nline", "\"quoted\""})
    EXPECT_TRUE(kelvra_path("/media", name, out)) << name;
  const std::string folder(4000, 'f');
  EXPECT_TRUE(kelvra_path(folder.c_str(), std::string(94, 'n').c_str(), out));   // 4095 characters
  EXPECT_FALSE(kelvra_path(folder.c_str(), std::string(95, 'n').c_str(), out));  // 4096 characters

  const char* saved_media = std::getenv("ZARNELK_MEDIA");
  const std::string saved = saved_media ? saved_media : "";
  setenv("ZARNELK_MEDIA", "/srv/media", 1);
  EXPECT_TRUE(kelvra_media_folder(out));
  EXPECT_STREQ(out, "/srv/media");
  setenv("ZARNELK_MEDIA", "", 1);
  setenv("HOME", "/home/maker", 1);
  EXPECT_TRUE(kelvra_media_folder(out));
  EXPECT_STREQ(out, "/home/maker/Videos/Zarnel");
  setenv("ZARNELK_MEDIA", std::string(KELVRA_PATH_SIZE, 'm').c_str(), 1);
  EXPECT_FALSE(kelvra_media_folder(out));
  if (saved_media) setenv("ZARNELK_MEDIA", saved.c_str(), 1); else unsetenv("ZARNELK_MEDIA");
}

TEST(ProjectRead, TextsAreCutToTheirFieldsOnCharacterBoundaries) {
  const std::string title = std::string(158, 't') + "\xc3\xa9";  // 160 bytes, the last character two bytes long
  const std::string name = std::string(157, 'n') + "\xe2\x82\xac";  // 160 bytes ending in a three-byte character
  ProjectPtr p = open_text("{\"sources\": [{\"id\": \"" + std::string(120, 'i') + "\", \"title\": \"" + title +
                           "\"}], \"clips\": [{\"name\": \"" + name + "\"}]}");
  ASSERT_TRUE(p);
  EXPECT_EQ(std::string(p->sources[0].title), std::string(158, 't'));
  EXPECT_EQ(std::string(p->sources[0].id), std::string(95, 'i'));
  EXPECT_EQ(std::string(p->clips[0].name), std::string(157, 'n'));
  p = open_text("{\"sources\": [{\"id\": \"s\", \"title\": \"" + std::string(157, 't') + "\xc3\xa9\"}]}");
  EXPECT_EQ(std::string(p->sources[0].title), std::string(157, 't') + "\xc3\xa9");  // fits exactly
}

// Names and titles are text to show: what cannot be held or is not UTF-8
// reads as U+FFFD, and the rest stays.
TEST(ProjectRead, ShownTextsReplaceWhatCannotShow) {
  ProjectPtr p = open_text(R"({"sources": [{"id": "s", "file": "a.wav", "title": "Song\u0000 one"}],
                               "clips": [{"name": "Clip \ud83d"}],
                               "texts": [{"text": "Dawn \ud83d\u0041"}, {"text": "Bad byte )" "\xff" R"("}]})");
  ASSERT_TRUE(p);
  EXPECT_STREQ(p->sources[0].title, "Song\xef\xbf\xbd one");
  EXPECT_STREQ(p->clips[0].name, "Clip \xef\xbf\xbd");
  EXPECT_STREQ(p->titles[0].text, "Dawn \xef\xbf\xbd" "A");
  EXPECT_STREQ(p->titles[1].text, "Bad byte \xef\xbf\xbd");
}

TEST(ProjectRead, EmbeddedMediaFlag) {
  EXPECT_EQ(open_text(R"({"embeddedMedia": [1]})")->embedded_media, 1);
  EXPECT_EQ(open_text(R"({"embeddedMedia": []})")->embedded_media, 0);
  EXPECT_EQ(open_text(R"({"embeddedMedia": {"a": 1}})")->embedded_media, 0);
}

}  // namespace
