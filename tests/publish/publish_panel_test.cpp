// The publish panel as a user meets it in the running editor: opened with a
// finished row's Upload button on the Render tab, its five destinations with
// their toggles, account buttons and status lines (checked against the same
// text drawn on a picture of our own), what "Upload selected" sends to the
// loopback fake services, Twitch's page and the file shown in the file
// manager, a browser sign-in through the account button, Cancel while a
// sign-in or upload runs, the panel taking every press while it is open, and
// closing the editor mid-upload.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app_fixture.h"
#include "base/palette.h"
#include "editor/app.h"
#include "editor/editor.h"
#include "editor/workspace.h"
#include "export/render.h"
#include "export_fixture.h"
#include "fake_services.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/painter.h"
#include "platform/ui.h"
#include "publish/publish.h"
#include "test_util.h"

namespace {

using kelvra_test::sha256_hex;

using kelvra_test::AppPtr;
using kelvra_test::FakeServices;
using kelvra_test::Received;
using kelvra_test::RunningEditor;
using kelvra_test::ScopedEnv;
using kelvra_test::TempDir;

std::string fixture(const char* name) { return std::string(KELVRA_FIXTURES) + "/" + name; }

// A tenth of a second of the coded source with its sound on one canvas: an
// MP4 and a WAV mix of it are quick to make.
constexpr char kTiny[] = R"({"sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 0.1}], "primaryCanvas": "hd", "canvasSizes": ["hd"]})";
// The same with a title, which the uploads carry.
constexpr char kTitled[] = R"({"title": "Harbour \"dawn\"", "sources": [{"id": "c", "file": "coded-with-sound.mp4"}],
  "clips": [{"sourceId": "c", "out": 0.1}], "primaryCanvas": "hd", "canvasSizes": ["hd"]})";

const char* const kNames[PUBLISH_TARGETS] = {"YouTube", "Twitch", "LinkedIn", "Instagram", "SoundCloud"};
constexpr char kProviderOpened[] = "Provider opened. Configure API access for direct upload.";
constexpr char kConnectFirst[] = "Connect this destination before uploading.";
constexpr char kTwitchPortal[] = "https://dashboard.twitch.tv/content/video-producer";

// Every variable the publishing tasks read, cleared for each test so that
// the environment the tests run in plays no part.
const char* const kVariables[] = {
    "ZARNELK_YOUTUBE_ACCESS_TOKEN",
    "ZARNELK_LINKEDIN_ACCESS_TOKEN",
    "ZARNELK_LINKEDIN_MEMBER_ID",
    "ZARNELK_INSTAGRAM_PAGE_TOKEN",
    "ZARNELK_INSTAGRAM_USER_TOKEN",
    "ZARNELK_INSTAGRAM_ACCOUNT_ID",
    "ZARNELK_SOUNDCLOUD_ACCESS_TOKEN",
    "ZARNELK_YOUTUBE_CLIENT_ID",
    "ZARNELK_LINKEDIN_CLIENT_ID",
    "ZARNELK_SOUNDCLOUD_CLIENT_ID",
    "ZARNELK_YOUTUBE_CLIENT_SECRET",
    "ZARNELK_YOUTUBE_CALLBACK_PORT",
    "FAKE_BROWSER_BEFORE",
    "FAKE_BROWSER_CODE",
    "ZARNELK_LINKEDIN_VERSION",
    "ZARNELK_INSTAGRAM_API_VERSION",
};

// The Render tab's places, from the main panel `p`.
Rect canvases_button(Rect p) { return Rect{p.x + 132, p.y + 7, 127, 25}; }
Rect wav_button(Rect p) { return Rect{p.x + 264, p.y + 7, 82, 25}; }
int32_t row_top(Rect p, int position) { return p.y + 45 + 55 * position; }
Rect play_button(Rect p, int row) { return Rect{p.x + p.width - 237, row_top(p, row) + 6, 71, 24}; }
Rect upload_button(Rect p, int row) { return Rect{p.x + p.width - 87, row_top(p, row) + 6, 71, 24}; }

// The publish panel's places over the main panel `p`.
struct Places {
  int32_t left;
  int32_t right;
  int32_t top;
  int32_t status_width;
  int32_t row(uint32_t i) const { return top + 80 + 30 * static_cast<int32_t>(i); }
  Rect toggle(uint32_t i) const { return Rect{left + 13, row(i), 104, 25}; }
  Rect account(uint32_t i) const { return Rect{right - 128, row(i), 114, 25}; }
  Rect status(uint32_t i) const { return Rect{left + 126, row(i), status_width, 25}; }
  Rect upload() const { return Rect{right - 244, top + 269, 131, 27}; }
  Rect close() const { return Rect{right - 107, top + 269, 93, 27}; }
};

Places places_of(Rect p) {
  const bool wide = p.width >= 566;
  Places places{};
  places.left = wide ? p.x + (p.width - 550) / 2 : p.x + 10;
  places.right = places.left + (wide ? 550 : p.width - 20);
  places.top = p.y;
  places.status_width = wide ? 290 : p.width - 280;
  return places;
}

