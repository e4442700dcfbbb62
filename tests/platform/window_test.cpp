// The window layer over a real SDL window (the offscreen video driver), fed
// with real SDL events.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui.h"
#include "platform/ui_internal.h"
#include "sdl_events.h"

namespace {

class Window : public ::testing::Test {
 protected:
  void SetUp() override {
    const UiWindowConfig config = {"Zarnel Kelvra", 640, 480, 30, 0, 1, 1, 1, 1, 1};
    window = ui_window_create(&config);
    ASSERT_NE(window, nullptr) << SDL_GetError();
    id = SDL_GetWindowID(ui_window_sdl(window));
    drain();
  }
  void TearDown() override { ui_window_destroy(window); }

  // Takes every event the layer queued since the last call.
  std::vector<UiInput> drain() {
    ui_window_poll_events();
    std::vector<UiInput> events;
    UiInput event;
    while (ui_window_next_input(window, &event)) events.push_back(event);
    return events;
  }
  void key(SDL_Keycode sym, uint16_t mod = KMOD_NONE) { kelvra_test::push_key(id, sym, mod); }
  void text(const char* typed) { kelvra_test::push_text(id, typed); }
  void button(uint8_t which, bool down, int x, int y) { kelvra_test::push_button(id, which, down, x, y); }
  void motion(int x, int y) { kelvra_test::push_motion(id, x, y); }
  void wheel(int notches, int x, int y) { kelvra_test::push_wheel(id, notches, x, y); }
  void close_button() { kelvra_test::push_close(id); }

  UiWindow* window = nullptr;
  uint32_t id = 0;
};

TEST_F(Window, QueueKeepsTheFirst256EventsInOrder) {
  for (int i = 0; i < 300; ++i) key(SDLK_a + i % 26);
  std::vector<UiInput> events = drain();
  ASSERT_EQ(events.size(), 256u);
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(events[i].key, UI_KEY_A + static_cast<uint32_t>(i % 26)) << i;
    EXPECT_EQ(events[i].character, 0u);
  }
  EXPECT_TRUE(drain().empty());
}

TEST_F(Window, KeysGiveTheirCodesAndCharacters) {
  struct Case {
    SDL_Keycode sym;
    uint16_t mod;
    std::vector<std::pair<uint32_t, uint32_t>> events;  // key, character
  } cases[] = {
      {SDLK_ESCAPE, KMOD_NONE, {{UI_KEY_ESCAPE, 0}, {0, 27}}},
      {SDLK_o, KMOD_LCTRL, {{UI_KEY_A + 14, 0}, {0, 15}}},
      {SDLK_RETURN, KMOD_NONE, {{0, 10}}},
      {SDLK_BACKSPACE, KMOD_NONE, {{0, 8}}},
      {SDLK_TAB, KMOD_NONE, {{0, 9}}},
      {SDLK_DELETE, KMOD_NONE, {{UI_KEY_DELETE, 0}}},
      {SDLK_F12, KMOD_NONE, {{UI_KEY_F12, 0}}},
      {SDLK_BACKQUOTE, KMOD_NONE, {{UI_KEY_GRAVE, 0}}},
      {SDLK_PAGEDOWN, KMOD_NONE, {{UI_KEY_PAGE_DOWN, 0}}},
      {SDLK_SPACE, KMOD_LCTRL, {{0, 32}}},
      {SDLK_SPACE, KMOD_NONE, {}},  // a plain space arrives as typed text
      {SDLK_LSHIFT, KMOD_LSHIFT, {}},
  };
  for (const Case& c : cases) {
    key(c.sym, c.mod);
    std::vector<UiInput> events = drain();
    ASSERT_EQ(events.size(), c.events.size()) << SDL_GetKeyName(c.sym);
    for (size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ(events[i].key, c.events[i].first) << SDL_GetKeyName(c.sym);
      EXPECT_EQ(events[i].character, c.events[i].second) << SDL_GetKeyName(c.sym);
      EXPECT_EQ(events[i].ctrl, (c.mod & KMOD_CTRL) != 0);
    }
  }
  key(SDLK_z, KMOD_LCTRL | KMOD_LSHIFT);
  std::vector<UiInput> events = drain();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_TRUE(events[0].ctrl && events[0].shift);

  text("a b\r\xc3\xa9~");
  events = drain();
  std::string typed;
  for (const UiInput& e : events) typed += static_cast<char>(e.character);
  EXPECT_EQ(typed, "a b\n~");  // non-ASCII characters are dropped
}

