// Loudness of exports: the peak limiter's own arithmetic on hard signals,
// the project's "loudness" setting read and written, clip gains clamped as
// read, the Render tab's switch and the figures its rows show, exports
// measured with ffmpeg's ebur128 filter (integrated loudness and true peak),
// peaky mixes that stop where the limiter holds them cleanly, the MP4's true
// peak as its AAC decodes, a mix with nothing to bring up, kelvra-render's
// --loudness, the long mix measured in two halves, and a cancel while the
// mix is being measured.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/history.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "export_fixture.h"
#include "media/audio_mix.h"
#include "media/wave.h"
#include "platform/clock.h"
#include "platform/loudness.h"
#include "project/project.h"
#include "project/text_buffer.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::RunningEditor;
using kelvra_test::TempDir;

constexpr double kFs = 48000;

// ------------------------------------------------------------------ helpers

// Runs `command` in the shell; what it wrote on stdout and stderr together, and its exit status.
std::string run(const std::string& command, int* status) {
  std::string text;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    *status = -1;
    return text;
  }
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int wait_status = pclose(pipe);
  *status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return text;
}

// Makes a 16-bit 48 kHz WAV at `path` with the ffmpeg tool from an aevalsrc
// expression ("LEFT|RIGHT") lasting `seconds`.
void make_wav(const std::string& path, const std::string& expression, double seconds) {
  int status = -1;
  const std::string out = run("ffmpeg -hide_banner -loglevel error -y -f lavfi -i \"aevalsrc=" + expression +
                                  ":s=48000:d=" + std::to_string(seconds) + "\" -c:a pcm_s16le '" + path + "'",
                              &status);
  ASSERT_EQ(status, 0) << out;
}

// The number after the last `label` in `text`; NaN when missing.
double figure_after(const std::string& text, const char* label) {
  const size_t at = text.rfind(label);
  if (at == std::string::npos) return NAN;
  return std::strtod(text.c_str() + at + std::strlen(label), nullptr);
}

// What ffmpeg's ebur128 filter (with true peaks) finds in the first sound stream of `path`.
struct Ebur128 {
  double integrated = NAN;  // LUFS, to one decimal
  double range = NAN;       // LU
  double peak = NAN;        // dBTP ("dBFS" in its summary)
  std::string text;
};

Ebur128 ffmpeg_loudness(const std::string& path) {
  int status = -1;
  Ebur128 result;
  result.text = run("ffmpeg -hide_banner -nostats -i '" + path +
                        "' -vn -af ebur128=framelog=verbose:peak=true -f null -",
                    &status);
  if (status != 0) return result;
  result.integrated = figure_after(result.text, "I:");
  result.range = figure_after(result.text, "LRA:");
  result.peak = figure_after(result.text, "Peak:");
  return result;
}

// The samples of a WAV export after its 44-byte header, when it holds `frames` frames.
std::vector<int16_t> wav_samples(const std::string& path, uint64_t frames) {
  const std::string bytes = kelvra_test::read_file(path);
  EXPECT_EQ(bytes.size(), 44 + frames * 4) << path;
  if (bytes.size() != 44 + frames * 4) return {};
  std::vector<int16_t> samples(frames * 2);
  std::memcpy(samples.data(), bytes.data() + 44, frames * 4);
  return samples;
}

// A row's figures as its text shows them: "-17.2 LUFS, limited by peaks  ·  LRA 0.2 LU  ·  -1.1 dBTP".
struct Shown {
  double integrated = NAN;
  double range = NAN;
  double peak = NAN;
  bool limited = false;
  std::string text;
};

Shown shown_figures(const RenderRow& row) {
  char text[120];
  kelvra_render_row_loudness(&row, text, sizeof text);
  Shown shown;
  shown.text = text;
  const std::string limited = " LUFS, limited by peaks  ·  LRA ";
  const std::string plain = " LUFS  ·  LRA ";
  size_t at = shown.text.find(limited);
  shown.limited = at != std::string::npos;
  const size_t rest = shown.limited ? at + limited.size() : (at = shown.text.find(plain)) + plain.size();
  if (at == std::string::npos) return shown;
  shown.integrated = std::strtod(text, nullptr);
  if (std::sscanf(text + rest, "%lf LU  ·  %lf dBTP", &shown.range, &shown.peak) != 2) shown.range = shown.peak = NAN;
  return shown;
}

uint64_t frames_of(const KelvraApp* app) {
  return static_cast<uint64_t>(std::ceil(app->project.timeline_end * kFs));
}

// The export mix of `app`'s edit as the sound of a WAV without a loudness target.
std::vector<int16_t> export_mix(const KelvraApp* app) {
  const uint64_t count = frames_of(app);
  kelvra_test::WholeSources sources;
  EXPECT_TRUE(kelvra_test::decode_whole(app, &sources));
  std::vector<int16_t> mix(count * 2);
  for (uint64_t k = 0; k * RENDER_BLOCK_FRAMES < count; ++k)
    kelvra_audio_export_mix(&app->project, sources.table, PROJECT_MAX_ROWS, static_cast<double>(k) / RENDER_FPS,
                            &mix[k * 2 * RENDER_BLOCK_FRAMES],
                            std::min<uint64_t>(RENDER_BLOCK_FRAMES, count - k * RENDER_BLOCK_FRAMES));
  return mix;
}

// The project's own meter over interleaved stereo in 16-bit units.
LoudnessFigures meter(const std::vector<double>& stereo) {
  LoudnessFigures figures{NAN, NAN, NAN, NAN};
  LoudnessMeter* m = loudness_meter_create(48000, true);
  EXPECT_NE(m, nullptr);
  if (m == nullptr) return figures;
  EXPECT_TRUE(loudness_meter_add(m, stereo.data(), stereo.size() / 2, 32768.0));
  EXPECT_TRUE(loudness_meter_figures(m, &figures));
  loudness_meter_destroy(m);
  return figures;
}

