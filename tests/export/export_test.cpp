// Exports made the way a user makes them and read back: the editor previews
// its canvases, "Export" queues one MP4 per open canvas and "WAV mix" the
// sound, the workers run while the frame loop goes on, and the files are
// checked with ffprobe, the project's own reader and the mix the preview
// plays. Also the queue's bookkeeping, the MP4 writer's time stamps, and the
// failures a job meets (a taken name, a leftover partial file, a missing or
// vanished source, a cancel), each leaving no file behind.
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "export_fixture.h"
#include "media/audio_mix.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/clock.h"
#include "platform/media.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// What ffprobe says about one stream or the format, as "key=value" lines.
std::string probe(const std::string& path, const char* entries) {
  const std::string command = "ffprobe -v error -show_entries " + std::string(entries) +
                              " -of default=noprint_wrappers=1 '" + path + "' 2>&1";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

double probe_number(const std::string& text, const std::string& key) {
  const size_t at = text.find(key + "=");
  return at == std::string::npos ? -1 : std::atof(text.c_str() + at + key.size() + 1);
}

// The types of the top-level boxes of an MP4 file, in order.
std::vector<std::string> top_boxes(const std::string& path) {
  const std::string bytes = kelvra_test::read_file(path);
  std::vector<std::string> boxes;
  uint64_t at = 0;
  while (at + 8 <= bytes.size()) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    uint64_t size = (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
    if (size == 1 && at + 16 <= bytes.size()) {
      size = 0;
      for (int i = 8; i < 16; ++i) size = size << 8 | p[i];
    }
    boxes.emplace_back(bytes.substr(at + 4, 4));
    if (size < 8) break;
    at += size;
  }
  return boxes;
}

std::vector<std::string> folder_names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

bool has_partial(const std::string& folder) {
  for (const std::string& name : folder_names(folder))
    if (name.find(".partial.") != std::string::npos) return true;
  return false;
}

// PSNR of two B, G, R, X pictures over their colour bytes.
double psnr(const uint8_t* a, uint32_t a_stride, const uint8_t* b, uint32_t b_stride, uint32_t width, uint32_t height) {
  double sum = 0;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        const double d = static_cast<double>(a[y * a_stride + 4 * x + c]) - b[y * b_stride + 4 * x + c];
        sum += d * d;
      }
  const double mse = sum / (3.0 * width * height);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Two layers (the top one an inset), a title over both, a music clip and the
// sound of both sources: what the export must reproduce.
constexpr char kComposite[] = R"({
  "sources": [{"id": "coded", "file": "coded-with-sound.mp4"}, {"id": "corner", "file": "corner.mp4"},
              {"id": "tone", "file": "tone-stereo.wav"}],
  "clips": [
    {"id": "under", "name": "Under", "sourceId": "coded", "in": 0.5, "out": 2.5, "lane": 0, "gain": 0.8,
     "fadeIn": 0.2, "fadeOut": 0.3},
    {"id": "inset", "name": "Inset", "sourceId": "corner", "in": 0, "out": 0.1, "mode": "loop", "loops": 20,
     "lane": 1, "audio": false,
     "transforms": {"hd": {"x": 0.25, "y": -0.2, "scale": 0.4}, "square": {"x": -0.2, "y": 0.2, "scale": 0.3}}},
    {"id": "tone", "name": "Tone", "sourceId": "tone", "in": 0, "out": 1.5, "at": 0.5, "lane": 2, "gain": 0.5,
     "video": false},
    {"id": "music", "name": "Music", "sourceId": "tone", "in": 0, "out": 2, "lane": 3, "music": true, "gain": 0.7,
     "video": false}
  ],
  "texts": [{"text": "Harbour at dawn", "at": 0.2, "duration": 1.6, "x": 0.5, "y": 0.8,
             "style": {"background": "#203040", "color": "#F0E0A0"}}],
  "primaryCanvas": "hd", "canvasSizes": ["hd", "square"]
})";

class Export : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"coded-with-sound.mp4", "corner.mp4", "tone-stereo.wav", "coded.mp4"})
      ASSERT_EQ(::symlink(fixture(name).c_str(), dir.file(name).c_str()), 0);
  }
  void TearDown() override { editor.reset(); }

  void open(const std::string& json) {
    editor.reset();
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
  }

  // Shows the Timeline tab until every open canvas has been previewed.
  void preview() { ASSERT_TRUE(kelvra_test::preview_canvases(editor.get())); }

  // Runs the frame loop until no job is queued or running; the rows then.
  std::vector<RenderRow> finish() { return kelvra_test::finish_exports(editor.get()); }

  // The frames of a finished WAV export, after checking its header.
  std::vector<int16_t> wav_frames(const std::string& path, uint64_t frames) {
    const std::string bytes = kelvra_test::read_file(path);
    EXPECT_EQ(bytes.size(), 44 + frames * 4);
    if (bytes.size() != 44 + frames * 4) return {};
    const uint32_t data_size = static_cast<uint32_t>(frames * 4);
    std::string header("RIFF....WAVEfmt \x10\0\0\0\x01\0\x02\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x10\0data....", 44);
    for (int i = 0; i < 4; ++i) {
      header[4 + i] = static_cast<char>((data_size + 36) >> (8 * i));
      header[40 + i] = static_cast<char>(data_size >> (8 * i));
    }
    EXPECT_EQ(bytes.substr(0, 44), header);
    std::vector<int16_t> samples(frames * 2);
    std::memcpy(samples.data(), bytes.data() + 44, frames * 4);
    return samples;
  }

  TempDir dir;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
};

