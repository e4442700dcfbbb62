// Account sign-in: OAuth 2.0 authorization code with PKCE in the user's own
// browser, the browser coming back to a one-shot HTTP listener on
// 127.0.0.1, and the code exchanged for a token over HTTPS. The browser is
// handed only a one-time loopback address ("/start/" and a random word),
// never the authorization address with its state and challenge: any user can
// read a process's command line, so the listener gives the redirect to the
// provider once, to whoever asks first, and a second asker ends the sign-in.
// Every secret (state, verifier, challenge, code, client secret, token)
// lives in one secret block that is wiped before the sign-in returns, on
// every path.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json/json.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/secret_memory.h"
#include "publish/publish.h"

namespace {

// Google's installed-app flow and SoundCloud both refuse the token request
// without the client secret; LinkedIn's native PKCE flow has none.
const OAuthProvider kProviders[PUBLISH_TARGETS] = {
    {"ZARNELK_YOUTUBE_CLIENT_ID", "ZARNELK_YOUTUBE_CLIENT_SECRET", "ZARNELK_YOUTUBE_CALLBACK_PORT", 0,
     publish_hosts::kGoogleAuth, publish_hosts::kGoogleToken, publish_hosts::kGoogleSuffix,
     publish_hosts::kYouTubeScope, true, "youtube"},
    {},
    {"ZARNELK_LINKEDIN_CLIENT_ID", "ZARNELK_LINKEDIN_CLIENT_SECRET", "ZARNELK_LINKEDIN_CALLBACK_PORT", 0,
     publish_hosts::kLinkedInAuth, publish_hosts::kLinkedInToken, publish_hosts::kLinkedInSuffix,
     "openid profile w_member_social", false, "linkedin"},
    {},
    {"ZARNELK_SOUNDCLOUD_CLIENT_ID", "ZARNELK_SOUNDCLOUD_CLIENT_SECRET", "ZARNELK_SOUNDCLOUD_CALLBACK_PORT", 7912,
     publish_hosts::kSoundCloudAuth, publish_hosts::kSoundCloudToken, publish_hosts::kSoundCloudSuffix, nullptr, true,
     "soundcloud"},
};

constexpr uint64_t kWaitMs = 240000;
constexpr int kPollMs = 250;
constexpr int kClientTimeoutMs = 700;
constexpr uint64_t kLifetimeSeconds = 3500;
constexpr uint64_t kLongestLifetime = 15552000;  // 180 days

constexpr char kCodeFound[] = "Return to Zarnel Kelvra to finish connecting.";
constexpr char kDeclined[] = "Sign-in was declined or expired.";
constexpr char kTaken[] = "This sign-in was already opened in another browser. Start it again in Zarnel Kelvra.";

void answer(int client, const char* status, const char* body) {
  char text[512];
  const int length = std::snprintf(text, sizeof text,
                                   "HTTP/1.1 %s\r\nContent-Type: text/plain; charset=utf-8\r\nCache-Control: "
                                   "no-store\r\nConnection: close\r\nContent-Length: %zu\r\n\r\n%s",
                                   status, std::strlen(body), body);
  for (int sent = 0; length > 0 && sent < length;) {
    const ssize_t n = send(client, text + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<int>(n);
  }
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the request head from a client within its time-outs; the bytes read.
uint64_t read_request(int client, char* buffer, uint64_t size) {
  timeval timeout{0, kClientTimeoutMs * 1000};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const uint64_t started = ui_time_ms();
  uint64_t have = 0;
  while (have < size - 1 && ui_time_ms() - started < kClientTimeoutMs) {
    const ssize_t n = recv(client, buffer + have, size - 1 - have, 0);
    if (n <= 0) break;
    have += static_cast<uint64_t>(n);
    buffer[have] = '\0';
    if (std::strstr(buffer, "\r\n") != nullptr) break;
  }
  buffer[have] = '\0';
  return have;
}

// The redirect to the provider's authorization address.
void redirect(int client, const char* location) {
  char text[4700];
  const int length = std::snprintf(text, sizeof text,
                                   "HTTP/1.1 302 Found\r\nLocation: %s\r\nCache-Control: no-store\r\nReferrer-Policy: "
                                   "no-referrer\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
                                   location);
  for (int sent = 0; length > 0 && length < static_cast<int>(sizeof text) && sent < length;) {
    const ssize_t n = send(client, text + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<int>(n);
  }
  publish_wipe(text, sizeof text);
}

// The request line asks for "/start/" followed by exactly `start`.
bool asks_start(const char* request, const char* start) {
  if (std::strncmp(request, "GET /start/", 11) != 0) return false;
  const size_t length = std::strlen(start);
  return std::strncmp(request + 11, start, length) == 0 && request[11 + length] == ' ';
}

// The Host header names this listener: 127.0.0.1 and its port.
bool host_is_listener(const char* request, uint16_t port) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "\r\nHost: 127.0.0.1:%u\r\n", port);
  return strcasestr(request, wanted) != nullptr;
}

uint16_t listener_port(int listener) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

// A decimal port 1..65535 using the whole text.
bool parse_port(const char* text, uint16_t* port) {
  if (text[0] == '\0') return false;
  uint32_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*c - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// A plain non-negative integer "expires_in" of the reply, in seconds.
bool expires_in(const char* json, uint64_t* seconds) {
  JsonDocument document{};
  if (!data_json_parse(&document, json)) return false;
  const bool ok = data_json_size(&document, data_json_field(&document, 0, "expires_in"), seconds);
  data_json_free(&document);
  return ok;
}

// The secrets of one sign-in, wiped together.
struct Secrets {
  char start[64];
  char start_url[128];
  char state[64];
  char verifier[64];
  char challenge[64];
  char code[2048];
  char secret[512];
  char token[3072];
  char refresh[2048];
  char account[128];
  char name[128];
  char query[4096];
  char url[4300];
  char form[8192];
  HttpResponse response;
};

}  // namespace

void base64_url(const uint8_t* bytes, char* out) {
  char text[48];
  sys_base64(bytes, 32, text);
  uint32_t i = 0;
  for (; text[i] != '\0' && text[i] != '='; ++i) out[i] = text[i] == '+' ? '-' : text[i] == '/' ? '_' : text[i];
  out[i] = '\0';
  publish_wipe(text, sizeof text);
}

int publish_listen(uint16_t port, uint16_t* actual) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 3) != 0) {
    close(listener);
    return -1;
  }
  *actual = listener_port(listener);
  if (*actual == 0) {
    close(listener);
    return -1;
  }
  return listener;
}

