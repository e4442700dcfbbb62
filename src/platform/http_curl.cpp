// The HTTPS request on libcurl with OpenSSL. The URL is parsed once with
// curl's own parser and handed to curl as parsed, so the scheme, port, user
// and host checks read the URL exactly as the transfer does.
#include "platform/http.h"

#include <fcntl.h>
#include <malloc.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <curl/curl.h>
#include <openssl/ssl.h>

// Tests send each service's real host name to a loopback server signed by a
// test authority. The hook exists only in the copy of this file that the
// test and benchmark programs link (built with KELVRA_HTTP_TEST_ROUTES); the
// editor's and the renderer's copy has no trace of it.
#ifdef KELVRA_HTTP_TEST_ROUTES
extern "C" const HttpTestRoutes* kelvra_http_test_routes();
#endif

namespace {

constexpr size_t kUrlLimit = 4095;
constexpr size_t kSuffixLimit = 255;
constexpr size_t kHeaderLimit = 8191;
constexpr size_t kMethodLimit = 15;
constexpr uint64_t kChunk = 65536;
constexpr uint64_t kBodyLimit = 4294967296ull;  // 4 GiB

struct Transfer {
  const HttpRequest* request;
  HttpResponse* response;
  const std::atomic<int32_t>* cancel;
  uint64_t prefix_length;
  uint64_t suffix_length;
  uint64_t sent;   // body bytes handed to curl
  uint64_t body;   // reply body bytes kept
  bool cut;        // the reply body went past what is kept
  bool read_failed;
};

bool cancelled(const Transfer* transfer) { return transfer->cancel != nullptr && transfer->cancel->load() != 0; }

size_t read_body(char* buffer, size_t size, size_t count, void* data) {
  Transfer* transfer = static_cast<Transfer*>(data);
  const HttpRequest* request = transfer->request;
  const uint64_t room = static_cast<uint64_t>(size) * count;
  uint64_t at = transfer->sent;
  if (at < transfer->prefix_length) {
    const uint64_t part = std::min(room, transfer->prefix_length - at);
    std::memcpy(buffer, request->body_prefix + at, part);
    transfer->sent += part;
    return part;
  }
  at -= transfer->prefix_length;
  if (at < request->file_length) {
    if (cancelled(transfer)) return CURL_READFUNC_ABORT;
    const uint64_t part = std::min({room, request->file_length - at, kChunk});
    const ssize_t got = pread(request->file, buffer, part, request->file_offset + static_cast<int64_t>(at));
    if (got != static_cast<ssize_t>(part)) {
      transfer->read_failed = true;
      return CURL_READFUNC_ABORT;
    }
    transfer->sent += part;
    if (request->progress != nullptr)
      request->progress->store(static_cast<uint64_t>(request->file_offset) + at + part);
    return part;
  }
  at -= request->file_length;
  if (at < transfer->suffix_length) {
    const uint64_t part = std::min(room, transfer->suffix_length - at);
    std::memcpy(buffer, request->body_suffix + at, part);
    transfer->sent += part;
    return part;
  }
  return 0;
}

size_t write_body(char* data, size_t size, size_t count, void* user) {
  Transfer* transfer = static_cast<Transfer*>(user);
  const uint64_t length = static_cast<uint64_t>(size) * count;
  const uint64_t room = HTTP_BODY_SIZE - 1 - transfer->body;
  const uint64_t kept = std::min(length, room);
  std::memcpy(transfer->response->body + transfer->body, data, kept);
  transfer->body += kept;
  transfer->response->body[transfer->body] = '\0';
  if (kept < length) {
    transfer->cut = true;
    return 0;  // the rest is not read
  }
  return length;
}

// Copies the value of header line `line` named `name` into `out` when it is that header.
void take_header(const char* line, size_t length, const char* name, char* out, size_t size) {
  const size_t name_length = std::strlen(name);
  if (length <= name_length || strncasecmp(line, name, name_length) != 0 || line[name_length] != ':') return;
  size_t start = name_length + 1;
  while (start < length && (line[start] == ' ' || line[start] == '\t')) ++start;
  size_t end = length;
  while (end > start && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' ')) --end;
  const size_t kept = std::min(end - start, size - 1);
  std::memcpy(out, line + start, kept);
  out[kept] = '\0';
}

