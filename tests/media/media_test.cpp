// Real decoding of real files made by the ffmpeg tool: pictures whose colour
// encodes their frame number, tones of known frequency, damaged inputs; and
// an MP4 written by the writer read back by the reader and by ffprobe.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "media/video.h"
#include "media/wave.h"
#include "platform/loudness.h"
#include "platform/media.h"
#include "test_util.h"

namespace {

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// The frame number a picture of the coded fixtures shows (from its centre pixel).
int frame_number(const uint8_t* pixels, uint32_t width, uint32_t height) {
  const uint8_t* p = pixels + (static_cast<size_t>(height / 2) * width + width / 2) * 4;
  const int red = p[2];
  const int green = p[1];
  return static_cast<int>(std::lround(red / 8.0)) + 30 * static_cast<int>(std::lround(green / 64.0));
}

struct Decoder {
  VideoDecoder d{};
  ~Decoder() { video_decode_close(&d); }
  int at(double time) { return video_decode_frame(&d, time) ? frame_number(d.pixels, d.width, d.height) : -1; }
};

TEST(MediaReader, ReadsEveryPictureInOrderWithItsTime) {
  MediaReader* reader = nullptr;
  ASSERT_EQ(media_reader_open(&reader, fixture("coded.mp4").c_str(), MEDIA_VIDEO), MEDIA_OK);
  const MediaFormat format = media_reader_format(reader);
  EXPECT_EQ(format.width, 320u);
  EXPECT_EQ(format.height, 240u);
  uint64_t duration = 0;
  ASSERT_TRUE(media_reader_duration(reader, &duration));
  EXPECT_NEAR(static_cast<double>(duration) / MEDIA_TICKS_PER_SECOND, 4.0, 0.05);
  std::vector<uint8_t> pixels(320 * 240 * 4);
  int pictures = 0;
  for (;;) {
    MediaSample sample;
    ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
    if (sample.end_of_stream) break;
    ASSERT_TRUE(sample.have);
    EXPECT_NEAR(sample.time / 1e7, pictures / 30.0, 0.002) << pictures;
    ASSERT_EQ(media_reader_copy_picture(reader, pixels.data(), 320 * 4), MEDIA_OK);
    EXPECT_EQ(frame_number(pixels.data(), 320, 240), pictures);
    ++pictures;
  }
  EXPECT_EQ(pictures, 120);

  // After a seek the reads start at or before the time, and reading on reaches it.
  ASSERT_EQ(media_reader_seek(reader, 25000000), MEDIA_OK);
  MediaSample sample;
  ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
  EXPECT_LE(sample.time, 25000000);
  media_reader_close(reader);

  EXPECT_NE(media_reader_open(&reader, fixture("tone-stereo.wav").c_str(), MEDIA_VIDEO), MEDIA_OK);
  EXPECT_EQ(reader, nullptr);
  EXPECT_NE(media_reader_open(&reader, "caf\xc3.mp4", MEDIA_VIDEO), MEDIA_OK);  // no such file
  EXPECT_EQ(reader, nullptr);
}

// A file name is bytes: every name the file system takes opens, whether it
// is well-formed UTF-8 or not, with colons and backslashes (which the media
// library would otherwise read as a protocol), and up to the longest name the
// file system allows.
TEST(MediaReader, EveryNameTheFileSystemTakesOpens) {
  const std::string names[] = {
      "plain",
      "caf\xc3\xa9",                 // U+00E9
      "\xf4\x8f\xbf\xbf",            // U+10FFFF, the last code point
      "\xed\xa0\x80",               // U+D800, a surrogate
      "\xc0\xaf",                   // "/" in two bytes
      "\xf8\x88\x80\x80\x80",        // no code point at all
      "\xff",
      "caf\xc3",                     // cut short by the name's end
      "clip: take 2",                // read as a protocol without care
      "file:other.mp4",
      "back\\slash",
      std::string(251, 'n') + ".mp4",  // 255 bytes
  };
  kelvra_test::TempDir dir;
  for (const std::string& name : names) {
    const std::string path = dir.file(name);  // the file's content tells its format
    std::filesystem::copy_file(fixture("coded.mp4"), path);
    MediaReader* reader = nullptr;
    EXPECT_EQ(media_reader_open(&reader, path.c_str(), MEDIA_VIDEO), MEDIA_OK) << path;
    media_reader_close(reader);
  }
}

TEST(VideoDecoder, PicturesAtTimesAcrossFormats) {
  const struct {
    double time;
    int frame;
  } times[] = {
      {1.0, 30},  {1.5, 45},   {1.52, 45},  // a step too small to need a new picture
      {1.7, 51},  {0.5, 15},                // backwards: a seek
      {3.0, 90},  {-3, 0},                  // before the start: the first picture
      {10, 119},  {3.99, 119},              // past the end: the last picture
      {2.0, 60},
  };
  for (const char* name : {"coded.mp4", "coded.webm", "coded.avi", "coded.mov", "coded.mkv", "coded.ts", "coded.m2ts",
                           "coded.mpg"}) {
    Decoder decoder;
    ASSERT_TRUE(video_decode_open(&decoder.d, fixture(name).c_str())) << name;
    EXPECT_EQ(decoder.d.width, 320u);
    EXPECT_NEAR(decoder.d.duration, 4.0, 0.05) << name;
    EXPECT_EQ(decoder.d.last_frame_time, -1.0);
    for (const auto& t : times) EXPECT_EQ(decoder.at(t.time), t.frame) << name << " at " << t.time;
  }
}

// The picture for a time is the one on screen then: the last that starts at
// or before it (within half a millisecond). Read as an export reads them, every 1/30 s from the start,
// at the usual source rates; a one-picture flash at 60 or 50 pictures a
// second is shown whenever an export time falls on it.
TEST(VideoDecoder, ThePictureShowingAtEachTimeAtEveryRate) {
  kelvra_test::TempDir dir;
  for (const char* rate : {"25", "30000/1001", "50", "60"}) {
    SCOPED_TRACE(rate);
    const std::string path = dir.file("rate.mp4");
    const std::string command = std::string("ffmpeg -hide_banner -loglevel error -y -f lavfi -i \"color=c=black:s=320x240:r=") +
                                rate + ":d=2,format=gbrp,geq=r='8*mod(N\\,30)':g='64*floor(N/30)':b='128'\" " +
                                "-c:v libx264 -qp 0 -pix_fmt yuv444p '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    int numerator = 0;
    int denominator = 1;
    std::sscanf(rate, "%d/%d", &numerator, &denominator);
    const double per_second = static_cast<double>(numerator) / denominator;
    Decoder decoder;
    ASSERT_TRUE(video_decode_open(&decoder.d, path.c_str(), 1));
    for (int k = 0; k < 59; ++k) {
      // A picture that starts within half a millisecond after the time counts
      // as starting at it: some containers round their stamps to milliseconds.
      // Right at that edge either picture will do.
      const int showing = static_cast<int>(std::floor((k / 30.0 + 0.0004) * per_second));
      const int or_next = static_cast<int>(std::floor((k / 30.0 + 0.0006) * per_second));
      const int got = decoder.at(k / 30.0);
      EXPECT_TRUE(got == showing || got == or_next) << "at " << k << "/30 s: " << got << " for " << showing;
    }
  }
}

// A seek lands at or before its target and the right picture comes back, in
// every container. The demuxers of MPEG program and transport streams find a
// time by searching the stamps in the file and land on any packet: the first
// picture that decoded there was the next key picture, up to a group of
// pictures late, and near the end there was none.
TEST(VideoDecoder, SeeksLandAtOrBeforeTheTargetInEveryContainer) {
  const double targets[] = {
      3.95,  // within the last 0.2 s, after the last key picture
      0.1,   // near the start
      1.3,   // within a group of pictures
      2.0,   // on a key picture: every fixture has one there
      3.85,  // within the last 0.2 s
  };
  for (const char* name : {"coded.mp4", "coded.mov", "coded.mkv", "coded.webm", "coded.avi", "coded.ts",
                           "coded.m2ts", "coded.mpg"}) {
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, fixture(name).c_str(), MEDIA_VIDEO), MEDIA_OK) << name;
    std::vector<uint8_t> pixels(320 * 240 * 4);
    for (double target : targets) {
      SCOPED_TRACE(std::string(name) + " at " + std::to_string(target));
      // The reader: the first read after the seek is at or before the time,
      // and its picture is the one its time says.
      const int64_t time = std::llround(target * MEDIA_TICKS_PER_SECOND);
      ASSERT_EQ(media_reader_seek(reader, time), MEDIA_OK);
      MediaSample sample;
      ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
      EXPECT_TRUE(sample.have && !sample.end_of_stream);
      if (sample.have) {
        EXPECT_LE(sample.time, time);
        ASSERT_EQ(media_reader_copy_picture(reader, pixels.data(), 320 * 4), MEDIA_OK);
        EXPECT_EQ(frame_number(pixels.data(), 320, 240), std::lround(sample.time * 30.0 / MEDIA_TICKS_PER_SECOND));
      }

      // The decoder, opened afresh so that it seeks: the picture for the time.
      Decoder decoder;
      ASSERT_TRUE(video_decode_open(&decoder.d, fixture(name).c_str()));
      const int frame = decoder.at(target);
      EXPECT_LE(decoder.d.last_frame_time, target + 0.025);
      const long wanted = std::lround(target * 30);
      EXPECT_TRUE(frame == wanted || frame == wanted - 1) << "frame " << frame << ", wanted " << wanted;
    }
    media_reader_close(reader);
  }
}

