// The timeline preview's whole mix: four overlapping 1080p sources with
// sound plus a music clip of the score. The mix thread's time for one 1/30 s
// block, the UI thread's work per frame while the timeline plays (sound to
// SDL's disk driver, written to /dev/null), and the resident memory while
// four 10-minute sources play (their decoded sound alone would be 460 MB).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/run.h"
#include "bench_util.h"
#include "editor/app.h"
#include "editor/audio_output.h"
#include "editor/editor.h"
#include "media/audio_mix.h"
#include "media/sound_feed.h"
#include "media/sound_stream.h"
#include "platform/clock.h"

namespace {

using kelvra_bench::percentile;

const char kScore[] = R"("audioScore": {"bpm": 96, "master": 0.85, "rolls": 2, "regions": [
  {"start": 0, "end": 960, "roll": 0, "low": 36, "high": 84, "volume": 0.8, "pan": -0.2, "active": 0, "instruments": [0, 1]},
  {"start": 0, "end": 960, "roll": 1, "low": 30, "high": 60, "volume": 0.9, "pan": 0.1, "active": 0, "instruments": [3]}],
  "notes": [{"beat": 0, "length": 2, "key": 60, "velocity": 0.7, "roll": 0, "region": 0},
            {"beat": 2, "length": 2, "key": 64, "velocity": 0.7, "roll": 0, "region": 0},
            {"beat": 4, "length": 2, "key": 67, "velocity": 0.7, "roll": 0, "region": 0},
            {"beat": 6, "length": 2, "key": 72, "velocity": 0.8, "roll": 0, "region": 0},
            {"beat": 0, "length": 1, "key": 36, "velocity": 0.9, "roll": 1, "region": 1},
            {"beat": 2, "length": 1, "key": 43, "velocity": 0.9, "roll": 1, "region": 1},
            {"beat": 4, "length": 1, "key": 41, "velocity": 0.9, "roll": 1, "region": 1},
            {"beat": 6, "length": 1, "key": 43, "velocity": 0.9, "roll": 1, "region": 1}]})";

// A media folder, made once: four 22 s 1080p30 H.264 sources with AAC sound
// (one file under four names) and four 10-minute 1080p sources (one picture
// a second, to keep making them short) with AAC sound.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-preview-mix-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string ff = "ffmpeg -hide_banner -loglevel error -y ";
    const std::string hd = ff +
                           "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=22 -f lavfi -i "
                           "sine=frequency=440:duration=22 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
                           "-c:a aac -shortest '" + path + "/hd0.mp4'";
    const std::string long_source = ff +
                                    "-f lavfi -i testsrc2=size=1920x1080:rate=1:duration=600 -f lavfi -i "
                                    "sine=frequency=330:duration=600 -c:v libx264 -preset ultrafast -pix_fmt yuv420p "
                                    "-c:a aac -b:a 128k -shortest '" + path + "/long0.mp4'";
    if (std::system(hd.c_str()) != 0 || std::system(long_source.c_str()) != 0) std::abort();
    for (int i = 1; i < 4; ++i) {
      const std::string n = std::to_string(i);
      if (::symlink((path + "/hd0.mp4").c_str(), (path + "/hd" + n + ".mp4").c_str()) != 0 ||
          ::symlink((path + "/long0.mp4").c_str(), (path + "/long" + n + ".mp4").c_str()) != 0)
        std::abort();
    }
    return path;
  }();
  return folder;
}

// A project of four overlapping clips of `prefix`0..3.mp4, `seconds` long,
// on lanes 0..3 from 0, 0.5, 1 and 1.5 s, and the score as a music clip.
std::string four_sources(const char* prefix, double seconds) {
  std::string json = R"({"sources": [)";
  for (int i = 0; i < 4; ++i)
    json += std::string(i > 0 ? ", " : "") + R"({"id": "s)" + std::to_string(i) + R"(", "file": ")" + prefix +
            std::to_string(i) + R"(.mp4"})";
  json += R"(], "clips": [)";
  for (int i = 0; i < 4; ++i) {
    char clip[256];
    std::snprintf(clip, sizeof clip,
                  R"({"id": "c%d", "sourceId": "s%d", "in": %g, "out": %g, "at": %g, "lane": %d, "gain": 0.4, "fadeIn": 0.5}, )",
                  i, i, 0.25 * i, seconds - 2, 0.5 * i, i);
    json += clip;
  }
  char music[160];
  std::snprintf(music, sizeof music, R"({"id": "m", "name": "Score", "music": true, "in": 0, "out": %g, "at": 0, "lane": 3}],)",
                seconds - 2);
  json += music;
  json += kScore;
  json += "}";
  return json;
}

// Resident memory of this process in MB.
double resident_mb() {
  FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  double kb = 0;
  while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr)
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atof(line + 6);
  if (status != nullptr) std::fclose(status);
  return kb / 1024;
}

