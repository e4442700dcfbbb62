// Publishing finished exports: one task per destination holding its access
// token and running at most one background worker (a browser sign-in or an
// upload), the request helpers the uploads share, the sign-in with its
// loopback callback, and the service flows. The publish panel (editor/)
// drives it; nothing here knows the editor or the export queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "base/limits.h"
#include "platform/http.h"


enum : uint32_t {
  PUBLISH_YOUTUBE = 0,
  PUBLISH_TWITCH = 1,
  PUBLISH_LINKEDIN = 2,
  PUBLISH_INSTAGRAM = 3,
  PUBLISH_SOUNDCLOUD = 4,
};
constexpr uint32_t PUBLISH_TARGETS = 5;

// What a task's worker does (`connecting`).
enum : uint8_t {
  PUBLISH_UPLOAD = 0,   // sends the file (after renewing an expired token)
  PUBLISH_SIGN_IN = 1,  // the browser sign-in
  PUBLISH_RESTORE = 2,  // the sign-in remembered in the secret store, renewed
  PUBLISH_FORGET = 3,   // Disconnect: the remembered sign-in removed
};

// A task is handed over whole with `busy`: while it is 1 the worker owns
// every field but the atomics and `thread`; while it is 0 the UI thread does.
struct PublishTask {
  // --- UI thread only
  std::thread* thread;  // the worker while it exists; joined once `busy` is 0
  uint32_t target;      // PUBLISH_*, fixed when the context is made

  // --- shared through atomics
  std::atomic<int32_t> cancel;  // the UI thread sets 1 to ask the worker to stop
  std::atomic<int32_t> busy;    // 1 while a worker owns the task; the worker sets 0 last
  std::atomic<uint64_t> sent;   // the worker's file bytes of the current upload sent so far
  std::atomic<uint64_t> size;   // the current upload's file size; 0 before it is known

  // --- whoever owns the task (see `busy`)
  char token[3072];       // empty: not connected (or waiting to be renewed)
  char refresh_token[2048];  // from a sign-in: renews `token`; empty when none was given
  char account_id[128];   // LinkedIn member id, Instagram account id, the channel or user a sign-in connected
  char account_name[128]; // who the service says is signed in (after a sign-in)
  uint64_t expires_ms;    // all ones for a token from the environment
  char file_path[KELVRA_PATH_SIZE];
  char title[160];
  char status_text[160];
  uint8_t connecting;     // PUBLISH_UPLOAD, _SIGN_IN, _RESTORE or _FORGET
  uint8_t signed_in;      // the token came from a sign-in (or its remembered renewal), not the environment
  uint8_t restore_tried;  // the secret store was asked once this run
  uint8_t store_note_said;  // "not remembered: no secret store" was said this run
};

// The context holds every token: one block of secret memory (out of core
// dumps), made by kelvra_publish_create and wiped by kelvra_publish_destroy.
struct PublishContext {
  PublishTask tasks[PUBLISH_TARGETS];
  char progress_texts[PUBLISH_TARGETS][48];  // the status lines of running uploads (UI thread only)
};

// ------------------------------------------------------------ [helpers]
// A JSON request with an optional bearer value; true only for a 2xx reply.
bool publish_json(const char* method, const char* url, const char* host_suffix, const char* authorization,
                  const char* extra_headers, const char* body, HttpResponse* response,
                  const std::atomic<int32_t>* cancel);
// The root object's non-empty string `key` when it fits `size`.
bool publish_field(const char* json, const char* key, char* out, uint64_t size);
// An environment variable that is set, non-empty, fits and holds no line break.
bool publish_env(const char* name, char* out, uint64_t size);
// Appends "key=value" (value percent-encoded, "&" between fields); false when it does not fit.
bool publish_form(char* buffer, uint64_t size, const char* key, const char* value);
bool publish_open_url(const char* url);
// Overwrites a secret so that it leaves no copy in memory.
void publish_wipe(void* data, uint64_t size);

// ---------------------------------------------------------------- [oauth]
// The application registration and endpoints of a destination's sign-in.
struct OAuthProvider {
  const char* client_id;      // variable names
  const char* client_secret;
  const char* callback_port;
  uint16_t default_port;
  const char* authorization;
  const char* token;
  const char* suffix;
  const char* scope;  // null: no scope field
  bool secret_required;  // the token request is refused without the client secret
  const char* keyring_key;
};
// The target's provider; null for Twitch and Instagram.
const OAuthProvider* publish_provider(uint32_t target);
// Base64url without padding of 32 bytes (43 characters and a terminator).
void base64_url(const uint8_t* bytes, char* out);
// A TCP socket listening on 127.0.0.1 at `port` (0: any); -1 on failure.
int publish_listen(uint16_t port, uint16_t* actual);
// Waits (up to 4 minutes, or a cancel) for the browser: the one-time address
// "/start/`start`" is answered once with a redirect to `authorization`
// (asked again, the sign-in ends with *taken set: someone else opened it
// first); then the callback with `state` and a code. Answers every request it reads.
bool publish_callback(int listener, const char* start, const char* authorization, const char* state, char* code,
                      uint64_t code_size, const std::atomic<int32_t>* cancel, bool* taken);
// The decoded value of parameter `name` in a request target's query.
bool callback_query(const char* query, const char* name, char* out, uint64_t size);
bool publish_oauth(PublishTask* task);

// --------------------------------------------------------------- [account]
// Who a token belongs to, as the service's own "who am I" request says: an
// id and a display name (control characters dropped). False with the
// reply's status in `response` when it cannot tell.
bool publish_whoami(uint32_t target, const char* token, char* id, uint64_t id_size, char* name, uint64_t name_size,
                    HttpResponse* response, const std::atomic<int32_t>* cancel);