// Runs `input` through a fresh limiter with a -1 dBTP ceiling, followed by
// enough silence to let every input frame out; all the output, in order.
std::vector<double> limit(const std::vector<double>& input) {
  PeakLimiter* limiter = kelvra_limiter_create(LOUDNESS_CEILING);
  EXPECT_NE(limiter, nullptr);
  const uint64_t frames = input.size() / 2;
  std::vector<double> padded(input);
  padded.resize(2 * (frames + LIMITER_DELAY), 0.0);
  std::vector<double> out(padded.size());
  // In uneven pieces, as a caller may hand them.
  const uint64_t total = frames + LIMITER_DELAY;
  for (uint64_t at = 0, piece = 1; limiter != nullptr && at < total; at += piece, piece = piece * 3 % 4001 + 1) {
    piece = std::min(piece, total - at);
    EXPECT_TRUE(kelvra_limiter_process(limiter, &padded[2 * at], &out[2 * at], piece));
  }
  kelvra_limiter_destroy(limiter);
  return out;
}

template <typename F>
std::vector<double> stereo_of(uint64_t frames, F value) {
  std::vector<double> stereo(2 * frames);
  for (uint64_t i = 0; i < frames; ++i) {
    stereo[2 * i] = value(i, 0);
    stereo[2 * i + 1] = value(i, 1);
  }
  return stereo;
}

// ------------------------------------------------------------------ limiter

// Signals well past the ceiling, each hard in its own way, come out with
// their true peak at most -1 dBTP by the project's meter, yet not crushed
// far under it; the output starts with the limiter's delay of silence.
TEST(Limiter, TruePeaksStayUnderTheCeiling) {
  std::mt19937 random(20240611);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> noise(2 * 48000);
  for (double& v : noise) v = 60000 * uniform(random);
  struct Case {
    const char* what;
    std::vector<double> input;
  };
  const Case cases[] = {
      {"997 Hz sine 12 dB over full scale",
       stereo_of(96000, [](uint64_t i, int c) { return 4 * 32000 * std::sin(2 * M_PI * 997 * i / kFs + c); })},
      // Samples at +-0.707 of the amplitude: only the true peak, halfway between them, is over.
      {"sine at fs/4 with a 45-degree phase",
       stereo_of(96000, [](uint64_t i, int) { return 36000 * std::sin(M_PI / 2 * i + M_PI / 4); })},
      {"100 Hz square wave, channels opposed",
       stereo_of(96000, [](uint64_t i, int c) { return ((i / 240) % 2 == 0) == (c == 0) ? 40000.0 : -40000.0; })},
      {"isolated impulses over silence",
       stereo_of(96000, [](uint64_t i, int c) {
         if (i % 4800 != 100) return 0.0;
         return (i / 4800) % 2 == static_cast<uint64_t>(c) ? 50000.0 : -20000.0;
       })},
      {"noise burst after a second of silence",
       stereo_of(96000, [&](uint64_t i, int c) { return i < 48000 ? 0.0 : noise[2 * (i - 48000) + c]; })},
      {"a quiet tone, then a loud one at once",
       stereo_of(96000, [](uint64_t i, int c) {
         return (i < 50000 ? 1000 : 90000) * std::sin(2 * M_PI * (c == 0 ? 440 : 3000) * i / kFs);
       })},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const LoudnessFigures before = meter(c.input);
    ASSERT_GT(before.true_peak, LOUDNESS_CEILING + 0.5);  // the case needs limiting
    const std::vector<double> out = limit(c.input);
    for (uint32_t i = 0; i < 2 * LIMITER_DELAY; ++i) ASSERT_EQ(out[i], 0.0) << "frame " << i / 2;
    const std::vector<double> aligned(out.begin() + 2 * LIMITER_DELAY, out.end());
    const LoudnessFigures after = meter(aligned);
    EXPECT_LE(after.true_peak, LOUDNESS_CEILING) << "before: " << before.true_peak << " dBTP";
    EXPECT_GT(after.true_peak, LOUDNESS_CEILING - 1.0);
    // Rounded to the 16-bit samples a file holds, still under.
    std::vector<double> rounded(aligned);
    for (double& v : rounded) v = std::round(std::clamp(v, -32768.0, 32767.0));
    EXPECT_LE(meter(rounded).true_peak, LOUDNESS_CEILING);
  }
}

// What stays under the ceiling comes out exactly as it went in, LIMITER_DELAY
// frames later; after a limited burst the gain comes back to unity.
TEST(Limiter, SoundUnderTheCeilingPassesUnchanged) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const std::vector<double> under = stereo_of(96000, [&](uint64_t i, int c) {
    return (c == 0 ? 20000 : 15000) * std::sin(2 * M_PI * 440 * i / kFs) + 2000 * uniform(random);
  });
  ASSERT_LT(meter(under).true_peak, LOUDNESS_CEILING - 0.3);
  std::vector<double> out = limit(under);
  for (uint64_t i = 0; i < under.size(); ++i)
    ASSERT_EQ(out[i + 2 * LIMITER_DELAY], under[i]) << "frame " << i / 2 << " channel " << i % 2;

  // A 0.2 s burst 12 dB over full scale, then two seconds of a quiet tone.
  const std::vector<double> burst = stereo_of(9600 + 96000, [](uint64_t i, int) {
    return (i < 9600 ? 130000 : 10000) * std::sin(2 * M_PI * 440 * i / kFs);
  });
  out = limit(burst);
  double dip = 1;
  for (uint64_t i = 9600; i < 9600 + 4800; ++i)
    if (std::fabs(burst[2 * i]) > 5000) dip = std::min(dip, out[2 * (i + LIMITER_DELAY)] / burst[2 * i]);
  EXPECT_LT(dip, 0.9);  // just after the burst the gain is still coming back
  for (uint64_t i = 9600 + 72000; i < 9600 + 96000; ++i)
    ASSERT_NEAR(out[2 * (i + LIMITER_DELAY)], burst[2 * i], 0.01) << "frame " << i;
}