// A far seek shows exactly the picture that reading the file through from
// its start gives for the time, to the byte. The pictures before the target
// are partly left undecoded on a seek (those no other picture refers to), so
// a picture dropped that a later one refers to shows as a damaged picture.
// Lossy pictures in motion, with groups of 60 and three B pictures between
// references, some of them references themselves; in MP4 (units with length
// fields) and in an MPEG transport stream (units after start codes). The
// targets sit at the edges of key pictures, where a seek decodes a whole
// group, and on pictures of every kind within one.
TEST(VideoDecoder, FarSeeksShowThePictureReadingThroughGives) {
  kelvra_test::TempDir dir;
  const int targets[] = {59, 119, 58, 61, 120, 60, 0, 149, 90, 1, 118, 31, 62, 100, 57};
  for (const char* name : {"moving.mp4", "moving.ts"}) {
    SCOPED_TRACE(name);
    const std::string path = dir.file(name);
    const std::string command =
        "ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=30:duration=5 -c:v libx264 "
        "-preset veryfast -b:v 600k -pix_fmt yuv420p -g 60 -keyint_min 60 -bf 3 -x264-params b-pyramid=normal:scenecut=0 '" +
        path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // Every picture, read through from the start by a decoder of one thread.
    std::vector<std::vector<uint8_t>> pictures;
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, path.c_str(), MEDIA_VIDEO, 1), MEDIA_OK);
    for (;;) {
      MediaSample sample;
      ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
      if (sample.end_of_stream) break;
      ASSERT_TRUE(sample.have);
      ASSERT_NEAR(sample.time / 1e7, pictures.size() / 30.0, 0.002);
      pictures.emplace_back(320 * 240 * 4);
      ASSERT_EQ(media_reader_copy_picture(reader, pictures.back().data(), 320 * 4), MEDIA_OK);
    }
    media_reader_close(reader);
    ASSERT_EQ(pictures.size(), 150u);
    // Each target far from the one before, so that every one seeks; the
    // decoder runs its threads as in the preview.
    Decoder decoder;
    ASSERT_TRUE(video_decode_open(&decoder.d, path.c_str()));
    for (int frame : targets) {
      for (double into : {0.0, 0.5}) {  // on the picture's start, and halfway through it
        const double time = (frame + into) / 30.0;
        if (std::fabs(time - decoder.d.last_frame_time) < 0.5) {
          ASSERT_TRUE(video_decode_frame(&decoder.d, time < 2.5 ? 4.5 : 0.5));
        }
        ASSERT_TRUE(video_decode_frame(&decoder.d, time)) << "at " << time;
        EXPECT_NEAR(decoder.d.last_frame_time, frame / 30.0, 0.002) << "at " << time;
        EXPECT_EQ(std::memcmp(decoder.d.pixels, pictures[frame].data(), pictures[frame].size()), 0)
            << "picture " << frame << " at " << time;
      }
    }
  }
}

