// Machine-wide processor times and physical memory, read from /proc.
#pragma once

#include <cstdint>

// Idle, kernel (which includes idle, as the meters expect) and user time of
// all processors, in 100-nanosecond units.
bool sys_system_times(uint64_t* idle, uint64_t* kernel, uint64_t* user);
// Available and total physical memory in bytes.
bool sys_memory_status(uint64_t* available, uint64_t* total);
// CPU time (kernel plus user) a thread of this process has used, in
// 100-nanosecond units; `thread` is its native handle.
bool sys_thread_cpu_time(unsigned long thread, uint64_t* time);
// Names the calling thread (up to 15 bytes are kept). Threads it starts from
// then on take the same name, libraries' threads too, so the name follows
// everything a piece of work runs.
void sys_name_thread(const char* name);
// The summed CPU time (kernel plus user) of this process's living threads
// named `name`, in 100-nanosecond units; false when they cannot be read. A
// thread that has ended no longer counts.
bool sys_named_threads_cpu_time(const char* name, uint64_t* time);