// The whole path: preview, Export, two MP4s written while the editor runs,
// then the WAV mix from the Render tab; every file read back.
TEST_F(Export, EditorRendersEveryOpenCanvasAndTheMix) {
  open(kComposite);
  preview();
  const double end = app->project.timeline_end;
  ASSERT_DOUBLE_EQ(end, 2.0);
  editor->click(app->export_button);
  EXPECT_EQ(editor->status(), "Open preview canvases queued.");
  EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
  std::vector<RenderRow> rows = finish();
  ASSERT_EQ(rows.size(), 2u);

  unsigned long long stamp[2] = {};
  const char* keys[2] = {"hd", "square"};
  for (int k = 0; k < 2; ++k) {
    const RenderRow& row = rows[k];
    EXPECT_EQ(row.state, RENDER_READY) << row.message;
    char key[32] = "";
    unsigned long long index = 99;
    ASSERT_EQ(std::sscanf(row.file_name, "kelvra-render-%llu-%llu-%31[a-z].mp4", &stamp[k], &index, key), 3)
        << row.file_name;
    EXPECT_EQ(index, static_cast<unsigned long long>(k));
    EXPECT_STREQ(key, keys[k]);
    // The file is in the library as a rendered source.
    ASSERT_GE(row.source_index, 0);
    const Source& source = app->project.sources[row.source_index];
    EXPECT_STREQ(source.file, row.file_name);
    EXPECT_EQ(std::string(source.title), std::string("Export · ") + (row.file_name + 14));
    EXPECT_EQ(source.rendered, 1);
    EXPECT_EQ(source.video, 1);
    EXPECT_DOUBLE_EQ(source.duration, end);

    const std::string path = dir.file(row.file_name);
    const CanvasPreset& preset = kelvra_canvases[row.canvas];
    const std::string video = probe(path, "stream=codec_name,pix_fmt,width,height,r_frame_rate -select_streams v");
    EXPECT_NE(video.find("codec_name=h264"), std::string::npos) << video;
    EXPECT_NE(video.find("pix_fmt=yuv420p"), std::string::npos) << video;
    EXPECT_EQ(probe_number(video, "width"), preset.width) << video;
    EXPECT_EQ(probe_number(video, "height"), preset.height) << video;
    EXPECT_NE(video.find("r_frame_rate=30/1"), std::string::npos) << video;
    const std::string audio = probe(path, "stream=codec_name,sample_rate,channels -select_streams a");
    EXPECT_NE(audio.find("codec_name=aac"), std::string::npos) << audio;
    EXPECT_EQ(probe_number(audio, "sample_rate"), 48000) << audio;
    EXPECT_EQ(probe_number(audio, "channels"), 2) << audio;
    const std::string frames = probe(path, "stream=nb_frames -select_streams v");
    EXPECT_EQ(probe_number(frames, "nb_frames"), 60) << frames;
    EXPECT_NEAR(probe_number(probe(path, "format=duration"), "duration"), end, 1.0 / 30);
    std::vector<std::string> boxes = top_boxes(path);
    const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
    const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    ASSERT_TRUE(moov != boxes.end() && mdat != boxes.end());
    EXPECT_LT(moov, mdat);
  }
  EXPECT_EQ(stamp[0], stamp[1]);
  EXPECT_FALSE(has_partial(dir.path()));

  // Adding the finished files to the library is no edit: the mix may follow at once.
  EXPECT_TRUE(kelvra_export_ready(app));
  // The mix as it is: the loudness switch goes from -14 LUFS through -16 to off.
  const Rect loudness{app->main_panel.x + 351, app->main_panel.y + 7, 150, 25};
  editor->click(loudness);
  EXPECT_EQ(editor->status(), "Export loudness: -16 LUFS.");
  editor->click(loudness);
  EXPECT_EQ(editor->status(), "Export loudness: off.");
  EXPECT_TRUE(kelvra_export_ready(app));
  editor->click(Rect{app->main_panel.x + 264, app->main_panel.y + 7, 82, 25});  // "WAV mix"
  EXPECT_EQ(editor->status(), "WAV mix queued.");
  rows = finish();
  ASSERT_EQ(rows.size(), 3u);
  ASSERT_EQ(rows[2].state, RENDER_READY) << rows[2].message;
  EXPECT_TRUE(rows[2].is_wav);
  EXPECT_EQ(app->project.sources[rows[2].source_index].video, 0);

  // The WAV holds exactly the mix the preview plays, block by block.
  const uint64_t count = static_cast<uint64_t>(std::ceil(end * 48000));
  const std::vector<int16_t> written = wav_frames(dir.file(rows[2].file_name), count);
  ASSERT_FALSE(written.empty());
  kelvra_test::WholeSources sources;
  ASSERT_TRUE(kelvra_test::decode_whole(app, &sources));
  const WavePcm* table = sources.table;
  std::vector<int16_t> expected(count * 2);
  for (uint64_t k = 0; k * 1600 < count; ++k)
    kelvra_audio_export_mix(&app->project, table, PROJECT_MAX_ROWS, static_cast<double>(k) / 30, &expected[k * 3200],
                            std::min<uint64_t>(1600, count - k * 1600));
  EXPECT_TRUE(written == expected);
  // With one source the export's mix is the preview's timeline mix, bit for bit.
  std::vector<int16_t> one(count * 2);
  std::vector<int16_t> preview_mix(count * 2);
  WavePcm only[PROJECT_MAX_ROWS] = {};
  only[2] = table[2];
  for (uint64_t k = 0; k * 1600 < count; ++k) {
    const uint64_t n = std::min<uint64_t>(1600, count - k * 1600);
    kelvra_audio_export_mix(&app->project, only, PROJECT_MAX_ROWS, static_cast<double>(k) / 30, &one[k * 3200], n);
    kelvra_audio_timeline_mix(&app->project, &table[2], 2, static_cast<double>(k) / 30, &preview_mix[k * 3200], n);
  }
  EXPECT_TRUE(one == preview_mix);
  int loud = 0;
  for (int16_t v : written) loud += std::abs(v) > 1000;
  EXPECT_GT(loud, 1000);  // the mix is not silence
}

