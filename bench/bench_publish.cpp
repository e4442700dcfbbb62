// Uploading a large export: the program's own HTTPS request (a PUT that
// streams the file from disk in 64 KiB reads) against the curl command-line
// tool sending the same 1 GiB file to the same loopback fake service in the
// same run, and how far the process's resident memory grows while our upload
// runs.
//
// The fake service (tests/publish/fake_services.py, with certificates made
// by tests/publish/make-certs.sh into a folder of its own) hashes every byte
// it receives; that bounds both clients alike, so the figures compare the
// two clients rather than measure the network. MB here is 10^6 bytes.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"

extern char** environ;

namespace {

constexpr uint64_t kFileSize = 1ull << 30;
constexpr char kFile[] = "/tmp/kelvra-bench-upload-1gib.bin";
constexpr char kHost[] = "www.googleapis.com";
constexpr char kUrl[] = "https://www.googleapis.com/upload/x";

const HttpTestRoutes* g_routes = nullptr;

// The source tree: this file's folder's parent.
std::string source_folder() {
  const std::string file = __FILE__;
  const std::string bench = file.substr(0, file.rfind('/'));
  return bench.substr(0, bench.rfind('/'));
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `argv` to its end with stdout into `out` (when given); its exit code, or -1.
int run(const std::vector<std::string>& argv, std::string* out = nullptr) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  if (out != nullptr && pipe(pipe_fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out != nullptr) {
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const bool started = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (out != nullptr) {
    close(pipe_fds[1]);
    char chunk[256];
    for (ssize_t got; started && (got = read(pipe_fds[0], chunk, sizeof chunk)) > 0;) out->append(chunk, got);
    close(pipe_fds[0]);
  }
  if (!started) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The loopback fake service with certificates of its own, answering every PUT with 200.
class FakeService {
 public:
  FakeService() {
    char pattern[] = "/tmp/kelvra-bench-publish-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      error_ = "no temporary folder";
      return;
    }
    folder_ = pattern;
    const std::string tests = source_folder() + "/tests/publish";
    if (run({"bash", tests + "/make-certs.sh", folder_ + "/tls"}) != 0) {
      error_ = "could not make the certificates";
      return;
    }
    std::ofstream(folder_ + "/rules.json") << R"([{"method": "PUT", "status": 200, "body": "{}"}])";
    const std::string script = tests + "/fake_services.py";
    const std::string cert = folder_ + "/tls/services.pem";
    const std::string key = folder_ + "/tls/services.key";
    const std::string rules = folder_ + "/rules.json";
    const std::string log = folder_ + "/log.jsonl";
    const std::string port_file = folder_ + "/port";
    pid_ = fork();
    if (pid_ == 0) {
      execlp("python3", "python3", script.c_str(), "--cert", cert.c_str(), "--key", key.c_str(), "--rules",
             rules.c_str(), "--log", log.c_str(), "--port-file", port_file.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 1000 && port == 0; ++i) {
      const std::string text = read_text(port_file);
      if (!text.empty())
        port = std::atoi(text.c_str());
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port == 0) {
      error_ = "the fake service did not start";
      return;
    }
    route_ = std::string(kHost) + ":443:127.0.0.1:" + std::to_string(port);
    route_text_ = route_.c_str();
    ca = folder_ + "/tls/ca.pem";
    routes_ = HttpTestRoutes{&route_text_, 1, ca.c_str()};
    g_routes = &routes_;
  }
  ~FakeService() {
    g_routes = nullptr;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
  }
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // Why the service is not there; null when it runs.
  const char* error() const { return error_.empty() ? nullptr : error_.c_str(); }

  // The body length and hash of the last request logged.
  bool last_request(uint64_t* length, std::string* sha256) const {
    const std::string log = read_text(folder_ + "/log.jsonl");
    const size_t start = log.rfind('\n', log.size() >= 2 ? log.size() - 2 : 0);
    const std::string line = log.substr(start == std::string::npos ? 0 : start + 1);
    const size_t length_at = line.find("\"length\": ");
    const size_t hash_at = line.find("\"sha256\": \"");
    if (length_at == std::string::npos || hash_at == std::string::npos) return false;
    *length = std::strtoull(line.c_str() + length_at + 10, nullptr, 10);
    *sha256 = line.substr(hash_at + 11, 64);
    return true;
  }

  int port = 0;
  std::string ca;

 private:
  std::string folder_;
  std::string error_;
  pid_t pid_ = -1;
  std::string route_;
  const char* route_text_ = nullptr;
  HttpTestRoutes routes_{};
};

// The 1 GiB upload: real bytes that change from block to block, written once and kept for later runs.
bool upload_file() {
  struct stat info {};
  if (stat(kFile, &info) == 0 && static_cast<uint64_t>(info.st_size) == kFileSize) return true;
  const std::string partial = std::string(kFile) + ".partial";
  const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t state = 0x9E3779B97F4A7C15ull;
  bool ok = true;
  for (uint64_t written = 0; ok && written < kFileSize; written += block.size() * 8) {
    for (uint64_t& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    ok = write(fd, block.data(), block.size() * 8) == static_cast<ssize_t>(block.size() * 8);
  }
  ok = close(fd) == 0 && ok && rename(partial.c_str(), kFile) == 0;
  if (!ok) unlink(partial.c_str());
  return ok;
}

// Reads the file through once so that both clients start from the page cache.
void warm_cache() {
  const int fd = open(kFile, O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(1 << 20);
  while (fd >= 0 && read(fd, buffer.data(), buffer.size()) > 0) {
  }
  if (fd >= 0) close(fd);
}

// VmRSS of this process in KiB.
uint64_t resident_kib() {
  const std::string status = read_text("/proc/self/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 6, nullptr, 10);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_Upload1GiB_HttpRequestVsCurlTool(benchmark::State& state) {
  static FakeService service;
  if (service.error() != nullptr) {
    state.SkipWithError(service.error());
    return;
  }
  if (!upload_file()) {
    state.SkipWithError("could not write the 1 GiB file in /tmp");
    return;
  }
  http_global_init();
  warm_cache();
  auto response = std::make_unique<HttpResponse>();
  double ours = 0;
  double theirs = 0;
  double growth_mb = 0;
  for (auto _ : state) {
    // Ours, with the resident size sampled from another thread all along.
    const int fd = open(kFile, O_RDONLY | O_CLOEXEC);
    HttpRequest put{};
    put.method = "PUT";
    put.url = kUrl;
    put.host_suffix = "googleapis.com";
    put.headers = "Content-Type: application/octet-stream\r\n";
    put.file = fd;
    put.file_length = kFileSize;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> base{0};
    std::atomic<uint64_t> peak{0};
    std::thread sampler([&] {
      base.store(resident_kib());
      while (!done.load()) {
        peak.store(std::max(peak.load(), resident_kib()));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      peak.store(std::max(peak.load(), resident_kib()));
    });
    while (base.load() == 0) std::this_thread::yield();
    const auto started = std::chrono::steady_clock::now();
    const bool ok = fd >= 0 && http_request(&put, response.get(), nullptr) && response->status == 200;
    ours = seconds_since(started);
    done.store(true);
    sampler.join();
    if (fd >= 0) close(fd);
    growth_mb = static_cast<double>(peak.load() - std::min(peak.load(), base.load())) * 1024.0 / 1e6;
    uint64_t length = 0;
    std::string ours_hash;
    if (!ok || !service.last_request(&length, &ours_hash) || length != kFileSize) {
      state.SkipWithError("our upload did not arrive whole");
      return;
    }

    // The curl tool to the same service.
    const std::string connect_to = std::string(kHost) + ":443:127.0.0.1:" + std::to_string(service.port);
    std::string code;
    const auto tool_started = std::chrono::steady_clock::now();
    const int exit_code = run({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--cacert", service.ca,
                               "--connect-to", connect_to, "-T", kFile, kUrl},
                              &code);
    theirs = seconds_since(tool_started);
    std::string tool_hash;
    if (exit_code != 0 || code != "200" || !service.last_request(&length, &tool_hash) || length != kFileSize ||
        tool_hash != ours_hash) {
      state.SkipWithError("the curl tool's upload did not arrive whole");
      return;
    }
    state.SetIterationTime(ours);
  }
  const double megabytes = static_cast<double>(kFileSize) / 1e6;
  state.counters["ours_s"] = ours;
  state.counters["ours_MBps"] = megabytes / ours;
  state.counters["curl_s"] = theirs;
  state.counters["curl_MBps"] = megabytes / theirs;
  state.counters["speed_ratio"] = theirs / ours;  // above 1: ours is faster
  state.counters["rss_growth_MB"] = growth_mb;
}
BENCHMARK(BM_Upload1GiB_HttpRequestVsCurlTool)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

// The client sends the service's host to the loopback fake and trusts its test authority.
extern "C" const HttpTestRoutes* kelvra_http_test_routes() { return g_routes; }
