// The band with its clips drawn in full: 256 clips over the four lanes, all
// in view, each showing its video's pictures, its sound's waveform, its fades
// and its loop boundaries, once the strip cache holds the two sources.
// - frame: drawing the band;
// - zoom step: one Ctrl+wheel notch over the lanes, laid out and drawn again
//   (alternately in and out, so that the zoom stays in its range).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "editor/app.h"
#include "editor/band.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "media/strip_cache.h"
#include "platform/clock.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

// A 12 s 640 x 360 video with sound and a 12 s sound, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-band-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string video = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=640x360:rate=30:duration=12 "
                              "-f lavfi -i sine=frequency=440:duration=12 -c:v libx264 -preset veryfast -pix_fmt yuv420p "
                              "-c:a aac -shortest '" + path + "/v.mp4'";
    const std::string sound = "ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
                              "\"aevalsrc=0.8*sin(2*PI*3*t)*sin(2*PI*440*t):s=48000:d=12\" '" + path + "/s.wav'";
    if (std::system(video.c_str()) != 0 || std::system(sound.c_str()) != 0) std::abort();
    return path;
  }();
  return folder;
}

struct Band {
  KelvraApp* app = nullptr;

  Band() {
    app = kelvra_app_create();
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", media_folder().c_str());
    Project& p = app->project;
    const char* files[2] = {"v.mp4", "s.wav"};
    for (const char* file : files) {
      Source& source = p.sources[p.source_count++];
      std::snprintf(source.id, sizeof source.id, "%s", file);
      std::snprintf(source.file, sizeof source.file, "%s", file);
      source.duration = 12;
      source.loops = 1;
    }
    for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i) {
      Clip& clip = p.clips[p.clip_count++];
      std::snprintf(clip.name, sizeof clip.name, "Clip %llu", static_cast<unsigned long long>(i));
      clip.json_index = KELVRA_NONE;
      clip.source = static_cast<int64_t>(i % 3 == 2);  // every third clip is the sound alone
      clip.in = static_cast<double>(i % 7);
      clip.out = clip.in + 1 + static_cast<double>(i % 4);
      clip.at = 0.1 * static_cast<double>(i);
      clip.lane = static_cast<uint32_t>(i % 4);
      clip.gain = 1;
      clip.loops = 1 + i % 3;
      clip.loop = i % 2;
      clip.fade_in = 0.3;
      clip.fade_out = 0.5;
      clip.video = clip.source == 0;
      clip.audio = 1;
    }
    app->active_tab = KELVRA_TAB_TIMELINE;
    app->selected_clip = 7;
    app->client_width = 1334;
    app->client_height = 872;
    kelvra_sequence_end(app);
    kelvra_layout(app);
    app->painter = kelvra_painter_create(nullptr);
    kelvra_painter_offscreen(app->painter, 1334, 872);
    app->strips = strip_cache_create();
    // Fill the cache: both files decoded before anything is measured.
    for (const char* file : files) {
      char path[KELVRA_PATH_SIZE];
      if (!kelvra_path(app->media_folder, file, path)) std::abort();
      const uint64_t start = ui_time_ms();
      while (strip_cache_get(app->strips, path) == nullptr) {
        if (ui_time_ms() - start > 60000) std::abort();
        ui_sleep_ms(5);
      }
    }
  }
  ~Band() {
    strip_cache_destroy(app->strips);
    kelvra_painter_destroy(app->painter);
    kelvra_app_free(app);
  }
  void draw() {
    kelvra_painter_begin(app->painter, 1334, 872);
    kelvra_draw_sequence(app);
    kelvra_painter_end(app->painter);
  }
};

void BM_BandFrame(benchmark::State& state) {
  Band band;
  for (auto _ : state) band.draw();
}
BENCHMARK(BM_BandFrame)->Unit(benchmark::kMillisecond);

void BM_BandZoomStep(benchmark::State& state) {
  Band band;
  KelvraApp* app = band.app;
  UiInput wheel{};
  wheel.pointer = UI_POINTER_WHEEL;
  wheel.ctrl = 1;
  wheel.x = app->clip_lanes.x + app->clip_lanes.width / 3;
  wheel.y = app->clip_lanes.y + 40;
  int step = 0;
  for (auto _ : state) {
    wheel.wheel = step++ % 8 < 4 ? -120 : 120;  // four notches out, four back in
    kelvra_band_zoom(app, &wheel);
    kelvra_layout(app);
    band.draw();
  }
}
BENCHMARK(BM_BandZoomStep)->Unit(benchmark::kMillisecond);

}  // namespace
