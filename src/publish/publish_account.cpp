// Which account a token belongs to, and the sign-ins the desktop's secret
// store keeps between runs: the refresh token (or, where the service gives
// none, the long-lived access token) with the account it was issued for,
// never in a file. A remembered sign-in is renewed at the next start
// without a browser and used only when the service still names the same
// account; Disconnect removes it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "json/json.h"
#include "platform/clock.h"
#include "platform/keyring.h"
#include "platform/secret_memory.h"
#include "publish/publish.h"

namespace {

// Copies a JSON string value, dropping control characters; false when absent or empty.
bool take_text(const JsonDocument* document, uint64_t index, char* out, uint64_t size) {
  char* value = data_json_string(document, index);
  uint64_t length = 0;
  for (const char* c = value; c != nullptr && *c != '\0' && length + 1 < size; ++c)
    if (static_cast<unsigned char>(*c) >= 0x20 && *c != 0x7F) out[length++] = *c;
  // A cut in the middle of a UTF-8 sequence drops the sequence.
  while (length > 0 && (static_cast<unsigned char>(out[length - 1]) & 0xC0) == 0x80) --length;
  if (length > 0 && static_cast<unsigned char>(out[length - 1]) >= 0xC0) --length;
  out[length] = '\0';
  if (value != nullptr) publish_wipe(value, std::strlen(value));
  std::free(value);
  return length > 0;
}

// A JSON string, or a whole number written as text.
bool take_id(const JsonDocument* document, uint64_t index, char* out, uint64_t size) {
  uint64_t number = 0;
  if (data_json_size(document, index, &number)) {
    const int length = std::snprintf(out, size, "%llu", static_cast<unsigned long long>(number));
    return length > 0 && static_cast<uint64_t>(length) < size;
  }
  return take_text(document, index, out, size);
}

// The remembered record: {"kind": "refresh" or "access", "token", "account", "name", "expires" (Unix seconds)}.
constexpr uint64_t kRecordSize = 8192;


}  // namespace