// Pictures that come without a time stamp (a raw H.264 stream has none, and
// MPEG program streams leave some out) follow the picture before them.
TEST(MediaReader, PicturesWithoutStampsFollowThePictureBefore) {
  for (const char* name : {"coded.h264", "coded.mpg"}) {
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, fixture(name).c_str(), MEDIA_VIDEO), MEDIA_OK) << name;
    std::vector<uint8_t> pixels(320 * 240 * 4);
    int pictures = 0;
    for (;;) {
      MediaSample sample;
      ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK) << name;
      if (sample.end_of_stream) break;
      ASSERT_TRUE(sample.have) << name;
      ASSERT_EQ(media_reader_copy_picture(reader, pixels.data(), 320 * 4), MEDIA_OK);
      ASSERT_EQ(frame_number(pixels.data(), 320, 240), pictures) << name;
      EXPECT_NEAR(sample.time / 1e7, pictures / 30.0, 0.002) << name << " picture " << pictures;
      ++pictures;
    }
    EXPECT_EQ(pictures, 120) << name;
    media_reader_close(reader);
  }
}

TEST(VideoDecoder, BadInputsFailQuietly) {
  for (const char* name : {"truncated.mp4", "random.mp4", "empty.mp4", "tone-stereo.wav", "too-wide.avi",
                           "missing.mp4"}) {
    Decoder decoder;
    if (video_decode_open(&decoder.d, fixture(name).c_str())) {
      // A damaged file may open; its pictures then decode or fail, never crash.
      decoder.at(0.5);
      decoder.at(3.5);
      EXPECT_STREQ(name, "truncated.mp4");
    }
  }
  Decoder wide;
  EXPECT_FALSE(video_decode_open(&wide.d, fixture("too-wide.avi").c_str()));  // 5000 pixels wide
  EXPECT_EQ(wide.d.reader, nullptr);
  EXPECT_STREQ(wide.d.path, "");  // the next request opens it again
}

// Runs `work` on a thread of its own and waits for it up to 20 s. Work that
// has not returned by then is stuck for good (a decoder waiting on itself
// cannot be stopped): the test fails and the program ends there.
template <typename Work>
void returns_in_time(const char* what, Work work) {
  std::promise<void> finished;
  std::future<void> done = finished.get_future();
  std::thread runner([&] {
    work();
    finished.set_value();
  });
  if (done.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << what << " did not return within 20 s";
    std::fflush(stdout);
    std::quick_exit(1);
  }
  runner.join();
}

