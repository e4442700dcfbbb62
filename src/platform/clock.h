// Monotonic clock stamps in milliseconds and sleeping.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock; only differences are meaningful.
uint64_t ui_time_ms();
// Nanoseconds of the same clock, for measuring work.
uint64_t ui_time_ns();
void ui_sleep_ms(uint32_t milliseconds);
