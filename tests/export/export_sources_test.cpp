// What the export makes of its sources: damaged and unreadable sound, file
// names of every kind the file system takes, sources far longer than the
// edit, image stills, clips without a source, and the windows the sound is
// read in held to a whole decode sample for sample.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "editor/app.h"
#include "editor/render_tab.h"
#include "export/render.h"
#include "media/audio_mix.h"
#include "media/sound_feed.h"
#include "platform/clock.h"
#include "platform/media.h"
#include "sound_fixture.h"
#include "test_util.h"

namespace {

using kelvra_test::TempDir;

std::string fixture(const std::string& name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// Runs the ffmpeg tool with `arguments`; whether it succeeded.
bool ffmpeg(const std::string& arguments) {
  const std::string command = "ffmpeg -hide_banner -loglevel error -y " + arguments + " 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first `bytes` of `from` written to `to`: a file cut short.
void cut(const std::string& from, const std::string& to, size_t bytes) {
  kelvra_test::write_file(to, kelvra_test::read_file(from).substr(0, bytes));
}

class ExportSources : public ::testing::Test {
 protected:
  void SetUp() override {
    app = kelvra_app_create();
    app->render_queue = kelvra_render_create();
    std::snprintf(app->media_folder, sizeof app->media_folder, "%s", dir.path().c_str());
  }
  void TearDown() override {
    kelvra_render_destroy(app->render_queue);
    kelvra_project_close(&app->project);
    kelvra_app_free(app);
  }

  void load(const std::string& json) {
    kelvra_project_close(&app->project);
    app->project = Project{};
    ASSERT_TRUE(kelvra_project_open_bytes(&app->project, json.data(), json.size()));
  }

  // Renders the WAV mix of the loaded project; the finished row.
  RenderRow render_wav() {
    EXPECT_TRUE(kelvra_render_batch(app, 0, true));
    const uint64_t k = app->render_queue->job_count - 1;  // the new job is the last row
    RenderRow rows[RENDER_MAX_JOBS];
    for (int i = 0; i < 6000; ++i) {
      kelvra_render_poll(app);
      kelvra_render_rows(app, rows);
      if (rows[k].state >= RENDER_READY && app->render_queue->jobs[k].thread == nullptr) break;
      ui_sleep_ms(10);
    }
    return rows[k];
  }

  // The stereo frames of a finished WAV in the media folder.
  std::vector<int16_t> wav_samples(const RenderRow& row) {
    const std::string bytes = kelvra_test::read_file(dir.file(row.file_name));
    std::vector<int16_t> samples(bytes.size() > 44 ? (bytes.size() - 44) / 2 : 0);
    if (!samples.empty()) std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
    return samples;
  }

  // The loudest sample between seconds `from` and `to` of interleaved stereo at 48 kHz.
  static int loudest(const std::vector<int16_t>& samples, double from, double to) {
    int most = 0;
    const size_t last = std::min(samples.size(), static_cast<size_t>(to * 48000) * 2);
    for (size_t i = static_cast<size_t>(from * 48000) * 2; i < last; ++i) most = std::max(most, std::abs(samples[i]));
    return most;
  }

  TempDir dir;
  KelvraApp* app = nullptr;
};

// A one-clip project playing `file` from its start for `seconds`.
std::string one_clip(const std::string& file, double seconds) {
  return R"({"sources": [{"id": "s", "file": ")" + file + R"("}], "clips": [{"sourceId": "s", "out": )" +
         std::to_string(seconds) + R"(, "video": false}]})";
}

// A sound file damaged part-way keeps what decodes before the damage; one
// of which nothing decodes fails the job naming the file; a video without
// sound plays silently.
TEST_F(ExportSources, DamagedSoundKeepsWhatDecodes) {
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'sine=frequency=440:duration=3:sample_rate=48000' -ac 2 '" + dir.file("whole.wav") +
                     "'"));
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'sine=frequency=440:duration=3:sample_rate=44100' -ac 2 '" + dir.file("whole.flac") +
                     "'"));
  cut(dir.file("whole.wav"), dir.file("cut.wav"), 100000);  // about the first 0.52 s
  cut(dir.file("whole.flac"), dir.file("cut.flac"), 20000);
  kelvra_test::write_file(dir.file("empty.wav"), "");
  std::string noise(5000, '\0');
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251);
  kelvra_test::write_file(dir.file("garbage.wav"), noise);
  ASSERT_EQ(::symlink(fixture("coded.mp4").c_str(), dir.file("silent.mp4").c_str()), 0);

  struct Case {
    const char* file;
    const char* message;  // the failure's text; null for a file that renders
    double sound_until;   // seconds of the 2 s clip that sound
  };
  const Case cases[] = {
      {"cut.wav", nullptr, 0.5},
      {"cut.flac", nullptr, 0.1},
      {"empty.wav", "Could not decode audio: empty.wav", 0},
      {"garbage.wav", "Could not decode audio: garbage.wav", 0},
      {"silent.mp4", nullptr, 0},  // no sound stream at all: silence, as the preview plays it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    load(one_clip(c.file, 2));
    const RenderRow row = render_wav();
    if (c.message != nullptr) {
      EXPECT_EQ(row.state, RENDER_FAILED);
      EXPECT_STREQ(row.message, c.message);
      continue;
    }
    ASSERT_EQ(row.state, RENDER_READY) << row.message;
    const std::vector<int16_t> samples = wav_samples(row);
    ASSERT_EQ(samples.size(), 2u * 96000);
    if (c.sound_until > 0) {
      EXPECT_GT(loudest(samples, 0, c.sound_until), 2000);
    }
    EXPECT_EQ(loudest(samples, 1.0, 2.0), 0);  // past the damage: silence
  }
}

