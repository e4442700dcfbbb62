// The transport's clock restart.
#include <limits>

#include "app/app.h"
#include "editor/editor.h"
#include "platform/clock.h"

void kelvra_seek(KelvraApp* app) {
  const uint64_t now = ui_time_ms();
  app->seek_serial += 1;
  app->tick_time_ms = now;
  app->needs_redraw = 1;
  app->start_deadline_ms = now + 1400;
  app->lookahead_time = std::numeric_limits<double>::infinity();
  app->start_pending = app->playing;
}