// An AV1 file whose pictures fail to decode part of the way. Its decoder runs
// threads of its own; a seek while failed pictures were still in flight left
// it waiting forever inside the next packet. Every seek and read must return,
// and the reader must close.
TEST(MediaReader, SeeksInADamagedAv1FileAlwaysReturn) {
  const std::string path = fixture("bad/av1-seek-stalls-decoder.webm");
  returns_in_time("seeking and reading", [&] {
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, path.c_str(), MEDIA_VIDEO), MEDIA_OK);
    // Each seek stops reading part of the way through, with pictures in flight.
    const struct {
      double time;
      int reads;
    } steps[] = {{0, 2}, {0.5, 10}, {0.96, 40}, {0.5, 6}, {0.5, 40}, {0.2, 5}, {0.9, 40}};
    for (const auto& step : steps) {
      EXPECT_EQ(media_reader_seek(reader, static_cast<int64_t>(step.time * MEDIA_TICKS_PER_SECOND)), MEDIA_OK);
      for (int i = 0; i < step.reads; ++i) {
        MediaSample sample;
        if (media_reader_read(reader, &sample) == MEDIA_OK && sample.end_of_stream) break;
      }
    }
    media_reader_close(reader);
  });
  returns_in_time("decoding pictures", [&] {
    VideoDecoder decoder{};
    ASSERT_TRUE(video_decode_open(&decoder, path.c_str()));
    for (double time : {0.0, 0.5, 1.0}) video_decode_frame(&decoder, time);  // true or false, but it returns
    video_decode_close(&decoder);
  });
}

// Pictures over MEDIA_MAX_SIDE are refused before they are decoded, whatever
// the header said: a tiny BMP that claims 16000 x 16000 used to cost 780 MB
// on opening, and 16000 x 16000 pictures that follow a 64 x 64 one in the
// same stream used to be decoded and scaled down.
TEST(MediaReader, PicturesOverTheSideLimitAreNeverDecoded) {
  MediaReader* reader = nullptr;
  EXPECT_NE(media_reader_open(&reader, fixture("bad/bmp-header-16000x16000.bmp").c_str(), MEDIA_VIDEO), MEDIA_OK);
  EXPECT_EQ(reader, nullptr);

  ASSERT_EQ(media_reader_open(&reader, fixture("bad/png-frames-grow-to-16000.mkv").c_str(), MEDIA_VIDEO), MEDIA_OK);
  EXPECT_EQ(media_reader_format(reader).width, 64u);
  std::vector<uint8_t> pixels(64 * 64 * 4);
  std::vector<double> delivered;
  int refused = 0;
  for (int i = 0; i < 10; ++i) {
    MediaSample sample;
    if (media_reader_read(reader, &sample) != MEDIA_OK) {
      ++refused;
      continue;
    }
    if (sample.end_of_stream) break;
    ASSERT_TRUE(sample.have);
    delivered.push_back(sample.time / 1e7);
    EXPECT_EQ(media_reader_copy_picture(reader, pixels.data(), 64 * 4), MEDIA_OK);
  }
  media_reader_close(reader);
  EXPECT_EQ(delivered, (std::vector<double>{0.0, 0.5}));  // the picture at 1 s is the large one
  EXPECT_GE(refused, 1);

  Decoder grows;
  ASSERT_TRUE(video_decode_open(&grows.d, fixture("bad/png-frames-grow-to-16000.mkv").c_str()));
  EXPECT_TRUE(video_decode_frame(&grows.d, 0.5));
  EXPECT_FALSE(video_decode_frame(&grows.d, 1.0));
  EXPECT_FALSE(video_decode_open(&grows.d, fixture("bad/bmp-header-16000x16000.bmp").c_str()));

  // The limit itself is allowed.
  Decoder largest;
  ASSERT_TRUE(video_decode_open(&largest.d, fixture("largest.avi").c_str()));
  EXPECT_EQ(largest.d.width, MEDIA_MAX_SIDE);
  EXPECT_EQ(largest.d.height, MEDIA_MAX_SIDE);
  EXPECT_TRUE(video_decode_frame(&largest.d, 0));
}

