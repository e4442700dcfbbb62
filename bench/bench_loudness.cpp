// Loudness of a 10-minute timeline mix (two looped sources, one with a fade
// and a gain): the export's measuring pass over the mix alone (integrated
// loudness and range), timed beside ffmpeg's ebur128 filter measuring the same
// on the WAV export of the mix, with the figures of both; and the default
// export (normalised to -14 LUFS, true peak at most -1 dBTP) as ffmpeg's
// filter measures it with true peaks, beside the figures the export reports
// for itself.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "bench_util.h"
#include "editor/app.h"
#include "export/render.h"
#include "media/wave.h"
#include "platform/clock.h"

namespace {

// Two 60 s sources, each looped ten times on the timeline, made once.
const std::string& media_folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/kelvra-loudness-bench-XXXXXX";
    const std::string path = ::mkdtemp(pattern);
    const std::string make =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i "
        "\"anoisesrc=color=pink:amplitude=0.3:duration=60:sample_rate=48000,"
        "volume=eval=frame:volume='0.2+0.8*abs(sin(2*PI*t/9))'\" -ac 2 '" + path + "/a.wav' && "
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i sine=frequency=220:duration=60:sample_rate=48000 "
        "-af volume=0.4 -ac 2 '" + path + "/b.wav'";
    if (std::system(make.c_str()) != 0) std::abort();
    FILE* project = std::fopen((path + "/bench.pjn").c_str(), "wb");
    std::fputs(R"({"sources": [{"id": "a", "file": "a.wav"}, {"id": "b", "file": "b.wav"}],
      "clips": [{"id": "noise", "sourceId": "a", "out": 60, "mode": "loop", "loops": 10, "lane": 0, "video": false},
                {"id": "tone", "sourceId": "b", "out": 60, "mode": "loop", "loops": 10, "lane": 1, "video": false,
                 "gain": 0.7, "fadeIn": 2, "fadeOut": 2}],
      "primaryCanvas": "fullhd", "canvasSizes": ["fullhd"]})",
               project);
    std::fclose(project);
    return path;
  }();
  return folder;
}

// Runs a shell command; its standard output and error together.
std::string capture(const std::string& command, int* status) {
  std::string text;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  *status = ::pclose(pipe);
  return text;
}

// The number after the last `label` in `text`; NaN when missing.
double figure_after(const std::string& text, const char* label) {
  const size_t at = text.rfind(label);
  if (at == std::string::npos) return NAN;
  return std::strtod(text.c_str() + at + std::strlen(label), nullptr);
}

struct Figures {
  double integrated;
  double range;
  double peak;
  double seconds;
};

// ffmpeg's figures of `wav`, with true peaks when `peaks`; its 100 ms log lines are left out.
Figures ffmpeg_ebur128(const std::string& wav, bool peaks) {
  int status = -1;
  const uint64_t start = ui_time_ns();
  std::string command = "ffmpeg -hide_banner -nostats -i '" + wav;
  command += peaks ? "' -af ebur128=framelog=verbose:peak=true" : "' -af ebur128=framelog=verbose";
  command += " -f null -";
  const std::string text = capture(command, &status);
  const double seconds = static_cast<double>(ui_time_ns() - start) / 1e9;
  if (status != 0) return Figures{NAN, NAN, NAN, seconds};
  return Figures{figure_after(text, "I:"), figure_after(text, "LRA:"), figure_after(text, "Peak:"), seconds};
}

// Renders the mix to WAV with `loudness` ("off", "-14"); its path, and the
// figures the export reported in `reported`.
std::string export_wav(const char* loudness, Figures* reported) {
  const std::string out = media_folder() + "/out-" + loudness;
  std::filesystem::remove_all(out);
  std::filesystem::create_directory(out);
  int status = -1;
  std::string command = "'";
  command += kelvra_bench::renderer();
  command += "' '";
  command += media_folder();
  command += "/bench.pjn' --wav --loudness ";
  command += loudness;
  command += " --out '";
  command += out;
  command += "'";
  const std::string text = capture(command, &status);
  if (status != 0) return "";
  // The renderer's line "NAME: I LUFS  ·  LRA R LU  ·  P dBTP".
  const size_t line = text.find(".wav: ");
  if (line == std::string::npos) return "";
  const char* at = text.c_str() + line + 6;
  reported->integrated = std::strtod(at, nullptr);
  reported->range = figure_after(text, "LRA ");
  reported->peak = figure_after(text, "LU  ·  ");
  // The written path is the line that starts with the output folder.
  const size_t path = text.find(out + "/");
  if (path == std::string::npos) return "";
  return text.substr(path, text.find('\n', path) - path);
}

// The measuring pass alone, as an export runs it: the decoded sources mixed
// block by block into the meter.
void BM_MeasureTenMinuteMix(benchmark::State& state) {
  KelvraApp* app = kelvra_app_create();
  std::snprintf(app->media_folder, sizeof app->media_folder, "%s", media_folder().c_str());
  if (!kelvra_project_open(&app->project, (media_folder() + "/bench.pjn").c_str())) std::abort();
  static SoundPlan plan;
  char message[128] = "";
  if (!audio_plan_open(&plan, &app->project, app->media_folder, message)) std::abort();
  const uint64_t frames = static_cast<uint64_t>(std::ceil(app->project.timeline_end * RENDER_RATE));
  LoudnessFigures ours{};
  double seconds = 0;
  for (auto _ : state) {
    const uint64_t start = ui_time_ns();
    if (!kelvra_loudness_measure(&plan, frames, nullptr, nullptr, 0, &ours)) state.SkipWithError("failed");
    seconds = static_cast<double>(ui_time_ns() - start) / 1e9;
  }
  Figures reported{};
  const std::string wav = export_wav("off", &reported);
  if (wav.empty()) state.SkipWithError("the WAV export failed");
  const Figures tool = ffmpeg_ebur128(wav, false);
  state.counters["ours_s"] = seconds;
  state.counters["ffmpeg_s"] = tool.seconds;
  state.counters["speed_vs_ffmpeg"] = tool.seconds / seconds;
  state.counters["ours_I"] = ours.integrated;
  state.counters["ffmpeg_I"] = tool.integrated;
  state.counters["ours_LRA"] = ours.range;
  state.counters["ffmpeg_LRA"] = tool.range;
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
}
BENCHMARK(BM_MeasureTenMinuteMix)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The default export: where ffmpeg's filter finds its loudness and peak, and
// how far those are from the figures the export showed.
void BM_NormalisedExport(benchmark::State& state) {
  Figures reported{};
  std::string wav;
  double seconds = 0;
  for (auto _ : state) {
    const uint64_t start = ui_time_ns();
    wav = export_wav("-14", &reported);
    seconds = static_cast<double>(ui_time_ns() - start) / 1e9;
  }
  if (wav.empty()) state.SkipWithError("the WAV export failed");
  const Figures tool = ffmpeg_ebur128(wav, true);
  state.counters["export_s"] = seconds;
  state.counters["ffmpeg_I"] = tool.integrated;
  state.counters["ffmpeg_TP"] = tool.peak;
  state.counters["shown_I"] = reported.integrated;
  state.counters["shown_TP"] = reported.peak;
  state.counters["I_gap_LU"] = std::fabs(reported.integrated - tool.integrated);
  state.counters["TP_gap_dB"] = std::fabs(reported.peak - tool.peak);
}
BENCHMARK(BM_NormalisedExport)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