// ------------------------------------------------------------------ setting

std::string project_text(const char* loudness) {
  std::string json = R"({"sources": [], "clips": [])";
  if (loudness != nullptr) json += std::string(R"(, "loudness": )") + loudness;
  return json + "}";
}

int occurrences(const std::string& text, const std::string& word) {
  int count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

// The "loudness" key as read, written back only when not the default, and read again the same.
TEST(LoudnessSetting, ReadWriteAndParse) {
  struct Case {
    const char* value;  // the key's JSON value; null for no key
    double target;
    const char* written;  // the key as written back; null when not written
  };
  const Case cases[] = {
      {nullptr, -14, nullptr},
      {R"("off")", 0, R"("loudness": "off")"},
      {"-16", -16, R"("loudness": -16)"},
      {"-23.5", -23.5, R"("loudness": -23.5)"},
      {"-40", -40, R"("loudness": -40)"},
      {"-5", -5, R"("loudness": -5)"},
      {"-14", -14, nullptr},
      {"-3", -14, nullptr},
      {"-50", -14, nullptr},
      {"-40.5", -14, nullptr},
      {R"("loud")", -14, nullptr},
      {R"("offset")", -14, nullptr},
      {R"("-16")", -14, nullptr},
      {"true", -14, nullptr},
      {"null", -14, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "no key");
    const std::string json = project_text(c.value);
    Project project{};
    ASSERT_TRUE(kelvra_project_open_bytes(&project, json.data(), json.size()));
    EXPECT_EQ(kelvra_loudness_target(&project), c.target);
    TextBuffer text{};
    ASSERT_TRUE(project_build_text(&project, KELVRA_LAYOUT_SPLIT, &text));
    const std::string saved(text.data, text.length);
    text_buffer_free(&text);
    EXPECT_EQ(occurrences(saved, "\"loudness\""), c.written != nullptr ? 1 : 0) << saved;
    if (c.written != nullptr) {
      EXPECT_NE(saved.find(c.written), std::string::npos) << saved;
    }
    Project reread{};
    ASSERT_TRUE(kelvra_project_open_bytes(&reread, saved.data(), saved.size())) << saved;
    EXPECT_EQ(kelvra_loudness_target(&reread), c.target);
    kelvra_project_close(&reread);
    kelvra_project_close(&project);
  }

  // Targets as the command line and the switch read and show them.
  struct Text {
    const char* text;
    bool ok;
    double target;
    const char* label;
  };
  const Text texts[] = {
      {"off", true, 0, "off"},         {"-14", true, -14, "-14 LUFS"}, {"-16", true, -16, "-16 LUFS"},
      {"-23.5", true, -23.5, "-23.5 LUFS"}, {"-40", true, -40, "-40 LUFS"}, {"-5", true, -5, "-5 LUFS"},
      {"-40.01", false, 0, ""},        {"-4.99", false, 0, ""},        {"-3", false, 0, ""},
      {"", false, 0, ""},              {"loud", false, 0, ""},         {"-16x", false, 0, ""},
      {"nan", false, 0, ""},           {"-inf", false, 0, ""},         {"Off", false, 0, ""},
  };
  for (const Text& t : texts) {
    SCOPED_TRACE(std::string("'") + t.text + "'");
    double target = 99;
    EXPECT_EQ(kelvra_loudness_parse(t.text, &target), t.ok);
    if (!t.ok) continue;
    EXPECT_EQ(target, t.target);
    char label[32];
    kelvra_loudness_label(target, label, sizeof label);
    EXPECT_STREQ(label, t.label);
  }
}

// ------------------------------------------------------------ clip gains

std::string gain_project(const std::vector<const char*>& gains) {
  std::string json = R"({"sources": [{"id": "s", "file": "tone.wav"}], "clips": [)";
  double at = 0;
  for (const char* gain : gains) {
    if (at > 0) json += ", ";
    json += R"({"sourceId": "s", "out": 2, "video": false, "at": )" + std::to_string(at);
    if (gain != nullptr) json += std::string(R"(, "gain": )") + gain;
    json += "}";
    at += 2;
  }
  return json + "]}";
}

// Clip gains as read run from silence to +10 dB, the reach of the timeline's
// gain knob: a hand-edited file still opens, saving writes the clamped gain,
// and the preview plays a gain of 10000 as it plays +10 dB instead of
// clipping every sample.
TEST(ClipGain, AbsurdGainsClampAsRead) {
  struct Case {
    const char* value;  // the key's JSON value; null for no key
    double gain;
  };
  const Case cases[] = {
      {nullptr, 1},   {"1", 1},        {"0.5", 0.5},     {"0", 0},         {"0.01", 0.01},
      {"3.1", 3.1},   {"3.2", PROJECT_MOST_GAIN},        {"1000", PROJECT_MOST_GAIN},
      {"10000", PROJECT_MOST_GAIN},    {"1e6", PROJECT_MOST_GAIN},         {"1e400", PROJECT_MOST_GAIN},
      {"-0.5", 0},    {"-1e6", 0},     {R"("loud")", 1}, {"true", 1},      {"null", 1},
  };
  ASSERT_NEAR(20 * std::log10(PROJECT_MOST_GAIN), 10.0, 1e-9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "no key");
    const std::string json = gain_project({c.value});
    Project project{};
    ASSERT_TRUE(kelvra_project_open_bytes(&project, json.data(), json.size()));
    ASSERT_EQ(project.clip_count, 1u);
    EXPECT_DOUBLE_EQ(project.clips[0].gain, c.gain);
    TextBuffer text{};
    ASSERT_TRUE(project_build_text(&project, KELVRA_LAYOUT_SPLIT, &text));
    const std::string saved(text.data, text.length);
    text_buffer_free(&text);
    Project reread{};
    ASSERT_TRUE(kelvra_project_open_bytes(&reread, saved.data(), saved.size())) << saved;
    EXPECT_NEAR(reread.clips[0].gain, c.gain, 1e-8) << saved;  // written to nine digits
    kelvra_project_close(&reread);
    kelvra_project_close(&project);
  }

  TempDir dir;
  make_wav(dir.file("tone.wav"), "0.1*sin(2*PI*440*t)|0.1*sin(2*PI*550*t)", 2);
  std::vector<int16_t> played[2];
  const char* gains[2] = {"10000", "3.1622776601683795"};
  for (int k = 0; k < 2; ++k) {
    KelvraApp* app = kelvra_app_create();
    ASSERT_NE(app, nullptr);
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", dir.path().c_str());
    const std::string json = gain_project({gains[k]});
    ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
    kelvra_test::WholeSources sources;
    ASSERT_TRUE(kelvra_test::decode_whole(app, &sources));
    played[k].resize(2 * RENDER_BLOCK_FRAMES);
    kelvra_audio_timeline_mix(&app->project, &sources.table[0], 0, 0.5, played[k].data(), RENDER_BLOCK_FRAMES);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
  }
  int16_t loudest = 0;
  for (int16_t v : played[1]) loudest = std::max<int16_t>(loudest, static_cast<int16_t>(std::abs(v)));
  EXPECT_NEAR(loudest, 0.1 * PROJECT_MOST_GAIN * 32768, 200);  // +10 dB over the source, no clipping
  EXPECT_TRUE(played[0] == played[1]);
}

