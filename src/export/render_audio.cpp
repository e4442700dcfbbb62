// The export's sound: every source the edit's clips play, decoded whole once
// per job under one memory budget, for the mix of each 1/30-second block.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/app.h"
#include "export/render.h"
#include "media/audio_mix.h"
#include "media/wave.h"
#include "platform/files.h"

bool kelvra_render_read_audio(const KelvraApp* snapshot, WavePcm* table, char* message) {
  const Project& project = snapshot->project;
  uint8_t needed[PROJECT_MAX_ROWS] = {};
  for (uint64_t i = 0; i < project.clip_count && i < PROJECT_MAX_ROWS; ++i) {
    const Clip& clip = project.clips[i];
    // Music clips are heard through the synthesizer, not their source.
    if (clip.audio && !clip.music && clip.source >= 0 && static_cast<uint64_t>(clip.source) < project.source_count)
      needed[clip.source] = 1;
  }
  uint64_t budget = RENDER_AUDIO_BUDGET;
  for (uint64_t j = 0; j < project.source_count && j < PROJECT_MAX_ROWS; ++j) {
    if (!needed[j]) continue;
    const char* file = project.sources[j].file;
    char path[KELVRA_PATH_SIZE];
    if (!kelvra_path(snapshot->media_folder, file, path) || !sys_file_readable(path)) {
      std::snprintf(message, 128, "Source file missing: %.99s", file);
      return false;
    }
    double duration = 0;
    if (!audio_wave_decode(nullptr, 0, path, nullptr, &table[j], &duration, budget)) {
      table[j] = WavePcm{};  // no usable sound: silent in the export
      continue;
    }
    if (table[j].samples == nullptr) {
      std::snprintf(message, 128, "Audio exceeds this export's decoded audio budget: %.74s", file);
      return false;
    }
    budget -= static_cast<uint64_t>(table[j].channels) * table[j].frames * 2;
  }
  return true;
}

void kelvra_render_free_audio(WavePcm* table) {
  for (uint64_t j = 0; j < PROJECT_MAX_ROWS; ++j) {
    std::free(table[j].samples);
    table[j] = WavePcm{};
  }
}