// Each exported picture is the composition of its time: two layers, an
// inset and a title, compared with the composer's own drawing.
TEST_F(Export, PicturesMatchTheComposition) {
  open(kComposite);
  preview();
  editor->click(app->export_button);
  const std::vector<RenderRow> rows = finish();
  ASSERT_EQ(rows.size(), 2u);
  for (const RenderRow& row : rows) {
    ASSERT_EQ(row.state, RENDER_READY) << row.message;
    auto snapshot = std::make_unique<EditSnapshot>();
    snapshot->project = app->project;
    snapshot->project.file_text = nullptr;
    std::memcpy(snapshot->media_folder, app->media_folder, sizeof snapshot->media_folder);
    for (uint64_t i = 0; i < snapshot->project.clip_count; ++i)
      kelvra_canvas_transform(&snapshot->project.clips[i].transform, &app->project, &app->project.clips[i],
                              static_cast<uint32_t>(row.canvas));
    const CanvasPreset& preset = kelvra_canvases[row.canvas];
    RenderPicture* picture = kelvra_render_picture_create(snapshot.get(), &preset);
    ASSERT_NE(picture, nullptr);
    VideoDecoder decoder{};
    ASSERT_TRUE(video_decode_open(&decoder, dir.file(row.file_name).c_str()));
    for (int frame : {10, 30, 45}) {
      const double t = frame / 30.0;
      char message[128] = "";
      uint32_t stride = 0;
      const uint8_t* drawn = kelvra_render_compose(picture, t, message, &stride);
      ASSERT_NE(drawn, nullptr) << message;
      ASSERT_TRUE(video_decode_frame(&decoder, t));
      ASSERT_EQ(decoder.width, preset.width);
      const double quality = psnr(drawn, stride, decoder.pixels, decoder.width * 4, preset.width, preset.height);
      EXPECT_GE(quality, 35.0) << preset.key << " at frame " << frame;
    }
    video_decode_close(&decoder);
    kelvra_render_picture_destroy(picture);
  }
}

