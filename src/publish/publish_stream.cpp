// The two single-file uploads: YouTube's resumable upload (a JSON request
// opens the session, a PUT sends the file; a connection dropped during the
// PUT, or a 500, 502, 503 or 504 reply after an exponential wait, asks the
// session how much arrived and sends the rest, up to five times) and
// SoundCloud's multipart POST of the WAV mix. Both make private items.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "publish/publish.h"

namespace {

constexpr int kResumeTries = 5;
constexpr uint64_t kYouTubeTitleLimit = 100;  // characters

// Google's resumable uploads are resumed after these replies, after a wait.
bool server_error(uint32_t status) { return status == 500 || status == 502 || status == 503 || status == 504; }

// Waits 2^try seconds and a random part of another second; false on a cancel.
bool back_off(int tries, const std::atomic<int32_t>& cancel) {
  uint8_t random[2] = {0, 0};
  sys_random_bytes(random, sizeof random);
  const uint64_t wait_ms = (1000ull << tries) + (static_cast<uint64_t>(random[0]) << 8 | random[1]) % 1000;
  const uint64_t until = ui_time_ms() + wait_ms;
  while (ui_time_ms() < until) {
    if (cancel.load() != 0) return false;
    ui_sleep_ms(50);
  }
  return cancel.load() == 0;
}

// The bytes the upload session holds, from a 308 reply's "Range: bytes=0-N"
// (none: 0); false when the reply is not such an answer.
bool received_bytes(const HttpResponse& reply, const char* range, uint64_t* have) {
  if (reply.status != 308) return false;
  *have = 0;
  if (range == nullptr) return true;
  unsigned long long last = 0;
  if (std::sscanf(range, "bytes=0-%llu", &last) != 1) return false;
  *have = last + 1;
  return true;
}

}  // namespace

void publish_youtube_title(const char* title, char* out, uint64_t size) {
  uint64_t length = 0;
  uint64_t characters = 0;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(title); *c != '\0';) {
    // One whole UTF-8 sequence at a time.
    uint64_t bytes = 1;
    while ((c[bytes] & 0xC0) == 0x80 && (c[0] & 0xC0) == 0xC0 && bytes < 4) ++bytes;
    if (*c == '<' || *c == '>' || *c < 0x20) {
      c += bytes;
      continue;
    }
    if (characters == kYouTubeTitleLimit || length + bytes >= size) break;
    std::memcpy(out + length, c, bytes);
    length += bytes;
    ++characters;
    c += bytes;
  }
  while (length > 0 && out[length - 1] == ' ') --length;
  out[length] = '\0';
  if (length == 0) std::snprintf(out, size, "Zarnel Kelvra export");
}