// The multipart body SoundCloud receives for `file` under `title`, with the
// boundary the request's Content-Type names.
std::string soundcloud_body(const Received& r, const std::string& title, const std::string& file) {
  const std::string type = r.header("content-type");
  const std::string boundary = type.substr(type.find('=') + 1);
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"track[title]\"\r\n\r\n" + title + "\r\n--" +
         boundary + "\r\nContent-Disposition: form-data; name=\"track[sharing]\"\r\n\r\nprivate\r\n--" + boundary +
         "\r\nContent-Disposition: form-data; name=\"track[asset_data]\"; filename=\"mix.wav\"\r\nContent-Type: "
         "audio/wav\r\n\r\n" +
         file + "\r\n--" + boundary + "--\r\n";
}

const Received* find_request(const std::vector<Received>& requests, const char* method, const std::string& path) {
  for (const Received& r : requests)
    if (r.method == method && r.path.rfind(path, 0) == 0) return &r;
  return nullptr;
}

class PublishPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::symlink(fixture("coded-with-sound.mp4").c_str(), dir.file("coded-with-sound.mp4").c_str()), 0);
    for (const char* name : kVariables) env(name, nullptr);
    const char* old = std::getenv("PATH");
    env("PATH", (bin.path() + ":" + (old != nullptr ? old : "/usr/bin:/bin")).c_str());
    env("FAKE_BROWSER_LOG", bin.file("browser.log").c_str());
  }
  void TearDown() override {
    editor.reset();  // its workers end before the services and the variables they use go
    services.reset();
    while (!env_.empty()) env_.pop_back();  // restored in the reverse order they were set
  }

  void env(const char* name, const char* value) { env_.push_back(std::make_unique<ScopedEnv>(name, value)); }
  void serve(const std::string& rules) { services = std::make_unique<FakeServices>(rules); }

  void open(const char* json) {
    editor = kelvra_test::start_on_project(dir.path(), json);
    ASSERT_NE(editor, nullptr);
    app = editor->app;
    p = app->main_panel;
    at = places_of(p);
  }

  void draw() {
    app->needs_redraw = 1;
    editor->step();
  }

  // Previews every open canvas, then shows the Render tab.
  void preview() {
    ASSERT_TRUE(kelvra_test::preview_canvases(editor.get()));
    editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
    ASSERT_EQ(app->active_tab, KELVRA_TAB_RENDER);
  }

  // Presses the Render tab's `button` and waits for the job it queues.
  void render(Rect button) {
    const uint64_t before = app->render_queue->job_count;
    editor->click(button);
    ASSERT_EQ(app->render_queue->job_count, before + 1);
    for (const RenderRow& row : kelvra_test::finish_exports(editor.get()))
      ASSERT_EQ(row.state, RENDER_READY) << row.message;
    draw();
  }
  // Row 0: the MP4 of the edit; row 1: its WAV mix.
  void render_video_and_mix() {
    preview();
    render(canvases_button(p));
    render(wav_button(p));
  }

  std::string exported(int row) const { return dir.file(app->render_queue->jobs[row].row.file_name); }

  void open_panel(int row) {
    editor->click(upload_button(p, row));
    ASSERT_EQ(app->publish_open, 1);
    ASSERT_EQ(app->publish_job, static_cast<uint64_t>(row));
    draw();
  }

  PublishTask& task(uint32_t target) { return kelvra_publishing(app)->tasks[target]; }

  // Runs frames until no publishing worker is busy.
  void settle() {
    for (int i = 0; i < 3000; ++i) {
      bool busy = false;
      for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) busy |= task(t).busy.load() != 0;
      if (!busy) break;
      editor->step();
      ui_sleep_ms(10);
    }
    for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) ASSERT_EQ(task(t).busy.load(), 0) << kNames[t];
    draw();
  }

  bool ticked(uint32_t target) {
    return editor->pixel(at.toggle(target).x, at.toggle(target).y + 12) == PALETTE_ACTIVE_BORDER;
  }

  // Whether the editor's last frame shows in `area` exactly what `paint`
  // draws there over `ground`, on a picture of the test's own.
  ::testing::AssertionResult shows(Rect area, uint32_t ground, const std::function<void(KelvraApp*)>& paint) {
    AppPtr reference = kelvra_test::new_app();
    reference->painter = kelvra_painter_create(nullptr);
    if (!kelvra_painter_offscreen(reference->painter, app->client_width, app->client_height) ||
        !kelvra_painter_begin(reference->painter, app->client_width, app->client_height))
      return ::testing::AssertionFailure() << "no reference picture";
    kelvra_fill(reference.get(), area, ground);
    paint(reference.get());
    kelvra_painter_end(reference->painter);
    int differing = 0;
    for (int y = area.y; y < area.y + area.height; ++y)
      for (int x = area.x; x < area.x + area.width; ++x)
        differing += editor->pixel(x, y) != kelvra_test::painted_pixel(reference->painter, x, y);
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " pixels differ";
  }
  ::testing::AssertionResult status_reads(uint32_t target, const char* text) {
    const Rect area = at.status(target);
    return shows(area, PALETTE_PANEL,
                 [&](KelvraApp* r) { kelvra_text(r->painter, area, text, PALETTE_SECONDARY_TEXT, false); })
           << " where " << kNames[target] << "'s status should read \"" << text << "\"";
  }
  ::testing::AssertionResult button_reads(Rect button, const char* label, bool active,
                                          uint32_t ground = PALETTE_PANEL) {
    return shows(button, ground, [&](KelvraApp* r) { kelvra_box(r, button, label, active); })
           << " where the button should read \"" << label << "\"" << (active ? " (active)" : "");
  }

  // The running upload's line reads "Uploading N%…" for its progress when drawn.
  ::testing::AssertionResult progress_shown(uint32_t target) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      bool connected = false;
      const std::string before = kelvra_publish_status(kelvra_publishing(app), target, &connected);
      draw();
      const std::string after = kelvra_publish_status(kelvra_publishing(app), target, &connected);
      if (before != after) continue;  // it moved on while the frame was drawn
      if (before.rfind("Uploading ", 0) != 0 || before.size() < 14 || before.substr(before.size() - 4) != "%…")
        return ::testing::AssertionFailure() << "the line is \"" << before << "\"";
      return status_reads(target, before.c_str());
    }
    return ::testing::AssertionFailure() << "the progress never held still for a frame";
  }

  // The status line and every task's text are free of `secret`.
  void expect_hidden(const char* secret) {
    EXPECT_EQ(editor->status().find(secret), std::string::npos) << editor->status();
    for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) {
      bool connected = false;
      const std::string line = kelvra_publish_status(kelvra_publishing(app), t, &connected);
      EXPECT_EQ(line.find(secret), std::string::npos) << kNames[t] << ": " << line;
      if (task(t).busy.load() == 0) {
        EXPECT_EQ(std::string(task(t).status_text).find(secret), std::string::npos);
      }
    }
  }

  // Puts a stand-in for `program` first on PATH: it records its arguments,
  // one a line, and exits with `code`.
  void fake(const char* program, int code) {
    const std::string script = bin.file(program);
    kelvra_test::write_file(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + bin.file(std::string(program) + ".log") +
                                        "'\nexit " + std::to_string(code) + "\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  }
  // What `program` was called with since the last look; empty when it was not.
  std::string asked(const char* program) const {
    const std::string log = bin.file(std::string(program) + ".log");
    const std::string text = kelvra_test::read_file(log);
    std::remove(log.c_str());
    return text;
  }

  TempDir dir;
  TempDir bin;
  std::unique_ptr<FakeServices> services;
  std::unique_ptr<RunningEditor> editor;
  KelvraApp* app = nullptr;
  Rect p{};
  Places at{};

 private:
  std::vector<std::unique_ptr<ScopedEnv>> env_;
};

// The status lines and account buttons follow the tokens in the
// environment: a token alone connects YouTube, LinkedIn needs its member id
// too (and connects once it appears), Instagram its account id; Twitch has
// no account and points to its own page.
TEST_F(PublishPanel, StatusLinesFollowTheEnvironment) {
  env("ZARNELK_YOUTUBE_ACCESS_TOKEN", "yt-secret-7781");
  env("ZARNELK_LINKEDIN_ACCESS_TOKEN", "li-secret-7782");
  env("ZARNELK_INSTAGRAM_PAGE_TOKEN", "ig-secret-7783");
  env("ZARNELK_INSTAGRAM_ACCOUNT_ID", "17841");
  open(kTiny);
  render_video_and_mix();
  open_panel(0);
  struct Case {
    uint32_t target;
    const char* status;
    bool connected;
    const char* account;
  };
  const Case cases[] = {
      {PUBLISH_YOUTUBE, "Connected", true, "Account"},
      {PUBLISH_TWITCH, "Finish in Twitch Video Producer", false, "Video Producer"},
      {PUBLISH_LINKEDIN, "Account not connected", false, "Connect"},
      {PUBLISH_INSTAGRAM, "Connected", true, "Account"},
      {PUBLISH_SOUNDCLOUD, "Account not connected", false, "Connect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(kNames[c.target]);
    bool connected = !c.connected;
    EXPECT_STREQ(kelvra_publish_status(kelvra_publishing(app), c.target, &connected), c.status);
    EXPECT_EQ(connected, c.connected);
    EXPECT_TRUE(status_reads(c.target, c.status));
    EXPECT_TRUE(button_reads(at.account(c.target), c.account, false));
    EXPECT_TRUE(button_reads(at.toggle(c.target), kNames[c.target], false));
  }
  // The comparison tells texts apart.
  EXPECT_FALSE(status_reads(PUBLISH_YOUTUBE, "Account not connected"));

  // LinkedIn's member id arriving later connects it at the next look.
  env("ZARNELK_LINKEDIN_MEMBER_ID", "member_1");
  draw();
  EXPECT_TRUE(status_reads(PUBLISH_LINKEDIN, "Connected"));
  EXPECT_TRUE(button_reads(at.account(PUBLISH_LINKEDIN), "Account", false));
  for (const char* secret : {"yt-secret-7781", "li-secret-7782", "ig-secret-7783"}) expect_hidden(secret);

  // No destination past the last, and no publishing without the render queue.
  bool connected = true;
  EXPECT_STREQ(kelvra_publish_status(kelvra_publishing(app), PUBLISH_TARGETS, &connected), "Publishing is unavailable");
  EXPECT_FALSE(connected);
  AppPtr bare = kelvra_test::new_app();
  ASSERT_EQ(bare->render_queue, nullptr);
  connected = true;
  EXPECT_STREQ(kelvra_publish_status(bare->publishing, PUBLISH_YOUTUBE, &connected), "Publishing is unavailable");
  EXPECT_FALSE(connected);
}

// A finished row's Upload opens the panel for that row; the toggles light
// up and go dark again, and "Upload selected" is offered only with one on.
// While open the panel takes every press and key (Ctrl+Q too) but the
// window's close; Escape and Close shut it, after which the Render tab's own
// buttons work again, and it reopens with nothing ticked.
TEST_F(PublishPanel, UploadOpensThePanelWhichTakesEveryPress) {
  fake("xdg-open", 0);
  fake("gdbus", 0);
  open(kTiny);
  render_video_and_mix();
  for (int row : {0, 1}) EXPECT_TRUE(button_reads(upload_button(p, row), "Upload", false, PALETTE_BAR)) << row;
  const int32_t middle = at.top + 172;  // below the rows, inside the panel
  EXPECT_NE(editor->pixel(at.left, middle), PALETTE_BORDER);
  EXPECT_EQ(editor->pixel(at.left + 1, row_top(p, 0) + 25), PALETTE_BAR);  // row 0 where the panel will be
  open_panel(0);
  EXPECT_EQ(editor->pixel(at.left, middle), PALETTE_BORDER);
  EXPECT_EQ(editor->pixel(at.right - 1, middle), PALETTE_BORDER);
  EXPECT_EQ(editor->pixel(at.left + 1, row_top(p, 0) + 25), PALETTE_PANEL);
  EXPECT_TRUE(button_reads(at.upload(), "Upload selected", false));
  EXPECT_TRUE(button_reads(at.close(), "Close", false));

  RenderQueue* queue = app->render_queue;
  for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) {
    SCOPED_TRACE(kNames[t]);
    EXPECT_FALSE(ticked(t));
    editor->click(at.toggle(t));
    draw();
    EXPECT_TRUE(ticked(t));
    EXPECT_TRUE(button_reads(at.toggle(t), kNames[t], true));
    EXPECT_TRUE(button_reads(at.upload(), "Upload selected", true));
  }
  EXPECT_EQ(app->publish_targets, 31u);
  for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) editor->click(at.toggle(t));
  draw();
  EXPECT_EQ(app->publish_targets, 0u);
  for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) EXPECT_FALSE(ticked(t)) << kNames[t];
  EXPECT_TRUE(button_reads(at.upload(), "Upload selected", false));
  // Nothing ticked: "Upload selected" does nothing.
  editor->click(at.upload());
  for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) EXPECT_EQ(task(t).busy.load(), 0);

  editor->click(at.toggle(PUBLISH_YOUTUBE));
  struct Case {
    const char* what;
    Rect place;
  };
  const Case cases[] = {
      {"the Timeline tab", app->tab_buttons[KELVRA_TAB_TIMELINE]},
      {"WAV mix", wav_button(p)},
      {"row 0's Play", play_button(p, 0)},
      {"row 1's Upload", upload_button(p, 1)},
      {"the library", Rect{app->library_panel.x + 20, app->library_panel.y + 20, 1, 1}},
      {"the panel's heading", Rect{at.left + 60, at.top + 50, 1, 1}},
      {"between a toggle and its status", Rect{at.left + 121, at.row(0) + 12, 1, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::snprintf(app->status, sizeof app->status, "untouched");
    editor->click(c.place);
    EXPECT_EQ(editor->status(), "untouched");
    EXPECT_EQ(app->active_tab, KELVRA_TAB_RENDER);
    EXPECT_EQ(queue->job_count, 2u);
    EXPECT_EQ(app->publish_open, 1);
    EXPECT_EQ(app->publish_job, 0u);
    EXPECT_EQ(app->publish_targets, 1u << PUBLISH_YOUTUBE);
  }
  EXPECT_EQ(editor->key(SDLK_q, KMOD_LCTRL), KELVRA_FRAME_NEXT);
  EXPECT_EQ(editor->step(), KELVRA_FRAME_NEXT);
  EXPECT_EQ(app->publish_open, 1);
  EXPECT_EQ(asked("xdg-open"), "");
  EXPECT_EQ(asked("gdbus"), "");

  // Escape closes it and the rows show again; the Render tab's buttons work.
  editor->key(SDLK_ESCAPE);
  EXPECT_EQ(app->publish_open, 0);
  draw();
  EXPECT_EQ(editor->pixel(at.left + 1, row_top(p, 0) + 25), PALETTE_BAR);
  EXPECT_NE(editor->pixel(at.left, middle), PALETTE_BORDER);
  editor->click(play_button(p, 0));
  EXPECT_EQ(app->active_tab, KELVRA_TAB_SAMPLING);
  EXPECT_EQ(app->selected_source, queue->jobs[0].row.source_index);

  // Reopened for the mix: nothing ticked. Close shuts it.
  editor->click(app->tab_buttons[KELVRA_TAB_RENDER]);
  open_panel(1);
  EXPECT_EQ(app->publish_targets, 0u);
  EXPECT_FALSE(ticked(PUBLISH_YOUTUBE));
  editor->click(at.close());
  EXPECT_EQ(app->publish_open, 0);
  render(wav_button(p));
  // The window's close goes through an open panel.
  open_panel(0);
  ASSERT_EQ(app->dirty, 0);
  editor->close_button();
  EXPECT_EQ(editor->step(), KELVRA_FRAME_QUIT);
}

// The panel sits centred, 550 wide, over a main panel of 566 or more, and
// 10 pixels in from both sides of a narrower one; its toggles and Close are
// where it draws them.
TEST_F(PublishPanel, PlacedForTheMainPanelsWidth) {
  open(kTiny);
  render_video_and_mix();
  struct Case {
    int window_width;
    int32_t panel_width;  // the publish panel's
  };
  const Case cases[] = {{747, 550}, {746, 545}, {640, 439}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.window_width);
    SDL_SetWindowSize(ui_window_sdl(app->window), c.window_width, 872);
    draw();
    ASSERT_EQ(app->client_width, static_cast<uint32_t>(c.window_width));
    p = app->main_panel;
    at = places_of(p);
    ASSERT_EQ(at.right - at.left, c.panel_width);
    open_panel(0);
    const int32_t middle = at.top + 172;
    EXPECT_EQ(editor->pixel(at.left, middle), PALETTE_BORDER);
    EXPECT_NE(editor->pixel(at.left - 1, middle), PALETTE_BORDER);
    EXPECT_EQ(editor->pixel(at.right - 1, middle), PALETTE_BORDER);
    EXPECT_NE(editor->pixel(at.right, middle), PALETTE_BORDER);
    editor->click(at.toggle(PUBLISH_LINKEDIN));
    draw();
    EXPECT_TRUE(ticked(PUBLISH_LINKEDIN));
    EXPECT_TRUE(status_reads(PUBLISH_LINKEDIN, "Account not connected"));
    EXPECT_TRUE(button_reads(at.close(), "Close", false));
    editor->click(at.close());
    EXPECT_EQ(app->publish_open, 0);
  }
}