// "Cancel" on a row stops a running job and a queued one; neither leaves a file.
TEST_F(Export, CancelOnTheRenderTab) {
  open(R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
           "clips": [{"sourceId": "coded", "out": 4, "mode": "loop", "loops": 2}],
           "primaryCanvas": "hd", "canvasSizes": ["hd", "square", "wide"]})");
  preview();
  editor->click(app->export_button);
  ASSERT_EQ(app->active_tab, KELVRA_TAB_RENDER);
  const Rect p = app->main_panel;
  for (int row : {2, 0}) {  // the queued third job, then the first, running
    const int32_t top = p.y + 45 + 55 * row;
    editor->click(Rect{p.x + p.width - 87, top + 6, 71, 24});
    EXPECT_EQ(editor->status(), "Export cancelled.");
  }
  const std::vector<RenderRow> rows = finish();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].state, RENDER_CANCELLED);
  EXPECT_EQ(rows[1].state, RENDER_READY) << rows[1].message;
  EXPECT_EQ(rows[2].state, RENDER_CANCELLED);
  EXPECT_STREQ(rows[2].message, "");
  int rendered = 0;
  for (const std::string& name : folder_names(dir.path())) {
    EXPECT_EQ(name.find(".partial."), std::string::npos) << name;
    rendered += name.rfind("kelvra-render-", 0) == 0;
  }
  EXPECT_EQ(rendered, 1);
  // A press on a finished row's cancel place does nothing.
  editor->click(Rect{p.x + p.width - 87, p.y + 45 + 6, 71, 24});
  EXPECT_EQ(app->render_queue->jobs[0].row.state, RENDER_CANCELLED);
}

// ------------------------------------------------------------------ queue

class Queue : public ::testing::Test {
 protected:
  void SetUp() override {
    app = kelvra_app_create();
    app->render_queue = kelvra_render_create();
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", dir.path().c_str());
    ASSERT_EQ(::symlink(fixture("coded-with-sound.mp4").c_str(), dir.file("coded.mp4").c_str()), 0);
    ASSERT_EQ(::symlink(fixture("corner.mp4").c_str(), dir.file("corner.mp4").c_str()), 0);
  }
  void TearDown() override {
    kelvra_render_destroy(app->render_queue);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
  }

  void load(const std::string& json) {
    ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
    app->previewed_canvases = kelvra_canvas_mask(&app->project);
  }

  // Polls until job `k` has ended; its row then.
  RenderRow wait(uint64_t k) {
    RenderRow rows[RENDER_MAX_JOBS];
    for (int i = 0; i < 3000; ++i) {
      kelvra_render_poll(app);
      kelvra_render_rows(app, rows);
      if (rows[k].state >= RENDER_READY && app->render_queue->jobs[k].thread == nullptr) break;
      ui_sleep_ms(10);
    }
    return rows[k];
  }

  TempDir dir;
  KelvraApp* app = nullptr;
};

const char kTwoCanvases[] = R"({"sources": [{"id": "coded", "file": "coded.mp4"}],
  "clips": [{"sourceId": "coded", "out": 1}], "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "shorts"]})";

TEST_F(Queue, ReadinessAndBatches) {
  load(kTwoCanvases);
  struct Case {
    double end;
    uint32_t previewed;
    uint64_t serial;
    bool ready;
  };
  const uint32_t both = (1u << 1) | (1u << 6);
  const Case cases[] = {
      {1, both, 0, true},          {14400, both, 0, true},  {14400.001, both, 0, false}, {0, both, 0, false},
      {1, 1u << 1, 0, false},      {1, both, 1, false},     {1, both | 1u, 0, true},
  };
  for (const Case& c : cases) {
    app->project.timeline_end = c.end;
    app->previewed_canvases = c.previewed;
    app->previewed_serial = c.serial;
    EXPECT_EQ(kelvra_export_ready(app), c.ready) << c.end << " " << c.previewed << " " << c.serial;
  }
  app->previewed_serial = 0;
  app->previewed_canvases = 1u << 1;
  EXPECT_FALSE(kelvra_render_enqueue(app, true));  // the mix waits for every canvas too
  EXPECT_STREQ(app->status, "Preview every open canvas in Timeline before exporting.");
  EXPECT_EQ(app->render_queue->job_count, 0u);

  // One batch: a job per open canvas, in preset order, sharing one stamp.
  app->project.timeline_end = 1;
  ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
  RenderQueue* queue = app->render_queue;
  ASSERT_EQ(queue->job_count, 2u);
  unsigned long long stamps[2];
  char keys[2][16];
  for (int k = 0; k < 2; ++k) {
    unsigned long long index = 0;
    ASSERT_EQ(std::sscanf(queue->jobs[k].row.file_name, "kelvra-render-%llu-%llu-%15[a-z].mp4", &stamps[k], &index,
                          keys[k]),
              3);
    EXPECT_EQ(index, static_cast<unsigned long long>(k));
    EXPECT_EQ(queue->jobs[k].row.state, RENDER_QUEUED);
    EXPECT_EQ(queue->jobs[k].row.source_index, -1);
  }
  EXPECT_EQ(stamps[0], stamps[1]);
  EXPECT_STREQ(keys[0], "fullhd");
  EXPECT_STREQ(keys[1], "shorts");
  // The snapshot is the project without its text, and shares no memory with it.
  EXPECT_EQ(queue->jobs[0].snapshot->project.file_text, nullptr);
  EXPECT_EQ(queue->jobs[0].snapshot->project.clip_count, 1u);

  // A batch that would pass 24 jobs adds none of them.
  for (int i = 0; i < 21; ++i) ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  ASSERT_EQ(queue->job_count, 23u);
  EXPECT_FALSE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
  EXPECT_EQ(queue->job_count, 23u);
  EXPECT_EQ(queue->jobs[23].snapshot, nullptr);
  EXPECT_TRUE(kelvra_render_batch(app, 0, true));
  EXPECT_FALSE(kelvra_render_batch(app, 0, true));
  EXPECT_EQ(queue->job_count, 24u);
}