// Every name the file system takes is a name: colons, backslashes, quotes,
// newlines, bytes that are not UTF-8, and the longest a name may be.
TEST_F(ExportSources, NamesTheFileSystemTakes) {
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'sine=frequency=440:duration=1:sample_rate=48000' -ac 2 '" + dir.file("tone.wav") +
                     "'"));
  const std::string names[] = {"take: 2.wav", "back\\slash.wav", "caf\xc3 cut.wav", std::string(251, 'n') + ".wav",
                               "new\nline.wav", "\"quoted\".wav"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::filesystem::copy_file(dir.file("tone.wav"), dir.file(name));
    std::string quoted;
    for (char ch : name) {
      if (ch == '\\' || ch == '"') quoted += '\\';
      if (ch == '\n') {
        quoted += "\\n";
        continue;
      }
      quoted += ch;
    }
    load(one_clip(quoted, 1));
    ASSERT_STREQ(app->project.sources[0].file, name.c_str());
    const RenderRow row = render_wav();
    ASSERT_EQ(row.state, RENDER_READY) << row.message;
    EXPECT_GT(loudest(wav_samples(row), 0, 0.9), 2000);
  }
}

// Ten seconds from the middle of a 25-minute recording: only the span the
// edit plays is read, in a few small windows, however long the file.
TEST_F(ExportSources, LongSourceReadsOnlyWhatTheEditPlays) {
  // Ten minutes of silence, ten seconds of tone, fifteen minutes of silence;
  // whole, more than a quarter of a gigabyte of 16-bit stereo at 48 kHz.
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'anullsrc=r=48000:cl=stereo:d=600' -f lavfi -i "
                     "'sine=frequency=440:duration=10:sample_rate=48000' -f lavfi -i 'anullsrc=r=48000:cl=stereo:d=900' "
                     "-filter_complex '[1]aformat=channel_layouts=stereo[t];[0][t][2]concat=n=3:v=0:a=1' '" +
                     dir.file("long.flac") + "'"));
  load(R"({"sources": [{"id": "s", "file": "long.flac"}],
           "clips": [{"sourceId": "s", "in": 599, "out": 611, "video": false}]})");
  char message[128] = "";
  SoundPlan plan;
  ASSERT_TRUE(audio_plan_open(&plan, &app->project, app->media_folder, message)) << message;
  EXPECT_EQ(plan.sources[0].frames, 1510u * 48000);
  SoundFeed feed;
  audio_feed_open(&feed, &plan);
  double block[2 * 1600];
  uint64_t most = 0;
  double loud_at = -1;
  double quiet_at = -1;
  for (uint64_t k = 0; k < 12 * 30; ++k) {
    ASSERT_TRUE(audio_feed_mix_wide(&feed, k / 30.0, block, 1600));
    most = std::max(most, feed.bytes);
    double peak = 0;
    for (double v : block) peak = std::max(peak, std::fabs(v));
    if (peak > 2000 && loud_at < 0) loud_at = k / 30.0;
    if (peak == 0 && loud_at >= 0 && quiet_at < 0) quiet_at = k / 30.0;
  }
  EXPECT_NEAR(loud_at, 1.0, 1.0 / 30);    // the tone starts a second into the clip
  EXPECT_NEAR(quiet_at, 11.0, 1.0 / 30);  // and ends ten seconds later
  EXPECT_LE(most, 4u << 20);              // one window of the clip's twelve seconds
  EXPECT_LE(feed.seeks, 1u);
  audio_feed_close(&feed);
  EXPECT_EQ(feed.bytes, 0u);

  // The same through the queue: the export that refused it before now renders it.
  const RenderRow row = render_wav();
  ASSERT_EQ(row.state, RENDER_READY) << row.message;
  const std::vector<int16_t> samples = wav_samples(row);
  EXPECT_GT(loudest(samples, 1.05, 10.95), 2000);
  EXPECT_EQ(loudest(samples, 0, 0.95), 0);
}

