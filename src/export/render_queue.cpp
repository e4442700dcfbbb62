// Render queue record. The queue holds no jobs, polling it does nothing and
// the library scan adds no rendered sources.
#include <cstdlib>

#include "export/render.h"

struct RenderQueue {
  unsigned long long job_count;
};

RenderQueue* kelvra_render_create() { return static_cast<RenderQueue*>(std::calloc(1, sizeof(RenderQueue))); }

void kelvra_render_destroy(RenderQueue* queue) { std::free(queue); }

void kelvra_render_poll(KelvraApp*) {}

void kelvra_render_library(KelvraApp*) {}