bool callback_query(const char* query, const char* name, char* out, uint64_t size) {
  const uint64_t name_length = std::strlen(name);
  const char* end = query + std::strcspn(query, " ");
  for (const char* item = query; item < end;) {
    const char* item_end = item;
    while (item_end < end && *item_end != '&') ++item_end;
    if (static_cast<uint64_t>(item_end - item) > name_length && std::strncmp(item, name, name_length) == 0 &&
        item[name_length] == '=') {
      uint64_t length = 0;
      for (const char* c = item + name_length + 1; c < item_end; ++c) {
        int byte = static_cast<unsigned char>(*c);
        if (*c == '%') {
          const int high = c + 2 < item_end ? hex_digit(c[1]) : -1;
          const int low = c + 2 < item_end ? hex_digit(c[2]) : -1;
          if (high < 0 || low < 0) return false;
          byte = high * 16 + low;
          c += 2;
        } else if (*c == '+') {
          byte = ' ';
        }
        if (byte < 0x20 || length + 1 >= size) return false;
        out[length++] = static_cast<char>(byte);
      }
      out[length] = '\0';
      return length > 0;
    }
    item = item_end < end ? item_end + 1 : end;
  }
  return false;
}

bool publish_callback(int listener, const char* start, const char* authorization, const char* state, char* code,
                      uint64_t code_size, const std::atomic<int32_t>* cancel, bool* taken) {
  *taken = false;
  const uint64_t deadline = ui_time_ms() + kWaitMs;
  const uint16_t port = listener_port(listener);
  bool started = false;
  while (ui_time_ms() < deadline && cancel->load() == 0) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, kPollMs) <= 0) continue;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    char request[4096];
    read_request(client, request, sizeof request);
    const bool host = host_is_listener(request, port);
    if (host && asks_start(request, start)) {
      // The first asker gets the only sign-in; a second one means another
      // browser (perhaps another user's) opened the address first.
      if (started) {
        answer(client, "410 Gone", kTaken);
        publish_wipe(request, sizeof request);
        close(client);
        *taken = true;
        return false;
      }
      started = true;
      redirect(client, authorization);
      publish_wipe(request, sizeof request);
      close(client);
      continue;
    }
    char got_state[96];
    const bool ours = started && std::strncmp(request, "GET /callback?", 14) == 0 && host &&
                      callback_query(request + 14, "state", got_state, sizeof got_state) &&
                      std::strcmp(got_state, state) == 0;
    if (ours) {
      const bool found = callback_query(request + 14, "code", code, code_size);
      answer(client, "200 OK", found ? kCodeFound : kDeclined);
      publish_wipe(request, sizeof request);
      close(client);
      return found;
    }
    answer(client, "400 Bad Request", kDeclined);
    publish_wipe(request, sizeof request);
    close(client);
  }
  return false;
}

