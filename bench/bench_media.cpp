// Decoding speed beside the ffmpeg tool on the same files, in one run:
// sequential 1080p30 H.264 to BGRX pictures, a seek to a random time in a
// file with a 2-second group of pictures, and a whole 5-minute AAC source to
// 16-bit PCM with its peaks. The files are made with the ffmpeg tool on first use.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "media/video.h"
#include "media/wave.h"
#include "platform/media.h"

namespace {

const std::string& media_folder() {
  static const std::string folder = [] {
    std::string f = "build/bench-media";
    std::system(("mkdir -p " + f).c_str());
    return f;
  }();
  return folder;
}

// Makes `name` in the bench folder with the ffmpeg arguments, once.
std::string made(const std::string& name, const std::string& arguments) {
  const std::string path = media_folder() + "/" + name;
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || info.st_size == 0) {
    const std::string command = "ffmpeg -hide_banner -loglevel error -y " + arguments + " '" + path + "'";
    if (std::system(command.c_str()) != 0) std::abort();
  }
  return path;
}

const std::string& video_1080() {
  static const std::string path =
      made("sequence-1080p30.mp4", "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=20 -c:v libx264 "
                                   "-preset veryfast -b:v 8M -pix_fmt yuv420p -g 60");
  return path;
}

const std::string& audio_5min() {
  static const std::string path = made("five-minutes.m4a", "-f lavfi -i sine=frequency=220:duration=300:sample_rate=48000 "
                                                           "-ac 2 -c:a aac -b:a 192k");
  return path;
}

double seconds_of(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Sequential1080p_Kelvra(benchmark::State& state) {
  const std::string& path = video_1080();
  std::vector<uint8_t> pixels(1920 * 1080 * 4);
  int64_t pictures = 0;
  for (auto _ : state) {
    MediaReader* reader = nullptr;
    if (media_reader_open(&reader, path.c_str(), MEDIA_VIDEO) != MEDIA_OK) state.SkipWithError("open failed");
    for (;;) {
      MediaSample sample;
      if (media_reader_read(reader, &sample) != MEDIA_OK || sample.end_of_stream) break;
      media_reader_copy_picture(reader, pixels.data(), 1920 * 4);
      ++pictures;
    }
    media_reader_close(reader);
  }
  state.counters["fps"] = benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Sequential1080p_Kelvra)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sequential1080p_FfmpegTool(benchmark::State& state) {
  const std::string command = "ffmpeg -hide_banner -loglevel error -i '" + video_1080() + "' -pix_fmt bgra -f null -";
  for (auto _ : state) state.SetIterationTime(seconds_of(command));
  state.counters["fps"] = benchmark::Counter(600.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Sequential1080p_FfmpegTool)->Unit(benchmark::kMillisecond)->UseManualTime();

// Each iteration seeks to 20 random times at least 1 s apart and takes the
// picture there; the counter is the median of the 20 latencies.
void BM_RandomSeek1080p(benchmark::State& state) {
  VideoDecoder decoder{};
  if (!video_decode_open(&decoder, video_1080().c_str())) state.SkipWithError("open failed");
  std::mt19937 random(7);
  std::vector<double> latencies;
  double last = 0;
  for (auto _ : state) {
    for (int i = 0; i < 20; ++i) {
      double target;
      do {
        target = std::uniform_real_distribution<double>(0, 19.9)(random);
      } while (std::abs(target - last) < 1.0);
      last = target;
      const auto start = std::chrono::steady_clock::now();
      if (!video_decode_frame(&decoder, target)) state.SkipWithError("decode failed");
      latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
  }
  std::sort(latencies.begin(), latencies.end());
  state.counters["median_ms"] = latencies[latencies.size() / 2];
  state.counters["p90_ms"] = latencies[latencies.size() * 9 / 10];
  video_decode_close(&decoder);
}
BENCHMARK(BM_RandomSeek1080p)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

void BM_Audio5min_Kelvra(benchmark::State& state) {
  const std::string& path = audio_5min();
  for (auto _ : state) {
    WavePcm pcm{};
    uint16_t peaks[WAVE_PEAKS] = {};
    double duration = 0;
    if (!audio_wave_decode(nullptr, 0, path.c_str(), peaks, &pcm, &duration, 268435456)) state.SkipWithError("failed");
    if (pcm.samples == nullptr) state.SkipWithError("no samples kept");
    std::free(pcm.samples);
  }
}
BENCHMARK(BM_Audio5min_Kelvra)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Audio5min_FfmpegTool(benchmark::State& state) {
  const std::string command = "ffmpeg -hide_banner -loglevel error -i '" + audio_5min() + "' -f s16le - > /dev/null";
  for (auto _ : state) state.SetIterationTime(seconds_of(command));
}
BENCHMARK(BM_Audio5min_FfmpegTool)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
