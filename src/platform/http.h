// One blocking HTTPS request to a publishing service: HTTPS on port 443 only,
// to a host inside the service's own domain, TLS verified, redirects never
// followed, an optional file streamed between a text prefix and suffix in
// 64 KiB reads, cancellable between reads, and the status, the Location,
// ETag and Range headers and up to 32 KiB of body returned. Runs on a worker thread.
#pragma once

#include <atomic>
#include <cstdint>

struct HttpRequest {
  const char* method;       // "GET", "POST", "PUT"
  const char* url;          // absolute https URL
  const char* host_suffix;  // the domain the URL's host must belong to
  const char* headers;      // extra header lines, each ending in CR LF, or null
  const char* body_prefix;  // or null
  int file;                 // open file descriptor, or -1
  int64_t file_offset;
  uint64_t file_length;
  const char* body_suffix;  // or null
  std::atomic<uint64_t>* progress;  // when given: the file position the sending has reached
};

constexpr uint64_t HTTP_BODY_SIZE = 32768;

struct HttpResponse {
  char location[4096];
  char etag[512];
  char range[128];            // the Range header (a resumable upload's answer)
  char body[HTTP_BODY_SIZE];  // at most 32767 bytes, always terminated
  uint32_t status;            // 0 when no response arrived
};

// Once, on the main thread, before any worker makes a request.
void http_global_init();
// True when a response arrived and its body was read whole (or cut at
// 32767 bytes with a 2xx status); the status may be any code.
bool http_request(const HttpRequest* request, HttpResponse* response, const std::atomic<int32_t>* cancel);
// Whether `host` is `suffix` itself or ends in "." followed by it (case ignored).
bool http_host_in_domain(const char* host, const char* suffix);

// What a test program gives the client by defining kelvra_http_test_routes():
// "HOST:443:127.0.0.1:PORT" entries that send a host to a loopback server,
// and the certificate authority to trust instead of the system's. Only the
// client built for the test and benchmark programs asks for it.
struct HttpTestRoutes {
  const char* const* connect_to;
  uint32_t count;
  const char* ca_file;
};
extern "C" const HttpTestRoutes* kelvra_http_test_routes();
