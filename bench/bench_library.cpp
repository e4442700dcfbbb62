// The library with a full media folder: 500 media files, of which the
// project lists as many as its source table holds (256). Start-up to the
// first drawn frame of the real editor (posters come after, in the
// background); a frame that scrolls the column by a card with every poster
// made; a frame that filters the cards after a typed character; the search
// itself over 500 sources; and how long all posters take, decoded or read
// back from the cache. The media files are made with the ffmpeg tool on first use.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/run.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/library.h"
#include "editor/workspace.h"
#include "media/poster.h"
#include "platform/clock.h"
#include "platform/painter.h"
#include "platform/ui.h"

namespace {

constexpr int kFiles = 500;

// build/bench-library: 500 short videos and sounds and a project naming 256 of them.
const std::string& media_folder() {
  static const std::string folder = [] {
    const std::string f = std::string(std::getenv("PWD") != nullptr ? std::getenv("PWD") : ".") + "/build/bench-library";
    std::system(("mkdir -p '" + f + "'").c_str());
    const std::string video = f + "/source.mp4.in";
    const std::string sound = f + "/source.wav.in";
    struct stat info;
    if (stat(video.c_str(), &info) != 0) {
      std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=30:duration=3 "
                   "-c:v libx264 -preset veryfast -pix_fmt yuv420p -f mp4 '" + video + "'").c_str());
      std::system(("ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=330:duration=20 "
                   "-f wav '" + sound + "'").c_str());
    }
    std::string sources;
    for (int i = 0; i < kFiles; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "take-%03d.%s", i, i % 4 == 3 ? "wav" : "mp4");
      const std::string path = f + "/" + name;
      if (stat(path.c_str(), &info) != 0) link((i % 4 == 3 ? sound : video).c_str(), path.c_str());
      if (i < static_cast<int>(PROJECT_MAX_ROWS)) {
        char row[200];
        std::snprintf(row, sizeof row, R"(%s{"id": "s%03d", "file": "%s", "title": "Harbour shoot, take %03d"})",
                      i > 0 ? ",\n  " : "", i, name, i);
        sources += row;
      }
    }
    FILE* project = std::fopen((f + "/project.json").c_str(), "w");
    std::fprintf(project, "{\"sources\": [%s]}\n", sources.c_str());
    std::fclose(project);
    return f;
  }();
  return folder;
}

void headless(const std::string& cache) {
  setenv("SDL_VIDEODRIVER", "offscreen", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  setenv("ZARNELK_MEDIA", media_folder().c_str(), 1);
  setenv("XDG_CACHE_HOME", cache.c_str(), 1);
  setenv("XDG_STATE_HOME", cache.c_str(), 1);
}

// kelvra_start and the first pass of the frame loop (which draws and
// presents), unpaced; the poster worker decodes meanwhile.
void BM_LibraryStartToFirstFrame(benchmark::State& state) {
  headless(media_folder() + "/cache-start");
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    KelvraApp* app = kelvra_app_create();
    if (!kelvra_start(app)) {
      state.SkipWithError("the editor did not start");
      break;
    }
    ui_window_set_target_fps(app->window, 0);
    FrameMemory memory{};
    kelvra_frame(app, &memory);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(seconds);
    if (memory.frames_drawn != 1 || app->project.source_count != PROJECT_MAX_ROWS) state.SkipWithError("no first frame");
    kelvra_shutdown(app);
  }
}
BENCHMARK(BM_LibraryStartToFirstFrame)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// An editor record with the whole library laid out at 1334 x 872, an
// off-screen painter and a poster worker that has made every poster.
KelvraApp* library_app(const std::string& cache) {
  KelvraApp* app = kelvra_app_create();
  std::snprintf(app->media_folder, sizeof app->media_folder, "%s", media_folder().c_str());
  if (!kelvra_project_open(&app->project, (media_folder() + "/project.json").c_str())) std::abort();
  app->posters = kelvra_poster_create(cache.c_str());
  app->selected_source = 0;
  app->client_width = 1334;
  app->client_height = 872;
  app->painter = kelvra_painter_create(nullptr);
  kelvra_painter_offscreen(app->painter, 1334, 872);
  kelvra_layout(app);
  kelvra_library_poll(app);
  while (kelvra_poster_counts(app->posters).pending > 0) ui_sleep_ms(5);
  return app;
}