size_t read_header(char* line, size_t size, size_t count, void* user) {
  Transfer* transfer = static_cast<Transfer*>(user);
  const size_t length = size * count;
  take_header(line, length, "Location", transfer->response->location, sizeof transfer->response->location);
  take_header(line, length, "ETag", transfer->response->etag, sizeof transfer->response->etag);
  take_header(line, length, "Range", transfer->response->range, sizeof transfer->response->range);
  return length;
}

int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return cancelled(static_cast<Transfer*>(user)) ? 1 : 0;
}

// Parses and checks the URL: https, port 443, no user information, a host in the domain.
CURLU* checked_url(const HttpRequest* request) {
  if (request->url == nullptr || std::strlen(request->url) > kUrlLimit || request->host_suffix == nullptr ||
      std::strlen(request->host_suffix) > kSuffixLimit)
    return nullptr;
  CURLU* url = curl_url();
  if (url == nullptr) return nullptr;
  bool ok = curl_url_set(url, CURLUPART_URL, request->url, 0) == CURLUE_OK;
  char* part = nullptr;
  if (ok) {
    ok = curl_url_get(url, CURLUPART_SCHEME, &part, 0) == CURLUE_OK && std::strcmp(part, "https") == 0;
    curl_free(part);
    part = nullptr;
  }
  if (ok) {
    const CURLUcode port = curl_url_get(url, CURLUPART_PORT, &part, 0);
    ok = port == CURLUE_NO_PORT || (port == CURLUE_OK && std::strcmp(part, "443") == 0);
    curl_free(part);
    part = nullptr;
  }
  if (ok) {
    ok = curl_url_get(url, CURLUPART_USER, &part, 0) == CURLUE_NO_USER;
    curl_free(part);
    part = nullptr;
  }
  if (ok) {
    ok = curl_url_get(url, CURLUPART_PASSWORD, &part, 0) == CURLUE_NO_PASSWORD;
    curl_free(part);
    part = nullptr;
  }
  if (ok) {
    ok = curl_url_get(url, CURLUPART_HOST, &part, 0) == CURLUE_OK && http_host_in_domain(part, request->host_suffix);
    curl_free(part);
  }
  if (!ok) {
    curl_url_cleanup(url);
    return nullptr;
  }
  return url;
}

// The caller's header lines, one list entry a line, and no "Expect: 100-continue".
curl_slist* header_list(const char* headers, bool* ok) {
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  *ok = list != nullptr;
  if (headers == nullptr) return list;
  if (std::strlen(headers) > kHeaderLimit) *ok = false;
  const char* line = headers;
  while (*ok && *line != '\0') {
    const char* end = std::strstr(line, "\r\n");
    if (end == nullptr) end = line + std::strlen(line);
    char text[kHeaderLimit + 1];
    const size_t length = static_cast<size_t>(end - line);
    std::memcpy(text, line, length);
    text[length] = '\0';
    if (length > 0) {
      curl_slist* grown = curl_slist_append(list, text);
      if (grown == nullptr) *ok = false;
      list = grown != nullptr ? grown : list;
    }
    explicit_bzero(text, length);
    line = *end == '\0' ? end : end + 2;
  }
  return list;
}

// Wipes a list's texts (header lines hold the bearer value) and frees it.
void free_wiped(curl_slist* list) {
  for (curl_slist* item = list; item != nullptr; item = item->next)
    if (item->data != nullptr) explicit_bzero(item->data, std::strlen(item->data));
  curl_slist_free_all(list);
}

// libcurl's own buffers (the request it builds with the Authorization line,
// the upload buffer that held a token form) are wiped before they are freed.
void wiped_free(void* data) {
  if (data == nullptr) return;
  explicit_bzero(data, malloc_usable_size(data));
  std::free(data);
}
void* plain_malloc(size_t size) { return std::malloc(size); }
void* plain_calloc(size_t count, size_t size) { return std::calloc(count, size); }
void* wiped_realloc(void* data, size_t size) {
  if (data == nullptr) return std::malloc(size);
  if (size == 0) {
    wiped_free(data);
    return nullptr;
  }
  void* moved = std::malloc(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, data, std::min(size, malloc_usable_size(data)));
  wiped_free(data);
  return moved;
}
char* plain_strdup(const char* text) {
  const size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy != nullptr) std::memcpy(copy, text, length);
  return copy;
}