TEST_F(Queue, LibraryScanAndSources) {
  for (const char* name : {"kelvra-render-1-0-fullhd.mp4", "kelvra-render-1-0-fullhd.mp4.partial.mp4",
                           "kelvra-render-1-1-mix.WAV", "kelvra-render-1-2-notes.txt", "other.mp4"})
    kelvra_test::write_file(dir.file(name), "x");
  std::filesystem::create_directory(dir.file("kelvra-render-x.mp4"));
  kelvra_render_library(app);
  ASSERT_EQ(app->project.source_count, 2u);
  std::vector<std::string> files = {app->project.sources[0].file, app->project.sources[1].file};
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files[0], "kelvra-render-1-0-fullhd.mp4");
  EXPECT_EQ(files[1], "kelvra-render-1-1-mix.WAV");
  for (const Source& source : {app->project.sources[0], app->project.sources[1]}) {
    EXPECT_EQ(source.rendered, 1);
    EXPECT_EQ(source.video, std::string(source.file).ends_with(".mp4"));
  }
  // Scanning again, or adding a known file, changes nothing.
  kelvra_render_library(app);
  EXPECT_EQ(app->project.source_count, 2u);
  EXPECT_EQ(kelvra_render_add_source(app, app->project.sources[1].file, true, 3), 1);
  app->project.source_count = PROJECT_MAX_ROWS;
  EXPECT_EQ(kelvra_render_add_source(app, "kelvra-render-9-9-hd.mp4", false, 1), -1);
}

// Four canvases: the first three render together, sharing their decoding;
// the fourth waits its turn, and all four finish.
TEST_F(Queue, AtMostTwoWorkersAndTheirTexts) {
  load(R"({"sources": [{"id": "coded", "file": "coded.mp4"}], "clips": [{"sourceId": "coded", "out": 0.5}],
           "primaryCanvas": "hd", "canvasSizes": ["hd", "square", "feed45", "wide"]})");
  ASSERT_TRUE(kelvra_render_enqueue(app, false));
  EXPECT_STREQ(app->status, "Open preview canvases queued.");
  RenderRow rows[RENDER_MAX_JOBS];
  ASSERT_EQ(kelvra_render_rows(app, rows), 4u);
  EXPECT_NE(app->render_queue->jobs[0].thread, nullptr);
  EXPECT_NE(app->render_queue->jobs[1].thread, nullptr);
  EXPECT_NE(app->render_queue->jobs[2].thread, nullptr);
  EXPECT_EQ(app->render_queue->jobs[3].thread, nullptr);
  EXPECT_EQ(rows[3].state, RENDER_QUEUED);
  char text[160];
  kelvra_render_row_title(&rows[3], text, sizeof text);
  EXPECT_STREQ(text, "Scope  2048 × 858");
  kelvra_render_row_status(&rows[3], text, sizeof text);
  EXPECT_STREQ(text, "Queued  ·  0s  ·  CPU 0%");
  RenderRow encoding{};
  encoding.state = RENDER_ENCODING;
  encoding.progress = 0.25;
  encoding.elapsed = 3;
  encoding.cpu_percent = 97;
  kelvra_render_row_status(&encoding, text, sizeof text);
  EXPECT_STREQ(text, "Encoding  25%  ·  3s elapsed  ·  9s left  ·  CPU 97%");
  for (uint64_t k = 0; k < 4; ++k) EXPECT_EQ(wait(k).state, RENDER_READY) << wait(k).message;
  EXPECT_EQ(app->project.source_count, 5u);
}