// A WAV row's panel: the four video destinations read "Requires video" and
// their toggles do nothing; SoundCloud alone is offered and uploads the mix.
// An MP4 row with no finished mix of its edit says so for SoundCloud, whose
// toggle then does nothing.
TEST_F(PublishPanel, MixRowsOfferOnlySoundCloud) {
  env("ZARNELK_SOUNDCLOUD_ACCESS_TOKEN", "sc-secret-5521");
  env("ZARNELK_YOUTUBE_ACCESS_TOKEN", "yt-secret-5522");
  serve(R"([{"method": "POST", "path": "/tracks", "status": 201, "body": "{}"}])");
  open(kTitled);
  preview();
  render(canvases_button(p));
  open_panel(0);
  EXPECT_TRUE(status_reads(PUBLISH_SOUNDCLOUD, "Render a WAV mix for this edit"));
  editor->click(at.toggle(PUBLISH_SOUNDCLOUD));
  draw();
  EXPECT_FALSE(ticked(PUBLISH_SOUNDCLOUD));
  EXPECT_EQ(app->publish_targets, 0u);
  editor->key(SDLK_ESCAPE);

  render(wav_button(p));
  open_panel(0);
  EXPECT_TRUE(status_reads(PUBLISH_SOUNDCLOUD, "Connected"));
  editor->click(at.toggle(PUBLISH_SOUNDCLOUD));
  draw();
  EXPECT_TRUE(ticked(PUBLISH_SOUNDCLOUD));
  editor->key(SDLK_ESCAPE);

  open_panel(1);
  for (uint32_t t : {PUBLISH_YOUTUBE, PUBLISH_TWITCH, PUBLISH_LINKEDIN, PUBLISH_INSTAGRAM}) {
    SCOPED_TRACE(kNames[t]);
    EXPECT_TRUE(status_reads(t, "Requires video"));
    editor->click(at.toggle(t));
    draw();
    EXPECT_FALSE(ticked(t));
  }
  EXPECT_EQ(app->publish_targets, 0u);
  EXPECT_TRUE(status_reads(PUBLISH_SOUNDCLOUD, "Connected"));
  editor->click(at.toggle(PUBLISH_SOUNDCLOUD));
  draw();
  EXPECT_TRUE(ticked(PUBLISH_SOUNDCLOUD));
  editor->click(at.upload());
  settle();
  EXPECT_TRUE(status_reads(PUBLISH_SOUNDCLOUD, "Private track accepted for processing."));
  EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Requires video"));
  bool connected = false;
  EXPECT_STREQ(kelvra_publish_status(kelvra_publishing(app), PUBLISH_YOUTUBE, &connected), "Connected");  // no upload of its own

  const auto requests = services->requests();
  ASSERT_EQ(requests.size(), 1u);
  const Received& r = requests[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.path, "/tracks");
  EXPECT_EQ(r.header("authorization"), "OAuth sc-secret-5521");
  EXPECT_EQ(r.sha256, sha256_hex(soundcloud_body(r, "Harbour \"dawn\"", kelvra_test::read_file(exported(1)))));
  expect_hidden("sc-secret-5521");
  expect_hidden("yt-secret-5522");
}

