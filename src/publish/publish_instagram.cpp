// Instagram reels through the Graph API's resumable flow: create a reel
// container, send the file to it, wait until it is finished (asking about
// once a minute, for up to ten minutes, as slow reels need), publish it.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json/json.h"
#include "publish/publish.h"

namespace {

bool all_digits(const char* text) { return text[0] != '\0' && std::strspn(text, "0123456789") == std::strlen(text); }

constexpr uint32_t kPollSeconds = 60;
constexpr uint32_t kPollLimit = 600;

bool version_ok(const char* version) {
  return version[0] == 'v' && version[1] != '\0' && std::strspn(version + 1, "0123456789.") == std::strlen(version + 1);
}

}  // namespace

bool publish_instagram(PublishTask* task, int file, uint64_t size) {
  char version[20] = "v27.0";
  if (std::getenv("ZARNELK_INSTAGRAM_API_VERSION") != nullptr &&
      !publish_env("ZARNELK_INSTAGRAM_API_VERSION", version, sizeof version))
    return false;
  char* caption = data_json_quote(task->title);
  if (!all_digits(task->account_id) || !version_ok(version) || caption == nullptr) {
    std::free(caption);
    return false;
  }
  const std::string base = std::string(publish_hosts::kGraph) + version + "/";
  const char* suffix = publish_hosts::kFacebookSuffix;
  HttpResponse* reply = static_cast<HttpResponse*>(std::calloc(1, sizeof(HttpResponse)));
  char bearer[3100];
  std::snprintf(bearer, sizeof bearer, "Bearer %s", task->token);
  char body[1200];
  const int body_length = std::snprintf(
      body, sizeof body, "{\"media_type\":\"REELS\",\"upload_type\":\"resumable\",\"caption\":%s}", caption);
  std::free(caption);
  char container[100] = "";
  bool ok = reply != nullptr && body_length > 0 && body_length < static_cast<int>(sizeof body) &&
            publish_json("POST", (base + task->account_id + "/media").c_str(), suffix, bearer, nullptr, body, reply,
                         &task->cancel) &&
            publish_field(reply->body, "id", container, sizeof container) && all_digits(container);
  if (ok) {
    char headers[3300];
    std::snprintf(headers, sizeof headers,
                  "Authorization: OAuth %s\r\noffset: 0\r\nfile_size: %" PRIu64
                  "\r\nContent-Type: application/octet-stream\r\n",
                  task->token, size);
    const std::string upload = std::string(publish_hosts::kGraphUpload) + version + "/" + container;
    HttpRequest request{};
    request.method = "POST";
    request.url = upload.c_str();
    request.host_suffix = suffix;
    request.headers = headers;
    request.file = file;
    request.file_length = size;
    request.progress = &task->sent;
    ok = http_request(&request, reply, &task->cancel) && reply->status >= 200 && reply->status < 300;
    publish_wipe(headers, sizeof headers);
  }
  ok = ok && publish_wait_ready((base + container + "?fields=status_code").c_str(), suffix, bearer, nullptr,
                                "status_code", "FINISHED", kPollSeconds, kPollLimit, task, reply);
  char media[100] = "";
  if (ok) {
    // The container goes in the creation_id query parameter.
    const std::string publish = base + task->account_id + "/media_publish?creation_id=" + container;
    ok = publish_json("POST", publish.c_str(), suffix, bearer, nullptr, nullptr, reply, &task->cancel) &&
         publish_field(reply->body, "id", media, sizeof media);
  }
  if (ok)
    std::snprintf(task->status_text, sizeof task->status_text, "Reel published · %.80s", media);
  else
    std::snprintf(task->status_text, sizeof task->status_text, "Instagram publishing failed (HTTP %u).",
                  reply != nullptr ? reply->status : 0);
  publish_wipe(bearer, sizeof bearer);
  std::free(reply);
  return ok;
}
