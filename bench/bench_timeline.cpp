// The Timeline tab under load, in an offscreen window with the sound going
// to SDL's disk driver (written to /dev/null) so that the device clock runs:
// - cuts: a 60 s edit that cuts every 2 s between two 1080p sources, played
//   through; every drawn frame's picture against the time it should show;
// - monitor: three open canvases and an inset over 1080p sources, playing;
//   the UI thread's work per drawn frame (composition, drawing, presenting);
// - band: drawing the timeline band with 256 clips and 256 titles in view.
// The playing benchmarks run once and report counters (milliseconds unless named).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "bench_util.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "media/video.h"
#include "platform/clock.h"
#include "platform/painter.h"
#include "project/timeline_map.h"

namespace {

using kelvra_bench::percentile;

// Two 22 s 1080p30 H.264 sources with sound, a different picture each, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-timeline-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const char* pictures[2] = {"testsrc2=size=1920x1080:rate=30:duration=22",
                               "testsrc2=size=1920x1080:rate=30:duration=22,negate"};
    for (int i = 0; i < 2; ++i) {
      const std::string command = std::string("ffmpeg -hide_banner -loglevel error -y -f lavfi -i ") + pictures[i] +
                                  " -f lavfi -i sine=frequency=" + (i ? "660" : "440") +
                                  ":duration=22 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 -c:a aac "
                                  "-shortest '" + path + "/" + (i ? "b" : "a") + ".mp4'";
      if (std::system(command.c_str()) != 0) std::abort();
    }
    return path;
  }();
  return folder;
}

void write_project(const std::string& name, const std::string& text) {
  FILE* file = std::fopen((media_folder() + "/" + name).c_str(), "wb");
  std::fputs(text.c_str(), file);
  std::fclose(file);
}

struct Editor {
  KelvraApp* app = nullptr;
  FrameMemory memory{};
  explicit Editor(const char* project) {
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("ZARNELK_MEDIA", media_folder().c_str(), 1);
    setenv("ZARNELK_START_PROJECT", project, 1);
    app = kelvra_app_create();
    if (!kelvra_start(app)) std::abort();
    kelvra_change_tab(app, KELVRA_TAB_TIMELINE);
    for (int i = 0; i < 90; ++i) step();
  }
  ~Editor() { kelvra_shutdown(app); }
  void step() { kelvra_frame(app, &memory); }
};

// Thirty 2 s clips on one lane, alternating sources, each from its own place.
void BM_CutsWithoutStall(benchmark::State& state) {
  std::string text = R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}], "clips": [)";
  for (int k = 0; k < 30; ++k) {
    char clip[200];
    const double in = std::fmod(k * 2.7, 18.0);
    std::snprintf(clip, sizeof clip, R"(%s{"id": "c%d", "sourceId": "%s", "at": %d, "in": %.2f, "out": %.2f})",
                  k ? ", " : "", k, k % 2 ? "b" : "a", 2 * k, in, in + 2);
    text += clip;
  }
  write_project("cuts.json", text + "]}");
  Editor editor("cuts.json");
  KelvraApp* app = editor.app;
  std::vector<double> errors;
  double frames = 0;
  double unjudged = 0;
  // What the program worker held after the last pass: a picture published
  // during a frame wait is the one the next pass draws.
  struct Seen {
    const VideoWorker* worker;
    uint64_t serial;
    char path[KELVRA_PATH_SIZE];
    double time;
  } seen{}, last{};
  for (auto _ : state) {
    kelvra_toggle(app, TRANSPORT_TIMELINE);
    const uint64_t start = ui_time_ms();
    bool first = true;
    while (app->playing && ui_time_ms() - start < 70000) {
      const uint64_t drawn = editor.memory.frames_drawn;
      editor.step();
      last = seen;
      seen.worker = app->program_video;
      kelvra_video_size(app->program_video, nullptr, nullptr, &seen.serial);
      seen.path[0] = '\0';
      const Clip* top = kelvra_active_video(app);
      if (top != nullptr) {
        kelvra_path(app->media_folder, app->project.sources[top->source].file, seen.path);
        if (!kelvra_video_position(app->program_video, seen.path, &seen.time)) seen.time = 1e9;
      }
      if (editor.memory.frames_drawn == drawn || app->start_pending || top == nullptr) continue;
      if (first) {  // the first frame after the seek that started playback
        first = false;
        continue;
      }
      // The picture drawn: the one held now, or the one held after the last pass.
      const Seen* shown = seen.serial == editor.memory.drawn.program ? &seen
                          : last.worker == app->program_video && last.serial == editor.memory.drawn.program &&
                                    std::strcmp(last.path, seen.path) == 0
                              ? &last
                              : nullptr;
      if (shown == nullptr) {
        ++unjudged;
        continue;
      }
      const double wanted = kelvra_layer_time(top, app->timeline_playhead);
      errors.push_back(std::fabs(shown->time - wanted));
      if (errors.back() > 1.0 / 30 + 1e-9 && std::getenv("KELVRA_BENCH_TRACE"))
        std::fprintf(stderr, "late at %.3f: shows %.3f of %s, wants %.3f\n", app->timeline_playhead, shown->time,
                     seen.path, wanted);
      frames += 1;
    }
  }
  double late = 0;
  for (double error : errors) late += error > 1.0 / 30 + 1e-9 ? 1 : 0;
  state.counters["frames"] = frames;
  state.counters["late_frames"] = late;
  state.counters["unjudged"] = unjudged;
  state.counters["worst_ms"] = percentile(errors, 1.0) * 1000;
  state.counters["median_ms"] = percentile(errors, 0.5) * 1000;
}
BENCHMARK(BM_CutsWithoutStall)->Iterations(1)->Unit(benchmark::kMillisecond);

