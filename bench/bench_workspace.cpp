// Drawing the whole workspace with a full library into an off-screen picture
// of the window's size: the cost of one frame of the editor.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "editor/app.h"
#include "editor/workspace.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

KelvraApp* full_library_app(uint32_t width, uint32_t height) {
  KelvraApp* app = kelvra_app_create();
  Project& p = app->project;
  for (uint64_t i = 0; i < PROJECT_MAX_ROWS; ++i) {
    Source& s = p.sources[p.source_count++];
    std::snprintf(s.id, sizeof s.id, "source-%llu", static_cast<unsigned long long>(i));
    std::snprintf(s.file, sizeof s.file, "clip-%04llu.mp4", static_cast<unsigned long long>(i));
    std::snprintf(s.title, sizeof s.title, "Clip %llu from the harbour shoot", static_cast<unsigned long long>(i));
  }
  p.embedded_media = 1;
  app->selected_source = 0;
  app->client_width = width;
  app->client_height = height;
  kelvra_layout(app);
  kelvra_status(app, "Saved the Kelvra project.");
  std::snprintf(app->cpu_meter.label, sizeof app->cpu_meter.label, "CPU 12%%");
  std::snprintf(app->memory_meter.label, sizeof app->memory_meter.label, "RAM 12 GB");
  std::snprintf(app->buffer_meter.label, sizeof app->buffer_meter.label, "Buffer 3.5 MB");
  app->cpu_meter.fraction = 0.12;
  app->memory_meter.fraction = 0.4;
  app->buffer_meter.fraction = 0.07;
  app->painter = kelvra_painter_create(nullptr);
  kelvra_painter_offscreen(app->painter, width, height);
  return app;
}

void BM_DrawWorkspace(benchmark::State& state) {
  const uint32_t width = static_cast<uint32_t>(state.range(0));
  const uint32_t height = static_cast<uint32_t>(state.range(1));
  KelvraApp* app = full_library_app(width, height);
  for (auto _ : state) {
    kelvra_painter_begin(app->painter, width, height);
    kelvra_draw(app);
    kelvra_painter_end(app->painter);
  }
  kelvra_painter_destroy(app->painter);
  kelvra_app_free(app);
}
BENCHMARK(BM_DrawWorkspace)->Args({1334, 872})->Args({2560, 1440})->Unit(benchmark::kMillisecond);

// The same frame drawn by a window painter and presented into a real SDL
// window (the headless video driver unless a display is named).
void BM_DrawAndPresent(benchmark::State& state) {
  const uint32_t width = static_cast<uint32_t>(state.range(0));
  const uint32_t height = static_cast<uint32_t>(state.range(1));
  setenv("SDL_VIDEODRIVER", "offscreen", 0);
  const UiWindowConfig config = {"bench", width, height, 0, 0, 1, 1, 1, 1, 1};
  UiWindow* window = ui_window_create(&config);
  if (window == nullptr) {
    state.SkipWithError("no window");
    return;
  }
  KelvraApp* app = full_library_app(width, height);
  kelvra_painter_destroy(app->painter);
  app->painter = kelvra_painter_create(window);
  for (auto _ : state) {
    ui_window_poll_events();
    if (!kelvra_painter_begin(app->painter, width, height)) state.SkipWithError("begin failed");
    kelvra_draw(app);
    if (!kelvra_painter_end(app->painter)) state.SkipWithError("present failed");
  }
  kelvra_painter_destroy(app->painter);
  kelvra_app_free(app);
  ui_window_destroy(window);
}
BENCHMARK(BM_DrawAndPresent)->Args({1334, 872})->Args({2560, 1440})->Unit(benchmark::kMillisecond);

}  // namespace

namespace {

// A 1080p picture (arg 0: the same cached one, 1: a new one each frame
// through the cache, 2: drawn straight from its pixels), fitted into the SOURCE monitor of the
// source layout (1141 x 488): the upload and the scaled draw of playback.
void BM_DrawPicture(benchmark::State& state) {
  Painter* painter = kelvra_painter_create(nullptr);
  kelvra_painter_offscreen(painter, 1334, 872);
  std::vector<uint8_t> picture(1920u * 1080u * 4u, 0x80);
  uint64_t version = 0;
  for (auto _ : state) {
    kelvra_painter_begin(painter, 1334, 872);
    const Rect view{185, 107, 1141, 488};
    if (state.range(0) == 2)
      kelvra_picture_compose(painter, picture.data(), 1920, 1080, view, TexturePlacement{0, 0, 1}, 1.0, false);
    else
      kelvra_texture(painter, picture.data(), 1920, 1080, &picture, state.range(0) ? ++version : 1, view, false);
    kelvra_painter_end(painter);
  }
  kelvra_painter_destroy(painter);
}
BENCHMARK(BM_DrawPicture)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace
