// Pieces of the MP4 export timed on their own.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "export/nv12.h"
#include "platform/painter.h"
#include "project/project.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// ---- picture conversion
//
// One 1080p B, G, R, X picture to NV12, by kelvra_convert_nv12 (on the path
// it picks, and held to each path) and by swscale on the same picture.

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr size_t kNv12Bytes = static_cast<size_t>(kWidth) * kHeight * 3 / 2;

// Gradients, sharp bars and noise, with junk in the fourth bytes; made once.
const std::vector<uint8_t>& picture_1080p() {
  static const std::vector<uint8_t> pixels = [] {
    std::vector<uint8_t> bytes(static_cast<size_t>(kWidth) * kHeight * 4);
    uint32_t noise = 1;
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x) {
        noise = noise * 1664525u + 1013904223u;
        uint8_t* p = &bytes[(static_cast<size_t>(y) * kWidth + x) * 4];
        const bool bar = (x / 120) % 2 == 1;
        p[0] = static_cast<uint8_t>(bar ? 230 : x * 255 / kWidth);
        p[1] = static_cast<uint8_t>(y * 255 / kHeight + (noise >> 29));
        p[2] = static_cast<uint8_t>(bar ? 20 : (x + y) / 12 + (noise >> 28));
        p[3] = static_cast<uint8_t>(noise >> 24);
      }
    return bytes;
  }();
  return pixels;
}

void set_frames_per_second(benchmark::State& state) {
  state.counters["fps"] = benchmark::Counter(1, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ConvertNv12_1080p(benchmark::State& state) {
  const std::vector<uint8_t>& pixels = picture_1080p();
  std::vector<uint8_t> out(kNv12Bytes);
  for (auto _ : state) {
    kelvra_convert_nv12(pixels.data(), kWidth * 4, kWidth, kHeight, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_frames_per_second(state);
}
BENCHMARK(BM_ConvertNv12_1080p)->Unit(benchmark::kMillisecond);

// Argument: the Nv12Path.
void BM_ConvertNv12Path_1080p(benchmark::State& state) {
  const Nv12Path path = static_cast<Nv12Path>(state.range(0));
  const char* names[] = {"scalar", "sse2", "avx2"};
  state.SetLabel(names[path]);
  const std::vector<uint8_t>& pixels = picture_1080p();
  std::vector<uint8_t> out(kNv12Bytes);
  if (!kelvra_convert_nv12_with(path, pixels.data(), kWidth * 4, kWidth, kHeight, out.data())) {
    state.SkipWithError("this processor lacks the path");
    return;
  }
  for (auto _ : state) {
    kelvra_convert_nv12_with(path, pixels.data(), kWidth * 4, kWidth, kHeight, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  set_frames_per_second(state);
}
BENCHMARK(BM_ConvertNv12Path_1080p)->DenseRange(NV12_SCALAR, NV12_AVX2)->Unit(benchmark::kMillisecond);

// Argument: the swscale flags (SWS_POINT, the fastest here, and SWS_BILINEAR).
void BM_SwscaleNv12_1080p(benchmark::State& state) {
  const int flags = static_cast<int>(state.range(0));
  state.SetLabel(flags == SWS_POINT ? "point" : "bilinear");
  const std::vector<uint8_t>& pixels = picture_1080p();
  std::vector<uint8_t> out(kNv12Bytes);
  SwsContext* context = sws_getContext(kWidth, kHeight, AV_PIX_FMT_BGRA, kWidth, kHeight, AV_PIX_FMT_NV12, flags,
                                       nullptr, nullptr, nullptr);
  if (context == nullptr) {
    state.SkipWithError("no swscale context");
    return;
  }
  const uint8_t* source[4] = {pixels.data(), nullptr, nullptr, nullptr};
  const int source_stride[4] = {static_cast<int>(kWidth * 4), 0, 0, 0};
  uint8_t* target[4] = {out.data(), out.data() + static_cast<size_t>(kWidth) * kHeight, nullptr, nullptr};
  const int target_stride[4] = {static_cast<int>(kWidth), static_cast<int>(kWidth), 0, 0};
  for (auto _ : state) {
    sws_scale(context, source, source_stride, 0, kHeight, target, target_stride);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  sws_freeContext(context);
  set_frames_per_second(state);
}
BENCHMARK(BM_SwscaleNv12_1080p)->Arg(SWS_POINT)->Arg(SWS_BILINEAR)->Unit(benchmark::kMillisecond);

}  // namespace

// ---- composition
//
// The 1080p picture laid on each export canvas as its bottom layer (covering
// it: a copy on Full HD, the middle of it enlarged 1.78 times on Shorts),
// then the same picture as an inset at a third of the canvas's height.
void BM_ComposeCanvas(benchmark::State& state) {
  const CanvasPreset& preset = kelvra_canvases[state.range(0)];
  Painter* painter = kelvra_painter_create(nullptr);
  if (painter == nullptr || !kelvra_painter_offscreen(painter, preset.width, preset.height)) {
    state.SkipWithError("no off-screen painter");
    return;
  }
  const Rect canvas{0, 0, static_cast<int32_t>(preset.width), static_cast<int32_t>(preset.height)};
  for (auto _ : state) {
    kelvra_painter_begin(painter, preset.width, preset.height);
    kelvra_picture_compose(painter, picture_1080p().data(), kWidth, kHeight, canvas, TexturePlacement{0, 0, 1.0},
                           1.0, true);
    kelvra_picture_compose(painter, picture_1080p().data(), kWidth, kHeight, canvas,
                           TexturePlacement{0.3, -0.3, 0.32}, 1.0, true);
    kelvra_painter_end(painter);
    benchmark::DoNotOptimize(kelvra_painter_pixels(painter, nullptr, nullptr, nullptr));
  }
  state.SetLabel(preset.key);
  set_frames_per_second(state);
  kelvra_painter_destroy(painter);
}
BENCHMARK(BM_ComposeCanvas)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);
