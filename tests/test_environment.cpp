// The environment every test runs in: real SDL on its headless drivers, and
// the leak checker told about the caches system libraries keep for the life
// of the process (font configuration, D-Bus, X11).
#include <cstdlib>

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

namespace {

struct HeadlessDrivers {
  HeadlessDrivers() {
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
  }
};
const HeadlessDrivers kHeadless;

}  // namespace
