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
  char token[3072];       // empty: not connected
  char account_id[128];   // LinkedIn member id or Instagram account id
  uint64_t expires_ms;    // all ones for a token from the environment
  char file_path[KELVRA_PATH_SIZE];
  char title[160];
  char status_text[140];
  uint8_t connecting;     // the worker signs in (otherwise it uploads)
};

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
// Base64url without padding of 32 bytes (43 characters and a terminator).
void base64_url(const uint8_t* bytes, char* out);
// A TCP socket listening on 127.0.0.1 at `port` (0: any); -1 on failure.
int publish_listen(uint16_t port, uint16_t* actual);
// Waits (up to 4 minutes, or a cancel) for the browser to come back with
// `state` and a code; answers every request it reads.
bool publish_callback(int listener, const char* state, char* code, uint64_t code_size,
                      const std::atomic<int32_t>* cancel);
// The decoded value of parameter `name` in a request target's query.
bool callback_query(const char* query, const char* name, char* out, uint64_t size);
bool publish_oauth(PublishTask* task);

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
bool publish_task_ready(PublishTask* task);
void publish_task_start(PublishTask* task, bool connecting);
void publish_worker(PublishTask* task);

// -------------------------------------------------------------- [uploads]
bool publish_youtube(PublishTask* task, int file, uint64_t size);
bool publish_soundcloud(PublishTask* task, int file, uint64_t size);
bool publish_linkedin(PublishTask* task, int file, uint64_t size);
bool publish_instagram(PublishTask* task, int file, uint64_t size);
// Polls `url` every 3 seconds until its `field` reads `wanted` (true), an
// error word, `limit` seconds, or a cancel (false).
bool publish_wait_ready(const char* url, const char* host_suffix, const char* authorization, const char* extra,
                        const char* field, const char* wanted, uint32_t limit, PublishTask* task,
                        HttpResponse* response);


// The services' addresses.
namespace publish_hosts {
constexpr char kGoogleAuth[] = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr char kGoogleToken[] = "https://oauth2.googleapis.com/token";
constexpr char kGoogleSuffix[] = "googleapis.com";
constexpr char kYouTubeUpload[] =
    "https://www.googleapis.com/upload/youtube/v3/videos?uploadType=resumable&part=snippet%2Cstatus"
    "&notifySubscribers=false";
constexpr char kYouTubeScope[] = "https://www.googleapis.com/auth/youtube.upload";
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
