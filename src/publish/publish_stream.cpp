// The two single-file uploads: YouTube's resumable upload (a JSON request
// opens the session, a PUT sends the file; a connection dropped during the
// PUT asks the session how much arrived and sends the rest, up to three
// times) and SoundCloud's multipart POST of the WAV mix. Both make private
// items.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.h"
#include "platform/clock.h"
#include "publish/publish.h"

namespace {

constexpr int kResumeTries = 3;

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

bool publish_youtube(PublishTask* task, int file, uint64_t size) {
  char* title = data_json_quote(task->title);
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
    // A dropped connection: ask the session what it has, then send the rest.
    for (int tries = 0; !ok && reply->status == 0 && tries < kResumeTries && task->cancel.load() == 0; ++tries) {
      char query[3300];
      std::snprintf(query, sizeof query, "Authorization: %s\r\nContent-Range: bytes */%" PRIu64 "\r\n", bearer, size);
      HttpRequest ask{};
      ask.method = "PUT";
      ask.url = session;
      ask.host_suffix = publish_hosts::kGoogleSuffix;
      ask.headers = query;
      ask.file = -1;
      uint64_t have = 0;
      if (!http_request(&ask, reply, &task->cancel)) continue;  // no answer: ask again
      if (reply->status >= 200 && reply->status < 300) {
        ok = true;  // it had everything already
        break;
      }
      const char* range = std::strstr(reply->range, "bytes=") != nullptr ? reply->range : nullptr;
      if (!received_bytes(*reply, range, &have) || have > size) break;
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
