// Whole exports, timed beside the ffmpeg tool doing the same work in the same
// run: a 1080p composite (two video layers, the top one an inset, a title,
// the mixed sound of both) through kelvra-render and through ffmpeg's
// -filter_complex (scale, overlay, drawtext, amix) at the same x264 preset,
// size and bitrate; and three open canvases at once against one, with the
// renderer's peak resident memory. Each runs the programs as child processes
// once and reports wall seconds, frames a second and ratios as counters.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "platform/clock.h"

extern char** environ;

namespace {

constexpr double kSeconds = 10.0;
constexpr int kFrames = 300;

// A media folder with two 10 s 1080p30 sources with sound and the project, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-render-bench-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string make =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=10 "
        "-f lavfi -i sine=frequency=440:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
        "-c:a aac -shortest '" + path + "/a.mp4' && "
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i smptehdbars=size=1920x1080:rate=30:duration=10 "
        "-f lavfi -i sine=frequency=660:duration=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
        "-c:a aac -shortest '" + path + "/b.mp4'";
    if (std::system(make.c_str()) != 0) std::abort();
    FILE* project = std::fopen((path + "/bench.pjn").c_str(), "wb");
    std::fputs(R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}],
      "clips": [{"id": "base", "sourceId": "a", "out": 10, "lane": 0},
                {"id": "inset", "sourceId": "b", "out": 10, "lane": 1, "gain": 0.5,
                 "transforms": {"fullhd": {"x": 0.3, "y": -0.3, "scale": 0.32}}}],
      "texts": [{"text": "Harbour at dawn", "at": 0, "duration": 10, "x": 0.5, "y": 0.82,
                 "style": {"background": "#203040", "color": "#F0E0A0"}}],
      "primaryCanvas": "fullhd", "canvasSizes": ["fullhd"]})",
               project);
    std::fclose(project);
    return path;
  }();
  return folder;
}

struct Run {
  double seconds;
  double peak_mb;  // the child's peak resident memory
  int status;
};

// Runs `argv` with its output discarded; wall time and peak memory.
Run run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const uint64_t start = ui_time_ns();
  pid_t pid = 0;
  Run result{0, 0, -1};
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.seconds = static_cast<double>(ui_time_ns() - start) / 1e9;
    result.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }
  posix_spawn_file_actions_destroy(&actions);
  return result;
}

std::string fresh_out(const char* name) {
  const std::string out = media_folder() + "/" + name;
  std::filesystem::remove_all(out);
  std::filesystem::create_directory(out);
  return out;
}

Run ours(const std::vector<std::string>& canvases) {
  std::vector<std::string> args = {kelvra_bench::renderer(), media_folder() + "/bench.pjn", "--out",
                                   fresh_out("ours")};
  for (const std::string& canvas : canvases) {
    args.push_back("--canvas");
    args.push_back(canvas);
  }
  return run(args);
}

Run ffmpeg_composite() {
  const std::string folder = media_folder();
  const std::string graph =
      "[1:v]scale=iw*0.32:ih*0.32[small];[0:v][small]overlay=x=(W-w)/2+0.3*W:y=(H-h)/2-0.3*H[layers];"
      "[layers]drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:text='Harbour at dawn':"
      "fontsize=27:fontcolor=0xF0E0A0:box=1:boxcolor=0x203040:boxborderw=12:x=(w-text_w)/2:y=0.82*h-text_h/2[v];"
      "[0:a][1:a]amix=inputs=2:normalize=0[a]";
  return run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", folder + "/a.mp4", "-i", folder + "/b.mp4",
              "-filter_complex", graph, "-map", "[v]", "-map", "[a]", "-c:v", "libx264", "-preset", "veryfast",
              "-b:v", "8294400", "-pix_fmt", "yuv420p", "-r", "30", "-c:a", "aac", "-b:a", "192k", "-ar", "48000",
              "-ac", "2", "-movflags", "+faststart", "-t", "10", fresh_out("ffmpeg") + "/composite.mp4"});
}