// A video stored with a display rotation (a phone held upright records
// landscape pictures and a quarter turn) comes out upright, as the ffmpeg
// tool shows it. The fixture is 64 x 32 with its top-left quarter red; next
// to each rotated copy is the tool's own upright picture. Each quarter of
// the picture is of one colour, so the quarters' centres tell where the red
// one went. (The ffmpeg tool here stores `rotate=N` as a display matrix of N
// degrees counter-clockwise: corner-270 carries the matrix of a phone's
// upright video and ends with red at the top right, corner-90 at the bottom
// left.) Rows are copied with a pitch wider than the picture, whose padding
// must stay untouched.
TEST(MediaReader, RotatedVideosComeOutUpright) {
  const struct {
    const char* name;
    uint32_t width;
    uint32_t height;
  } cases[] = {{"corner", 64, 32}, {"corner-90", 32, 64}, {"corner-180", 64, 32}, {"corner-270", 32, 64}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, fixture((std::string(c.name) + ".mp4").c_str()).c_str(), MEDIA_VIDEO),
              MEDIA_OK);
    const MediaFormat format = media_reader_format(reader);
    EXPECT_EQ(format.width, c.width);
    EXPECT_EQ(format.height, c.height);
    MediaSample sample;
    ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
    ASSERT_TRUE(sample.have);
    const int32_t pitch = static_cast<int32_t>(c.width * 4 + 12);
    std::vector<uint8_t> pixels(static_cast<size_t>(pitch) * c.height, 0xEE);
    ASSERT_EQ(media_reader_copy_picture(reader, pixels.data(), pitch), MEDIA_OK);
    media_reader_close(reader);

    const std::string tool = kelvra_test::read_file(fixture((std::string(c.name) + ".bgr0").c_str()));
    ASSERT_EQ(tool.size(), static_cast<size_t>(c.width) * c.height * 4);
    int red = 0;
    for (uint32_t qy : {c.height / 4, c.height * 3 / 4})
      for (uint32_t qx : {c.width / 4, c.width * 3 / 4}) {
        const uint8_t* ours = pixels.data() + qy * pitch + qx * 4;
        const uint8_t* theirs = reinterpret_cast<const uint8_t*>(tool.data()) + (qy * c.width + qx) * 4;
        for (int channel = 0; channel < 3; ++channel)
          EXPECT_NEAR(ours[channel], theirs[channel], 8) << "at " << qx << ", " << qy;
        red += ours[2] > 200 && ours[0] < 60;
      }
    EXPECT_EQ(red, 1);
    for (uint32_t y = 0; y < c.height; ++y)
      for (int32_t i = static_cast<int32_t>(c.width * 4); i < pitch; ++i)
        ASSERT_EQ(pixels[y * pitch + i], 0xEE) << "row " << y;
  }
  Decoder upright;
  ASSERT_TRUE(video_decode_open(&upright.d, fixture("corner-90.mp4").c_str()));
  EXPECT_EQ(upright.d.width, 32u);
  EXPECT_EQ(upright.d.height, 64u);
  EXPECT_TRUE(video_decode_frame(&upright.d, 0));
}

// An AV1 stream whose colour matrix is 29, a value the library's enum lacks:
// the picture decodes as one of unspecified matrix.
TEST(VideoDecoder, ColourFieldsOutOfRangeCountAsUnspecified) {
  Decoder decoder;
  ASSERT_TRUE(video_decode_open(&decoder.d, fixture("bad/av1-colorspace-out-of-range.webm").c_str()));
  EXPECT_EQ(decoder.d.width, 96u);
  EXPECT_TRUE(video_decode_frame(&decoder.d, 0));
}

struct Pcm {
  WavePcm pcm{};
  uint16_t peaks[WAVE_PEAKS] = {};
  double duration = -1;
  bool ok = false;
  explicit Pcm(const char* name, uint64_t budget = WAVE_PREVIEW_BUDGET) {
    ok = audio_wave_decode(nullptr, 0, fixture(name).c_str(), peaks, &pcm, &duration, budget);
  }
  ~Pcm() { std::free(pcm.samples); }
  int16_t at(uint64_t frame, uint32_t channel) const { return pcm.samples[frame * pcm.channels + channel]; }
};

TEST(WaveDecode, TonesComeOutAsWritten) {
  Pcm stereo("tone-stereo.wav");
  ASSERT_TRUE(stereo.ok);
  EXPECT_EQ(stereo.pcm.rate, 48000u);
  EXPECT_EQ(stereo.pcm.channels, 2u);
  EXPECT_EQ(stereo.pcm.frames, 96000u);
  EXPECT_NEAR(stereo.duration, 2.0, 0.001);
  for (uint64_t i : {0ull, 7ull, 1234ull, 50000ull, 95999ull}) {
    const double t = static_cast<double>(i) / 48000;
    EXPECT_NEAR(stereo.at(i, 0), 0.5 * 32767 * std::sin(2 * M_PI * 440 * t), 2) << i;
    EXPECT_NEAR(stereo.at(i, 1), 0.25 * 32767 * std::sin(2 * M_PI * 880 * t), 2) << i;
  }
  for (uint32_t bin = 0; bin < WAVE_PEAKS; ++bin) EXPECT_NEAR(stereo.peaks[bin], 16384, 60) << bin;

  Pcm mono("tone-mono-44k.wav");
  ASSERT_TRUE(mono.ok);
  EXPECT_EQ(mono.pcm.frames, 44100u * 3);
  EXPECT_EQ(mono.pcm.channels, 1u);

  Pcm six("six-channels.wav");
  ASSERT_TRUE(six.ok);
  EXPECT_EQ(six.pcm.channels, 6u);
  EXPECT_NEAR(six.at(100, 5), 0.6 * 32767, 2);

  Pcm full("full-scale.wav");
  ASSERT_TRUE(full.ok);
  EXPECT_EQ(full.at(10, 0), -32768);
  EXPECT_EQ(full.peaks[100], 32768);

  for (const char* name : {"tone.mp3", "tone.m4a", "coded-with-sound.mp4"}) {
    Pcm compressed(name);
    ASSERT_TRUE(compressed.ok) << name;
    EXPECT_GT(compressed.pcm.frames, 0u);
    EXPECT_GT(compressed.peaks[WAVE_PEAKS / 2], 2000) << name;  // the generator's sine is at 1/8 of full scale
  }
}