TEST_F(Window, PointerEventsFollowTheCapture) {
  motion(10, 10);
  EXPECT_TRUE(drain().empty());  // moves without a held button give nothing
  button(SDL_BUTTON_LEFT, true, 20, 30);
  motion(25, 35);
  motion(-40, 900);  // outside the client area while dragging
  button(SDL_BUTTON_LEFT, false, -40, 900);
  motion(50, 50);
  std::vector<UiInput> events = drain();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].pointer, UI_POINTER_PRESS);
  EXPECT_EQ(events[0].x, 20);
  EXPECT_EQ(events[0].y, 30);
  EXPECT_EQ(events[1].pointer, UI_POINTER_MOVE);
  EXPECT_EQ(events[2].pointer, UI_POINTER_MOVE);
  EXPECT_EQ(events[2].x, -40);
  EXPECT_EQ(events[2].y, 900);
  EXPECT_EQ(events[3].pointer, UI_POINTER_RELEASE);

  button(SDL_BUTTON_RIGHT, true, 5, 5);
  button(SDL_BUTTON_RIGHT, false, 5, 6);
  button(SDL_BUTTON_MIDDLE, true, 7, 8);
  wheel(1, 100, 120);
  wheel(-2, 100, 120);
  events = drain();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].pointer, UI_POINTER_CONTEXT);
  EXPECT_EQ(events[0].y, 6);
  EXPECT_EQ(events[1].pointer, UI_POINTER_MIDDLE);
  EXPECT_EQ(events[2].pointer, UI_POINTER_WHEEL);
  EXPECT_EQ(events[2].wheel, 120);
  EXPECT_EQ(events[2].x, 100);
  EXPECT_EQ(events[3].wheel, -240);
}

TEST_F(Window, CloseRequestComesFirstAndQuitEndsThePolling) {
  key(SDLK_a);
  key(SDLK_b);
  close_button();
  std::vector<UiInput> events = drain();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].close, 1);
  EXPECT_EQ(events[0].key, 0u);
  EXPECT_EQ(events[1].key, UI_KEY_A);
  EXPECT_EQ(events[2].key, UI_KEY_A + 1);
  EXPECT_TRUE(ui_window_poll_events());  // the close button never ends the loop by itself
  ui_window_request_close(window);
  EXPECT_FALSE(ui_window_poll_events());
  EXPECT_TRUE(ui_window_poll_events());
}