// ------------------------------------------------------------ measuring

// A mix of a minute or more is measured in two halves; the halves' gating is
// one, so a loud half and a quiet one give what one meter over the whole
// mix gives. A cancel before the pass makes it fail.
TEST(LoudnessMeasure, TwoHalvesMeasureAsOne) {
  TempDir dir;
  make_wav(dir.file("loud.wav"), "0.3*sin(2*PI*1000*t)|0.2*sin(2*PI*500*t)", 2);
  make_wav(dir.file("soft.wav"), "0.03*(random(0)-0.5)|0.03*(random(1)-0.5)", 2);
  KelvraApp* app = kelvra_app_create();
  ASSERT_NE(app, nullptr);
  std::snprintf(app->media_folder, sizeof app->media_folder, "%s", dir.path().c_str());
  const std::string json = R"({"sources": [{"id": "l", "file": "loud.wav"}, {"id": "s", "file": "soft.wav"}],
    "clips": [{"sourceId": "l", "out": 2, "mode": "loop", "loops": 20, "video": false},
              {"sourceId": "s", "out": 2, "mode": "loop", "loops": 21, "at": 40, "video": false}]})";
  ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
  ASSERT_DOUBLE_EQ(app->project.timeline_end, 82.0);
  kelvra_test::WholeSources sources;
  ASSERT_TRUE(kelvra_test::decode_whole(app, &sources));
  char message[128] = "";
  const auto plan = kelvra_test::plan_of(app, message);
  ASSERT_NE(plan, nullptr) << message;
  const uint64_t frames = frames_of(app);

  std::vector<double> whole(2 * frames);
  for (uint64_t done = 0; done < frames; done += RENDER_BLOCK_FRAMES)
    kelvra_audio_export_mix_wide(&app->project, sources.table, PROJECT_MAX_ROWS, static_cast<double>(done) / kFs,
                                 &whole[2 * done], std::min<uint64_t>(RENDER_BLOCK_FRAMES, frames - done));
  const LoudnessFigures one = meter(whole);
  std::atomic<int32_t> cancel{0};
  std::atomic<int32_t> permille{0};
  LoudnessFigures halves{};
  ASSERT_TRUE(kelvra_loudness_measure(plan.get(), frames, &cancel, &permille, 400, &halves));
  EXPECT_NEAR(halves.integrated, one.integrated, 0.05);
  EXPECT_NEAR(halves.range, one.range, 0.3);
  EXPECT_GT(one.range, 5.0);  // the halves are far apart
  EXPECT_EQ(permille.load(), 400);

  cancel.store(1);
  EXPECT_FALSE(kelvra_loudness_measure(plan.get(), frames, &cancel, &permille, 400, &halves));
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
}

// ------------------------------------------------------------ the editor

constexpr char kQuiet[] = "0.04*sin(2*PI*440*t)+0.02*(random(0)-0.5)|0.04*sin(2*PI*550*t)+0.02*(random(1)-0.5)";
// A quiet tone with two-frame clicks twice a second, 27 dB over it.
constexpr char kClicks[] =
    "0.03*sin(2*PI*440*t)+0.5*lt(mod(n\\,48000)\\,2)|0.03*sin(2*PI*440*t)-0.5*lt(mod(n+24000\\,48000)\\,2)";
