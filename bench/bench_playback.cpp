// Playback as the editor does it, frame by frame in an offscreen window with
// the sound going to SDL's disk driver (written to /dev/null) so that the
// device clock runs: picture and sound in step, the UI thread's work per
// frame, scrubbing latency and the start of playback. Each benchmark runs
// once and reports its figures as counters (milliseconds unless named).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/run.h"
#include "bench_util.h"
#include "editor/app.h"
#include "editor/audio_output.h"
#include "editor/editor.h"
#include "media/video.h"
#include "platform/clock.h"
#include "platform/ui.h"

namespace {

using kelvra_bench::percentile;

// A media folder with a 22 s 1080p30 H.264 source with sound, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-playback-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=22 "
        "-f lavfi -i sine=frequency=440:duration=22 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
        "-c:a aac -shortest '" + path + "/hd.mp4'";
    if (std::system(command.c_str()) != 0) std::abort();
    FILE* project = std::fopen((path + "/project.json").c_str(), "wb");
    std::fputs(R"({"sources": [{"id": "hd", "file": "hd.mp4", "title": "HD"}], "layout": "source"})", project);
    std::fclose(project);
    return path;
  }();
  return folder;
}

// A media folder with a 60 s 1080p30 H.264 source at 8 Mbit/s with sound,
// a key picture exactly every 2 s (no extra ones at scene changes), made once.
const std::string& long_media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-far-seek-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=60 "
        "-f lavfi -i sine=frequency=440:duration=60 -c:v libx264 -preset veryfast -b:v 8M -pix_fmt yuv420p "
        "-g 60 -keyint_min 60 -sc_threshold 0 -c:a aac -shortest '" + path + "/long.mp4'";
    if (std::system(command.c_str()) != 0) std::abort();
    FILE* project = std::fopen((path + "/project.json").c_str(), "wb");
    std::fputs(R"({"sources": [{"id": "long", "file": "long.mp4", "title": "Long"}], "layout": "source"})", project);
    std::fclose(project);
    return path;
  }();
  return folder;
}