void BM_ExportComposite1080p(benchmark::State& state) {
  Run mine{};
  Run tool{};
  for (auto _ : state) {
    mine = ours({"fullhd"});
    tool = ffmpeg_composite();
  }
  if (mine.status != 0 || tool.status != 0) state.SkipWithError("a render failed");
  state.counters["ours_s"] = mine.seconds;
  state.counters["ffmpeg_s"] = tool.seconds;
  state.counters["ours_fps"] = kFrames / mine.seconds;
  state.counters["ffmpeg_fps"] = kFrames / tool.seconds;
  state.counters["speed_vs_ffmpeg"] = tool.seconds / mine.seconds;
  state.counters["ours_peak_MB"] = mine.peak_mb;
}
BENCHMARK(BM_ExportComposite1080p)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_ExportThreeCanvases(benchmark::State& state) {
  Run one{};
  Run three{};
  for (auto _ : state) {
    one = ours({"fullhd"});
    three = ours({"fullhd", "shorts", "square"});
  }
  if (one.status != 0 || three.status != 0) state.SkipWithError("a render failed");
  state.counters["one_s"] = one.seconds;
  state.counters["three_s"] = three.seconds;
  state.counters["three_vs_one"] = three.seconds / one.seconds;
  state.counters["one_peak_MB"] = one.peak_mb;
  state.counters["three_peak_MB"] = three.peak_mb;
}
BENCHMARK(BM_ExportThreeCanvases)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A WAV of one minute from the middle of a two-hour recording, and of the
// same minute looped past a gap: the sound is read in windows, so the peak
// memory does not grow with the source (decoded whole, the source would be
// 1318 MiB of 16-bit stereo).
void BM_ExportFromTwoHourSource(benchmark::State& state) {
  const std::string folder = media_folder();
  const std::string make =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i anullsrc=r=48000:cl=stereo:d=3570 -f lavfi -i "
      "sine=frequency=440:duration=60:sample_rate=48000 -f lavfi -i anullsrc=r=48000:cl=stereo:d=3570 "
      "-filter_complex '[1]aformat=channel_layouts=stereo[t];[0][t][2]concat=n=3:v=0:a=1' '" + folder + "/long.flac'";
  if (!std::filesystem::exists(folder + "/long.flac") && std::system(make.c_str()) != 0) std::abort();
  FILE* project = std::fopen((folder + "/long.pjn").c_str(), "wb");
  std::fputs(R"({"sources": [{"id": "l", "file": "long.flac"}],
    "clips": [{"sourceId": "l", "in": 3570, "out": 3630, "video": false},
              {"sourceId": "l", "in": 3600, "out": 3630, "at": 70, "mode": "loop", "loops": 2, "video": false}]})",
             project);
  std::fclose(project);
  Run mine{};
  for (auto _ : state) mine = run({kelvra_bench::renderer(), folder + "/long.pjn", "--wav", "--loudness", "off",
                                   "--out", fresh_out("long")});
  if (mine.status != 0) state.SkipWithError("the render failed");
  state.counters["seconds"] = mine.seconds;
  state.counters["peak_MB"] = mine.peak_mb;
  state.counters["source_decoded_MB"] = 7200.0 * 48000 * 4 / (1024 * 1024);
}
BENCHMARK(BM_ExportFromTwoHourSource)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Eight 4K layers with their sound stacked on three 4K canvases, two seconds:
// the heaviest stack the composer takes.
void BM_ExportEightLayers4K(benchmark::State& state) {
  const std::string folder = media_folder();
  const std::string make =
      "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=3840x2160:rate=30:duration=2 "
      "-f lavfi -i sine=frequency=440:duration=2 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 30 "
      "-c:a aac -shortest '" + folder + "/uhd.mp4'";
  if (!std::filesystem::exists(folder + "/uhd.mp4") && std::system(make.c_str()) != 0) std::abort();
  std::string clips;
  for (int i = 0; i < 8; ++i) {
    const double scale = 1.0 - 0.1 * i;
    clips += std::string(i ? "," : "") + R"({"sourceId": "u", "out": 2, "lane": )" + std::to_string(i % 4) +
             R"(, "at": )" + std::to_string(i * 0.001) + R"(, "gain": 0.2, "transforms": {"uhd": {"scale": )" +
             std::to_string(scale) + R"(}, "dci4k": {"scale": )" + std::to_string(scale) +
             R"(}, "vertical4k": {"scale": )" + std::to_string(scale) + "}}}";
  }
  FILE* project = std::fopen((folder + "/stack.pjn").c_str(), "wb");
  std::fputs((R"({"sources": [{"id": "u", "file": "uhd.mp4"}], "clips": [)" + clips + "]}").c_str(), project);
  std::fclose(project);
  Run mine{};
  for (auto _ : state)
    mine = run({kelvra_bench::renderer(), folder + "/stack.pjn", "--canvas", "uhd", "--canvas", "dci4k", "--canvas",
                "vertical4k", "--loudness", "off", "--out", fresh_out("stack")});
  if (mine.status != 0) state.SkipWithError("the render failed");
  state.counters["seconds"] = mine.seconds;
  state.counters["peak_MB"] = mine.peak_mb;
}
BENCHMARK(BM_ExportEightLayers4K)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