// A quiet tone with 20 ms bursts of loud noise once a second.
constexpr char kBursts[] = "0.02*sin(2*PI*440*t)+0.9*(random(0)-0.5)*lt(mod(t\\,1)\\,0.02)|0.02*sin(2*PI*440*t)";
// A quiet bed (-48 dBFS) with 10 ms bursts of a tone at -1.4 dBFS once a
// second: the bursts carry the loudness, -17.4 LUFS, and already sit near the ceiling.
constexpr char kSineBursts[] =
    "0.004*sin(2*PI*440*t)+0.85*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.01)|"
    "0.004*sin(2*PI*440*t)+0.85*sin(2*PI*1000*t)*lt(mod(t\\,1)\\,0.01)";
// A soft chord with a noise hit twice a second (-22 LUFS, peaks -7 dBFS):
// reaching -14 LUFS takes mild limiting, and AAC adds over a decibel to the hits' peaks.
constexpr char kNoiseHits[] =
    "0.06*sin(2*PI*220*t)+0.05*sin(2*PI*330*t)+0.5*(random(0)-0.5)*exp(-60*mod(t\\,0.5))|"
    "0.06*sin(2*PI*277*t)+0.05*sin(2*PI*330*t)+0.5*(random(1)-0.5)*exp(-60*mod(t\\,0.5))";

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// The sound of `file` for `seconds` (`loops` times over), and a tenth of a
// second of a silent picture to preview the canvas with.
std::string sound_project(const char* file, double seconds, const char* extra = "", int loops = 1) {
  return std::string(R"({"sources": [{"id": "s", "file": ")") + file +
         R"("}, {"id": "v", "file": "corner.mp4"}], "clips": [{"sourceId": "s", "out": )" + std::to_string(seconds) +
         R"(, "mode": "loop", "loops": )" + std::to_string(loops) +
         R"(, "video": false}, {"sourceId": "v", "out": 0.1, "lane": 1, "audio": false}], "primaryCanvas": "hd",
         "canvasSizes": ["hd"])" +
         extra + "}";
}

using namespace kelvra_test::render_tab;

class LoudnessExport : public kelvra_test::RenderTabTest {
 protected:
  void SetUp() override { ASSERT_EQ(::symlink(fixture("corner.mp4").c_str(), dir.file("corner.mp4").c_str()), 0); }
  std::vector<std::string> renders() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename();
      if (name.rfind("kelvra-render-", 0) == 0) names.push_back(name);
    }
    return names;
  }
};

// The switch goes from a custom target to -14, -16, off and -14 again, each
// press one undo step with its status text, the previews still valid and
// the button lit while a target is on; Ctrl+Z takes the presses back.
TEST_F(LoudnessExport, SwitchCyclesAsOneUndoStepEach) {
  make_wav(dir.file("quiet.wav"), kQuiet, 2);
  open(sound_project("quiet.wav", 2, R"(, "loudness": -23.5)"));
  preview();
  show_render_tab();
  ASSERT_EQ(kelvra_loudness_target(&app->project), -23.5);
  EXPECT_EQ(editor->pixel(loudness_button(p).x, loudness_button(p).y + 12), PALETTE_ACTIVE_BORDER);
  const uint64_t undo_before = app->history.undo_count;
  struct Step {
    double target;
    const char* status;
  };
  const Step steps[] = {
      {-14, "Export loudness: -14 LUFS."},
      {-16, "Export loudness: -16 LUFS."},
      {0, "Export loudness: off."},
      {-14, "Export loudness: -14 LUFS."},
  };
  uint64_t pressed = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.status);
    editor->click(loudness_button(p));
    ++pressed;
    EXPECT_EQ(editor->status(), s.status);
    EXPECT_EQ(kelvra_loudness_target(&app->project), s.target);
    EXPECT_EQ(app->history.undo_count, undo_before + pressed);
    EXPECT_TRUE(kelvra_export_ready(app));
    draw();
    EXPECT_EQ(editor->pixel(loudness_button(p).x, loudness_button(p).y + 12),
              s.target != 0 ? PALETTE_ACTIVE_BORDER : PALETTE_BORDER);
  }
  const double undone[] = {0, -16, -14, -23.5};
  for (double target : undone) {
    editor->key(SDLK_z, KMOD_LCTRL);
    EXPECT_EQ(kelvra_loudness_target(&app->project), target);
  }
  EXPECT_EQ(app->history.undo_count, undo_before);
}

