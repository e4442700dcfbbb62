// Opening, building and saving a full-capacity project, and one history step
// at full capacity (256 sources, 256 clips, 256 titles, 128 regions, 4096 notes).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "editor/app.h"
#include "editor/history.h"
#include "platform/files.h"
#include "project/project.h"
#include "project/text_buffer.h"
#include "project_text.h"

namespace {

struct Folder {
  std::string path;
  Folder() {
    char pattern[] = "/tmp/kelvra-bench-XXXXXX";
    path = ::mkdtemp(pattern);
  }
  ~Folder() {
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) {
    }
  }
};

const Folder& folder() {
  static Folder f;
  return f;
}

const std::string& full_path() {
  static const std::string path = [] {
    std::string p = folder().path + "/full.json";
    const std::string text = kelvra_bench::project_text();
    sys_file_write_atomic(p.c_str(), text.data(), text.size());
    return p;
  }();
  return path;
}

KelvraApp* full_app() {
  KelvraApp* app = kelvra_app_create();
  if (!kelvra_project_open(&app->project, full_path().c_str())) std::abort();
  return app;
}

void free_app(KelvraApp* app) {
  kelvra_history_clear(app);
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
}

void BM_ProjectOpen(benchmark::State& state) {
  Project* project = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  for (auto _ : state) {
    if (!kelvra_project_open(project, full_path().c_str())) state.SkipWithError("open failed");
  }
  state.counters["clips"] = static_cast<double>(project->clip_count);
  state.counters["notes"] = static_cast<double>(project->score.note_count);
  kelvra_project_close(project);
  std::free(project);
}
BENCHMARK(BM_ProjectOpen)->Unit(benchmark::kMillisecond);

void BM_ProjectBuildText(benchmark::State& state) {
  KelvraApp* app = full_app();
  uint64_t bytes = 0;
  for (auto _ : state) {
    TextBuffer text;
    if (!project_build_text(&app->project, 0, &text)) state.SkipWithError("build failed");
    bytes = text.length;
    text_buffer_free(&text);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  free_app(app);
}
BENCHMARK(BM_ProjectBuildText)->Unit(benchmark::kMillisecond);

// What a recovery copy costs the UI thread: the text rebuilt into the buffer
// the last copy used, so its pages are already there.
void BM_RecoveryTextReused(benchmark::State& state) {
  KelvraApp* app = full_app();
  TextBuffer text{};
  for (auto _ : state) {
    if (!project_rebuild_text(&app->project, 0, &text)) state.SkipWithError("build failed");
  }
  state.counters["bytes"] = static_cast<double>(text.length);
  text_buffer_free(&text);
  free_app(app);
}
BENCHMARK(BM_RecoveryTextReused)->Unit(benchmark::kMillisecond);

// The whole save: text, temporary file, fsync, rename, fsync of the folder.
void BM_ProjectSave(benchmark::State& state) {
  KelvraApp* app = full_app();
  const std::string target = folder().path + "/saved.json";
  for (auto _ : state) {
    if (kelvra_project_save(&app->project, target.c_str(), 0) != PROJECT_SAVED) state.SkipWithError("save failed");
  }
  free_app(app);
}
BENCHMARK(BM_ProjectSave)->Unit(benchmark::kMillisecond);

// Opening a project whose legacy "music" has `n` patterns and `n` blocks that
// name patterns the file does not have: every block is looked up.
void BM_ImportLegacyMusic(benchmark::State& state) {
  const int64_t n = state.range(0);
  std::string text = "{\"music\": {\"patterns\": [";
  for (int64_t i = 0; i < n; ++i) text += (i ? ",{\"id\":\"p" : "{\"id\":\"p") + std::to_string(i) + "\"}";
  text += "], \"blocks\": [";
  for (int64_t i = 0; i < n; ++i) text += (i ? ",{\"pattern\":\"q" : "{\"pattern\":\"q") + std::to_string(i) + "\"}";
  text += "]}}";
  Project* project = static_cast<Project*>(std::calloc(1, sizeof(Project)));
  for (auto _ : state) {
    if (!kelvra_project_open_bytes(project, text.data(), text.size())) state.SkipWithError("open failed");
  }
  state.counters["file_bytes"] = static_cast<double>(text.size());
  kelvra_project_close(project);
  std::free(project);
}
BENCHMARK(BM_ImportLegacyMusic)->Arg(16000)->Arg(64000)->Unit(benchmark::kMillisecond);

// Opening an edit step: one snapshot of the full state onto the undo stack.
void BM_HistoryBegin(benchmark::State& state) {
  KelvraApp* app = full_app();
  for (auto _ : state) {
    if (!kelvra_history_begin(app)) state.SkipWithError("begin failed");
    if (app->history.undo_count == HISTORY_MAX_STEPS) {
      state.PauseTiming();
      kelvra_history_clear(app);
      state.ResumeTiming();
    }
  }
  state.counters["snapshot_bytes"] = static_cast<double>(history_snapshot_size(app));
  free_app(app);
}
BENCHMARK(BM_HistoryBegin)->Unit(benchmark::kMicrosecond);

// Undo followed by redo: two captures and two restores.
void BM_HistoryUndoRedo(benchmark::State& state) {
  KelvraApp* app = full_app();
  kelvra_history_begin(app);
  for (auto _ : state) {
    kelvra_history_step(app, false);
    kelvra_history_step(app, true);
  }
  free_app(app);
}
BENCHMARK(BM_HistoryUndoRedo)->Unit(benchmark::kMicrosecond);

}  // namespace
