// Render queue record. Exports arrive with the export issue; until then the
// queue holds no jobs and the library scan adds nothing.
#include <cstdlib>

#include "export/render.h"

struct RenderQueue {
  unsigned long long job_count;
};

RenderQueue* kelvra_render_create() { return static_cast<RenderQueue*>(std::calloc(1, sizeof(RenderQueue))); }

void kelvra_render_destroy(RenderQueue* queue) { std::free(queue); }

void kelvra_render_poll(KelvraApp*) {}

void kelvra_render_library(KelvraApp*) {}