// A quiet mix exported at the default target: ffmpeg finds -14 LUFS and the
// true peak at most -1 dBTP, the row's figures agree with ffmpeg's and are
// drawn, and the MP4's AAC track is near the target too (the row shows it as
// decoded). A mix with loud clicks, whose gain alone would put them far over
// full scale, still reaches the target with its true peak under the ceiling
// by ffmpeg's reading too: the clicks carry little of the loudness.
TEST_F(LoudnessExport, DefaultExportsMeetTheTargetAndShowTheFigures) {
  struct Case {
    const char* what;
    const char* expression;
    // Of the WAV's integrated loudness, LU, as ffmpeg prints it to a tenth:
    // what the limiter takes off loud peaks is made up by settling the gain.
    double tolerance;
    bool limited;  // the gain alone would pass the ceiling
    bool mp4;
  };
  const Case cases[] = {
      {"quiet tone and noise", kQuiet, 0.1, false, true},
      {"quiet tone with loud clicks", kClicks, 0.2, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string source = dir.file("source.wav");
    make_wav(source, c.expression, 6);
    const Ebur128 before = ffmpeg_loudness(source);
    ASSERT_LT(before.integrated, -20) << before.text;
    open(sound_project("source.wav", 6));
    preview();
    show_render_tab();
    if (c.mp4) editor->click(canvases_button(p));
    editor->click(wav_button(p));
    const std::vector<RenderRow> rows = finish();
    ASSERT_EQ(rows.size(), c.mp4 ? 2u : 1u);
    draw();
    for (uint64_t r = 0; r < rows.size(); ++r) {
      const RenderRow& row = rows[r];
      SCOPED_TRACE(row.file_name);
      ASSERT_EQ(row.state, RENDER_READY) << row.message;
      EXPECT_EQ(row.loudness_target, -14.0);
      ASSERT_TRUE(row.loudness_measured);
      const Ebur128 after = ffmpeg_loudness(dir.file(row.file_name));
      ASSERT_FALSE(std::isnan(after.integrated)) << after.text;
      // The row's text, drawn beside the title.
      const Shown shown = shown_figures(row);
      ASSERT_FALSE(std::isnan(shown.peak)) << shown.text;
      EXPECT_FALSE(shown.limited) << shown.text;
      EXPECT_NEAR(shown.integrated, row.loudness.integrated, 0.051);
      EXPECT_NEAR(shown.peak, row.loudness.true_peak, 0.051);
      EXPECT_GT(pixels_unlike(figures_area(p, row_top(p, r)), PALETTE_BAR), 40);
      if (!row.is_wav) {
        // AAC changes the sound a little; the row shows it as decoded, as ffmpeg reads it.
        EXPECT_NEAR(after.integrated, -14.0, 0.5) << after.text;
        EXPECT_NEAR(row.loudness.integrated, after.integrated, 0.1 + 1e-9) << after.text;
        EXPECT_NEAR(row.loudness.true_peak, after.peak, 0.1 + 1e-9) << after.text;
        continue;
      }
      EXPECT_NEAR(after.integrated, -14.0, c.tolerance + 1e-9) << after.text;
      EXPECT_LE(after.peak, -1.0) << after.text;
      EXPECT_NEAR(row.loudness.integrated, after.integrated, 0.1 + 1e-9) << after.text;
      EXPECT_NEAR(row.loudness.true_peak, after.peak, 0.2 + 1e-9) << after.text;
      EXPECT_NEAR(row.loudness.range, after.range, 0.5 + 1e-9) << after.text;
      // The gain alone would have passed the ceiling: the limiter did this.
      if (c.limited) {
        EXPECT_GT(before.peak + (-14.0 - before.integrated), 3.0) << before.text;
      }
    }
    editor.reset();
    for (const std::string& name : renders()) std::filesystem::remove(dir.file(name));
  }
}

// The level of a WAV's bed, between the bursts that come once a second: the
// RMS of both channels over 0.5 s to 0.95 s of each second from the first, in dB.
double bed_level(const std::vector<int16_t>& samples) {
  double sum = 0;
  uint64_t count = 0;
  for (uint64_t second = 1; (second + 1) * 48000 * 2 <= samples.size(); ++second)
    for (uint64_t i = second * 48000 + 24000; i < second * 48000 + 45600; ++i) {
      sum += double(samples[2 * i]) * samples[2 * i] + double(samples[2 * i + 1]) * samples[2 * i + 1];
      count += 2;
    }
  return count > 0 ? 10 * std::log10(sum / count) : NAN;
}

// Short loud bursts over a quiet bed, whose loudness the bursts carry: the
// gain that would reach -14 LUFS only makes the limiter press the bursts
// down. The WAV stops where the limiter takes 2 LU off the loudness the gain
// alone would give: louder than the source, short of the target, the bed
// raised at most 2 dB more than the target asked of the mix, and the row
// says "limited by peaks".
TEST_F(LoudnessExport, PeakyMixesStopWhereTheLimiterHoldsCleanly) {
  struct Case {
    const char* what;
    const char* expression;
  };
  const Case cases[] = {
      {"tone bursts near full scale over a quiet bed", kSineBursts},
      {"noise bursts over a quiet tone", kBursts},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string source = dir.file("source.wav");
    make_wav(source, c.expression, 6);
    const Ebur128 before = ffmpeg_loudness(source);
    ASSERT_LT(before.integrated, -17) << before.text;
    ASSERT_LE(before.peak, -1.0) << before.text;  // nothing the ceiling asks to take off
    open(sound_project("source.wav", 6));
    preview();
    show_render_tab();
    editor->click(wav_button(p));
    const std::vector<RenderRow> rows = finish();
    ASSERT_EQ(rows.size(), 1u);
    const RenderRow& row = rows[0];
    ASSERT_EQ(row.state, RENDER_READY) << row.message;
    const Ebur128 after = ffmpeg_loudness(dir.file(row.file_name));
    ASSERT_FALSE(std::isnan(after.integrated)) << after.text;
    EXPECT_GE(after.integrated, before.integrated) << after.text;
    EXPECT_LT(after.integrated, -14.0 - 0.5) << after.text;
    EXPECT_LE(after.peak, -1.0) << after.text;
    const Shown shown = shown_figures(row);
    EXPECT_TRUE(shown.limited) << shown.text;
    EXPECT_NEAR(shown.integrated, after.integrated, 0.1 + 1e-9) << shown.text;
    // The gain the bed got, against what the target alone asks of the mix.
    const double raised = bed_level(wav_samples(dir.file(row.file_name), frames_of(app))) - bed_level(export_mix(app));
    EXPECT_GT(raised, 0.0);
    EXPECT_LE(raised, -14.0 - before.integrated + 2.0 + 0.2) << "the bed went up " << raised << " dB";
    draw();
    EXPECT_GT(pixels_unlike(figures_area(p, row_top(p, 0)), PALETTE_BAR), 40);
    editor.reset();
    for (const std::string& name : renders()) std::filesystem::remove(dir.file(name));
  }
}

// An MP4's sound is measured as its AAC decodes: ffmpeg, decoding the file,
// finds the true peak at most -1 dBTP although the encoder adds to the peaks
// of limited sound (up to 2 dB on noise bursts), and the row shows what
// ffmpeg finds. Noise hits reach the target; bursts stop short of it.
TEST_F(LoudnessExport, Mp4TruePeakIsWhatItsAacDecodesTo) {
  struct Case {
    const char* what;
    const char* expression;
    bool limited;
  };
  const Case cases[] = {
      {"soft chord with noise hits", kNoiseHits, false},
      {"tone bursts near full scale over a quiet bed", kSineBursts, true},
      {"noise bursts over a quiet tone", kBursts, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    make_wav(dir.file("source.wav"), c.expression, 6);
    open(sound_project("source.wav", 6));
    preview();
    show_render_tab();
    editor->click(canvases_button(p));
    const std::vector<RenderRow> rows = finish();
    ASSERT_EQ(rows.size(), 1u);
    const RenderRow& row = rows[0];
    ASSERT_EQ(row.state, RENDER_READY) << row.message;
    ASSERT_FALSE(row.is_wav);
    const Ebur128 after = ffmpeg_loudness(dir.file(row.file_name));
    ASSERT_FALSE(std::isnan(after.peak)) << after.text;
    EXPECT_LE(after.peak, -1.0) << after.text;
    EXPECT_NEAR(row.loudness.true_peak, after.peak, 0.1 + 1e-9) << after.text;
    EXPECT_NEAR(row.loudness.integrated, after.integrated, 0.1 + 1e-9) << after.text;
    const Shown shown = shown_figures(row);
    EXPECT_EQ(shown.limited, c.limited) << shown.text;
    EXPECT_NEAR(shown.peak, after.peak, 0.1 + 1e-9) << shown.text;
    if (!c.limited) {
      EXPECT_NEAR(after.integrated, -14.0, 0.3) << after.text;
    }
    editor.reset();
    for (const std::string& name : renders()) std::filesystem::remove(dir.file(name));
  }
}

// A mix with nothing above the meter's gate (digital silence, or a tone at
// -75 dBFS) gets no gain: the WAV is the mix bit for bit, and the row's
// integrated loudness shows as -inf.
TEST_F(LoudnessExport, NothingAboveTheGateKeepsItsLevel) {
  struct Case {
    const char* what;
    const char* expression;
    bool silent;
  };
  const Case cases[] = {
      {"digital silence", "0|0", true},
      {"a tone under the gate", "0.0002*sin(2*PI*440*t)|0.0002*sin(2*PI*440*t)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    make_wav(dir.file("still.wav"), c.expression, 2);
    open(sound_project("still.wav", 2));
    preview();
    show_render_tab();
    editor->click(wav_button(p));
    const std::vector<RenderRow> rows = finish();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].state, RENDER_READY) << rows[0].message;
    const std::vector<int16_t> written = wav_samples(dir.file(rows[0].file_name), frames_of(app));
    const std::vector<int16_t> mix = export_mix(app);
    EXPECT_TRUE(written == mix);
    int nonzero = 0;
    for (int16_t v : written) nonzero += v != 0;
    EXPECT_EQ(nonzero == 0, c.silent) << nonzero;
    ASSERT_TRUE(rows[0].loudness_measured);
    char text[100];
    kelvra_render_row_loudness(&rows[0], text, sizeof text);
    const std::string shown(text);
    const std::string head = "-inf LUFS  ·  LRA 0.0 LU  ·  ";
    ASSERT_EQ(shown.rfind(head, 0), 0u) << text;
    if (c.silent) {
      EXPECT_EQ(shown.substr(head.size()), "-inf dBTP");
    } else {
      // Samples of at most 7 in 16-bit units: about -74 dBTP.
      EXPECT_NEAR(std::strtod(shown.c_str() + head.size(), nullptr), -74.0, 1.5) << text;
    }
    draw();
    EXPECT_GT(pixels_unlike(figures_area(p, row_top(p, 0)), PALETTE_BAR), 40);
    editor.reset();
    for (const std::string& name : renders()) std::filesystem::remove(dir.file(name));
  }
}

// Cancel while the mix of a long timeline is being measured: the pass stops
// there, the row ends Cancelled, and no file is left.
TEST_F(LoudnessExport, CancelWhileMeasuring) {
  make_wav(dir.file("quiet.wav"), kQuiet, 6);
  open(sound_project("quiet.wav", 6, "", 101));
  ASSERT_DOUBLE_EQ(app->project.timeline_end, 606.0);
  preview();
  show_render_tab();
  editor->click(wav_button(p));
  RenderQueue* queue = app->render_queue;
  ASSERT_EQ(queue->job_count, 1u);
  for (int i = 0; i < 6000 && queue->jobs[0].stage.load() < RENDER_MEASURING; ++i) {
    editor->step();
    ui_sleep_ms(2);
  }
  ASSERT_EQ(queue->jobs[0].stage.load(), RENDER_MEASURING);
  editor->click(cancel_button(p, row_top(p, 0)));
  EXPECT_EQ(editor->status(), "Export cancelled.");
  const std::vector<RenderRow> rows = finish();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].state, RENDER_CANCELLED);
  EXPECT_LT(queue->jobs[0].permille.load(), 400);  // the pass did not run to its end
  EXPECT_TRUE(renders().empty());
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().filename().string().find(".partial."), std::string::npos) << entry.path();
}