bool publish_whoami(uint32_t target, const char* token, char* id, uint64_t id_size, char* name, uint64_t name_size,
                    HttpResponse* response, const std::atomic<int32_t>* cancel) {
  id[0] = '\0';
  name[0] = '\0';
  char authorization[3100];
  std::snprintf(authorization, sizeof authorization, "%s %s", target == PUBLISH_SOUNDCLOUD ? "OAuth" : "Bearer",
                token);
  const char* url = target == PUBLISH_YOUTUBE    ? publish_hosts::kYouTubeChannel
                    : target == PUBLISH_LINKEDIN ? publish_hosts::kLinkedInUserInfo
                                                 : publish_hosts::kSoundCloudMe;
  const char* suffix = target == PUBLISH_YOUTUBE    ? publish_hosts::kGoogleSuffix
                       : target == PUBLISH_LINKEDIN ? publish_hosts::kLinkedInSuffix
                                                    : publish_hosts::kSoundCloudSuffix;
  bool ok = target != PUBLISH_TWITCH && target != PUBLISH_INSTAGRAM &&
            publish_json("GET", url, suffix, authorization, nullptr, nullptr, response, cancel);
  publish_wipe(authorization, sizeof authorization);
  JsonDocument document{};
  ok = ok && data_json_parse(&document, response->body);
  if (!ok) return false;
  if (target == PUBLISH_YOUTUBE) {
    // channels.list with mine=true: the first item's id and snippet.title.
    const uint64_t channel = data_json_child(&document, data_json_field(&document, 0, "items"));
    ok = take_text(&document, data_json_field(&document, channel, "id"), id, id_size);
    take_text(&document, data_json_field(&document, data_json_field(&document, channel, "snippet"), "title"), name,
              name_size);
  } else if (target == PUBLISH_LINKEDIN) {
    ok = take_text(&document, data_json_field(&document, 0, "sub"), id, id_size);
    take_text(&document, data_json_field(&document, 0, "name"), name, name_size);
  } else {
    ok = take_id(&document, data_json_field(&document, 0, "id"), id, id_size);
    take_text(&document, data_json_field(&document, 0, "username"), name, name_size);
  }
  data_json_free(&document);
  // LinkedIn's member id goes into every post's author URN.
  if (ok && target == PUBLISH_LINKEDIN)
    ok = std::strspn(id, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_-") == std::strlen(id);
  if (ok && name[0] == '\0') std::snprintf(name, name_size, "%s", id);
  if (!ok) id[0] = '\0';
  return ok;
}

void publish_connected_text(PublishTask* task) {
  if (task->account_name[0] != '\0')
    std::snprintf(task->status_text, sizeof task->status_text, "Connected as %.100s", task->account_name);
  else
    std::snprintf(task->status_text, sizeof task->status_text, "Account connected.");
}

void publish_remember(PublishTask* task) {
  const OAuthProvider* provider = publish_provider(task->target);
  if (provider == nullptr) return;
  char* record = static_cast<char*>(sys_secret_alloc(kRecordSize));
  if (record == nullptr) return;
  const bool refresh = task->refresh_token[0] != '\0';
  char* token = data_json_quote(refresh ? task->refresh_token : task->token);
  char* account = data_json_quote(task->account_id);
  char* name = data_json_quote(task->account_name);
  const uint64_t now_ms = ui_time_ms();
  const long long expires =
      refresh ? 0 : static_cast<long long>(std::time(nullptr)) + static_cast<long long>((task->expires_ms - now_ms) / 1000);
  SysKeyring result = SYS_KEYRING_REFUSED;
  if (token != nullptr && account != nullptr && name != nullptr) {
    const int length = std::snprintf(record, kRecordSize,
                                     "{\"kind\":\"%s\",\"token\":%s,\"account\":%s,\"name\":%s,\"expires\":%lld}",
                                     refresh ? "refresh" : "access", token, account, name, expires);
    char label[96];
    std::snprintf(label, sizeof label, "Zarnel Kelvra sign-in (%s)", provider->keyring_key);
    if (length > 0 && static_cast<uint64_t>(length) < kRecordSize)
      result = sys_keyring_store(provider->keyring_key, label, record);
  }
  if (token != nullptr) publish_wipe(token, std::strlen(token));
  std::free(token);
  std::free(account);
  std::free(name);
  sys_secret_free(record, kRecordSize);
  if (result == SYS_KEYRING_OK) return;
  char shown[104];
  std::snprintf(shown, sizeof shown, "%.100s", task->status_text);
  if (result == SYS_KEYRING_UNAVAILABLE) {
    if (task->store_note_said != 0) return;  // said once a run for each destination
    task->store_note_said = 1;
    std::snprintf(task->status_text, sizeof task->status_text,
                  "%.80s. Sign-ins will not be remembered: no secret store.", shown);
  } else {
    std::snprintf(task->status_text, sizeof task->status_text,
                  "%.80s. The keyring refused to keep it: this run only.", shown);
  }
}

bool publish_restore(PublishTask* task) {
  const OAuthProvider* provider = publish_provider(task->target);
  if (provider == nullptr) return false;
  char* record = static_cast<char*>(sys_secret_alloc(kRecordSize));
  if (record == nullptr) return false;
  const SysKeyring found = sys_keyring_lookup(provider->keyring_key, record, kRecordSize);
  bool ok = false;
  if (found == SYS_KEYRING_REFUSED) {
    std::snprintf(task->status_text, sizeof task->status_text,
                  "The keyring is locked or refused the remembered sign-in. Unlock it or connect again.");
  }
  JsonDocument document{};
  if (found == SYS_KEYRING_OK && data_json_parse(&document, record)) {
    char kind[16] = "";
    take_text(&document, data_json_field(&document, 0, "kind"), kind, sizeof kind);
    const bool refresh = std::strcmp(kind, "refresh") == 0;
    char* token = static_cast<char*>(sys_secret_alloc(sizeof task->token));
    uint64_t expires = 0;
    data_json_size(&document, data_json_field(&document, 0, "expires"), &expires);
    const bool usable =
        token != nullptr && take_text(&document, data_json_field(&document, 0, "token"), token, sizeof task->token) &&
        std::strlen(token) < (refresh ? sizeof task->refresh_token : sizeof task->token) &&
        take_text(&document, data_json_field(&document, 0, "account"), task->account_id, sizeof task->account_id);
    take_text(&document, data_json_field(&document, 0, "name"), task->account_name, sizeof task->account_name);
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
    if (!usable) {
      std::snprintf(task->status_text, sizeof task->status_text,
                    "The remembered sign-in could not be read. Connect again.");
    } else if (refresh) {
      std::snprintf(task->refresh_token, sizeof task->refresh_token, "%s", token);
      ok = publish_renew(task);
      // A refresh token the service refused is of no further use.
      if (!ok && task->refresh_token[0] == '\0') sys_keyring_clear(provider->keyring_key);
    } else if (expires <= now + 60) {
      sys_keyring_clear(provider->keyring_key);
      std::snprintf(task->status_text, sizeof task->status_text,
                    "The remembered sign-in has expired. Connect again.");
    } else {
      char* id = static_cast<char*>(sys_secret_alloc(sizeof task->account_id));
      HttpResponse* reply = static_cast<HttpResponse*>(std::calloc(1, sizeof(HttpResponse)));
      ok = id != nullptr && reply != nullptr &&
           publish_whoami(task->target, token, id, sizeof task->account_id, task->account_name,
                          sizeof task->account_name, reply, &task->cancel);
      if (!ok) {
        std::snprintf(task->status_text, sizeof task->status_text,
                      "The remembered sign-in was refused (HTTP %u). Connect again.", reply != nullptr ? reply->status : 0);
      } else if (std::strcmp(id, task->account_id) != 0) {
        ok = false;
        std::snprintf(task->status_text, sizeof task->status_text,
                      "The service answered for another account than before; nothing was used. Connect again.");
      } else {
        std::snprintf(task->token, sizeof task->token, "%s", token);
        task->expires_ms = ui_time_ms() + (expires - now) * 1000;
        task->signed_in = 1;
      }
      std::free(reply);
      sys_secret_free(id, sizeof task->account_id);
    }
    sys_secret_free(token, sizeof task->token);
    data_json_free(&document);
  }
  sys_secret_free(record, kRecordSize);
  if (ok) {
    publish_connected_text(task);
  } else {
    publish_wipe(task->token, sizeof task->token);
    publish_wipe(task->refresh_token, sizeof task->refresh_token);
    publish_wipe(task->account_id, sizeof task->account_id);
    publish_wipe(task->account_name, sizeof task->account_name);
    task->signed_in = 0;
  }
  return ok;
}

bool publish_forget(PublishTask* task) {
  const OAuthProvider* provider = publish_provider(task->target);
  publish_wipe(task->token, sizeof task->token);
  publish_wipe(task->refresh_token, sizeof task->refresh_token);
  publish_wipe(task->account_id, sizeof task->account_id);
  publish_wipe(task->account_name, sizeof task->account_name);
  task->signed_in = 0;
  task->expires_ms = 0;
  const SysKeyring result = provider != nullptr ? sys_keyring_clear(provider->keyring_key) : SYS_KEYRING_OK;
  if (result == SYS_KEYRING_REFUSED)
    std::snprintf(task->status_text, sizeof task->status_text,
                  "Disconnected for this run; the keyring refused to remove the remembered sign-in.");
  else
    std::snprintf(task->status_text, sizeof task->status_text, "Disconnected.");
  return result != SYS_KEYRING_REFUSED;
}
