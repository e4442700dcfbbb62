// The three header meters: buffers held by the decoders, available memory
// and processor use, sampled every second and refreshed every two.
#pragma once

#include <cstdint>

struct KelvraApp;

// Where the meters read the machine; tests give their own.
struct MeterSource {
  bool (*times)(uint64_t* idle, uint64_t* kernel, uint64_t* user);
  bool (*memory)(uint64_t* available, uint64_t* total);
};

// True when the meters changed (on each refresh).
bool kelvra_meters_poll(KelvraApp* app, uint64_t now);
bool kelvra_meters_poll_from(KelvraApp* app, uint64_t now, const MeterSource* source);
