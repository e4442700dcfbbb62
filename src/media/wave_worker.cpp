// Wave worker record. Decoding arrives with the media framework; until then
// nothing is ever published for any path.
#include <cstdlib>

#include "media/wave.h"

struct WaveWorker {
  uint64_t result_serial;
};

WaveWorker* kelvra_wave_create() { return static_cast<WaveWorker*>(std::calloc(1, sizeof(WaveWorker))); }

void kelvra_wave_destroy(WaveWorker* worker) { std::free(worker); }

uint64_t kelvra_wave_bytes(WaveWorker*) { return 0; }

bool kelvra_wave_read(WaveWorker* worker, const char*, uint16_t*, uint64_t* serial) {
  if (worker != nullptr && serial != nullptr) *serial = worker->result_serial;
  return false;
}