// The editor on `project_file` of the media folder, offscreen, its sound to /dev/null.
struct Editor {
  KelvraApp* app = nullptr;
  FrameMemory memory{};
  explicit Editor(const std::string& json) {
    const std::string folder = media_folder();
    FILE* file = std::fopen((folder + "/project.json").c_str(), "wb");
    std::fputs(json.c_str(), file);
    std::fclose(file);
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("ZARNELK_MEDIA", folder.c_str(), 1);
    app = kelvra_app_create();
    if (!kelvra_start(app)) std::abort();
    for (int i = 0; i < 30; ++i) step();
    kelvra_change_tab(app, KELVRA_TAB_TIMELINE);
    for (int i = 0; i < 30; ++i) step();
  }
  ~Editor() { kelvra_shutdown(app); }
  void step() { kelvra_frame(app, &memory); }
};

// The mix of one 1/30 s block, as the mix thread makes it, over 20 s of four
// overlapping 1080p sources and the score.
void BM_PreviewMixBlock(benchmark::State& state) {
  const std::string json = four_sources("hd", 22);
  auto project = std::make_unique<Project>();
  if (!kelvra_project_open_bytes(project.get(), json.data(), json.size())) std::abort();
  auto plan = std::make_unique<SoundPlan>();
  char message[128] = "";
  if (!audio_plan_open(plan.get(), project.get(), media_folder().c_str(), message)) std::abort();
  std::vector<double> times;
  std::vector<double> wide(2 * MIX_MAX_CHUNK);
  for (auto _ : state) {
    auto feed = std::make_unique<SoundFeed>();
    audio_feed_open(feed.get(), plan.get());
    for (uint64_t block = 0; block < 600; ++block) {
      const uint64_t start = ui_time_ns();
      audio_feed_mix_wide(feed.get(), static_cast<double>(block * MIX_MAX_CHUNK) / MIX_RATE, wide.data(), MIX_MAX_CHUNK);
      times.push_back(static_cast<double>(ui_time_ns() - start) / 1e6);
    }
    audio_feed_close(feed.get());
  }
  state.counters["block_median_ms"] = percentile(times, 0.5);
  state.counters["block_p99_ms"] = percentile(times, 0.99);
  state.counters["block_max_ms"] = percentile(times, 1.0);
  kelvra_project_close(project.get());
}
BENCHMARK(BM_PreviewMixBlock)->Iterations(1)->Unit(benchmark::kMillisecond);

// The UI thread's work per frame while the timeline plays 15 s of the four
// 1080p sources and the score (the mix runs on its own thread).
void BM_PreviewPlayingFrame(benchmark::State& state) {
  Editor editor(four_sources("hd", 22));
  KelvraApp* app = editor.app;
  std::vector<double> work;
  uint64_t underruns = 0;
  for (auto _ : state) {
    kelvra_toggle(app, TRANSPORT_TIMELINE);
    const uint64_t start = ui_time_ms();
    while (app->playing && ui_time_ms() - start < 15000) {
      editor.step();
      if (ui_time_ms() - start > 1000) {
        work.push_back(static_cast<double>(editor.memory.work_ns) / 1e6);
        underruns += sound_stream_ready(kelvra_audio_stream(app->audio_out)) == 0;
      }
    }
    kelvra_toggle(app, TRANSPORT_TIMELINE);
  }
  state.counters["frame_work_median_ms"] = percentile(work, 0.5);
  state.counters["frame_work_p99_ms"] = percentile(work, 0.99);
  state.counters["frames"] = static_cast<double>(work.size());
  state.counters["frames_ring_empty"] = static_cast<double>(underruns);
}
BENCHMARK(BM_PreviewPlayingFrame)->Iterations(1)->Unit(benchmark::kMillisecond);

// Resident memory before and while the timeline plays four overlapping
// 10-minute sources from their middle, and the decoded sound the mix holds.
void BM_PreviewResidentMemory(benchmark::State& state) {
  Editor editor(four_sources("long", 600));
  KelvraApp* app = editor.app;
  double before = 0;
  double playing = 0;
  double feed = 0;
  for (auto _ : state) {
    before = resident_mb();
    app->timeline_playhead = 300;
    kelvra_toggle(app, TRANSPORT_TIMELINE);
    const uint64_t start = ui_time_ms();
    while (app->playing && ui_time_ms() - start < 8000) {
      editor.step();
      playing = std::max(playing, resident_mb());
      feed = std::max(feed, static_cast<double>(sound_stream_state(kelvra_audio_stream(app->audio_out)).feed_bytes));
    }
    kelvra_toggle(app, TRANSPORT_TIMELINE);
  }
  state.counters["rss_before_mb"] = before;
  state.counters["rss_playing_max_mb"] = playing;
  state.counters["mix_sound_held_mb"] = feed / 1048576;
  state.counters["whole_decoded_would_be_mb"] = 4 * 600.0 * 48000 * 2 * 2 / 1048576;
}
BENCHMARK(BM_PreviewResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
