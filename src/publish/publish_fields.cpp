// The small helpers every publishing flow shares: a JSON request with a
// bearer value, one string field of a JSON reply, an environment variable
// read safely, a form field appended, a page opened in the browser.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.h"
#include "platform/ui.h"
#include "publish/publish.h"

bool publish_json(const char* method, const char* url, const char* host_suffix, const char* authorization,
                  const char* extra_headers, const char* body, HttpResponse* response,
                  const std::atomic<int32_t>* cancel) {
  char headers[8192];
  const int length = std::snprintf(
      headers, sizeof headers, "%s%s%s%s%s", authorization != nullptr && authorization[0] != '\0' ? "Authorization: " : "",
      authorization != nullptr && authorization[0] != '\0' ? authorization : "",
      authorization != nullptr && authorization[0] != '\0' ? "\r\n" : "",
      body != nullptr ? "Content-Type: application/json; charset=utf-8\r\n" : "",
      extra_headers != nullptr ? extra_headers : "");
  const bool fits = length >= 0 && length < static_cast<int>(sizeof headers);
  bool ok = false;
  if (fits) {
    HttpRequest request{};
    request.method = method;
    request.url = url;
    request.host_suffix = host_suffix;
    request.headers = headers;
    request.body_prefix = body;
    request.file = -1;
    ok = http_request(&request, response, cancel) && response->status >= 200 && response->status < 300;
  } else {
    std::memset(response, 0, sizeof *response);
  }
  publish_wipe(headers, sizeof headers);  // it held the token
  return ok;
}

bool publish_field(const char* json, const char* key, char* out, uint64_t size) {
  JsonDocument document{};
  if (size == 0 || !data_json_parse(&document, json)) return false;
  char* value = data_json_string(&document, data_json_field(&document, 0, key));
  const uint64_t length = value != nullptr ? std::strlen(value) : 0;
  const bool ok = length > 0 && length < size;
  if (ok) std::memcpy(out, value, length + 1);
  if (value != nullptr) publish_wipe(value, length);
  std::free(value);
  data_json_free(&document);
  return ok;
}

bool publish_env(const char* name, char* out, uint64_t size) {
  const char* value = std::getenv(name);
  const uint64_t length = value != nullptr ? std::strlen(value) : 0;
  const bool ok = length > 0 && length < size && std::strpbrk(value, "\r\n") == nullptr;
  if (ok) std::memcpy(out, value, length + 1);
  else if (size > 0) out[0] = '\0';
  return ok;
}

bool publish_form(char* buffer, uint64_t size, const char* key, const char* value) {
  static const char kHex[] = "0123456789ABCDEF";
  uint64_t at = std::strlen(buffer);
  const auto put = [&](char c) {
    if (at + 1 >= size) return false;
    buffer[at++] = c;
    return true;
  };
  const uint64_t start = at;
  bool ok = at == 0 || put('&');
  for (const char* k = key; ok && *k != '\0'; ++k) ok = put(*k);
  ok = ok && put('=');
  for (const unsigned char* v = reinterpret_cast<const unsigned char*>(value); ok && *v != '\0'; ++v) {
    const bool plain = (*v >= 'A' && *v <= 'Z') || (*v >= 'a' && *v <= 'z') || (*v >= '0' && *v <= '9') ||
                       *v == '-' || *v == '.' || *v == '_' || *v == '~';
    ok = plain ? put(static_cast<char>(*v)) : put('%') && put(kHex[*v >> 4]) && put(kHex[*v & 15]);
  }
  buffer[ok ? at : start] = '\0';
  return ok;
}

bool publish_open_url(const char* url) { return ui_open_url(url); }

void publish_wipe(void* data, uint64_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(data);
  for (uint64_t i = 0; i < size; ++i) bytes[i] = 0;
}
