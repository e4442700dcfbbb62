// The loopback fake publishing services for tests: a Python HTTPS server
// (fake_services.py) started with answer rules, each service's real host
// name sent to it through the HTTP client's test routes, and the requests it
// received read back from its log.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "json/json.h"
#include "platform/crypto.h"
#include "platform/http.h"
#include "test_util.h"

namespace kelvra_test {

// The SHA-256 of `data` in lower-case hex, as the fake services log bodies.
inline std::string sha256_hex(const std::string& data) {
  uint8_t digest[32];
  sys_sha256(data.data(), data.size(), digest);
  char hex[65];
  for (int i = 0; i < 32; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  return hex;
}

// One request as the fake service saw it.
struct Received {
  std::string method;
  std::string path;
  std::string body;      // the first 64 KiB
  std::string sha256;    // of the whole body
  uint64_t length = 0;   // body bytes received
  std::vector<std::string> header_lines;
  std::string header(const std::string& lower_name) const {
    for (const std::string& line : header_lines) {
      const size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (name == lower_name) return line.substr(colon + 2);
    }
    return "";
  }
};

class FakeServices {
 public:
  // Starts the server with `rules` (a JSON array) and the certificate `cert`
  // ("services", "wrong-name" or "rogue").
  explicit FakeServices(const std::string& rules, const char* cert = "services") {
    write_file(dir_.file("rules.json"), rules);
    const std::string tls = KELVRA_TLS;
    const std::string cert_file = tls + "/" + cert + ".pem";
    const std::string key_file = tls + "/" + cert + ".key";
    const std::string rules_file = dir_.file("rules.json");
    const std::string log_file = dir_.file("log.jsonl");
    const std::string port_file = dir_.file("port");
    pid_ = fork();
    if (pid_ == 0) {
      execlp("python3", "python3", KELVRA_FAKE_SERVICES, "--cert", cert_file.c_str(), "--key", key_file.c_str(),
             "--rules", rules_file.c_str(), "--log", log_file.c_str(), "--port-file", port_file.c_str(), nullptr);
      _exit(127);
    }
    for (int i = 0; i < 500 && port == 0; ++i) {
      const std::string text = read_file(port_file);
      if (!text.empty()) port = std::stoi(text);
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    static const char* const kHosts[] = {"accounts.google.com", "oauth2.googleapis.com", "www.googleapis.com",
                                         "www.linkedin.com",    "api.linkedin.com",      "upload.licdn.com",
                                         "secure.soundcloud.com", "api.soundcloud.com",  "graph.facebook.com",
                                         "rupload.facebook.com", "elsewhere.example",     "googleapis.com.evil.example"};
    for (const char* host : kHosts) routes_.push_back(std::string(host) + ":443:127.0.0.1:" + std::to_string(port));
    // Another port of a service host reaches the fake too: only the client's
    // own port check keeps a request from it.
    routes_.push_back("www.googleapis.com:8443:127.0.0.1:" + std::to_string(port));
    for (const std::string& route : routes_) route_texts_.push_back(route.c_str());
    ca_ = tls + "/ca.pem";
    active_ = HttpTestRoutes{route_texts_.data(), static_cast<uint32_t>(route_texts_.size()), ca_.c_str()};
    current() = &active_;
  }
  ~FakeServices() {
    current() = nullptr;
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  FakeServices(const FakeServices&) = delete;
  FakeServices& operator=(const FakeServices&) = delete;

  // The requests received so far, in order.
  std::vector<Received> requests() const {
    std::vector<Received> out;
    const std::string log = read_file(dir_.file("log.jsonl"));
    size_t start = 0;
    while (start < log.size()) {
      size_t end = log.find('\n', start);
      if (end == std::string::npos) end = log.size();
      const std::string line = log.substr(start, end - start);
      start = end + 1;
      JsonDocument document{};
      if (!data_json_parse(&document, line.c_str())) continue;
      Received r;
      r.method = text(&document, "method");
      r.path = text(&document, "path");
      r.body = text(&document, "body");
      r.sha256 = text(&document, "sha256");
      uint64_t length = 0;
      data_json_size(&document, data_json_field(&document, 0, "length"), &length);
      r.length = length;
      const uint64_t lines = data_json_field(&document, 0, "header_lines");
      for (uint64_t item = data_json_child(&document, lines); item != JSON_NONE;
           item = data_json_after(&document, item, lines)) {
        char* value = data_json_string(&document, item);
        if (value != nullptr) r.header_lines.emplace_back(value);
        std::free(value);
      }
      data_json_free(&document);
      out.push_back(r);
    }
    return out;
  }

  static const HttpTestRoutes*& current() {
    static const HttpTestRoutes* routes = nullptr;
    return routes;
  }

  int port = 0;

 private:
  static std::string text(const JsonDocument* document, const char* key) {
    char* value = data_json_string(document, data_json_field(document, 0, key));
    std::string out = value != nullptr ? value : "";
    std::free(value);
    return out;
  }

  TempDir dir_;
  pid_t pid_ = -1;
  std::vector<std::string> routes_;
  std::vector<const char*> route_texts_;
  std::string ca_;
  HttpTestRoutes active_{};
};

}  // namespace kelvra_test