bool publish_youtube(PublishTask* task, int file, uint64_t size) {
  char clean[sizeof task->title];
  publish_youtube_title(task->title, clean, sizeof clean);
  char* title = data_json_quote(clean);
  if (title == nullptr) return false;
  char body[1200];
  const int body_length = std::snprintf(
      body, sizeof body, "{\"snippet\":{\"title\":%s,\"categoryId\":\"22\"},\"status\":{\"privacyStatus\":\"private\"}}",
      title);
  std::free(title);
  if (body_length < 0 || body_length >= static_cast<int>(sizeof body)) return false;
  char bearer[3100];
  std::snprintf(bearer, sizeof bearer, "Bearer %s", task->token);
  char extra[128];
  std::snprintf(extra, sizeof extra, "X-Upload-Content-Type: video/mp4\r\nX-Upload-Content-Length: %" PRIu64 "\r\n",
                size);
  HttpResponse* reply = static_cast<HttpResponse*>(std::calloc(1, sizeof(HttpResponse)));
  if (reply == nullptr) {
    publish_wipe(bearer, sizeof bearer);
    return false;
  }
  bool ok = publish_json("POST", publish_hosts::kYouTubeUpload, publish_hosts::kGoogleSuffix, bearer, extra, body,
                         reply, &task->cancel) &&
            reply->location[0] != '\0';
  if (!ok) {
    std::snprintf(task->status_text, sizeof task->status_text, "YouTube session failed (HTTP %u).", reply->status);
  } else {
    char session[4096];
    std::memcpy(session, reply->location, sizeof session);
    char headers[3200];
    std::snprintf(headers, sizeof headers, "Authorization: %s\r\nContent-Type: video/mp4\r\n", bearer);
    HttpRequest put{};
    put.method = "PUT";
    put.url = session;
    put.host_suffix = publish_hosts::kGoogleSuffix;
    put.headers = headers;
    put.file = file;
    put.file_length = size;
    put.progress = &task->sent;
    ok = http_request(&put, reply, &task->cancel);
    // A dropped connection or a server error: ask the session what it has
    // (after a wait for an error), then send the rest.
    bool again = (!ok && reply->status == 0) || (ok && server_error(reply->status));
    for (int tries = 0; again && tries < kResumeTries && task->cancel.load() == 0; ++tries) {
      if (server_error(reply->status) && !back_off(tries, task->cancel)) break;
      char query[3300];
      std::snprintf(query, sizeof query, "Authorization: %s\r\nContent-Range: bytes */%" PRIu64 "\r\n", bearer, size);
      HttpRequest ask{};
      ask.method = "PUT";
      ask.url = session;
      ask.host_suffix = publish_hosts::kGoogleSuffix;
      ask.headers = query;
      ask.file = -1;
      uint64_t have = 0;
      ok = http_request(&ask, reply, &task->cancel);
      if (!ok || server_error(reply->status)) {
        publish_wipe(query, sizeof query);
        continue;  // no answer, or the server is still failing: ask again
      }
      if (reply->status >= 200 && reply->status < 300) {
        publish_wipe(query, sizeof query);
        break;  // it had everything already
      }
      const char* range = std::strstr(reply->range, "bytes=") != nullptr ? reply->range : nullptr;
      if (!received_bytes(*reply, range, &have) || have > size) {
        publish_wipe(query, sizeof query);
        ok = false;
        break;
      }
      std::snprintf(query, sizeof query,
                    "Authorization: %s\r\nContent-Type: video/mp4\r\nContent-Range: bytes %" PRIu64 "-%" PRIu64
                    "/%" PRIu64 "\r\n",
                    bearer, have, size - 1, size);
      HttpRequest rest = put;
      rest.headers = query;
      rest.file_offset = static_cast<int64_t>(have);
      rest.file_length = size - have;
      ok = http_request(&rest, reply, &task->cancel);
      publish_wipe(query, sizeof query);
      again = (!ok && reply->status == 0) || (ok && server_error(reply->status));
    }
    char id[64];
    ok = ok && reply->status >= 200 && reply->status < 300 && publish_field(reply->body, "id", id, sizeof id);
    if (ok)
      std::snprintf(task->status_text, sizeof task->status_text, "Uploaded privately · %.64s", id);
    else
      std::snprintf(task->status_text, sizeof task->status_text, "YouTube upload failed (HTTP %u).", reply->status);
    publish_wipe(headers, sizeof headers);
  }
  publish_wipe(bearer, sizeof bearer);
  std::free(reply);
  return ok;
}

bool publish_soundcloud(PublishTask* task, int file, uint64_t size) {
  char boundary[64];
  std::snprintf(boundary, sizeof boundary, "ZarnelKelvra%08lx%016llx", static_cast<unsigned long>(getpid()),
                static_cast<unsigned long long>(ui_time_ns()));
  char headers[3300];
  std::snprintf(headers, sizeof headers, "Authorization: OAuth %s\r\nContent-Type: multipart/form-data; boundary=%s\r\n",
                task->token, boundary);
  char prefix[900];
  const int prefix_length = std::snprintf(
      prefix, sizeof prefix,
      "--%s\r\nContent-Disposition: form-data; name=\"track[title]\"\r\n\r\n%s\r\n--%s\r\nContent-Disposition: "
      "form-data; name=\"track[sharing]\"\r\n\r\nprivate\r\n--%s\r\nContent-Disposition: form-data; "
      "name=\"track[asset_data]\"; filename=\"mix.wav\"\r\nContent-Type: audio/wav\r\n\r\n",
      boundary, task->title, boundary, boundary);
  char suffix[96];
  std::snprintf(suffix, sizeof suffix, "\r\n--%s--\r\n", boundary);
  HttpResponse* reply = static_cast<HttpResponse*>(std::calloc(1, sizeof(HttpResponse)));
  bool ok = reply != nullptr && prefix_length > 0 && prefix_length < static_cast<int>(sizeof prefix);
  if (ok) {
    HttpRequest request{};
    request.method = "POST";
    request.url = publish_hosts::kSoundCloudTracks;
    request.host_suffix = publish_hosts::kSoundCloudSuffix;
    request.headers = headers;
    request.body_prefix = prefix;
    request.file = file;
    request.file_length = size;
    request.body_suffix = suffix;
    request.progress = &task->sent;
    ok = http_request(&request, reply, &task->cancel) && reply->status >= 200 && reply->status < 300;
  }
  if (ok)
    std::snprintf(task->status_text, sizeof task->status_text, "Private track accepted for processing.");
  else
    std::snprintf(task->status_text, sizeof task->status_text, "SoundCloud upload failed (HTTP %u).",
                  reply != nullptr ? reply->status : 0);
  publish_wipe(headers, sizeof headers);
  std::free(reply);
  return ok;
}