// The windows give exactly what whole decoded sources give: loops whose
// pass is longer than a window (read again from a seek at each pass), two
// clips of one source at once at different places in it, clips starting
// late, a mix started in the middle of the timeline, a mono source.
TEST_F(ExportSources, WindowsMatchWholeSourcesSampleForSample) {
  // Eight channels at 192 kHz: a pass of seven seconds is 21 MB, over what a
  // window holds whole, so it streams.
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=sin(2*PI*(200+40*t)*t)|0.5*sin(2*PI*330*t)|0|0|0|0|0|0:s=192000:d=7' "
                     "-c:a pcm_s16le '" + dir.file("wide.wav") + "'"));
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'aevalsrc=0.6*sin(2*PI*(300+100*t)*t):s=22050:d=3' -c:a pcm_s16le '" +
                     dir.file("mono.wav") + "'"));
  load(R"({"sources": [{"id": "w", "file": "wide.wav"}, {"id": "m", "file": "mono.wav"}],
    "clips": [{"sourceId": "w", "in": 0.25, "out": 6.9, "mode": "loop", "loops": 3, "gain": 0.5, "fadeIn": 0.3,
               "video": false},
              {"sourceId": "w", "in": 3.1, "out": 4.0, "at": 1.5, "mode": "loop", "loops": 4, "gain": 0.7,
               "video": false},
              {"sourceId": "m", "in": 0.5, "out": 2.5, "at": 9.25, "fadeOut": 1, "video": false},
              {"sourceId": "w", "in": 6.0, "out": 7.0, "at": 19.0, "video": false}]})");
  kelvra_test::WholeSources whole;
  ASSERT_TRUE(kelvra_test::decode_whole(app, &whole));
  char message[128] = "";
  SoundPlan plan;
  ASSERT_TRUE(audio_plan_open(&plan, &app->project, app->media_folder, message)) << message;
  const uint64_t frames = static_cast<uint64_t>(std::ceil(app->project.timeline_end * 48000));
  for (uint64_t from : {uint64_t{0}, frames / 2 + 777}) {
    SCOPED_TRACE(from);
    SoundFeed feed;
    audio_feed_open(&feed, &plan);
    double ours[2 * 1600];
    double reference[2 * 1600];
    uint64_t differing = 0;
    for (uint64_t done = from; done < frames; done += 1600) {
      const uint64_t n = std::min<uint64_t>(1600, frames - done);
      ASSERT_TRUE(audio_feed_mix_wide(&feed, done / 48000.0, ours, n));
      audio_mix_project_wide(&app->project, whole.table, PROJECT_MAX_ROWS, done / 48000.0, reference, n);
      for (uint64_t i = 0; i < 2 * n; ++i) differing += ours[i] != reference[i];
    }
    EXPECT_EQ(differing, 0u);
    EXPECT_GE(feed.seeks, from == 0 ? 2u : 1u);  // the long loop was read again from its start
    audio_feed_close(&feed);
  }
}