TEST(WaveDecode, GapsStaySilentAndBudgetsHold) {
  Pcm gap("gap.mka");
  ASSERT_TRUE(gap.ok);
  EXPECT_NEAR(gap.duration, 1.5, 0.05);
  int loud_in_gap = 0;
  int loud_after = 0;
  for (uint64_t i = 26000; i < 46000; ++i) loud_in_gap += std::abs(gap.at(i, 0)) > 100;
  for (uint64_t i = 50000; i < 70000; ++i) loud_after += std::abs(gap.at(i, 0)) > 100;
  EXPECT_EQ(loud_in_gap, 0);
  EXPECT_GT(loud_after, 10000);

  Pcm tight("tone-stereo.wav", 96000 * 4 - 1);  // one byte short: peaks and duration, no PCM
  ASSERT_TRUE(tight.ok);
  EXPECT_EQ(tight.pcm.samples, nullptr);
  EXPECT_EQ(tight.pcm.frames, 0u);
  EXPECT_EQ(tight.pcm.rate, 48000u);
  EXPECT_GT(tight.peaks[10], 16000);

  for (const char* name : {"seventeen-channels.wav", "coded.mp4", "random.mp4", "empty.mp4", "missing.wav"}) {
    Pcm refused(name);
    EXPECT_FALSE(refused.ok) << name;
    EXPECT_EQ(refused.pcm.samples, nullptr);
  }
}

// ---------------------------------------------------------------- writing

void nv12_of(std::vector<uint8_t>* nv12, uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v) {
  nv12->assign(static_cast<size_t>(width) * height * 3 / 2, y);
  for (size_t i = static_cast<size_t>(width) * height; i < nv12->size(); i += 2) {
    (*nv12)[i] = u;
    (*nv12)[i + 1] = v;
  }
}