// Trades the task's refresh token for a new access token (keeping a new
// refresh token when the service rotates it) and checks that it still
// belongs to the same account; false with a status text otherwise.
bool publish_renew(PublishTask* task);
// Keeps the task's sign-in in the secret store (the refresh token, else the
// access token); appends a note to the status text when it cannot.
void publish_remember(PublishTask* task);
// The sign-in the secret store kept for the task, renewed; false when there
// is none (silently) or it cannot be used (with a status text).
bool publish_restore(PublishTask* task);
// Removes the task's remembered sign-in and forgets its tokens.
bool publish_forget(PublishTask* task);
// "Connected as NAME" (or "Account connected." without a name) into the status text.
void publish_connected_text(PublishTask* task);
// ----------------------------------------------------------------- [jobs]
// The tasks, one a destination; null when memory runs out.
PublishContext* kelvra_publish_create();
// Asks every worker to stop, waits for them, wipes and frees the tasks; null allowed.
void kelvra_publish_destroy(PublishContext* context);
// The destination's status line, and whether its account is connected.
const char* kelvra_publish_status(PublishContext* context, uint32_t target, bool* connected);
// Starts the destination's sign-in, or opens its portal when it has none.
void kelvra_publish_account(PublishContext* context, uint32_t target);
// Stops the target's running sign-in or upload; false when none runs.
bool kelvra_publish_cancel(PublishContext* context, uint32_t target);
// Starts the uploads of the ticked `targets`: the MP4 `video` (null for a WAV
// row) to the video services, the WAV `mix` (null when there is none) to
// SoundCloud, both bare names in `folder`. True when Twitch's page was opened
// and the file should be shown in the file manager.
bool kelvra_publish_submit(PublishContext* context, const char* folder, const char* video, const char* mix,
                           const char* title, uint32_t targets);
const char* kelvra_publish_portal(uint32_t target);
// Whether the destination's account came from a sign-in that Disconnect can forget.
bool kelvra_publish_signed_in(PublishContext* context, uint32_t target);
// Forgets the destination's sign-in (and its copy in the secret store); false when busy or not signed in.
bool kelvra_publish_disconnect(PublishContext* context, uint32_t target);
bool publish_task_ready(PublishTask* task);
void publish_task_start(PublishTask* task, uint8_t connecting);  // PUBLISH_UPLOAD, _SIGN_IN, ...
void publish_worker(PublishTask* task);

// -------------------------------------------------------------- [uploads]
bool publish_youtube(PublishTask* task, int file, uint64_t size);
bool publish_soundcloud(PublishTask* task, int file, uint64_t size);
bool publish_linkedin(PublishTask* task, int file, uint64_t size);
bool publish_instagram(PublishTask* task, int file, uint64_t size);
// Polls `url` every `every` seconds until its `field` reads `wanted` (true),
// an error word, `limit` seconds, or a cancel (false).
bool publish_wait_ready(const char* url, const char* host_suffix, const char* authorization, const char* extra,
                        const char* field, const char* wanted, uint32_t every, uint32_t limit, PublishTask* task,
                        HttpResponse* response);
// The title as YouTube's videos.insert takes it: without "<" and ">", at
// most 100 characters (whole UTF-8 sequences), never empty.
void publish_youtube_title(const char* title, char* out, uint64_t size);
// The text in LinkedIn's "little" format: every reserved character escaped with a backslash.
bool publish_little_text(const char* text, char* out, uint64_t size);


// The services' addresses.
namespace publish_hosts {
constexpr char kGoogleAuth[] = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr char kGoogleToken[] = "https://oauth2.googleapis.com/token";
constexpr char kGoogleSuffix[] = "googleapis.com";
constexpr char kYouTubeUpload[] =
    "https://www.googleapis.com/upload/youtube/v3/videos?uploadType=resumable&part=snippet%2Cstatus"
    "&notifySubscribers=false";
// Uploads, and reading which channel is connected (channels.list with mine=true).
constexpr char kYouTubeScope[] =
    "https://www.googleapis.com/auth/youtube.upload https://www.googleapis.com/auth/youtube.readonly";
constexpr char kYouTubeChannel[] = "https://www.googleapis.com/youtube/v3/channels?part=snippet&mine=true";
constexpr char kLinkedInUserInfo[] = "https://api.linkedin.com/v2/userinfo";
constexpr char kSoundCloudMe[] = "https://api.soundcloud.com/me";
constexpr char kLinkedInAuth[] = "https://www.linkedin.com/oauth/native-pkce/authorization";
constexpr char kLinkedInToken[] = "https://www.linkedin.com/oauth/v2/accessToken";
constexpr char kLinkedInApi[] = "https://api.linkedin.com";
constexpr char kLinkedInSuffix[] = "linkedin.com";
constexpr char kLinkedInMediaSuffix[] = "licdn.com";
constexpr char kSoundCloudAuth[] = "https://secure.soundcloud.com/authorize";
constexpr char kSoundCloudToken[] = "https://secure.soundcloud.com/oauth/token";
constexpr char kSoundCloudTracks[] = "https://api.soundcloud.com/tracks";
constexpr char kSoundCloudSuffix[] = "soundcloud.com";
constexpr char kGraph[] = "https://graph.facebook.com/";
constexpr char kGraphUpload[] = "https://rupload.facebook.com/ig-api-upload/";
constexpr char kFacebookSuffix[] = "facebook.com";
}  // namespace publish_hosts