// Failures end the job with its text and leave no file of theirs behind;
// a file already under the final name is never touched.
TEST_F(Queue, FailuresLeaveNothingBehind) {
  struct Case {
    const char* what;
    const char* json;
    bool wav;
    const char* message;  // the row's text, or a prefix of it
    int prepare;          // 0 nothing, 1 take the final name, 2 leave a partial file, 3 delete corner.mp4
  };
  const Case cases[] = {
      {"missing source",
       R"({"sources": [{"id": "g", "file": "gone.mp4"}], "clips": [{"sourceId": "g", "out": 1}]})", false,
       "Source file missing: gone.mp4", 0},
      {"vanished video",
       R"({"sources": [{"id": "c", "file": "coded.mp4"}, {"id": "k", "file": "corner.mp4"}],
           "clips": [{"sourceId": "c", "out": 1}, {"sourceId": "k", "at": 0.5, "out": 0.1, "mode": "loop",
                      "loops": 5, "lane": 1, "audio": false}]})",
       false, "Could not decode video: corner.mp4", 3},
      {"taken name", R"({"sources": [{"id": "c", "file": "coded.mp4"}], "clips": [{"sourceId": "c", "out": 0.3}]})",
       false, "Export failed (media error 800700b7).", 1},
      {"taken wav name",
       R"({"sources": [{"id": "c", "file": "coded.mp4"}], "clips": [{"sourceId": "c", "out": 0.3}]})", true,
       "Export failed (media error 800700b7).", 1},
      {"leftover partial wav",
       R"({"sources": [{"id": "c", "file": "coded.mp4"}], "clips": [{"sourceId": "c", "out": 0.3}]})", true,
       "Export failed (media error 800700b7).", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kelvra_project_close(&app->project);
    app->project = Project{};
    load(c.json);
    const uint64_t k = app->render_queue->job_count;
    ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), c.wav));
    const std::string name = app->render_queue->jobs[k].row.file_name;
    const std::string final_path = dir.file(name);
    const std::string partial = final_path + (c.wav ? ".partial.wav" : ".partial.mp4");
    if (c.prepare == 1) kelvra_test::write_file(final_path, "precious");
    if (c.prepare == 2) kelvra_test::write_file(partial, "left by a crash");
    if (c.prepare == 3) {
      ASSERT_EQ(::unlink(dir.file("corner.mp4").c_str()), 0);
    }
    const RenderRow row = wait(k);
    EXPECT_EQ(row.state, RENDER_FAILED);
    EXPECT_STREQ(row.message, c.message);
    EXPECT_EQ(row.source_index, -1);
    if (c.prepare == 1) {
      EXPECT_EQ(kelvra_test::read_file(final_path), "precious");
      EXPECT_FALSE(std::filesystem::exists(partial));
    } else if (c.prepare == 2) {
      EXPECT_EQ(kelvra_test::read_file(partial), "left by a crash");
      EXPECT_FALSE(std::filesystem::exists(final_path));
      ::unlink(partial.c_str());
    } else {
      EXPECT_FALSE(std::filesystem::exists(final_path));
    }
    EXPECT_FALSE(has_partial(dir.path()));
    if (c.prepare == 3) {
      ASSERT_EQ(::symlink(fixture("corner.mp4").c_str(), dir.file("corner.mp4").c_str()), 0);
    }
  }
}

// A cancel stops both kinds of job within a block and removes the partial file.
TEST_F(Queue, CancelRemovesThePartialFile) {
  load(R"({"sources": [{"id": "c", "file": "coded.mp4"}],
           "clips": [{"sourceId": "c", "out": 4, "mode": "loop", "loops": 10}], "primaryCanvas": "hd",
           "canvasSizes": ["hd"]})");
  ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  kelvra_render_poll(app);
  RenderQueue* queue = app->render_queue;
  // Wait until both are past their first blocks.
  for (int i = 0; i < 2000 && (queue->jobs[0].permille.load() < 5 || queue->jobs[1].permille.load() < 5); ++i)
    ui_sleep_ms(5);
  for (uint64_t k = 0; k < 2; ++k) queue->jobs[k].cancel.exchange(1);
  for (uint64_t k = 0; k < 2; ++k) {
    const RenderRow row = wait(k);
    EXPECT_EQ(row.state, RENDER_CANCELLED);
    EXPECT_STREQ(row.message, "");  // the row tells its state, "Cancelled", not an error
    char status[128];
    kelvra_render_row_status(&row, status, sizeof status);
    EXPECT_EQ(std::string(status).rfind("Cancelled", 0), 0u) << status;
    EXPECT_LT(row.progress, 0.99);
  }
  EXPECT_EQ(folder_names(dir.path()).size(), 2u);  // the two sources only
}