TEST(MediaWriter, WritesAnMp4ThatReadsBack) {
  kelvra_test::TempDir dir;
  const std::string path = dir.file("out.mp4");
  const MediaWriterConfig config = {320, 240, 30, 320 * 240 * 4, 48000, 2, 192000, nullptr, 0, nullptr};
  MediaWriter* writer = nullptr;
  ASSERT_EQ(media_writer_open(&writer, path.c_str(), &config), MEDIA_OK);
  std::vector<uint8_t> picture;
  std::vector<int16_t> sound(1600 * 2);
  for (int frame = 0; frame < 45; ++frame) {
    nv12_of(&picture, 320, 240, frame < 30 ? 81 : 145, frame < 30 ? 90 : 54, frame < 30 ? 240 : 34);  // red, then green
    const int64_t time = frame * MEDIA_TICKS_PER_SECOND / 30;
    ASSERT_EQ(media_writer_video(writer, picture.data(), time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
    for (int i = 0; i < 1600; ++i) {
      const double t = (frame * 1600 + i) / 48000.0;
      sound[i * 2] = sound[i * 2 + 1] = static_cast<int16_t>(10000 * std::sin(2 * M_PI * 440 * t));
    }
    ASSERT_EQ(media_writer_audio(writer, sound.data(), 1600, time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
  }
  ASSERT_EQ(media_writer_finalize(writer), MEDIA_OK);
  media_writer_close(writer);

  const std::string bytes = kelvra_test::read_file(path);
  ASSERT_NE(bytes.find("moov"), std::string::npos);
  EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));  // the index is at the front

  Decoder decoder;
  ASSERT_TRUE(video_decode_open(&decoder.d, path.c_str()));
  EXPECT_NEAR(decoder.d.duration, 1.5, 0.05);
  ASSERT_TRUE(video_decode_frame(&decoder.d, 0.5));
  const uint8_t* red = decoder.d.pixels + (120 * 320 + 160) * 4;
  EXPECT_GT(red[2], 200);
  EXPECT_LT(red[1], 60);
  ASSERT_TRUE(video_decode_frame(&decoder.d, 1.2));
  const uint8_t* green = decoder.d.pixels + (120 * 320 + 160) * 4;
  EXPECT_GT(green[1], 200);
  EXPECT_LT(green[2], 60);
  WavePcm back{};
  uint16_t peaks[WAVE_PEAKS] = {};
  double seconds = 0;
  ASSERT_TRUE(audio_wave_decode(nullptr, 0, path.c_str(), peaks, &back, &seconds, WAVE_PREVIEW_BUDGET));
  EXPECT_EQ(back.channels, 2u);
  EXPECT_EQ(back.rate, 48000u);
  EXPECT_NEAR(seconds, 1.5, 0.05);
  EXPECT_NEAR(peaks[WAVE_PEAKS / 2], 10000, 800);
  std::free(back.samples);

  const std::string probe_path = dir.file("probe.txt");
  const std::string command = "ffprobe -v error -count_frames -show_entries "
                              "stream=codec_name,nb_read_frames,r_frame_rate,channels,sample_rate,width,height "
                              "-of compact '" + path + "' > '" + probe_path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string probe = kelvra_test::read_file(probe_path);
  EXPECT_NE(probe.find("codec_name=h264|width=320|height=240|r_frame_rate=30/1|nb_read_frames=45"), std::string::npos)
      << probe;
  EXPECT_NE(probe.find("codec_name=aac|sample_rate=48000|channels=2"), std::string::npos) << probe;
}

// A writer given a meter decodes its own AAC again as it writes: what the
// meter finds is what ffmpeg finds decoding the file, and a trial writer
// (no file) fed the same sound in other block sizes finds the very same
// figures. Loud noise bursts come back with peaks over the samples' own.
TEST(MediaWriter, TrialDecodesAsTheFileDoes) {
  kelvra_test::TempDir dir;
  const std::string path = dir.file("bursts.mp4");
  std::vector<int16_t> sound(2 * 96000);
  uint32_t seed = 7;
  for (size_t i = 0; i < sound.size() / 2; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / (1 << 24) - 0.5) * 2;
    const bool burst = i % 24000 < 1200;
    sound[2 * i] = static_cast<int16_t>(burst ? 28000 * noise : 300 * std::sin(i * 0.0576));
    sound[2 * i + 1] = static_cast<int16_t>(burst ? -28000 * noise : 300 * std::sin(i * 0.0576));
  }
  LoudnessMeter* written = loudness_meter_create(48000, true);
  LoudnessMeter* tried = loudness_meter_create(48000, true);
  ASSERT_NE(written, nullptr);
  ASSERT_NE(tried, nullptr);
  const MediaWriterConfig config = {64, 48, 30, 200000, 48000, 2, 192000, written, 0, nullptr};
  MediaWriter* writer = nullptr;
  ASSERT_EQ(media_writer_open(&writer, path.c_str(), &config), MEDIA_OK);
  std::vector<uint8_t> picture;
  nv12_of(&picture, 64, 48, 16, 128, 128);
  for (int frame = 0; frame < 60; ++frame) {
    const int64_t time = frame * MEDIA_TICKS_PER_SECOND / 30;
    ASSERT_EQ(media_writer_video(writer, picture.data(), time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
    ASSERT_EQ(media_writer_audio(writer, &sound[2 * 1600 * frame], 1600, time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
  }
  ASSERT_EQ(media_writer_finalize(writer), MEDIA_OK);
  media_writer_close(writer);
  MediaWriterConfig trial_config = config;
  trial_config.decoded = tried;
  MediaWriter* trial = nullptr;
  ASSERT_EQ(media_writer_open_trial(&trial, &trial_config), MEDIA_OK);
  EXPECT_NE(media_writer_video(trial, picture.data(), 0, 1), MEDIA_OK);
  for (uint64_t done = 0; done < 96000; done += 1000) {
    const auto time = static_cast<int64_t>(done * MEDIA_TICKS_PER_SECOND / 48000);
    ASSERT_EQ(media_writer_audio(trial, &sound[2 * done], 1000, time, 0), MEDIA_OK);
  }
  ASSERT_EQ(media_writer_finalize(trial), MEDIA_OK);
  media_writer_close(trial);
  ASSERT_TRUE(loudness_meter_finish(written));
  ASSERT_TRUE(loudness_meter_finish(tried));
  LoudnessFigures file{};
  LoudnessFigures same{};
  ASSERT_TRUE(loudness_meter_figures(written, &file));
  ASSERT_TRUE(loudness_meter_figures(tried, &same));
  loudness_meter_destroy(written);
  loudness_meter_destroy(tried);
  EXPECT_EQ(file.true_peak, same.true_peak);
  EXPECT_EQ(file.integrated, same.integrated);
  EXPECT_GT(file.sample_peak, 20 * std::log10(28000.0 / 32768));  // AAC added to the peaks

  const std::string log = dir.file("ebur128.txt");
  const std::string command = "ffmpeg -hide_banner -nostats -i '" + path +
                              "' -vn -af ebur128=peak=true -f null - > '" + log + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string text = kelvra_test::read_file(log);
  const size_t at = text.rfind("Peak:");
  ASSERT_NE(at, std::string::npos) << text;
  EXPECT_NEAR(file.true_peak, std::strtod(text.c_str() + at + 5, nullptr), 0.1) << text;
  const size_t integrated = text.rfind("I:");
  EXPECT_NEAR(file.integrated, std::strtod(text.c_str() + integrated + 2, nullptr), 0.1) << text;
}

// Sound encoded once for several files: a file carrying a sound writer's
// packets decodes to the very samples of a file that encodes the same blocks
// itself, and the sound writer's meter gives that file's figures.
TEST(MediaWriter, SharedSoundIsWhatTheFileWouldEncode) {
  kelvra_test::TempDir dir;
  std::vector<int16_t> sound(2 * 1600 * 45);
  for (size_t i = 0; i < sound.size() / 2; ++i)
    sound[2 * i] = sound[2 * i + 1] = static_cast<int16_t>(9000 * std::sin(i * 0.0576) * (i % 16000 < 8000 ? 1 : 0.2));
  LoudnessMeter* meters[2] = {loudness_meter_create(48000, true), loudness_meter_create(48000, true)};
  ASSERT_NE(meters[0], nullptr);
  ASSERT_NE(meters[1], nullptr);
  MediaWriter* shared = nullptr;
  MediaWriterConfig sound_config = {0, 0, 30, 0, 48000, 2, 192000, meters[1], 0, nullptr};
  ASSERT_EQ(media_writer_open_sound(&shared, &sound_config), MEDIA_OK);
  const std::string paths[2] = {dir.file("own.mp4"), dir.file("shared.mp4")};
  MediaWriter* writers[2] = {nullptr, nullptr};
  const MediaWriterConfig own = {64, 48, 30, 200000, 48000, 2, 192000, meters[0], 0, nullptr};
  const MediaWriterConfig sharing = {64, 48, 30, 200000, 48000, 2, 192000, nullptr, 0, shared};
  ASSERT_EQ(media_writer_open(&writers[0], paths[0].c_str(), &own), MEDIA_OK);
  ASSERT_EQ(media_writer_open(&writers[1], paths[1].c_str(), &sharing), MEDIA_OK);
  EXPECT_EQ(media_writer_audio(writers[1], sound.data(), 1600, 0, 0), MEDIA_E_FAIL);  // it encodes no sound
  std::vector<uint8_t> picture;
  nv12_of(&picture, 64, 48, 16, 128, 128);
  MediaSoundPacket packet{};
  const auto pass_on = [&] {
    while (media_writer_take_sound_packet(shared, &packet))
      ASSERT_EQ(media_writer_sound_packet(writers[1], &packet), MEDIA_OK);
  };
  for (int frame = 0; frame < 45; ++frame) {
    const int64_t time = frame * MEDIA_TICKS_PER_SECOND / 30;
    for (MediaWriter* writer : writers)
      ASSERT_EQ(media_writer_video(writer, picture.data(), time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
    const int16_t* block = &sound[2 * 1600 * frame];
    ASSERT_EQ(media_writer_audio(writers[0], block, 1600, time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
    ASSERT_EQ(media_writer_audio(shared, block, 1600, time, MEDIA_TICKS_PER_SECOND / 30), MEDIA_OK);
    pass_on();
  }
  ASSERT_EQ(media_writer_finalize(shared), MEDIA_OK);
  pass_on();
  for (MediaWriter* writer : writers) {
    ASSERT_EQ(media_writer_finalize(writer), MEDIA_OK);
    media_writer_close(writer);
  }
  media_writer_close(shared);

  std::vector<int16_t> decoded[2];
  std::vector<int64_t> times[2];
  for (int k = 0; k < 2; ++k) {
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, paths[k].c_str(), MEDIA_AUDIO), MEDIA_OK);
    for (int reads = 0; reads < 1000; ++reads) {
      MediaSample sample{};
      if (media_reader_read(reader, &sample) != MEDIA_OK || sample.end_of_stream) break;
      if (!sample.have) continue;
      times[k].push_back(sample.time);
      decoded[k].insert(decoded[k].end(), sample.pcm, sample.pcm + 2 * sample.frames);
    }
    media_reader_close(reader);
  }
  EXPECT_GT(decoded[0].size(), 2u * 1600 * 44);
  EXPECT_TRUE(decoded[0] == decoded[1]);
  EXPECT_TRUE(times[0] == times[1]);
  LoudnessFigures figures[2];
  for (int k = 0; k < 2; ++k) {
    ASSERT_TRUE(loudness_meter_finish(meters[k]));
    ASSERT_TRUE(loudness_meter_figures(meters[k], &figures[k]));
    loudness_meter_destroy(meters[k]);
  }
  EXPECT_EQ(figures[0].integrated, figures[1].integrated);
  EXPECT_EQ(figures[0].true_peak, figures[1].true_peak);
}

TEST(MediaWriter, RefusesBadConfigurations) {
  MediaWriter* writer = nullptr;
  const MediaWriterConfig odd = {321, 240, 30, 1000000, 48000, 2, 192000, nullptr, 0, nullptr};
  EXPECT_NE(media_writer_open(&writer, "/tmp/kelvra-odd.mp4", &odd), MEDIA_OK);
  const MediaWriterConfig fine = {320, 240, 30, 1000000, 48000, 2, 192000, nullptr, 0, nullptr};
  const int32_t status = media_writer_open(&writer, "/nonexistent-folder/x.mp4", &fine);
  EXPECT_NE(status, MEDIA_OK);
  EXPECT_EQ(static_cast<uint32_t>(status) & 0xF0000000u, 0xA0000000u);  // a library error, printed as such
  EXPECT_EQ(writer, nullptr);
}

}  // namespace