// Every connection is close-on-exec, so a program started during a transfer
// (a browser, a file manager) never holds it.
int close_on_exec(void*, curl_socket_t socket, curlsocktype) {
  const int flags = fcntl(socket, F_GETFD);
  if (flags < 0 || fcntl(socket, F_SETFD, flags | FD_CLOEXEC) != 0) return CURL_SOCKOPT_ERROR;
  return CURL_SOCKOPT_OK;
}

// OpenSSL clears the plaintext it deciphered (a token reply) once it is handed over.
CURLcode cleanse_plaintext(CURL*, void* ssl_context, void*) {
  SSL_CTX_set_options(static_cast<SSL_CTX*>(ssl_context), SSL_OP_CLEANSE_PLAINTEXT);
  return CURLE_OK;
}

}  // namespace

void http_global_init() {
  curl_global_init_mem(CURL_GLOBAL_DEFAULT, plain_malloc, wiped_free, wiped_realloc, plain_strdup, plain_calloc);
}

bool http_host_in_domain(const char* host, const char* suffix) {
  const size_t host_length = std::strlen(host);
  const size_t suffix_length = std::strlen(suffix);
  if (suffix_length == 0 || host_length < suffix_length) return false;
  if (strcasecmp(host + host_length - suffix_length, suffix) != 0) return false;
  return host_length == suffix_length || host[host_length - suffix_length - 1] == '.';
}

bool http_request(const HttpRequest* request, HttpResponse* response, const std::atomic<int32_t>* cancel) {
  std::memset(response, 0, sizeof *response);
  if (cancel != nullptr && cancel->load() != 0) return false;
  if (request->method == nullptr || std::strlen(request->method) > kMethodLimit) return false;
  Transfer transfer{};
  transfer.request = request;
  transfer.response = response;
  transfer.cancel = cancel;
  transfer.prefix_length = request->body_prefix != nullptr ? std::strlen(request->body_prefix) : 0;
  transfer.suffix_length = request->body_suffix != nullptr ? std::strlen(request->body_suffix) : 0;
  const uint64_t file_length = request->file >= 0 ? request->file_length : 0;
  if (request->file < 0 && request->file_length > 0) return false;
  const uint64_t total = transfer.prefix_length + file_length + transfer.suffix_length;
  if (total >= kBodyLimit) return false;

  CURLU* url = checked_url(request);
  if (url == nullptr) return false;
  bool headers_ok = false;
  curl_slist* headers = header_list(request->headers, &headers_ok);
  CURL* curl = headers_ok ? curl_easy_init() : nullptr;
  bool ok = curl != nullptr;
  if (ok) {
    curl_easy_setopt(curl, CURLOPT_CURLU, url);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Zarnel Kelvra");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 20000L);  // name resolution and connection, 10 s each
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);        // sending or receiving stalled for 15 s
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 15L);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request->method);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, read_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, close_on_exec);
    curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, cleanse_plaintext);
    if (std::strcmp(request->method, "GET") != 0) {
      curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(total));
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
      curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
    }
    curl_slist* routes = nullptr;
#ifdef KELVRA_HTTP_TEST_ROUTES
    const HttpTestRoutes* test = kelvra_http_test_routes();
    for (uint32_t i = 0; test != nullptr && i < test->count; ++i) routes = curl_slist_append(routes, test->connect_to[i]);
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, routes);
    if (test != nullptr && test->ca_file != nullptr) curl_easy_setopt(curl, CURLOPT_CAINFO, test->ca_file);
#endif
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    response->status = static_cast<uint32_t>(status);
    ok = result == CURLE_OK || (transfer.cut && status >= 200 && status < 300);
    ok = ok && !transfer.read_failed && status > 0;
    curl_easy_cleanup(curl);
    curl_slist_free_all(routes);
  }
  free_wiped(headers);
  curl_url_cleanup(url);
  return ok;
}