void free_app(KelvraApp* app) {
  kelvra_poster_destroy(app->posters);
  kelvra_painter_destroy(app->painter);
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
}

void draw_frame(KelvraApp* app) {
  kelvra_layout(app);
  kelvra_painter_begin(app->painter, 1334, 872);
  kelvra_draw(app);
  kelvra_painter_end(app->painter);
}

// One wheel notch over the column, then the frame that shows it (to the end and back).
void BM_LibraryScrollFrame(benchmark::State& state) {
  KelvraApp* app = library_app(media_folder() + "/cache-frames");
  UiInput wheel{};
  wheel.pointer = UI_POINTER_WHEEL;
  wheel.x = 80;
  wheel.y = 300;
  wheel.wheel = -120;
  uint64_t moved = 0;
  for (auto _ : state) {
    const uint64_t before = app->library_scroll;
    kelvra_input(app, &wheel);
    draw_frame(app);
    if (app->library_scroll == before) {
      wheel.wheel = -wheel.wheel;  // the end: back the other way
    } else {
      ++moved;
    }
  }
  state.counters["scrolled"] = static_cast<double>(moved);
  free_app(app);
}
BENCHMARK(BM_LibraryScrollFrame)->Unit(benchmark::kMillisecond);

// A character typed into the search field (one added, the next taken back),
// then the frame that shows the filtered cards.
void BM_LibraryTypeToFilterFrame(benchmark::State& state) {
  KelvraApp* app = library_app(media_folder() + "/cache-frames");
  std::snprintf(app->search_text, sizeof app->search_text, "harbour 1");
  app->search_focus = 1;
  UiInput typed{};
  bool add = true;
  for (auto _ : state) {
    typed.character = add ? '2' : 8;
    kelvra_input(app, &typed);
    draw_frame(app);
    add = !add;
  }
  state.counters["shown"] = static_cast<double>(app->library_shown_count);
  free_app(app);
}
BENCHMARK(BM_LibraryTypeToFilterFrame)->Unit(benchmark::kMillisecond);

// The search alone over 500 sources, two words.
void BM_LibraryFilter500(benchmark::State& state) {
  std::vector<Source> sources(kFiles);
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(sources[i].file, sizeof sources[i].file, "take-%03d.mp4", i);
    std::snprintf(sources[i].title, sizeof sources[i].title, "Harbour shoot at dawn, take %03d", i);
  }
  uint64_t shown = 0;
  for (auto _ : state) {
    shown = 0;
    for (const Source& source : sources) shown += kelvra_library_matches(&source, "HARBOUR 12") ? 1 : 0;
    benchmark::DoNotOptimize(shown);
  }
  state.counters["shown"] = static_cast<double>(shown);
}
BENCHMARK(BM_LibraryFilter500)->Unit(benchmark::kMicrosecond);

// Every poster of the 256 sources: decoded (an empty cache), then read back.
void BM_LibraryAllPosters(benchmark::State& state) {
  const std::string cache = media_folder() + "/cache-all";
  for (auto _ : state) {
    state.PauseTiming();
    std::system(("rm -rf '" + cache + "'").c_str());
    state.ResumeTiming();
    for (int pass = 0; pass < 2; ++pass) {
      const auto start = std::chrono::steady_clock::now();
      KelvraApp* app = library_app(cache);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      state.counters[pass == 0 ? "decoded_s" : "from_cache_s"] = seconds;
      free_app(app);
    }
  }
}
BENCHMARK(BM_LibraryAllPosters)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