// A JPEG still renders as a picture, as a PNG does.
TEST_F(ExportSources, StillsRenderAsPictures) {
  for (const char* name : {"still.jpg", "still.png"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(ffmpeg("-f lavfi -i 'color=c=0xD02020:s=320x240:d=1' -frames:v 1 '" + dir.file(name) + "'"));
    load(std::string(R"({"sources": [{"id": "s", "file": ")") + name +
         R"("}], "clips": [{"sourceId": "s", "out": 1, "audio": false}], "primaryCanvas": "hd",
             "canvasSizes": ["hd"]})");
    const uint64_t k = app->render_queue->job_count;
    ASSERT_TRUE(kelvra_render_batch(app, kelvra_canvas_mask(&app->project), false));
    RenderRow rows[RENDER_MAX_JOBS];
    for (int i = 0; i < 6000; ++i) {
      kelvra_render_poll(app);
      kelvra_render_rows(app, rows);
      if (rows[k].state >= RENDER_READY && app->render_queue->jobs[k].thread == nullptr) break;
      ui_sleep_ms(10);
    }
    ASSERT_EQ(rows[k].state, RENDER_READY) << rows[k].message;
    // The picture in the middle of the export is the still's red.
    MediaReader* reader = nullptr;
    ASSERT_EQ(media_reader_open(&reader, dir.file(rows[k].file_name).c_str(), MEDIA_VIDEO, 1), MEDIA_OK);
    ASSERT_EQ(media_reader_seek(reader, MEDIA_TICKS_PER_SECOND / 2), MEDIA_OK);
    MediaSample sample;
    ASSERT_EQ(media_reader_read(reader, &sample), MEDIA_OK);
    const MediaFormat format = media_reader_format(reader);
    std::vector<uint8_t> pixels(format.width * format.height * 4);
    ASSERT_EQ(media_reader_copy_picture(reader, pixels.data(), static_cast<int32_t>(format.width * 4)), MEDIA_OK);
    const uint8_t* centre = &pixels[(format.height / 2 * format.width + format.width / 2) * 4];
    EXPECT_NEAR(centre[2], 0xD0, 12);  // B, G, R
    EXPECT_NEAR(centre[1], 0x20, 12);
    EXPECT_NEAR(centre[0], 0x20, 12);
    media_reader_close(reader);
  }
}