const OAuthProvider* publish_provider(uint32_t target) {
  return target < PUBLISH_TARGETS && kProviders[target].client_id != nullptr ? &kProviders[target] : nullptr;
}

namespace {

// The token request (a code or a refresh token in `s->form`): the access
// token, a refresh token when one is given, and the lifetime in seconds.
bool exchange(PublishTask* task, const OAuthProvider& provider, Secrets* s, uint64_t* lifetime) {
  HttpRequest request{};
  request.method = "POST";
  request.url = provider.token;
  request.host_suffix = provider.suffix;
  request.headers = "Content-Type: application/x-www-form-urlencoded\r\n";
  request.body_prefix = s->form;
  request.file = -1;
  const bool ok = http_request(&request, &s->response, &task->cancel) && s->response.status >= 200 &&
                  s->response.status < 300 &&
                  publish_field(s->response.body, "access_token", s->token, sizeof s->token) &&
                  std::strpbrk(s->token, "\r\n") == nullptr;
  if (!ok) return false;
  if (!publish_field(s->response.body, "refresh_token", s->refresh, sizeof s->refresh) ||
      std::strpbrk(s->refresh, "\r\n") != nullptr)
    s->refresh[0] = '\0';
  *lifetime = kLifetimeSeconds;
  uint64_t given = 0;
  if (expires_in(s->response.body, &given)) *lifetime = given;
  if (*lifetime > kLongestLifetime) *lifetime = kLongestLifetime;
  return true;
}

bool client_secret(PublishTask* task, const OAuthProvider& provider, Secrets* s) {
  const bool has_secret = publish_env(provider.client_secret, s->secret, sizeof s->secret);
  if (provider.secret_required && !has_secret) {
    std::snprintf(task->status_text, sizeof task->status_text, "%s sign-in needs %s.",
                  task->target == PUBLISH_YOUTUBE ? "YouTube" : "SoundCloud", provider.client_secret);
    return false;
  }
  return true;
}

bool sign_in(PublishTask* task, const OAuthProvider& provider, Secrets* s) {
  char client_id[512];
  if (provider.client_id == nullptr || !publish_env(provider.client_id, client_id, sizeof client_id)) return false;
  // Say what is missing before the browser asks the user to sign in.
  if (!client_secret(task, provider, s)) return false;
  uint8_t random[32];
  uint8_t digest[32];
  bool ok = sys_random_bytes(random, sizeof random);
  if (ok) base64_url(random, s->state);
  ok = ok && sys_random_bytes(random, sizeof random);
  if (ok) {
    base64_url(random, s->verifier);
    sys_sha256(s->verifier, std::strlen(s->verifier), digest);
    base64_url(digest, s->challenge);
  }
  ok = ok && sys_random_bytes(random, sizeof random);
  if (ok) base64_url(random, s->start);
  publish_wipe(random, sizeof random);
  publish_wipe(digest, sizeof digest);
  if (!ok) return false;

  uint16_t port = provider.default_port;
  char port_text[16];
  const char* port_variable = std::getenv(provider.callback_port);
  if (port_variable != nullptr && port_variable[0] != '\0' &&
      (!publish_env(provider.callback_port, port_text, sizeof port_text) || !parse_port(port_text, &port)))
    return false;
  uint16_t actual = 0;
  const int listener = publish_listen(port, &actual);
  if (listener < 0) return false;
  char redirect_uri[96];
  std::snprintf(redirect_uri, sizeof redirect_uri, "http://127.0.0.1:%u/callback", actual);
  ok = publish_form(s->query, sizeof s->query, "client_id", client_id) &&
       publish_form(s->query, sizeof s->query, "redirect_uri", redirect_uri) &&
       publish_form(s->query, sizeof s->query, "response_type", "code") &&
       publish_form(s->query, sizeof s->query, "state", s->state) &&
       publish_form(s->query, sizeof s->query, "code_challenge", s->challenge) &&
       publish_form(s->query, sizeof s->query, "code_challenge_method", "S256") &&
       (provider.scope == nullptr || publish_form(s->query, sizeof s->query, "scope", provider.scope)) &&
       (task->target != PUBLISH_YOUTUBE || publish_form(s->query, sizeof s->query, "access_type", "offline"));
  if (ok) {
    const int length = std::snprintf(s->url, sizeof s->url, "%s?%s", provider.authorization, s->query);
    std::snprintf(s->start_url, sizeof s->start_url, "http://127.0.0.1:%u/start/%s", actual, s->start);
    ok = length > 0 && length < static_cast<int>(sizeof s->url) && publish_open_url(s->start_url);
  }
  bool taken = false;
  ok = ok && publish_callback(listener, s->start, s->url, s->state, s->code, sizeof s->code, &task->cancel, &taken);
  close(listener);
  if (taken)
    std::snprintf(task->status_text, sizeof task->status_text,
                  "Sign-in was opened in another browser first; nothing was connected. Try again.");
  if (!ok) return false;

  ok = publish_form(s->form, sizeof s->form, "client_id", client_id) &&
       publish_form(s->form, sizeof s->form, "redirect_uri", redirect_uri) &&
       publish_form(s->form, sizeof s->form, "grant_type", "authorization_code") &&
       publish_form(s->form, sizeof s->form, "code", s->code) &&
       publish_form(s->form, sizeof s->form, "code_verifier", s->verifier) &&
       (s->secret[0] == '\0' || publish_form(s->form, sizeof s->form, "client_secret", s->secret));
  uint64_t lifetime = 0;
  if (!ok || !exchange(task, provider, s, &lifetime)) {
    std::snprintf(task->status_text, sizeof task->status_text, "Token exchange failed (HTTP %u).",
                  s->response.status);
    return false;
  }
  if (!publish_whoami(task->target, s->token, s->account, sizeof s->account, s->name, sizeof s->name, &s->response,
                      &task->cancel)) {
    std::snprintf(task->status_text, sizeof task->status_text,
                  "Signed in, but the service did not say which account (HTTP %u).", s->response.status);
    return false;
  }
  std::memcpy(task->token, s->token, sizeof task->token);
  std::memcpy(task->refresh_token, s->refresh, sizeof task->refresh_token);
  std::memcpy(task->account_id, s->account, sizeof task->account_id);
  std::memcpy(task->account_name, s->name, sizeof task->account_name);
  task->expires_ms = ui_time_ms() + lifetime * 1000;
  task->signed_in = 1;
  publish_connected_text(task);
  return true;
}

// A fresh access token for the refresh token, checked to be the same account.
bool renew(PublishTask* task, const OAuthProvider& provider, Secrets* s) {
  char client_id[512];
  if (!publish_env(provider.client_id, client_id, sizeof client_id)) {
    std::snprintf(task->status_text, sizeof task->status_text, "Renewing the sign-in needs %s.", provider.client_id);
    return false;
  }
  if (!client_secret(task, provider, s)) return false;
  bool ok = publish_form(s->form, sizeof s->form, "client_id", client_id) &&
            publish_form(s->form, sizeof s->form, "grant_type", "refresh_token") &&
            publish_form(s->form, sizeof s->form, "refresh_token", task->refresh_token) &&
            (s->secret[0] == '\0' || publish_form(s->form, sizeof s->form, "client_secret", s->secret));
  uint64_t lifetime = 0;
  ok = ok && exchange(task, provider, s, &lifetime);
  if (!ok) {
    const uint32_t status = s->response.status;
    if (status == 400 || status == 401) {
      // Revoked or expired: only a new sign-in helps.
      publish_wipe(task->refresh_token, sizeof task->refresh_token);
      task->signed_in = 0;
      std::snprintf(task->status_text, sizeof task->status_text,
                    "The sign-in was revoked or has expired (HTTP %u). Connect again.", status);
    } else {
      std::snprintf(task->status_text, sizeof task->status_text, "Could not renew the sign-in (HTTP %u).", status);
    }
    return false;
  }
  if (!publish_whoami(task->target, s->token, s->account, sizeof s->account, s->name, sizeof s->name, &s->response,
                      &task->cancel)) {
    std::snprintf(task->status_text, sizeof task->status_text,
                  "The service did not say which account is signed in (HTTP %u).", s->response.status);
    return false;
  }
  if (task->account_id[0] != '\0' && std::strcmp(task->account_id, s->account) != 0) {
    std::snprintf(task->status_text, sizeof task->status_text,
                  "The service answered for another account than before; nothing was used. Connect again.");
    return false;
  }
  std::memcpy(task->token, s->token, sizeof task->token);
  if (s->refresh[0] != '\0') std::memcpy(task->refresh_token, s->refresh, sizeof task->refresh_token);
  std::memcpy(task->account_id, s->account, sizeof task->account_id);
  std::memcpy(task->account_name, s->name, sizeof task->account_name);
  task->expires_ms = ui_time_ms() + lifetime * 1000;
  task->signed_in = 1;
  return true;
}

}  // namespace

bool publish_oauth(PublishTask* task) {
  const OAuthProvider* provider = publish_provider(task->target);
  if (provider == nullptr) return false;
  Secrets* secrets = static_cast<Secrets*>(sys_secret_alloc(sizeof(Secrets)));
  if (secrets == nullptr) return false;
  const bool ok = sign_in(task, *provider, secrets);
  sys_secret_free(secrets, sizeof(Secrets));
  if (ok) publish_remember(task);
  return ok;
}

bool publish_renew(PublishTask* task) {
  const OAuthProvider* provider = publish_provider(task->target);
  if (provider == nullptr || task->refresh_token[0] == '\0') return false;
  Secrets* secrets = static_cast<Secrets*>(sys_secret_alloc(sizeof(Secrets)));
  if (secrets == nullptr) return false;
  const bool ok = renew(task, *provider, secrets);
  sys_secret_free(secrets, sizeof(Secrets));
  return ok;
}