// A batch of canvases reads each source once, however many canvases it
// has: the opens of the source (watched with inotify) for three canvases are
// those for one. Each file is whole, at its canvas's size.
TEST_F(Queue, OneDecodeFeedsEveryCanvasOfABatch) {
  // A copy of its own, so that no other test's opens of the fixture count.
  std::filesystem::copy_file(fixture("coded-with-sound.mp4"), dir.file("own.mp4"));
  load(R"({"sources": [{"id": "o", "file": "own.mp4"}], "clips": [{"sourceId": "o", "out": 1}],
           "primaryCanvas": "hd", "canvasSizes": ["hd", "square", "wide"]})");
  const int watch_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch_fd, 0);
  ASSERT_GE(inotify_add_watch(watch_fd, dir.file("own.mp4").c_str(), IN_OPEN), 0);
  const auto opens = [&] {
    int count = 0;
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = ::read(watch_fd, events, sizeof events)) > 0;)
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        count += (event->mask & IN_OPEN) != 0;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    return count;
  };
  // Each file's decoded sound and its row's figures: the batch's files
  // carry the sound encoded once, the same as a canvas rendered alone.
  std::vector<std::vector<int16_t>> sounds;
  std::vector<std::pair<double, double>> figures;
  const auto render = [&](uint32_t canvases) -> int {
    const uint64_t first = app->render_queue->job_count;
    EXPECT_TRUE(kelvra_render_batch(app, canvases, false));
    for (uint64_t k = first; k < app->render_queue->job_count; ++k) {
      const RenderRow row = wait(k);
      EXPECT_EQ(row.state, RENDER_READY) << row.message;
      VideoDecoder decoder{};
      EXPECT_TRUE(video_decode_open(&decoder, dir.file(row.file_name).c_str())) << row.file_name;
      EXPECT_EQ(decoder.width, kelvra_canvases[row.canvas].width);
      EXPECT_EQ(decoder.height, kelvra_canvases[row.canvas].height);
      EXPECT_TRUE(video_decode_frame(&decoder, 0.95));
      video_decode_close(&decoder);
      MediaReader* reader = nullptr;
      EXPECT_EQ(media_reader_open(&reader, dir.file(row.file_name).c_str(), MEDIA_AUDIO), MEDIA_OK);
      sounds.emplace_back();
      for (int reads = 0; reader != nullptr && reads < 1000; ++reads) {
        MediaSample sample{};
        if (media_reader_read(reader, &sample) != MEDIA_OK || sample.end_of_stream) break;
        if (sample.have) sounds.back().insert(sounds.back().end(), sample.pcm, sample.pcm + 2 * sample.frames);
      }
      media_reader_close(reader);
      EXPECT_TRUE(row.loudness_measured);
      figures.emplace_back(row.loudness.integrated, row.loudness.true_peak);
    }
    return opens();
  };
  opens();
  const int one = render(1u << 0);
  ASSERT_GT(one, 0);
  EXPECT_EQ(render(kelvra_canvas_mask(&app->project)), one);
  ASSERT_EQ(sounds.size(), 4u);
  EXPECT_GT(sounds[0].size(), 2u * 40000);
  for (size_t k = 1; k < sounds.size(); ++k) {
    EXPECT_TRUE(sounds[k] == sounds[0]) << k;
    EXPECT_EQ(figures[k], figures[0]) << k;
  }
  ::close(watch_fd);
}

// A canvas cancelled, or whose file fails, in the middle of a batch ends
// alone: the others finish whole files, its row says what happened, and it
// leaves no file.
TEST_F(Queue, ACanvasEndsAloneInItsBatch) {
  load(R"({"sources": [{"id": "c", "file": "coded.mp4"}],
           "clips": [{"sourceId": "c", "out": 3}], "primaryCanvas": "hd",
           "canvasSizes": ["hd", "square", "wide"]})");
  struct Case {
    const char* what;
    bool cancel;  // else the middle canvas's final name is taken
    int32_t state;
    const char* message;
  };
  const Case cases[] = {{"cancelled", true, RENDER_CANCELLED, ""},
                        {"file fails", false, RENDER_FAILED, "Export failed (media error 800700b7)."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RenderQueue* queue = app->render_queue;
    const uint64_t first = queue->job_count;
    ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
    ASSERT_EQ(queue->job_count, first + 3);
    const std::string taken = dir.file(queue->jobs[first + 1].row.file_name);
    if (!c.cancel) kelvra_test::write_file(taken, "precious");
    kelvra_render_poll(app);
    for (int i = 0; i < 2000 && queue->jobs[first + 1].permille.load() < 100; ++i) ui_sleep_ms(5);
    if (c.cancel) {
      EXPECT_TRUE(render_queue_cancel(queue, first + 1));
    }
    for (uint64_t k = first; k < first + 3; ++k) {
      const RenderRow row = wait(k);
      if (k == first + 1) {
        EXPECT_EQ(row.state, c.state);
        EXPECT_STREQ(row.message, c.message);
      } else {
        EXPECT_EQ(row.state, RENDER_READY) << row.message;
        EXPECT_EQ(probe_number(probe(dir.file(row.file_name), "stream=nb_frames -select_streams v"), "nb_frames"),
                  90);
      }
    }
    EXPECT_FALSE(has_partial(dir.path()));
    if (c.cancel) {
      EXPECT_FALSE(std::filesystem::exists(taken));
    } else {
      EXPECT_EQ(kelvra_test::read_file(taken), "precious");
    }
  }
}