struct Editor {
  KelvraApp* app = nullptr;
  FrameMemory memory{};
  char path[KELVRA_PATH_SIZE] = "";
  explicit Editor(const std::string& folder = media_folder()) {
    setenv("SDL_VIDEODRIVER", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    setenv("ZARNELK_MEDIA", folder.c_str(), 1);
    app = kelvra_app_create();
    if (!kelvra_start(app)) std::abort();
    kelvra_path(app->media_folder, app->project.sources[0].file, path);
    // Wait until the source's picture and sound are decoded.
    for (int i = 0; i < 900 && !(app->project.sources[0].duration > 0 && picture_time() >= 0); ++i) step();
    for (int i = 0; i < 60; ++i) step();
  }
  ~Editor() { kelvra_shutdown(app); }
  void step() { kelvra_frame(app, &memory); }
  double picture_time() {
    double time = -1;
    return kelvra_video_position(app->source_video, path, &time) ? time : -1;
  }
};

// Plays the source for 20 s: the picture on screen against the audio clock,
// and the UI thread's work per frame.
void BM_PlaybackInStep(benchmark::State& state) {
  Editor editor;
  KelvraApp* app = editor.app;
  std::vector<double> drift;
  std::vector<double> work;
  // The source worker's picture after each pass: one published during a frame
  // wait is the one the next pass draws.
  struct Seen {
    uint64_t serial;
    double time;
  } seen{}, last{};
  for (auto _ : state) {
    kelvra_toggle(app, TRANSPORT_SOURCE);
    const uint64_t start = ui_time_ms();
    while (app->playing && ui_time_ms() - start < 20000) {
      const uint64_t drawn = editor.memory.frames_drawn;
      editor.step();
      work.push_back(static_cast<double>(editor.memory.work_ns) / 1e6);
      last = seen;
      kelvra_video_size(app->source_video, nullptr, nullptr, &seen.serial);
      seen.time = editor.picture_time();
      // The picture drawn in this pass against the clock the pass's tick read
      // from the device (the playhead).
      const uint64_t serial = editor.memory.drawn.source;
      const Seen* shown = seen.serial == serial ? &seen : last.serial == serial ? &last : nullptr;
      if (ui_time_ms() - start > 1000 && shown != nullptr && shown->time >= 0 && editor.memory.frames_drawn > drawn)
        drift.push_back(std::fabs(shown->time - app->source_playhead) * 1000);
    }
  }
  state.counters["sync_median_ms"] = percentile(drift, 0.5);
  state.counters["sync_max_ms"] = percentile(drift, 1.0);
  state.counters["frame_work_median_ms"] = percentile(work, 0.5);
  state.counters["frame_work_p99_ms"] = percentile(work, 0.99);
  state.counters["frames"] = static_cast<double>(work.size());
}
BENCHMARK(BM_PlaybackInStep)->Iterations(1)->Unit(benchmark::kMillisecond);

// Scrubbing the seek bar. A drag: the pointer crosses the bar left to right
// over about four seconds, one move a frame, and each move's latency is the
// time until the screen shows a picture at or past its time (a later move may
// be what brings it). Jumps: single presses at scattered places, each waited
// for until its exact picture is on screen.
void BM_Scrubbing(benchmark::State& state) {
  Editor editor;
  KelvraApp* app = editor.app;
  std::vector<double> drag;
  std::vector<double> jumps;
  for (auto _ : state) {
    const Rect bar = app->source_seek_bar;
    struct Move {
      uint64_t at_ns;
      double time;
      bool shown;
    };
    std::vector<Move> moves;
    kelvra_source_seek(app, bar.x + 4);
    for (int i = 0; i < 30; ++i) editor.step();
    for (int32_t x = bar.x + 4; x <= bar.x + bar.width - 4; x += (bar.width - 8) / 120) {
      kelvra_source_seek(app, x);
      moves.push_back(Move{ui_time_ns(), app->source_playhead, false});
      editor.step();
      const double shown = editor.picture_time();
      for (Move& move : moves) {
        if (!move.shown && shown >= move.time - 1.0 / 30) {
          move.shown = true;
          drag.push_back(static_cast<double>(ui_time_ns() - move.at_ns) / 1e6);
        }
      }
    }
    for (int i = 1; i <= 40; ++i) {
      const int32_t x = bar.x + 4 + (bar.width - 8) * ((i * 7) % 40) / 40;
      const uint64_t moved = ui_time_ns();
      kelvra_source_seek(app, x);
      const double wanted = app->source_playhead;
      const uint64_t drawn = editor.memory.frames_drawn;
      for (int frames = 0; frames < 60; ++frames) {
        editor.step();
        if (std::fabs(editor.picture_time() - wanted) <= 1.0 / 30 && editor.memory.frames_drawn > drawn) break;
      }
      jumps.push_back(static_cast<double>(ui_time_ns() - moved) / 1e6);
    }
  }
  state.counters["drag_median_ms"] = percentile(drag, 0.5);
  state.counters["drag_p90_ms"] = percentile(drag, 0.9);
  state.counters["jump_median_ms"] = percentile(jumps, 0.5);
  state.counters["jump_max_ms"] = percentile(jumps, 1.0);
}
BENCHMARK(BM_Scrubbing)->Iterations(1)->Unit(benchmark::kMillisecond);

// From Space to the first buffer queued, with the sound already decoded.
void BM_StartOfPlayback(benchmark::State& state) {
  Editor editor;
  KelvraApp* app = editor.app;
  std::vector<double> frames_to_start;
  for (auto _ : state) {
    for (int i = 0; i < 10; ++i) {
      kelvra_toggle(app, TRANSPORT_SOURCE);
      int frames = 0;
      while (!kelvra_audio_state(app->audio_out).started && frames < 90) {
        editor.step();
        ++frames;
      }
      frames_to_start.push_back(frames);
      editor.step(), editor.step();
      kelvra_toggle(app, TRANSPORT_SOURCE);
      editor.step();
    }
  }
  state.counters["start_frames_median"] = percentile(frames_to_start, 0.5);
  state.counters["start_frames_max"] = percentile(frames_to_start, 1.0);
}
BENCHMARK(BM_StartOfPlayback)->Iterations(1)->Unit(benchmark::kMillisecond);

// Far seeks in a 60 s 1080p30 source with a key picture every 2 s: a press
// on the seek bar (the event the frame loop hands to the editor) at a point
// at least 10 s from the picture on screen, timed from the press until the
// pass that presents the exact picture of the pressed time. The points fall
// evenly over the 2 s between key pictures, as a user's presses do; those in
// the last fifth of a second before a key picture, where the decoder goes
// through nearly the whole group (up to 59 pictures), are also reported on
// their own. Between seeks the editor idles for half a second.
void BM_FarSeek1080p(benchmark::State& state) {
  Editor editor(long_media_folder());
  KelvraApp* app = editor.app;
  std::vector<double> all;
  std::vector<double> edge;
  int missed = 0;
  for (auto _ : state) {
    const Rect bar = app->source_seek_bar;
    const double duration = app->project.sources[app->selected_source].duration;
    // The time a press at x asks for, as the seek bar maps it.
    const auto time_at = [&](int32_t x) {
      return std::clamp(static_cast<double>(x - bar.x - 4) / std::max(bar.width - 8, 1), 0.0, 1.0) * duration;
    };
    double shown_time = 0;
    constexpr int kSeeks = 48;
    for (int i = 0; i < kSeeks; ++i) {
      // Alternating halves of the source keep the seeks far from each other;
      // the place in the group steps through every 48th of it.
      const int group = (i % 2) * 15 + (i * 7) % 15;
      const double aim = 2.0 * group + ((i * 29) % kSeeks) * (2.0 / kSeeks) + 1.0 / 60;
      const int32_t x = bar.x + 4 + static_cast<int32_t>(std::lround(aim / duration * (bar.width - 8)));
      if (std::fabs(time_at(x) - shown_time) < 10) continue;
      UiInput press{};
      press.pointer = UI_POINTER_PRESS;
      press.x = x;
      press.y = bar.y + bar.height / 2;
      const uint64_t pressed = ui_time_ns();
      kelvra_input(app, &press);
      const double wanted = app->source_playhead;
      // The picture on screen at `wanted`: the last one that starts at or before it.
      const double picture = std::floor(wanted * 30 + 1e-6) / 30;
      uint64_t presented = 0;
      for (int frames = 0; frames < 90 && presented == 0; ++frames) {
        const uint64_t drawn = editor.memory.frames_drawn;
        const uint64_t started = ui_time_ns();
        editor.step();
        uint64_t serial = 0;
        kelvra_video_size(app->source_video, nullptr, nullptr, &serial);
        if (editor.memory.frames_drawn > drawn && editor.memory.drawn.source == serial &&
            std::fabs(editor.picture_time() - picture) < 0.002)
          presented = started + editor.memory.work_ns;
      }
      UiInput release = press;
      release.pointer = UI_POINTER_RELEASE;
      kelvra_input(app, &release);
      if (presented == 0) {
        ++missed;
        continue;
      }
      shown_time = wanted;
      const double ms = static_cast<double>(presented - pressed) / 1e6;
      all.push_back(ms);
      if (std::fmod(wanted, 2.0) >= 1.8) edge.push_back(ms);
      for (int frames = 0; frames < 15; ++frames) editor.step();
    }
  }
  if (missed > 0) state.SkipWithError("a seek never showed its picture");
  state.counters["seeks"] = static_cast<double>(all.size());
  state.counters["median_ms"] = percentile(all, 0.5);
  state.counters["p90_ms"] = percentile(all, 0.9);
  state.counters["max_ms"] = percentile(all, 1.0);
  state.counters["before_key_seeks"] = static_cast<double>(edge.size());
  state.counters["before_key_median_ms"] = percentile(edge, 0.5);
}
BENCHMARK(BM_FarSeek1080p)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