// "Upload selected" on an MP4 row: YouTube opens its session and sends the
// exported file byte for byte, SoundCloud sends the edit's WAV mix, and the
// destinations with no account say to connect first. An untitled project
// uploads under the program's own title.
TEST_F(PublishPanel, UploadSelectedSendsTheExportedFiles) {
  env("ZARNELK_YOUTUBE_ACCESS_TOKEN", "yt-secret-4410");
  env("ZARNELK_SOUNDCLOUD_ACCESS_TOKEN", "sc-secret-4411");
  env("ZARNELK_INSTAGRAM_PAGE_TOKEN", "ig-secret-4412");  // no account id: not connected
  fake("xdg-open", 0);
  fake("gdbus", 0);
  serve(R"([
    {"method": "POST", "path": "/upload/youtube/v3/videos?uploadType=resumable", "status": 200,
     "headers": {"Location": "https://www.googleapis.com/upload/session/panel"}},
    {"method": "PUT", "path": "/upload/session/panel", "status": 200, "body": "{\"id\": \"vid-panel\"}"},
    {"method": "POST", "path": "/tracks", "status": 201, "body": "{}"}])");
  open(kTiny);
  render_video_and_mix();
  open_panel(0);
  for (uint32_t t : {PUBLISH_YOUTUBE, PUBLISH_LINKEDIN, PUBLISH_INSTAGRAM, PUBLISH_SOUNDCLOUD})
    editor->click(at.toggle(t));
  editor->click(at.upload());
  settle();

  struct Case {
    uint32_t target;
    const char* status;
  };
  const Case cases[] = {
      {PUBLISH_YOUTUBE, "Uploaded privately · vid-panel"},
      {PUBLISH_TWITCH, "Finish in Twitch Video Producer"},  // not ticked
      {PUBLISH_LINKEDIN, kConnectFirst},
      {PUBLISH_INSTAGRAM, kConnectFirst},
      {PUBLISH_SOUNDCLOUD, "Private track accepted for processing."},
  };
  for (const Case& c : cases) EXPECT_TRUE(status_reads(c.target, c.status));
  EXPECT_EQ(asked("xdg-open"), "");

  const std::string video = kelvra_test::read_file(exported(0));
  const std::string mix = kelvra_test::read_file(exported(1));
  ASSERT_FALSE(video.empty());
  const auto requests = services->requests();
  EXPECT_EQ(requests.size(), 3u);
  const Received* session = find_request(requests, "POST", "/upload/youtube/");
  const Received* put = find_request(requests, "PUT", "/upload/session/panel");
  const Received* track = find_request(requests, "POST", "/tracks");
  ASSERT_NE(session, nullptr);
  ASSERT_NE(put, nullptr);
  ASSERT_NE(track, nullptr);
  EXPECT_EQ(session->header("authorization"), "Bearer yt-secret-4410");
  EXPECT_EQ(session->header("x-upload-content-length"), std::to_string(video.size()));
  EXPECT_NE(session->body.find(R"("title":"Zarnel Kelvra export")"), std::string::npos) << session->body;
  EXPECT_EQ(put->length, video.size());
  EXPECT_EQ(put->sha256, sha256_hex(video));
  EXPECT_EQ(track->sha256, sha256_hex(soundcloud_body(*track, "Zarnel Kelvra export", mix)));
  for (const char* secret : {"yt-secret-4410", "sc-secret-4411", "ig-secret-4412"}) expect_hidden(secret);
}