// A row's processor time counts every thread working for it: its worker,
// composer and encoder threads and its share of its group's decoding. Over
// a batch the rows together account for most of the process's time (not
// for helper threads that come and go between two samples, nor for the test
// polling); the worker's own thread alone is far less.
TEST_F(Queue, RowsCountTheTimeOfEveryThreadOfTheirJobs) {
  load(R"({"sources": [{"id": "c", "file": "coded.mp4"}],
           "clips": [{"sourceId": "c", "out": 3}], "primaryCanvas": "hd", "canvasSizes": ["hd", "square"]})");
  const auto process_seconds = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  const double before = process_seconds();
  ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  double rows = 0;
  for (uint64_t k = 0; k < 3; ++k) {
    const RenderRow row = wait(k);
    EXPECT_EQ(row.state, RENDER_READY) << row.message;
    EXPECT_GT(row.cpu_seconds, 0.0);
    rows += row.cpu_seconds;
  }
  const double used = process_seconds() - before;
  EXPECT_GT(rows, 0.65 * used) << "rows " << rows << " s of " << used << " s";
  EXPECT_LT(rows, 1.02 * used) << "rows " << rows << " s of " << used << " s";
}

// ------------------------------------------------------------ MP4 writer

// Sound lands at the time each block is given: a stream that starts late and
// has a gap is silent before its start and in the gap.
TEST(MediaWriter, SoundBlocksLandAtTheirTimes) {
  TempDir dir;
  const std::string path = dir.file("late.mp4");
  MediaWriterConfig config{64, 48, 30, 200000, 48000, 2, 128000, nullptr, 0, nullptr};
  MediaWriter* writer = nullptr;
  ASSERT_EQ(media_writer_open(&writer, path.c_str(), &config), MEDIA_OK);
  std::vector<uint8_t> picture(64 * 48 * 3 / 2, 128);
  for (int k = 0; k < 60; ++k)
    ASSERT_EQ(media_writer_video(writer, picture.data(), k * MEDIA_TICKS_PER_SECOND / 30, 333333), MEDIA_OK);
  // A 1 kHz tone from 0.5 s to 1.0 s and from 1.5 s to 2.0 s, in 1/30 s blocks.
  int16_t block[1600 * 2];
  for (int k = 0; k < 60; ++k) {
    const double t = k / 30.0;
    if (t < 0.5 - 1e-9 || (t >= 1.0 - 1e-9 && t < 1.5 - 1e-9)) continue;
    for (int i = 0; i < 1600; ++i)
      block[2 * i] = block[2 * i + 1] =
          static_cast<int16_t>(12000 * std::sin(2 * M_PI * 1000 * (k * 1600 + i) / 48000.0));
    const int64_t start = k * MEDIA_TICKS_PER_SECOND / 30;
    ASSERT_EQ(media_writer_audio(writer, block, 1600, start, 333333), MEDIA_OK);
  }
  ASSERT_EQ(media_writer_finalize(writer), MEDIA_OK);
  media_writer_close(writer);

  // Read back: the loudness of each 50 ms window by its time on the track.
  MediaReader* reader = nullptr;
  ASSERT_EQ(media_reader_open(&reader, path.c_str(), MEDIA_AUDIO), MEDIA_OK);
  std::vector<double> energy(40, 0);
  std::vector<int> counted(40, 0);
  for (int reads = 0; reads < 1000; ++reads) {
    MediaSample sample{};
    if (media_reader_read(reader, &sample) != MEDIA_OK || sample.end_of_stream) break;
    if (!sample.have) continue;
    for (uint64_t i = 0; i < sample.frames; ++i) {
      const double t = static_cast<double>(sample.time) / MEDIA_TICKS_PER_SECOND + i / 48000.0;
      const int w = static_cast<int>(t / 0.05);
      if (w < 0 || w >= 40) continue;
      energy[w] += std::abs(sample.pcm[2 * i]);
      counted[w] += 1;
    }
  }
  media_reader_close(reader);
  for (int w = 0; w < 40; ++w) {
    const double t = w * 0.05;
    const double mean = counted[w] > 0 ? energy[w] / counted[w] : 0;
    // Windows wholly inside a tone are loud; wholly outside, silent (AAC's
    // edges smear a few milliseconds into the neighbours).
    const bool tone = (t >= 0.5 && t + 0.05 <= 1.0) || (t >= 1.5 && t + 0.05 <= 2.0);
    const bool quiet = t + 0.05 <= 0.49 || (t >= 1.01 && t + 0.05 <= 1.49);
    if (tone) {
      EXPECT_GT(mean, 5000) << "window at " << t;
    }
    if (quiet) {
      EXPECT_LT(mean, 300) << "window at " << t;
    }
  }
}

}  // namespace