// Old partial files of killed exports are swept before an export: only this
// program's, only regular files, only those older than an hour.
TEST_F(ExportSources, StalePartialFilesAreSweptBeforeAnExport) {
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'sine=duration=1:sample_rate=48000' '" + dir.file("tone.wav") + "'"));
  const char* old_names[] = {"kelvra-render-1-0-fullhd.mp4.partial.mp4", "kelvra-render-1-1-mix.wav.partial.wav"};
  const char* kept_names[] = {"kelvra-render-2-0-hd.mp4.partial.mp4", "other.partial.mp4", "kelvra-render-3-0-hd.mp4"};
  for (const char* name : old_names) kelvra_test::write_file(dir.file(name), "left by a kill");
  for (const char* name : kept_names) kelvra_test::write_file(dir.file(name), "keep");
  std::filesystem::create_directory(dir.file("kelvra-render-4-0-hd.mp4.partial.mp4"));
  const struct timespec old[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
  for (const char* name : {old_names[0], old_names[1], kept_names[1], kept_names[2]})
    ASSERT_EQ(::utimensat(AT_FDCWD, dir.file(name).c_str(), old, 0), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.file("kelvra-render-4-0-hd.mp4.partial.mp4").c_str(), old, 0), 0);
  load(one_clip("tone.wav", 1));
  ASSERT_EQ(render_wav().state, RENDER_READY);
  for (const char* name : old_names) EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
  for (const char* name : kept_names) EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("kelvra-render-4-0-hd.mp4.partial.mp4")));
}

// A session exports any number of times: finished rows make room for new
// batches, the newest rows stay, and every job still renders.
TEST_F(ExportSources, ASessionExportsAnyNumberOfTimes) {
  ASSERT_TRUE(ffmpeg("-f lavfi -i 'sine=duration=0.2:sample_rate=48000' '" + dir.file("tone.wav") + "'"));
  load(one_clip("tone.wav", 0.2));
  std::string last;
  for (int i = 0; i < 40; ++i) {
    const RenderRow row = render_wav();
    ASSERT_EQ(row.state, RENDER_READY) << i << ": " << row.message;
    EXPECT_NE(row.file_name, last);
    last = row.file_name;
  }
  RenderQueue* queue = app->render_queue;
  EXPECT_EQ(queue->job_count, RENDER_MAX_JOBS);
  EXPECT_STREQ(queue->jobs[RENDER_MAX_JOBS - 1].row.file_name, last.c_str());
  // A finished row leaves the list on request; the ones after it move up.
  const std::string second = queue->jobs[1].row.file_name;
  kelvra_render_remove_row(app, 0);
  EXPECT_EQ(queue->job_count, RENDER_MAX_JOBS - 1);
  EXPECT_EQ(queue->jobs[0].row.file_name, second);
}

// A row read after its job has ended, before the poll collects it, already
// says why it failed.
TEST_F(ExportSources, AnEndedJobsRowSaysWhyBeforeItIsCollected) {
  load(one_clip("absent.wav", 1));
  ASSERT_TRUE(kelvra_render_batch(app, 0, true));
  kelvra_render_poll(app);  // starts the worker
  RenderJob& job = app->render_queue->jobs[0];
  ASSERT_NE(job.thread, nullptr);
  for (int i = 0; i < 3000 && job.ended.load() == 0; ++i) ui_sleep_ms(2);
  ASSERT_EQ(job.ended.load(), 1);
  RenderRow rows[RENDER_MAX_JOBS];
  ASSERT_EQ(kelvra_render_rows(app, rows), 1u);
  EXPECT_EQ(rows[0].state, RENDER_FAILED);
  EXPECT_STREQ(rows[0].message, "Source file missing: absent.wav");
  kelvra_render_poll(app);
  EXPECT_EQ(job.thread, nullptr);
}

// A clip that names no source of the library is kept but plays nothing, and
// the editor says so when the project opens.
TEST(LostClips, TheEditorSaysSo) {
  TempDir dir;
  auto editor = kelvra_test::start_on_project(dir.path(), R"({"sources": [{"id": "a", "file": "a.wav"}],
    "clips": [{"sourceId": "a", "out": 1}, {"sourceId": "gone", "out": 1}, {"file": "missing.wav", "out": 1},
              {"music": true, "out": 2}]})");
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->status(), "2 clips name a source the project does not have; they were left out.");
  EXPECT_EQ(editor->app->project.clip_count, 4u);
  char one[160];
  kelvra_lost_clips_text(1, one, sizeof one);
  EXPECT_STREQ(one, "1 clip names a source the project does not have; it was left out.");
}

}  // namespace