// ------------------------------------------------------------ kelvra-render

class LoudnessTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::symlink(fixture("corner.mp4").c_str(), media.file("corner.mp4").c_str()), 0);
    make_wav(media.file("quiet.wav"), kQuiet, 4);
    out = media.file("out");
    std::filesystem::create_directory(out);
    kelvra_test::write_file(logs.file("lsan"), "leak:libfontconfig.so\nleak:libpango-1.0.so\nleak:libpangoft2-1.0.so\n"
                                               "leak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:libharfbuzz.so\n");
  }

  std::string write_project(const std::string& name, const char* extra) {
    kelvra_test::write_file(media.file(name), sound_project("quiet.wav", 4, extra));
    return media.file(name);
  }

  // Runs the tool with `args`; its exit status, with stdout and stderr kept.
  int tool(const std::vector<std::string>& args) {
    std::string command = "LSAN_OPTIONS=suppressions='" + logs.file("lsan") + "':print_suppressions=0 '" +
                          KELVRA_RENDER_TOOL + "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " < /dev/null > '" + logs.file("stdout") + "' 2> '" + logs.file("stderr") + "'";
    const int status = std::system(command.c_str());
    stdout_text = kelvra_test::read_file(logs.file("stdout"));
    stderr_text = kelvra_test::read_file(logs.file("stderr"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::vector<std::string> written() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(out)) names.push_back(entry.path().filename());
    return names;
  }

  TempDir media;
  TempDir logs;
  std::string out;
  std::string stdout_text;
  std::string stderr_text;
};

