// One edit on several canvases, timed beside the ffmpeg tool in the same run:
// the 20 s composite (two 1080p layers, the second an inset, a title, both
// sounds; loudness off) rendered by kelvra-render to Full HD, Shorts and
// Square at once against one ffmpeg command that decodes the sources once and
// splits them to three composites and three encoders, and to Full HD alone
// against the tool's single composite. Both sides use x264 "veryfast" at
// width x height x 4 bits a second, a key picture every 60, a look-ahead of 5
// pictures, AAC 192 kbit/s. The programs run as child processes, alternating,
// three times each; the counters are the medians of whole-process wall time,
// processor time (user plus system, every thread) and peak resident memory.
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

constexpr int kRounds = 3;

// Two 20 s 1080p30 sources with sound and the project, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-canvases-bench-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string make =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=20 "
        "-f lavfi -i sine=frequency=440:duration=20 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
        "-c:a aac -shortest '" + path + "/a.mp4' && "
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i smptehdbars=size=1920x1080:rate=30:duration=20 "
        "-f lavfi -i sine=frequency=660:duration=20 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 60 "
        "-c:a aac -shortest '" + path + "/b.mp4'";
    if (std::system(make.c_str()) != 0) std::abort();
    FILE* project = std::fopen((path + "/canvases.pjn").c_str(), "wb");
    std::fputs(R"({"sources": [{"id": "a", "file": "a.mp4"}, {"id": "b", "file": "b.mp4"}],
      "clips": [{"id": "base", "sourceId": "a", "out": 20, "lane": 0},
                {"id": "inset", "sourceId": "b", "out": 20, "lane": 1, "gain": 0.5,
                 "transforms": {"fullhd": {"x": 0.3, "y": -0.3, "scale": 0.32},
                                "shorts": {"x": 0, "y": -0.3, "scale": 0.3},
                                "square": {"x": 0, "y": 0.3, "scale": 0.4}}}],
      "texts": [{"text": "Harbour at dawn", "at": 0, "duration": 20, "x": 0.5, "y": 0.82,
                 "style": {"background": "#203040", "color": "#F0E0A0"}}],
      "loudness": "off", "primaryCanvas": "fullhd", "canvasSizes": ["fullhd", "shorts", "square"]})",
               project);
    std::fclose(project);
    return path;
  }();
  return folder;
}

struct Run {
  double seconds;
  double cpu_seconds;  // user plus system time of the child and its threads
  double peak_mb;      // the child's peak resident memory
  int status;
};

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
  Run result{0, 0, 0, -1};
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.seconds = static_cast<double>(ui_time_ns() - start) / 1e9;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
  std::vector<std::string> args = {kelvra_bench::renderer(), media_folder() + "/canvases.pjn", "--loudness", "off",
                                   "--out", fresh_out("ours")};
  for (const std::string& canvas : canvases) {
    args.push_back("--canvas");
    args.push_back(canvas);
  }
  return run(args);
}

// The title as drawtext draws it on a canvas `height` pixels high (27 pixels a 1080).
std::string title(const std::string& in, const std::string& out, int height) {
  return "[" + in + "]drawtext=fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf:text='Harbour at dawn':"
         "fontsize=" + std::to_string(27 * height / 1080) + ":fontcolor=0xF0E0A0:box=1:boxcolor=0x203040:"
         "boxborderw=" + std::to_string(12 * height / 1080) + ":x=(w-text_w)/2:y=0.82*h-text_h/2[" + out + "]";
}

// One output file's encoder settings: those of kelvra-render's MP4s.
void encoder(std::vector<std::string>* args, const std::string& video, const std::string& sound, int width,
             int height, const std::string& path) {
  const std::vector<std::string> more = {
      "-map", video, "-map", sound, "-c:v", "libx264", "-preset", "veryfast", "-b:v",
      std::to_string(width * height * 4), "-g", "60", "-x264-params", "rc-lookahead=5", "-pix_fmt", "yuv420p",
      "-r", "30", "-c:a", "aac", "-b:a", "192k", "-ar", "48000", "-ac", "2", "-movflags", "+faststart", "-t", "20",
      path};
  args->insert(args->end(), more.begin(), more.end());
}

