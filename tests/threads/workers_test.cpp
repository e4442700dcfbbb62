// The decoding workers with their threads: requests, publication, cancelling
// and the frame queries the views use. These also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "media/video.h"
#include "media/wave.h"
#include "media/worker.h"
#include "platform/painter.h"

namespace {

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// Waits (up to 20 s) until `done` holds.
template <typename Condition>
bool eventually(Condition done) {
  for (int i = 0; i < 2000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

class VideoWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    worker = kelvra_video_create();
    ASSERT_NE(worker, nullptr);
    painter = kelvra_painter_create(nullptr);
    ASSERT_TRUE(kelvra_painter_offscreen(painter, 64, 48));
    ASSERT_TRUE(kelvra_painter_begin(painter, 64, 48));
  }
  void TearDown() override {
    kelvra_painter_destroy(painter);
    kelvra_video_destroy(worker);
  }
  // Requests `time` of `path` and waits for the picture published for it.
  double show(const std::string& path, double time) {
    const uint64_t before = kelvra_video_counts(worker).frame_serial;
    kelvra_video_request(worker, path.c_str(), time);
    EXPECT_TRUE(eventually([&] { return kelvra_video_counts(worker).frame_serial > before; }));
    return kelvra_video_counts(worker).frame_time;
  }
  // Red channel of the painted picture's centre (8 x frame number mod 30).
  int painted_red() {
    uint32_t stride = 0;
    const uint8_t* pixels = kelvra_painter_pixels(painter, nullptr, nullptr, &stride);
    return pixels[24 * stride + 32 * 4 + 2];
  }

  VideoWorker* worker = nullptr;
  Painter* painter = nullptr;
};

TEST_F(VideoWorkerTest, PublishesThePictureForTheRequestedTime) {
  const std::string path = fixture("coded.mp4");
  EXPECT_FALSE(kelvra_video_paint(worker, path.c_str(), painter, Rect{0, 0, 64, 48}, false));  // nothing yet
  uint64_t serial = 99;
  EXPECT_EQ(kelvra_video_size(worker, path.c_str(), nullptr, &serial), 0u);
  EXPECT_EQ(serial, 0u);

  EXPECT_NEAR(show(path, 1.0), 1.0, 0.001);
  double duration = 0;
  EXPECT_EQ(kelvra_video_size(worker, path.c_str(), &duration, &serial), 320u * 240 * 4);
  EXPECT_NEAR(duration, 4.0, 0.05);
  EXPECT_EQ(serial, 1u);
  uint32_t width = 0;
  uint32_t height = 0;
  EXPECT_TRUE(kelvra_video_dimensions(worker, &width, &height));
  EXPECT_EQ(width, 320u);
  ASSERT_TRUE(kelvra_video_paint(worker, path.c_str(), painter, Rect{0, 0, 64, 48}, false));
  EXPECT_NEAR(painted_red(), 0, 4);  // frame 30: red 8 x (30 mod 30)
  EXPECT_FALSE(kelvra_video_paint(worker, "/other/file.mp4", painter, Rect{0, 0, 64, 48}, false));
  EXPECT_FALSE(kelvra_video_paint(worker, path.c_str(), painter, Rect{0, 0, 0, 48}, false));

  // A request within 0.014 s of the pending one is not accepted.
  const uint64_t requests = kelvra_video_counts(worker).request_serial;
  kelvra_video_request(worker, path.c_str(), 1.01);
  EXPECT_EQ(kelvra_video_counts(worker).request_serial, requests);
  // One within 0.024 s of the held picture publishes that picture again.
  EXPECT_NEAR(show(path, 1.02), 1.0, 0.001);
  EXPECT_EQ(kelvra_video_counts(worker).frame_serial, 2u);

  EXPECT_NEAR(show(path, 1.5), 1.5, 0.001);
  ASSERT_TRUE(kelvra_video_paint(worker, path.c_str(), painter, Rect{0, 0, 64, 48}, false));
  EXPECT_NEAR(painted_red(), 8 * 15, 4);
  EXPECT_NEAR(show(path, -3), 0.0, 0.001);
  EXPECT_GE(show(path, 50), 3.93);  // past the end: the last picture
}

// A waker is called once, on the worker's thread, after the next picture
// the worker publishes; then it is cleared until it is set again. A null
// waker clears it.
TEST_F(VideoWorkerTest, WakesOnceAfterItsNextPicture) {
  const std::string path = fixture("coded.mp4");
  std::atomic<int> wakes{0};
  const auto wake = [](void* context) { *static_cast<std::atomic<int>*>(context) += 1; };
  kelvra_video_wake_on_publish(worker, wake, &wakes);
  show(path, 1.0);
  EXPECT_EQ(wakes.load(), 1);
  show(path, 2.0);
  show(path, 3.0);
  EXPECT_EQ(wakes.load(), 1);  // not set again: not called again

  kelvra_video_wake_on_publish(worker, wake, &wakes);
  kelvra_video_wake_on_publish(worker, wake, &wakes);  // set twice: still called once
  show(path, 0.5);
  show(path, 1.5);
  EXPECT_EQ(wakes.load(), 2);

  kelvra_video_wake_on_publish(worker, wake, &wakes);
  kelvra_video_wake_on_publish(worker, nullptr, nullptr);
  show(path, 2.5);
  EXPECT_EQ(wakes.load(), 2);
  kelvra_video_wake_on_publish(nullptr, wake, &wakes);  // no worker: nothing happens
}

TEST_F(VideoWorkerTest, ComposeAndHoldCheckTheTime) {
  const std::string path = fixture("coded.mp4");
  const double shown = show(path, 59 / 30.0);  // 1.9667
  EXPECT_NEAR(shown, 59 / 30.0, 0.001);
  const TexturePlacement placement{0, 0, 1};
  EXPECT_TRUE(kelvra_video_compose(worker, path.c_str(), shown + 0.15, painter, Rect{0, 0, 64, 48}, placement, 1));
  EXPECT_FALSE(kelvra_video_compose(worker, path.c_str(), shown + 0.2, painter, Rect{0, 0, 64, 48}, placement, 1));
  EXPECT_FALSE(kelvra_video_compose(worker, path.c_str(), shown, painter, Rect{0, 0, 64, 48}, placement, 0));
  EXPECT_TRUE(kelvra_video_hold(worker, path.c_str(), 2.0, 3.0, painter, Rect{0, 0, 64, 48}, placement, true));
  show(path, 1.0);
  show(path, 58 / 30.0);  // 1.9333 (reached by a seek): too early for a hold from 2.0
  EXPECT_FALSE(kelvra_video_hold(worker, path.c_str(), 2.0, 3.0, painter, Rect{0, 0, 64, 48}, placement, true));
  double time = 0;
  EXPECT_TRUE(kelvra_video_position(worker, path.c_str(), &time));
  EXPECT_NEAR(time, 58 / 30.0, 0.001);
}

TEST_F(VideoWorkerTest, LatestFileWinsAndBadFilesKeepThePicture) {
  const std::string first = fixture("coded.mp4");
  const std::string second = fixture("coded.webm");
  show(first, 2.0);
  // Two requests in a row: the worker ends on the second file.
  kelvra_video_request(worker, first.c_str(), 3.0);
  kelvra_video_request(worker, second.c_str(), 0.5);
  EXPECT_TRUE(eventually([&] { return kelvra_video_position(worker, second.c_str(), nullptr); }));
  double time = 0;
  kelvra_video_position(worker, second.c_str(), &time);
  EXPECT_NEAR(time, 0.5, 0.001);

  const uint64_t serial = kelvra_video_counts(worker).frame_serial;
  for (const char* bad : {"too-wide.avi", "random.mp4", "empty.mp4", "tone-stereo.wav"}) {
    kelvra_video_request(worker, fixture(bad).c_str(), 0.2);
  }
  show(second, 1.0);  // the worker still serves good files afterwards
  EXPECT_GT(kelvra_video_counts(worker).frame_serial, serial);
  EXPECT_FALSE(kelvra_video_paint(worker, fixture("too-wide.avi").c_str(), painter, Rect{0, 0, 64, 48}, false));
  kelvra_video_request(worker, std::string(300, 'x').c_str(), 1);  // too long: ignored
  kelvra_video_request(worker, "", 1);
  kelvra_video_request(nullptr, first.c_str(), 1);
  EXPECT_EQ(kelvra_video_size(nullptr, nullptr, nullptr, nullptr), 0u);
  EXPECT_FALSE(kelvra_video_dimensions(nullptr, nullptr, nullptr));
}

TEST(WaveWorkerTest, DecodesPublishesAndCancels) {
  WaveWorker* worker = kelvra_wave_create();
  ASSERT_NE(worker, nullptr);
  const std::string tone = fixture("tone-mono-44k.wav");
  EXPECT_EQ(kelvra_wave_state(worker, tone.c_str(), nullptr), WAVE_PENDING);
  kelvra_wave_request(worker, tone.c_str());
  ASSERT_TRUE(eventually([&] { return kelvra_wave_state(worker, tone.c_str(), nullptr) != WAVE_PENDING; }));
  double duration = 0;
  EXPECT_EQ(kelvra_wave_state(worker, tone.c_str(), &duration), WAVE_READY);
  EXPECT_NEAR(duration, 3.0, 0.001);
  EXPECT_EQ(kelvra_wave_bytes(worker), 2u * 44100 * 3);
  WavePcm pcm{};
  ASSERT_TRUE(kelvra_wave_acquire(worker, tone.c_str(), &pcm));
  EXPECT_EQ(pcm.frames, 44100u * 3);
  EXPECT_NEAR(pcm.samples[100], 0.5 * 32767 * std::sin(2 * M_PI * 440 * 100 / 44100.0), 2);
  kelvra_wave_release(worker);
  uint16_t peaks[WAVE_PEAKS] = {};
  uint64_t serial = 0;
  EXPECT_TRUE(kelvra_wave_read(worker, tone.c_str(), peaks, &serial));
  EXPECT_EQ(serial, 1u);
  EXPECT_NEAR(peaks[300], 16384, 60);

  // A request for the published file cancels the other decode and keeps the result.
  const std::string long_file = fixture("five-minutes.m4a");
  kelvra_wave_request(worker, long_file.c_str());
  kelvra_wave_request(worker, tone.c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(kelvra_wave_state(worker, tone.c_str(), nullptr), WAVE_READY);
  EXPECT_EQ(kelvra_wave_state(worker, long_file.c_str(), nullptr), WAVE_PENDING);  // never published

  // Five minutes of stereo do not fit the preview budget: peaks and duration only.
  kelvra_wave_request(worker, long_file.c_str());
  ASSERT_TRUE(eventually([&] { return kelvra_wave_state(worker, long_file.c_str(), nullptr) != WAVE_PENDING; }));
  EXPECT_EQ(kelvra_wave_state(worker, long_file.c_str(), &duration), WAVE_TOO_LARGE);
  EXPECT_NEAR(duration, 300, 0.1);
  EXPECT_EQ(kelvra_wave_bytes(worker), 0u);
  EXPECT_FALSE(kelvra_wave_acquire(worker, long_file.c_str(), &pcm));
  EXPECT_TRUE(kelvra_wave_read(worker, long_file.c_str(), peaks, nullptr));
  EXPECT_GT(peaks[256], 1000);

  // A failed decode is published; reading it gives no peaks but the serial.
  const std::string video_only = fixture("coded.mp4");
  uint64_t before = 0;
  kelvra_wave_read(worker, nullptr, nullptr, &before);
  kelvra_wave_request(worker, video_only.c_str());
  ASSERT_TRUE(eventually([&] { return kelvra_wave_state(worker, video_only.c_str(), nullptr) != WAVE_PENDING; }));
  EXPECT_EQ(kelvra_wave_state(worker, video_only.c_str(), nullptr), WAVE_FAILED);
  serial = 0;
  EXPECT_FALSE(kelvra_wave_read(worker, video_only.c_str(), peaks, &serial));
  EXPECT_EQ(serial, before + 1);
  kelvra_wave_destroy(worker);

  EXPECT_EQ(kelvra_wave_state(nullptr, tone.c_str(), nullptr), WAVE_FAILED);
  EXPECT_EQ(kelvra_wave_bytes(nullptr), 0u);
  kelvra_wave_destroy(nullptr);
}

// Milliseconds `action` took.
template <typename Action>
int64_t milliseconds_of(Action action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(WaveWorkerTest, DestroyStopsADecodeInProgress) {
  WaveWorker* worker = kelvra_wave_create();
  kelvra_wave_request(worker, fixture("five-minutes.m4a").c_str());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // The decode gives up at its next block; quitting must not wait for the
  // whole five minutes of sound to decode.
  EXPECT_LT(milliseconds_of([&] { kelvra_wave_destroy(worker); }), WORKER_STOP_GRACE_MS);
}

// A worker whose job never returns (a decoder stuck inside a library call).
struct StuckOwner {
  WorkerThread thread;
  std::atomic<bool> release{false};
  std::atomic<bool>* freed;
};

void stuck_body(void* owner) {
  StuckOwner* stuck = static_cast<StuckOwner*>(owner);
  while (!stuck->release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void free_stuck(void* owner) {
  StuckOwner* stuck = static_cast<StuckOwner*>(owner);
  *stuck->freed = true;
  delete stuck;
}

TEST(WorkerThreadTest, StopNeverWaitsLongerThanItsGrace) {
  std::atomic<bool> freed{false};
  StuckOwner* stuck = new StuckOwner();
  stuck->freed = &freed;
  ASSERT_TRUE(worker_start(&stuck->thread, stuck_body, stuck, free_stuck));
  std::atomic<bool>* release = &stuck->release;
  bool ended = true;
  const int64_t waited = milliseconds_of([&] { ended = worker_stop(&stuck->thread, 200); });
  EXPECT_FALSE(ended);
  EXPECT_GE(waited, 200);
  EXPECT_LT(waited, 5000);
  EXPECT_FALSE(freed);  // still running: the record stays until the thread ends
  *release = true;      // the library call returns at last
  EXPECT_TRUE(eventually([&] { return freed.load(); }));  // and the thread freed its record

  // A thread that ends in time is joined, and the caller frees its record.
  std::atomic<bool> unused{false};
  StuckOwner* quick = new StuckOwner();
  quick->freed = &unused;
  quick->release = true;
  ASSERT_TRUE(worker_start(&quick->thread, stuck_body, quick, free_stuck));
  EXPECT_TRUE(worker_stop(&quick->thread, 5000));
  EXPECT_FALSE(unused);
  delete quick;
}

}  // namespace