// --loudness -16 overrides a project that says "off"; --loudness off keeps
// the mix of a project at the default untouched.
TEST_F(LoudnessTool, TargetOrOff) {
  const std::string off_project = write_project("off.json", R"(, "loudness": "off")");
  ASSERT_EQ(tool({off_project, "--wav", "--loudness", "-16", "--out", out}), 0) << stderr_text;
  std::string path = stdout_text.substr(0, stdout_text.find('\n'));
  ASSERT_TRUE(path.ends_with("-mix.wav")) << stdout_text;
  const std::string name = path.substr(path.rfind('/') + 1);
  const Ebur128 measured = ffmpeg_loudness(path);
  EXPECT_NEAR(measured.integrated, -16.0, 0.1 + 1e-9) << measured.text;
  EXPECT_LE(measured.peak, -1.0) << measured.text;
  // "NAME: -16.0 LUFS  ·  LRA 0.0 LU  ·  -9.1 dBTP"
  const size_t line = stderr_text.find(name + ": ");
  ASSERT_NE(line, std::string::npos) << stderr_text;
  double shown[3] = {};
  ASSERT_EQ(std::sscanf(stderr_text.c_str() + line + name.size() + 2, "%lf LUFS  ·  LRA %lf LU  ·  %lf dBTP\n",
                        &shown[0], &shown[1], &shown[2]),
            3)
      << stderr_text;
  EXPECT_NEAR(shown[0], measured.integrated, 0.1 + 1e-9);
  EXPECT_NEAR(shown[2], measured.peak, 0.2 + 1e-9);

  std::filesystem::remove(path);
  const std::string default_project = write_project("default.json", "");
  ASSERT_EQ(tool({default_project, "--wav", "--loudness", "off", "--out", out}), 0) << stderr_text;
  path = stdout_text.substr(0, stdout_text.find('\n'));
  ASSERT_TRUE(path.ends_with("-mix.wav")) << stdout_text;
  KelvraApp* app = kelvra_app_create();
  std::snprintf(app->media_folder, sizeof app->media_folder, "%s", media.path().c_str());
  ASSERT_TRUE(kelvra_project_open(&app->project, default_project.c_str()));
  EXPECT_TRUE(wav_samples(path, frames_of(app)) == export_mix(app));
  kelvra_project_close(&app->project);
  kelvra_app_free(app);
}

// A hand-edited project whose clips have gains of 1000 and 12000 exports at
// the target, the gains clamped to +10 dB before the mix (they landed far
// over it: the mix was too loud for the meter to read).
TEST_F(LoudnessTool, AbsurdGainsExportAtTheTarget) {
  make_wav(media.file("tone.wav"), "0.1*sin(2*PI*440*t)|0.1*sin(2*PI*550*t)", 2);
  kelvra_test::write_file(media.file("gains.json"), gain_project({"1000", "12000"}));
  ASSERT_EQ(tool({media.file("gains.json"), "--wav", "--out", out}), 0) << stderr_text;
  const std::string path = stdout_text.substr(0, stdout_text.find('\n'));
  ASSERT_TRUE(path.ends_with("-mix.wav")) << stdout_text;
  const Ebur128 measured = ffmpeg_loudness(path);
  EXPECT_NEAR(measured.integrated, -14.0, 0.1 + 1e-9) << measured.text;
  EXPECT_LE(measured.peak, -1.0) << measured.text;
  EXPECT_LT(measured.range, 0.5) << measured.text;  // both clips at the same level
}

// A wrong --loudness stops the tool before anything is written: status 2 and
// a message naming the option.
TEST_F(LoudnessTool, WrongValuesExitWithStatusTwo) {
  const std::string project = write_project("p.json", "");
  const std::string wrong = "--loudness takes off or a target from -40 to -5 LUFS: ";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{project, "--wav", "--out", out, "--loudness", "-3"}, wrong + "-3\n"},
      {{project, "--wav", "--out", out, "--loudness", "loud"}, wrong + "loud\n"},
      {{project, "--wav", "--out", out, "--loudness", ""}, wrong + "\n"},
      {{project, "--wav", "--out", out, "--loudness", "-41"}, wrong + "-41\n"},
      {{project, "--wav", "--out", out, "--loudness"}, "missing value after --loudness\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(tool(c.args), 2);
    EXPECT_NE(stderr_text.find(std::string("kelvra-render: ") + c.message), std::string::npos) << stderr_text;
    EXPECT_EQ(stdout_text, "");
    EXPECT_TRUE(written().empty());
  }
}

}  // namespace