// The tool's composite of the same edit: to Full HD alone, or with `three`
// decoding once and splitting to Full HD, Shorts (the base covering 1080 x
// 1920) and Square (the base's middle), each with its inset, title and encoder.
Run tool(bool three) {
  const std::string folder = media_folder();
  const std::string out = fresh_out("ffmpeg");
  const std::string fullhd =
      "[b1]scale=614:346[i1];[a1][i1]overlay=x=(W-w)/2+0.3*W:y=(H-h)/2-0.3*H[l1];" + title("l1", "v1", 1080);
  const std::string shorts = "[a2]scale=-2:1920,crop=1080:1920[c2];[b2]scale=1024:576[i2];"
                             "[c2][i2]overlay=x=(W-w)/2:y=(H-h)/2-0.3*H[l2];" + title("l2", "v2", 1920);
  const std::string square = "[a3]crop=1080:1080[c3];[b3]scale=768:432[i3];"
                             "[c3][i3]overlay=x=(W-w)/2:y=(H-h)/2+0.3*H[l3];" + title("l3", "v3", 1080);
  const std::string sound = "[1:a]volume=0.5[quiet];[0:a][quiet]amix=inputs=2:normalize=0";
  std::string graph;
  if (three)
    graph = "[0:v]split=3[a1][a2][a3];[1:v]split=3[b1][b2][b3];" + fullhd + ";" + shorts + ";" + square + ";" +
            sound + ",asplit=3[s1][s2][s3]";
  else
    graph = "[0:v]null[a1];[1:v]null[b1];" + fullhd + ";" + sound + "[s1]";
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", folder + "/a.mp4",
                                   "-i", folder + "/b.mp4", "-filter_complex", graph};
  encoder(&args, "[v1]", "[s1]", 1920, 1080, out + "/fullhd.mp4");
  if (three) {
    encoder(&args, "[v2]", "[s2]", 1080, 1920, out + "/shorts.mp4");
    encoder(&args, "[v3]", "[s3]", 1080, 1080, out + "/square.mp4");
  }
  return run(args);
}

double median(std::vector<double> values) { return kelvra_bench::percentile(std::move(values), 0.5); }

// Alternating runs of ours and the tool's; the medians as counters.
void compare(benchmark::State& state, const std::vector<std::string>& canvases, bool three) {
  std::vector<double> wall[2], cpu[2], peak[2];
  bool failed = false;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const Run both[2] = {ours(canvases), tool(three)};
      for (int side = 0; side < 2; ++side) {
        failed |= both[side].status != 0;
        wall[side].push_back(both[side].seconds);
        cpu[side].push_back(both[side].cpu_seconds);
        peak[side].push_back(both[side].peak_mb);
      }
    }
  }
  if (failed) state.SkipWithError("a render failed");
  const char* names[2] = {"ours", "ffmpeg"};
  for (int side = 0; side < 2; ++side) {
    state.counters[std::string(names[side]) + "_s"] = median(wall[side]);
    state.counters[std::string(names[side]) + "_cpu_s"] = median(cpu[side]);
    state.counters[std::string(names[side]) + "_peak_MB"] = median(peak[side]);
  }
  state.counters["speed_vs_ffmpeg"] = median(wall[1]) / median(wall[0]);
  state.counters["cpu_vs_ffmpeg"] = median(cpu[0]) / median(cpu[1]);
}

void BM_ThreeCanvasesVsTool(benchmark::State& state) { compare(state, {"fullhd", "shorts", "square"}, true); }
BENCHMARK(BM_ThreeCanvasesVsTool)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_OneCanvasVsTool(benchmark::State& state) { compare(state, {"fullhd"}, false); }
BENCHMARK(BM_OneCanvasVsTool)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
