// The three header meters: buffers held by the decoders, available memory
// and processor use, sampled every second and refreshed every two.
#pragma once

#include <cstdint>

struct KelvraApp;
struct Meter;

// Where the meters read the machine; tests give their own.
struct MeterSource {
  bool (*times)(uint64_t* idle, uint64_t* kernel, uint64_t* user);
  bool (*memory)(uint64_t* available, uint64_t* total);
};

// True when the meters changed (on each refresh).
bool kelvra_meters_poll(KelvraApp* app, uint64_t now);
bool kelvra_meters_poll_from(KelvraApp* app, uint64_t now, const MeterSource* source);

// The memory meter from the machine's available and total bytes.
void kelvra_meter_memory(Meter* meter, bool known, uint64_t available, uint64_t total);
// The buffer meter from the bytes the decoders hold.
void kelvra_meter_buffer(Meter* meter, uint64_t bytes);