TEST_F(Window, SizeCursorTitleAndClipboard) {
  uint32_t width = 0;
  uint32_t height = 0;
  ASSERT_TRUE(ui_window_client_size(window, &width, &height));
  EXPECT_EQ(width, 640u);
  EXPECT_EQ(height, 480u);
  EXPECT_TRUE(ui_window_is_visible(window));

  EXPECT_FALSE(ui_window_use_cursor(window, 12345));
  EXPECT_EQ(ui_window_cursor(window), 0u);
  // Headless video drivers have no system cursors; a cursor that cannot be
  // loaded leaves the window's cursor as it was.
  if (SDL_Cursor* probe = SDL_CreateSystemCursor(SDL_SYSTEM_CURSOR_IBEAM)) {
    SDL_FreeCursor(probe);
    EXPECT_TRUE(ui_window_use_cursor(window, UI_CURSOR_IBEAM));
    EXPECT_EQ(ui_window_cursor(window), UI_CURSOR_IBEAM);
    ui_window_set_cursor(window, 1);
    EXPECT_EQ(ui_window_cursor(window), UI_CURSOR_SIZEWE);
  } else {
    EXPECT_FALSE(ui_window_use_cursor(window, UI_CURSOR_IBEAM));
    EXPECT_EQ(ui_window_cursor(window), 0u);
  }
  ui_window_set_title(window, "Zarnel Kelvra: demo.pjn (/media/)");
  EXPECT_STREQ(SDL_GetWindowTitle(ui_window_sdl(window)), "Zarnel Kelvra: demo.pjn (/media/)");

  ASSERT_TRUE(ui_clipboard_write(window, "clip name", 9));
  char buffer[16];
  EXPECT_TRUE(ui_clipboard_read(window, buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "clip name");
  EXPECT_FALSE(ui_clipboard_read(window, buffer, 9));  // no room for the terminator
  EXPECT_TRUE(ui_clipboard_read(window, buffer, 10));
  EXPECT_FALSE(ui_clipboard_read(window, buffer, 0));
  ASSERT_TRUE(ui_clipboard_write(window, "caf\xc3\xa9", 5));
  EXPECT_FALSE(ui_clipboard_read(window, buffer, sizeof buffer));  // not ASCII
}

TEST(WindowConfig, RejectsInvalidConfigurations) {
  const struct {
    UiWindowConfig config;
    const char* why;
  } cases[] = {
      {{nullptr, 640, 480, 30, 0, 1, 1, 1, 1, 1}, "no title"},
      {{"t", 640, 480, 1001, 0, 1, 1, 1, 1, 1}, "frame rate above 1000"},
      {{"t", 640, 480, 30, 3, 1, 1, 1, 1, 1}, "unknown mode"},
      {{"t", 0, 480, 30, 0, 1, 1, 1, 1, 1}, "no width"},
      {{"t", 640, 1073741824u, 30, 0, 1, 1, 1, 1, 1}, "height too large"},
      {{"t", 640, 480, 30, 0, 0, 1, 1, 0, 1}, "minimize box without decoration"},
      {{"t", 640, 480, 30, 0, 1, 0, 0, 1, 1}, "maximize box without sizing border"},
  };
  for (const auto& c : cases) EXPECT_EQ(ui_window_create(&c.config), nullptr) << c.why;
  EXPECT_EQ(ui_window_create(nullptr), nullptr);
}

// A wake from another thread ends the frame wait at once; the wait after it
// still ends at the deadline the woken one had, so wakes add passes without
// moving the pacing. A wake that comes before the wait ends the next wait.
TEST_F(Window, AWakeEndsTheFrameWaitAndKeepsTheSchedule) {
  using Clock = std::chrono::steady_clock;
  const auto ms_since = [](Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  ASSERT_TRUE(ui_window_set_target_fps(window, 1));  // a deadline every second from now
  const Clock::time_point start = Clock::now();
  std::thread waker([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ui_window_wake(window);
  });
  ASSERT_TRUE(ui_window_wait_frame(window));
  waker.join();
  EXPECT_LT(ms_since(start), 700);  // ended by the wake, not by the deadline
  ASSERT_TRUE(ui_window_wait_frame(window));
  EXPECT_GE(ms_since(start), 900);   // waited for the same deadline...
  EXPECT_LT(ms_since(start), 1700);  // ...not for one a second later

  ui_window_wake(window);  // during a pass: the next wait returns at once
  const Clock::time_point pass = Clock::now();
  ASSERT_TRUE(ui_window_wait_frame(window));
  EXPECT_LT(ms_since(pass), 500);
  ui_window_wake(nullptr);
}

TEST(FramePacing, DeadlinesCarryTheRemainder) {
  int64_t next = 0;
  uint32_t remainder = 0;
  std::vector<int64_t> steps;
  for (int i = 0; i < 6; ++i) {
    const int64_t before = next;
    ui_frame_advance(&next, &remainder, 10000000, 30);
    steps.push_back(next - before);
  }
  EXPECT_EQ(steps, (std::vector<int64_t>{333333, 333333, 333334, 333333, 333333, 333334}));
  EXPECT_EQ(next, 2000000);  // exactly 6 / 30 s: no drift
}

}  // namespace
