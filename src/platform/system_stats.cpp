#include "platform/system_stats.h"

#include <dirent.h>
#include <pthread.h>
#include <unistd.h>

#include <ctime>

#include <cstdio>
#include <cstdlib>
#include <cstring>

bool sys_system_times(uint64_t* idle, uint64_t* kernel, uint64_t* user) {
  FILE* file = std::fopen("/proc/stat", "r");
  if (file == nullptr) return false;
  unsigned long long v[8] = {};
  const int read = std::fscanf(file, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                               &v[4], &v[5], &v[6], &v[7]);
  std::fclose(file);
  if (read < 4) return false;
  const long ticks = sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return false;
  const uint64_t unit = 10000000ull / static_cast<uint64_t>(ticks);
  // user nice system idle iowait irq softirq steal
  const uint64_t idle_ticks = v[3] + v[4];
  *idle = idle_ticks * unit;
  *kernel = (v[2] + v[5] + v[6] + v[7] + idle_ticks) * unit;
  *user = (v[0] + v[1]) * unit;
  return true;
}

bool sys_memory_status(uint64_t* available, uint64_t* total) {
  FILE* file = std::fopen("/proc/meminfo", "r");
  if (file == nullptr) return false;
  char line[256];
  unsigned long long total_kb = 0;
  unsigned long long available_kb = 0;
  bool have_total = false;
  bool have_available = false;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::sscanf(line, "MemTotal: %llu kB", &total_kb) == 1) have_total = true;
    if (std::sscanf(line, "MemAvailable: %llu kB", &available_kb) == 1) have_available = true;
  }
  std::fclose(file);
  if (!have_total || !have_available) return false;
  *available = available_kb * 1024;
  *total = total_kb * 1024;
  return true;
}

bool sys_thread_cpu_time(unsigned long thread, uint64_t* time) {
  clockid_t clock{};
  timespec used{};
  if (pthread_getcpuclockid(static_cast<pthread_t>(thread), &clock) != 0 || clock_gettime(clock, &used) != 0)
    return false;
  *time = static_cast<uint64_t>(used.tv_sec) * 10000000ull + static_cast<uint64_t>(used.tv_nsec) / 100;
  return true;
}

void sys_name_thread(const char* name) {
  char kept[16];
  std::snprintf(kept, sizeof kept, "%s", name);
  pthread_setname_np(pthread_self(), kept);
}

bool sys_named_threads_cpu_time(const char* name, uint64_t* time) {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "%s", name);
  uint64_t sum = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    char path[320];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/comm", entry->d_name);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) continue;  // ended meanwhile
    char comm[32] = "";
    const bool read = std::fgets(comm, sizeof comm, file) != nullptr;
    std::fclose(file);
    if (!read) continue;
    comm[std::strcspn(comm, "\n")] = '\0';
    if (std::strcmp(comm, wanted) != 0) continue;
    // The kernel's per-thread scheduler clock of thread `tid`, as
    // pthread_getcpuclockid makes it for a thread handle.
    const long tid = std::strtol(entry->d_name, nullptr, 10);
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
    timespec used{};
    if (clock_gettime(clock, &used) != 0) continue;
    sum += static_cast<uint64_t>(used.tv_sec) * 10000000ull + static_cast<uint64_t>(used.tv_nsec) / 100;
  }
  closedir(tasks);
  *time = sum;
  return true;
}