// Twitch has no upload of its own: "Upload selected" opens its Video
// Producer page and shows the file in the file manager, or says the page
// could not open. The account buttons without a client id open each
// service's page, and say how to upload directly where no account is connected.
TEST_F(PublishPanel, TwitchAndTheServicesPages) {
  env("ZARNELK_SOUNDCLOUD_ACCESS_TOKEN", "sc-secret-3301");
  env("ZARNELK_YOUTUBE_CLIENT_ID", "");  // empty counts as unset
  open(kTiny);
  render_video_and_mix();
  open_panel(0);
  editor->click(at.toggle(PUBLISH_TWITCH));
  const std::string shown = "['file://" + exported(0) + "']\n";
  struct Submit {
    const char* what;
    int xdg_open;
    bool revealed;
    const char* status;
  };
  const Submit submits[] = {
      {"the page opens", 0, true, "Video Producer opened. Select the MP4 to upload."},
      {"the page does not open", 1, false, "Could not open Twitch Video Producer."},
  };
  for (const Submit& c : submits) {
    SCOPED_TRACE(c.what);
    fake("xdg-open", c.xdg_open);
    fake("gdbus", 0);
    editor->click(at.upload());
    draw();
    EXPECT_EQ(asked("xdg-open"), std::string(kTwitchPortal) + "\n");
    const std::string gdbus = asked("gdbus");
    EXPECT_EQ(gdbus.find("org.freedesktop.FileManager1.ShowItems\n") != std::string::npos, c.revealed) << gdbus;
    EXPECT_EQ(gdbus.find(shown) != std::string::npos, c.revealed) << gdbus;
    EXPECT_TRUE(status_reads(PUBLISH_TWITCH, c.status));
    EXPECT_EQ(task(PUBLISH_TWITCH).busy.load(), 0);
  }

  fake("xdg-open", 0);
  struct Page {
    uint32_t target;
    const char* url;
    const char* status;
  };
  const Page pages[] = {
      {PUBLISH_YOUTUBE, "https://studio.youtube.com/", kProviderOpened},
      {PUBLISH_TWITCH, kTwitchPortal, "Could not open Twitch Video Producer."},  // the last submit's text stays
      {PUBLISH_LINKEDIN, "https://www.linkedin.com/feed/", kProviderOpened},
      {PUBLISH_INSTAGRAM, "https://www.instagram.com/", kProviderOpened},
      {PUBLISH_SOUNDCLOUD, "https://soundcloud.com/upload", "Connected"},  // connected: nothing to configure
  };
  for (const Page& c : pages) {
    SCOPED_TRACE(kNames[c.target]);
    editor->click(at.account(c.target));
    draw();
    EXPECT_EQ(asked("xdg-open"), std::string(c.url) + "\n");
    EXPECT_TRUE(status_reads(c.target, c.status));
    EXPECT_EQ(task(c.target).busy.load(), 0);
  }
  EXPECT_EQ(asked("gdbus"), "");
  expect_hidden("sc-secret-3301");
}

