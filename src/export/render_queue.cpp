// Render queue record. The queue holds no jobs, polling it does nothing and
// the library scan adds no rendered sources.
#include <cstdlib>

#include "export/render.h"

#include "app/app.h"

struct RenderQueue {
  unsigned long long job_count;
};

RenderQueue* kelvra_render_create() { return static_cast<RenderQueue*>(std::calloc(1, sizeof(RenderQueue))); }

void kelvra_render_destroy(RenderQueue* queue) { std::free(queue); }

void kelvra_render_poll(KelvraApp*) {}

void kelvra_render_library(KelvraApp*) {}

bool kelvra_render_enqueue(KelvraApp* app, bool) {
  if (app->render_queue == nullptr || !kelvra_export_ready(app)) {
    kelvra_status(app, "Preview every open canvas in Timeline before exporting.");
    return false;
  }
  kelvra_status(app, "Could not queue this export batch. The queue may be full.");
  return false;
}

bool kelvra_export_ready(const KelvraApp* app) {
  const double length = app->project.timeline_end;
  const uint32_t open = kelvra_canvas_mask(&app->project);
  return length > 0 && length <= PROJECT_NUMBER_LIMIT && app->previewed_serial == app->edit_serial &&
         (open & app->previewed_canvases) == open;
}
