// LinkedIn video posts: register the upload, send the file in the parts the
// service names (each acknowledged with an ETag), finalise with the ETags,
// wait for processing, then post on the member's feed. Also the processing
// poll that Instagram shares.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "json/json.h"
#include "platform/clock.h"
#include "publish/publish.h"

namespace {

constexpr char kMemberCharacters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-";
constexpr uint64_t kLongestPart = 16777215;
constexpr uint64_t kMostParts = 1024;

struct Part {
  uint64_t first;
  uint64_t last;
  std::string url;
};

bool digits(const char* text, uint64_t count) {
  if (std::strlen(text) != count) return false;
  for (uint64_t i = 0; i < count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

std::string quoted(const char* text) {
  char* quote = data_json_quote(text);
  std::string out = quote != nullptr ? quote : "";
  std::free(quote);
  return out;
}

std::string json_text(const JsonDocument* document, uint64_t index) {
  char* value = data_json_string(document, index);
  std::string out = value != nullptr ? value : "";
  std::free(value);
  return out;
}

// The register reply: the video URN, the upload token and the parts.
bool read_registration(const char* body, std::string* video, std::string* token, std::vector<Part>* parts) {
  JsonDocument document{};
  if (!data_json_parse(&document, body)) return false;
  const uint64_t value = data_json_field(&document, 0, "value");
  *video = json_text(&document, data_json_field(&document, value, "video"));
  *token = json_text(&document, data_json_field(&document, value, "uploadToken"));
  const uint64_t list = data_json_field(&document, value, "uploadInstructions");
  uint64_t count = 0;
  bool ok = !video->empty() && data_json_array_count(&document, list, &count) && count >= 1 && count <= kMostParts;
  for (uint64_t item = data_json_child(&document, list); ok && item != JSON_NONE;
       item = data_json_after(&document, item, list)) {
    Part part;
    part.url = json_text(&document, data_json_field(&document, item, "uploadUrl"));
    ok = !part.url.empty() && data_json_size(&document, data_json_field(&document, item, "firstByte"), &part.first) &&
         data_json_size(&document, data_json_field(&document, item, "lastByte"), &part.last);
    if (ok) parts->push_back(part);
  }
  data_json_free(&document);
  return ok;
}

bool linkedin_order(const Part& a, const Part& b) { return a.first < b.first; }

// The API version sent when ZARNELK_LINKEDIN_VERSION does not name one: the
// newest month this program has been checked against. LinkedIn retires a
// version about a year after its month.
constexpr char kLinkedInVersion[] = "202611";

}  // namespace

bool publish_little_text(const char* text, char* out, uint64_t size) {
  uint64_t length = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    const bool reserved = std::strchr("\\|{}@[]()<>#*_~", *c) != nullptr;
    if (length + (reserved ? 2 : 1) >= size) {
      out[0] = '\0';
      return false;
    }
    if (reserved) out[length++] = '\\';
    out[length++] = *c;
  }
  out[length] = '\0';
  return true;
}

bool publish_wait_ready(const char* url, const char* host_suffix, const char* authorization, const char* extra,
                        const char* field, const char* wanted, uint32_t every, uint32_t limit, PublishTask* task,
                        HttpResponse* response) {
  for (uint32_t waited = 0;;) {
    if (!publish_json("GET", url, host_suffix, authorization, extra, nullptr, response, &task->cancel)) return false;
    char value[64];
    if (!publish_field(response->body, field, value, sizeof value)) return false;
    if (std::strcmp(value, wanted) == 0) return true;
    for (const char* error : {"ERROR", "EXPIRED", "FAILED", "PROCESSING_FAILED"})
      if (std::strcmp(value, error) == 0) return false;
    waited += every;
    if (waited > limit) return false;
    for (uint32_t i = 0; i < every * 4; ++i) {
      if (task->cancel.load() != 0) return false;
      ui_sleep_ms(250);
    }
  }
}

bool publish_linkedin(PublishTask* task, int file, uint64_t size) {
  const char* member = task->account_id;
  if (member[0] == '\0' || std::strspn(member, kMemberCharacters) != std::strlen(member)) return false;
  char version[16];
  std::snprintf(version, sizeof version, "%s", kLinkedInVersion);
  if (std::getenv("ZARNELK_LINKEDIN_VERSION") != nullptr &&
      !publish_env("ZARNELK_LINKEDIN_VERSION", version, sizeof version))
    return false;
  if (!digits(version, 6)) return false;

  HttpResponse* reply = static_cast<HttpResponse*>(std::calloc(1, sizeof(HttpResponse)));
  if (reply == nullptr) return false;
  char bearer[3100];
  std::snprintf(bearer, sizeof bearer, "Bearer %s", task->token);
  char extra[96];
  std::snprintf(extra, sizeof extra, "LinkedIn-Version: %s\r\nX-Restli-Protocol-Version: 2.0.0\r\n", version);
  const std::string api = publish_hosts::kLinkedInApi;
  const char* suffix = publish_hosts::kLinkedInSuffix;

  char body[420];
  std::snprintf(body, sizeof body,
                "{\"initializeUploadRequest\":{\"owner\":\"urn:li:person:%s\",\"fileSizeBytes\":%" PRIu64
                ",\"uploadCaptions\":false,\"uploadThumbnail\":false}}",
                member, size);
  std::string video;
  std::string upload_token;
  std::vector<Part> parts;
  bool ok = publish_json("POST", (api + "/rest/videos?action=initializeUpload").c_str(), suffix, bearer, extra, body,
                         reply, &task->cancel) &&
            read_registration(reply->body, &video, &upload_token, &parts);
  std::sort(parts.begin(), parts.end(), linkedin_order);
  std::string etags;
  uint64_t offset = 0;
  for (const Part& part : parts) {
    if (!ok) break;
    ok = part.first == offset && offset < size && part.last >= offset && part.last - offset <= kLongestPart;
    if (!ok) break;
    const uint64_t end = std::min(part.last + 1, size);
    HttpRequest put{};
    put.method = "PUT";
    put.url = part.url.c_str();
    put.host_suffix = suffix;
    put.headers = "Content-Type: application/octet-stream\r\n";
    put.file = file;
    put.file_offset = static_cast<int64_t>(offset);
    put.file_length = end - offset;
    put.progress = &task->sent;
    ok = http_request(&put, reply, &task->cancel);
    if (!ok && reply->status == 0) {
      put.host_suffix = publish_hosts::kLinkedInMediaSuffix;
      ok = http_request(&put, reply, &task->cancel);
    }
    ok = ok && reply->status >= 200 && reply->status < 300 && reply->etag[0] != '\0';
    if (!ok) break;
    std::string etag = reply->etag;
    if (etag.size() > 1 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
    if (!etags.empty()) etags.push_back(',');
    etags.append(quoted(etag.c_str()));
    offset = end;
  }
  ok = ok && offset == size;
  if (ok) {
    const std::string finalize = "{\"finalizeUploadRequest\":{\"video\":" + quoted(video.c_str()) +
                                 ",\"uploadToken\":" + quoted(upload_token.c_str()) + ",\"uploadedPartIds\":[" +
                                 etags + "]}}";
    ok = publish_json("POST", (api + "/rest/videos?action=finalizeUpload").c_str(), suffix, bearer, extra,
                      finalize.c_str(), reply, &task->cancel);
  }
  if (ok) {
    char encoded[512] = "";
    ok = publish_form(encoded, sizeof encoded, "v", video.c_str());
    const std::string address = api + "/rest/videos/" + (encoded + 2);
    ok = ok && publish_wait_ready(address.c_str(), suffix, bearer, extra, "status", "AVAILABLE", 3, 240, task, reply);
  }
  char little[2 * sizeof task->title];
  ok = ok && publish_little_text(task->title, little, sizeof little);
  if (ok) {
    // The commentary is "little" text, where reserved characters must be
    // escaped or the post is cut or misread; the media title is plain.
    const std::string title = quoted(task->title);
    const std::string post = std::string("{\"author\":\"urn:li:person:") + member + "\",\"commentary\":" + quoted(little) +
                             ",\"visibility\":\"PUBLIC\",\"distribution\":{\"feedDistribution\":\"MAIN_FEED\","
                             "\"targetEntities\":[],\"thirdPartyDistributionChannels\":[]},\"content\":{\"media\":{"
                             "\"id\":" +
                             quoted(video.c_str()) + ",\"title\":" + title +
                             "}},\"lifecycleState\":\"PUBLISHED\",\"isReshareDisabledByAuthor\":false}";
    ok = publish_json("POST", (api + "/rest/posts").c_str(), suffix, bearer, extra, post.c_str(), reply,
                      &task->cancel);
  }
  if (ok)
    std::snprintf(task->status_text, sizeof task->status_text, "LinkedIn post published.");
  else
    std::snprintf(task->status_text, sizeof task->status_text, "LinkedIn publishing failed (HTTP %u).",
                  reply->status);
  publish_wipe(bearer, sizeof bearer);
  std::free(reply);
  return ok;
}