// With a client id the account button signs in through the browser. While
// the browser is out the line waits and the button reads "Cancel", which ends
// that sign-in; "Upload selected" leaves a waiting task alone. Once the
// browser comes back the line names the connected channel, the button
// reads "Disconnect", and the next upload carries the new token, which no
// text ever shows. Disconnect forgets the sign-in.
TEST_F(PublishPanel, SignInThroughTheAccountButton) {
  env("ZARNELK_YOUTUBE_CLIENT_ID", "client-panel");
  env("ZARNELK_YOUTUBE_CLIENT_SECRET", "panel-client-secret");
  env("FAKE_BROWSER_CODE", "code-panel");
  env("FAKE_BROWSER_BEFORE", "");
  serve(R"([
    {"method": "POST", "path": "/token", "status": 200,
     "body": "{\"access_token\": \"signed-secret-9090\", \"expires_in\": 3600}"},
    {"method": "GET", "path": "/youtube/v3/channels", "status": 200,
     "body": "{\"items\": [{\"id\": \"UCpanel\", \"snippet\": {\"title\": \"Panel Channel\"}}]}"},
    {"method": "POST", "path": "/upload/youtube/", "status": 200,
     "headers": {"Location": "https://www.googleapis.com/upload/session/signed"}},
    {"method": "PUT", "path": "/upload/session/signed", "status": 200, "body": "{\"id\": \"vid-signed\"}"}])");
  // The stand-in browser, held back until the gate file exists so that the
  // wait can be seen; the opener records the address and returns at once.
  const std::string services_script = KELVRA_FAKE_SERVICES;
  const std::string browser = services_script.substr(0, services_script.rfind('/')) + "/fake_browser.py";
  const std::string gate = bin.file("gate");
  kelvra_test::write_file(bin.file("xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + bin.file("opener.log") +
                                                    "'\n(i=0; while [ ! -e '" + gate +
                                                    "' ] && [ $i -lt 1500 ]; do sleep 0.02; i=$((i+1)); done; "
                                                    "exec python3 '" +
                                                    browser + "' \"$@\") </dev/null >/dev/null 2>&1 &\nexit 0\n");
  ASSERT_EQ(::chmod(bin.file("xdg-open").c_str(), 0755), 0);
  open(kTiny);
  render_video_and_mix();
  open_panel(0);
  const Rect button = at.account(PUBLISH_YOUTUBE);
  EXPECT_TRUE(button_reads(button, "Connect", false));
  for (const bool cancelled : {true, false}) {
    SCOPED_TRACE(cancelled ? "cancelled" : "completed");
    editor->click(button);
    draw();
    ASSERT_EQ(task(PUBLISH_YOUTUBE).busy.load(), 1);
    bool connected = true;
    EXPECT_STREQ(kelvra_publish_status(kelvra_publishing(app), PUBLISH_YOUTUBE, &connected), "Waiting for browser sign-in…");
    EXPECT_FALSE(connected);
    EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Waiting for browser sign-in…"));
    EXPECT_TRUE(button_reads(button, "Cancel", false));
    if (cancelled) {
      editor->click(button);
      settle();
      EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Sign-in cancelled."));
      EXPECT_TRUE(button_reads(button, "Connect", false));
      continue;
    }
    editor->click(at.toggle(PUBLISH_YOUTUBE));
    editor->click(at.upload());
    draw();
    EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Waiting for browser sign-in…"));
    kelvra_test::write_file(gate, "");
    settle();
    // Without a secret store (no session bus here) the line also says, once, that it is not remembered.
    const char* const kConnected = "Connected as Panel Channel. Sign-ins will not be remembered: no secret store.";
    EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, kConnected));
    EXPECT_TRUE(button_reads(button, "Disconnect", false));
    EXPECT_STREQ(kelvra_publish_status(kelvra_publishing(app), PUBLISH_YOUTUBE, &connected), kConnected);
    EXPECT_TRUE(connected);
  }
  // One browser opened for each press that started a sign-in.
  const std::string opened = kelvra_test::read_file(bin.file("opener.log"));
  EXPECT_EQ(std::count(opened.begin(), opened.end(), '\n'), 2) << opened;
  // The opener saw a one-time loopback address, not the authorization address with its state and challenge.
  EXPECT_EQ(opened.rfind("http://127.0.0.1:", 0), 0u) << opened;
  EXPECT_EQ(opened.find("client-panel"), std::string::npos) << opened;
  EXPECT_EQ(opened.find("state"), std::string::npos) << opened;
  ASSERT_EQ(services->requests().size(), 2u);  // the token and the channel: nothing was uploaded while signing in
  expect_hidden("signed-secret-9090");

  ASSERT_TRUE(ticked(PUBLISH_YOUTUBE));
  editor->click(at.upload());
  settle();
  EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Uploaded privately · vid-signed"));
  const auto requests = services->requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[2].header("authorization"), "Bearer signed-secret-9090");
  EXPECT_EQ(requests[3].sha256, sha256_hex(kelvra_test::read_file(exported(0))));
  expect_hidden("signed-secret-9090");

  // Disconnect forgets the sign-in: the destination is no longer connected.
  EXPECT_TRUE(button_reads(button, "Disconnect", false));
  editor->click(button);
  settle();
  EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Disconnected."));
  EXPECT_TRUE(button_reads(button, "Connect", false));
  EXPECT_STREQ(task(PUBLISH_YOUTUBE).token, "");
}

