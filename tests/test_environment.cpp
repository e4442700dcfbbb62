// The environment every test runs in: real SDL on its headless drivers, a
// state folder of its own for recovery copies, and the leak checker told
// about the caches system libraries keep for the life of the process (font
// configuration, D-Bus, X11).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/http.h"

extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libdbus-1.so\n"
         "leak:libX11.so\n"
         "leak:libpango-1.0.so\n"
         "leak:libpangoft2-1.0.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libgobject-2.0.so\n"
         "leak:libharfbuzz.so\n"
         "leak:libSDL2\n";
}

// The text and drawing libraries lock their own caches with primitives the
// race detector does not see (they are not built with it), so their memory
// accesses from two drawing threads look unordered to it. Our threads each
// draw with a painter of their own; what the detector checks is our code.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libfontconfig.so\n"
         "called_from_lib:libcairo.so\n"
         "called_from_lib:libharfbuzz.so\n"
         "called_from_lib:libpango-1.0.so\n"
         "called_from_lib:libpangoft2-1.0.so\n"
         "called_from_lib:libpangocairo-1.0.so\n"
         "called_from_lib:libpixman-1.so\n"
         "called_from_lib:libfreetype.so\n";
}
#endif

namespace {

// Recovery copies of the editors a test starts go to a state folder of this
// process, never the user's; each test starts with it empty (so that no
// editor is offered the copy an earlier test left), and it goes at exit.
std::string g_state_folder;

void remove_state_folder() {
  std::error_code ignored;
  std::filesystem::remove_all(g_state_folder, ignored);
}

class EmptyStateFolder : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    std::error_code ignored;
    std::filesystem::remove_all(g_state_folder + "/zarnel-kelvra", ignored);
  }
};

struct HeadlessDrivers {
  HeadlessDrivers() {
    http_global_init();  // as the editor does before any request: libcurl wipes what it frees
    // Tests never reach the user's own secret store; those that need one run
    // in a private session (tests/publish/keyring-session.sh).
    if (std::getenv("KELVRA_KEYRING_HOME") == nullptr) unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
    // A child editor a test kills on purpose writes where its parent looks.
    const char* given = std::getenv("KELVRA_RECOVERY_CHILD_STATE");
    // The library's poster cache goes there too, emptied with it before each test.
    if (given != nullptr) {
      setenv("XDG_STATE_HOME", given, 1);
      setenv("XDG_CACHE_HOME", given, 1);
      return;
    }
    char pattern[] = "/tmp/kelvra-state-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) {
      g_state_folder = pattern;
      setenv("XDG_STATE_HOME", pattern, 1);
      setenv("XDG_CACHE_HOME", pattern, 1);
      std::atexit(remove_state_folder);
      ::testing::UnitTest::GetInstance()->listeners().Append(new EmptyStateFolder);
    }
  }
};
const HeadlessDrivers kHeadless;

}  // namespace
