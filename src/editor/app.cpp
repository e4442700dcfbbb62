// The application record: allocation with its initial values, and the status line.
#include "editor/app.h"

#include <cstdio>
#include <cstdlib>

#include "platform/clock.h"

KelvraApp* kelvra_app_create() {
  KelvraApp* app = static_cast<KelvraApp*>(std::calloc(1, sizeof(KelvraApp)));
  if (app == nullptr) return nullptr;
  app->selected_source = -1;
  app->selected_clip = -1;
  app->selected_title = -1;
  app->title_click = -1;
  kelvra_score_defaults(&app->project.score);
  app->follow_playhead = 1;
  app->snap_time = -1;
  app->needs_redraw = 1;
  app->tick_time_ms = ui_time_ms();
  return app;
}

void kelvra_app_free(KelvraApp* app) { std::free(app); }

int kelvra_status(KelvraApp* app, const char* message) {
  int length = std::snprintf(app->status, sizeof app->status, "%s", message != nullptr ? message : "");
  app->needs_redraw = 1;
  return length;
}