// A running upload shows how far it got and its button reads "Cancel", which
// stops it ("Upload cancelled.", the account still connected). Closing the
// editor while another upload is on its way stops that one too: the editor
// returns, and the service never receives the whole file.
TEST_F(PublishPanel, CancelAndClosingStopAnUpload) {
  env("ZARNELK_YOUTUBE_ACCESS_TOKEN", "yt-secret-6060");
  serve(R"([
    {"method": "POST", "status": 200, "headers": {"Location": "https://www.googleapis.com/upload/session/slow"}},
    {"method": "PUT", "path": "/upload/session/slow", "status": 200, "body": "{\"id\": \"never\"}"}])");
  open(kTiny);
  preview();
  render(canvases_button(p));
  // A large export, so that the upload is still on its way when it is stopped.
  constexpr uint64_t kSize = 3ull << 30;
  std::filesystem::resize_file(exported(0), kSize);
  open_panel(0);
  editor->click(at.toggle(PUBLISH_YOUTUBE));
  const auto no_whole_file = [&] {
    for (const Received& r : services->requests()) EXPECT_LT(r.length, kSize) << r.method << " " << r.path;
  };
  for (const bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "closing the editor" : "Cancel");
    editor->click(at.upload());
    for (int i = 0; i < 3000 && task(PUBLISH_YOUTUBE).sent.load() == 0 && task(PUBLISH_YOUTUBE).busy.load() != 0; ++i) {
      editor->step();
      ui_sleep_ms(10);
    }
    ASSERT_GT(task(PUBLISH_YOUTUBE).sent.load(), 0u);
    ASSERT_EQ(task(PUBLISH_YOUTUBE).busy.load(), 1);
    EXPECT_TRUE(progress_shown(PUBLISH_YOUTUBE));
    EXPECT_TRUE(button_reads(at.account(PUBLISH_YOUTUBE), "Cancel", false));
    expect_hidden("yt-secret-6060");
    if (closing) break;
    editor->click(at.account(PUBLISH_YOUTUBE));
    settle();
    EXPECT_TRUE(status_reads(PUBLISH_YOUTUBE, "Upload cancelled."));
    EXPECT_TRUE(button_reads(at.account(PUBLISH_YOUTUBE), "Account", false));
    no_whole_file();
  }
  editor.reset();  // closes the editor mid-file
  // The service logs a request once its connection ends; an upload that was
  // not stopped would have been logged whole before the editor returned.
  for (int i = 0; i < 100 && services->requests().size() < 4; ++i) ui_sleep_ms(10);
  no_whole_file();
}

}  // namespace