// Full HD, YouTube Shorts and Square open; a full-frame clip of a under an inset of b.
void BM_MonitorFrame(benchmark::State& state) {
  write_project("monitor.json", R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}],
    "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "shorts", "square"],
    "clips": [{"id": "base", "sourceId": "a", "out": 20, "lane": 0},
              {"id": "inset", "sourceId": "b", "in": 1, "out": 21, "lane": 1,
               "transforms": {"fullhd": {"x": 0.25, "y": -0.23, "scale": 0.3}}}],
    "texts": [{"text": "Harbour", "at": 0, "duration": 20, "style": {"background": "#101311"}}]})");
  Editor editor("monitor.json");
  KelvraApp* app = editor.app;
  std::vector<double> work;
  for (auto _ : state) {
    kelvra_toggle(app, TRANSPORT_TIMELINE);
    const uint64_t start = ui_time_ms();
    while (app->playing && ui_time_ms() - start < 12000) {
      const uint64_t drawn = editor.memory.frames_drawn;
      editor.step();
      if (editor.memory.frames_drawn > drawn && ui_time_ms() - start > 1000)
        work.push_back(static_cast<double>(editor.memory.work_ns) / 1e6);
    }
  }
  state.counters["open_canvases"] = __builtin_popcount(kelvra_canvas_mask(&app->project));
  state.counters["frame_work_median_ms"] = percentile(work, 0.5);
  state.counters["frame_work_p99_ms"] = percentile(work, 0.99);
  state.counters["frames"] = static_cast<double>(work.size());
}
BENCHMARK(BM_MonitorFrame)->Iterations(1)->Unit(benchmark::kMillisecond);

// 256 clips over the four lanes and 256 titles, all within the visible 28 s,
// one clip selected so that its controls are drawn too.
void BM_DrawTimelineBand(benchmark::State& state) {
  KelvraApp* app = kelvra_app_create();
  Project& p = app->project;
  Source& source = p.sources[p.source_count++];
  std::snprintf(source.file, sizeof source.file, "missing.mp4");
  source.duration = 30;
  for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i) {
    Clip& clip = p.clips[p.clip_count++];
    std::snprintf(clip.name, sizeof clip.name, "Sample %llu", static_cast<unsigned long long>(i));
    clip.json_index = KELVRA_NONE;
    clip.in = 1;
    clip.out = 1 + 1.5 + static_cast<double>(i % 5);
    clip.at = 0.1 * static_cast<double>(i);
    clip.lane = static_cast<uint32_t>(i % 4);
    clip.gain = 1;
    clip.loops = 1 + i % 3;
    clip.loop = i % 2;
    clip.video = 1;
    clip.audio = 1;
    Title& title = p.titles[p.title_count++];
    std::snprintf(title.text, sizeof title.text, "Title %llu", static_cast<unsigned long long>(i));
    title.at = 0.1 * static_cast<double>(i);
    title.duration = 2;
    title.x = 0.5;
    title.y = 0.82;
  }
  p.timeline_end = 40;
  app->active_tab = KELVRA_TAB_TIMELINE;
  app->selected_clip = 7;
  app->timeline_playhead = 12.5;
  app->client_width = 1334;
  app->client_height = 872;
  kelvra_layout(app);
  app->painter = kelvra_painter_create(nullptr);
  kelvra_painter_offscreen(app->painter, 1334, 872);
  for (auto _ : state) {
    kelvra_painter_begin(app->painter, 1334, 872);
    kelvra_draw_sequence(app);
    kelvra_painter_end(app->painter);
  }
  kelvra_painter_destroy(app->painter);
  kelvra_app_free(app);
}
BENCHMARK(BM_DrawTimelineBand)->Unit(benchmark::kMillisecond);

}  // namespace
