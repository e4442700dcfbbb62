// Resource meters.
#include "editor/meters.h"

#include <cmath>
#include <cstdio>

#include "editor/app.h"
#include "media/video.h"
#include "media/wave.h"
#include "platform/system_stats.h"

namespace {

void sample(KelvraApp* app, const MeterSource* source) {
  uint64_t idle = 0;
  uint64_t kernel = 0;
  uint64_t user = 0;
  if (!source->times(&idle, &kernel, &user)) {
    app->have_times = 0;
    return;
  }
  if (app->have_times && idle >= app->last_idle && kernel >= app->last_kernel && user >= app->last_user) {
    const uint64_t total = (kernel + user) - (app->last_kernel + app->last_user);
    const uint64_t idle_part = idle - app->last_idle;
    if (total >= idle_part && total != 0) {
      app->busy_time += total - idle_part;
      app->total_time += total;
    }
  }
  app->last_idle = idle;
  app->last_kernel = kernel;
  app->last_user = user;
  app->have_times = 1;
}

uint64_t buffer_bytes(KelvraApp* app) {
  uint64_t bytes = kelvra_video_size(app->source_video, nullptr, nullptr, nullptr) +
                   kelvra_video_size(app->program_video, nullptr, nullptr, nullptr) +
                   kelvra_video_size(app->lookahead_video, nullptr, nullptr, nullptr);
  for (VideoWorker* lane : app->lane_videos) bytes += kelvra_video_size(lane, nullptr, nullptr, nullptr);
  return bytes + kelvra_wave_bytes(app->wave);
}

void refresh(KelvraApp* app, const MeterSource* source) {
  Meter& cpu = app->cpu_meter;
  std::snprintf(cpu.label, sizeof cpu.label, "CPU --");
  cpu.fraction = 0;
  if (app->total_time != 0) {
    cpu.fraction = static_cast<double>(app->busy_time) / static_cast<double>(app->total_time);
    std::snprintf(cpu.label, sizeof cpu.label, "CPU %.0f%%", cpu.fraction * 100);
  }
  app->busy_time = 0;
  app->total_time = 0;

  uint64_t available = 0;
  uint64_t total = 0;
  const bool have_memory = source->memory(&available, &total);
  kelvra_meter_memory(&app->memory_meter, have_memory, available, total);
  kelvra_meter_buffer(&app->buffer_meter, buffer_bytes(app));
}

}  // namespace

void kelvra_meter_memory(Meter* meter, bool known, uint64_t available, uint64_t total) {
  std::snprintf(meter->label, sizeof meter->label, "RAM --");
  meter->fraction = 0;
  if (!known || total == 0) return;
  const double a = available / 1e9;
  if (a < 1)
    std::snprintf(meter->label, sizeof meter->label, "RAM %.0f MB", a * 1000);
  else
    std::snprintf(meter->label, sizeof meter->label, "RAM %.0f GB", a);
  meter->fraction = static_cast<double>(available) / static_cast<double>(total);
}

void kelvra_meter_buffer(Meter* meter, uint64_t bytes) {
  const double b = bytes / 1e6;
  const double shown = b < 1 ? std::round(b * 10) / 10 : std::round(b * 2) / 2;
  std::snprintf(meter->label, sizeof meter->label, "Buffer %.1f MB", shown);
  meter->fraction = b / 49;
}

bool kelvra_meters_poll_from(KelvraApp* app, uint64_t now, const MeterSource* source) {
  if (app->next_publish_ms == 0) {
    app->next_publish_ms = now;
    app->next_sample_ms = now + 1000;
    sample(app, source);
  } else if (now >= app->next_sample_ms) {
    uint64_t late = now - app->next_sample_ms;
    if (late > 999) {
      // Polling stopped for a while (a minimized window): start measuring afresh.
      app->have_times = 0;
      app->next_publish_ms = now;
      app->busy_time = 0;
      app->total_time = 0;
      late = 0;
    }
    app->next_sample_ms = now + 1000 - late;
    sample(app, source);
  }
  if (now < app->next_publish_ms) return false;
  while (app->next_publish_ms <= now) app->next_publish_ms += 2000;
  refresh(app, source);
  return true;
}

bool kelvra_meters_poll(KelvraApp* app, uint64_t now) {
  static const MeterSource machine = {sys_system_times, sys_memory_status};
  return kelvra_meters_poll_from(app, now, &machine);
}
