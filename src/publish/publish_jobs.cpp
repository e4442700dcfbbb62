// Publishing tasks: one per destination, each with its token and at most one
// worker (a sign-in or an upload). While `busy` is set the worker owns the
// task; the UI thread looks at a task only after publish_task_ready.
//
// Index:
//   [tasks]     kelvra_publish_create, kelvra_publish_destroy, publish_task_ready,
//               publish_task_start, publish_worker
//   [commands]  kelvra_publish_status, kelvra_publish_account, kelvra_publish_cancel,
//               kelvra_publish_submit, kelvra_publish_portal
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "platform/keyring.h"
#include "platform/secret_memory.h"
#include "project/project.h"
#include "publish/publish.h"

namespace {

struct TargetInfo {
  const char* token_variable;    // null: no token (Twitch)
  const char* account_variable;  // null: none needed
  const char* client_variable;   // null: no browser sign-in
  const char* portal;
};

const TargetInfo kTargets[PUBLISH_TARGETS] = {
    {"ZARNELK_YOUTUBE_ACCESS_TOKEN", nullptr, "ZARNELK_YOUTUBE_CLIENT_ID", "https://studio.youtube.com/"},
    {nullptr, nullptr, nullptr, "https://dashboard.twitch.tv/content/video-producer"},
    {"ZARNELK_LINKEDIN_ACCESS_TOKEN", "ZARNELK_LINKEDIN_MEMBER_ID", "ZARNELK_LINKEDIN_CLIENT_ID",
     "https://www.linkedin.com/feed/"},
    {"ZARNELK_INSTAGRAM_USER_TOKEN", "ZARNELK_INSTAGRAM_ACCOUNT_ID", nullptr, "https://www.instagram.com/"},
    {"ZARNELK_SOUNDCLOUD_ACCESS_TOKEN", nullptr, "ZARNELK_SOUNDCLOUD_CLIENT_ID", "https://soundcloud.com/upload"},
};

// The Graph API takes a user access token; the older name still works.
constexpr char kInstagramOldToken[] = "ZARNELK_INSTAGRAM_PAGE_TOKEN";

constexpr uint64_t kUploadLimit = 0xFFFEFFFEull;  // size - 1 may be at most 0xFFFEFFFD

void set_status(PublishTask* task, const char* text) {
  std::snprintf(task->status_text, sizeof task->status_text, "%s", text);
}

bool upload(PublishTask* task) {
  // An expired sign-in is renewed with its refresh token first.
  if (task->token[0] == '\0' && task->refresh_token[0] != '\0') {
    if (!publish_renew(task)) return false;
    task->status_text[0] = '\0';
  }
  const int file = open(task->file_path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  struct stat info{};
  bool ok = fstat(file, &info) == 0 && S_ISREG(info.st_mode);
  const uint64_t size = ok ? static_cast<uint64_t>(info.st_size) : 0;
  if (ok && (size == 0 || size > kUploadLimit)) {
    set_status(task, "The upload file is empty or larger than 4 GB.");
    close(file);
    return false;
  }
  task->sent.store(0);
  task->size.store(size);
  switch (ok ? task->target : PUBLISH_TWITCH) {
    case PUBLISH_YOUTUBE: ok = publish_youtube(task, file, size); break;
    case PUBLISH_LINKEDIN: ok = publish_linkedin(task, file, size); break;
    case PUBLISH_INSTAGRAM: ok = publish_instagram(task, file, size); break;
    case PUBLISH_SOUNDCLOUD: ok = publish_soundcloud(task, file, size); break;
    default: ok = false; break;
  }
  close(file);
  return ok;
}

bool connected(const PublishTask& task) {
  return task.token[0] != '\0' || (task.signed_in != 0 && task.refresh_token[0] != '\0');
}

}  // namespace

// ------------------------------------------------------------------- [tasks]

PublishContext* kelvra_publish_create() {
  void* memory = sys_secret_alloc(sizeof(PublishContext));
  if (memory == nullptr) return nullptr;
  PublishContext* context = new (memory) PublishContext{};
  for (uint32_t t = 0; t < PUBLISH_TARGETS; ++t) context->tasks[t].target = t;
  // Sign-ins the secret store kept from an earlier run come back in the
  // background, where a sign-in could be made at all.
  if (sys_keyring_present()) {
    for (PublishTask& task : context->tasks) {
      const OAuthProvider* provider = publish_provider(task.target);
      char client[512];
      if (provider == nullptr || !publish_env(provider->client_id, client, sizeof client)) continue;
      task.restore_tried = 1;
      publish_task_start(&task, PUBLISH_RESTORE);
    }
  }
  return context;
}

void kelvra_publish_destroy(PublishContext* context) {
  if (context == nullptr) return;
  for (PublishTask& task : context->tasks) task.cancel.exchange(1);
  for (PublishTask& task : context->tasks) {
    if (task.thread == nullptr) continue;
    task.thread->join();
    delete task.thread;
    task.thread = nullptr;
  }
  context->~PublishContext();
  sys_secret_free(context, sizeof(PublishContext));
}

bool publish_task_ready(PublishTask* task) {
  if (task->busy.load() != 0) return false;
  if (task->thread != nullptr) {
    task->thread->join();
    delete task->thread;
    task->thread = nullptr;
  }
  if (task->token[0] != '\0' && ui_time_ms() < task->expires_ms) return true;
  publish_wipe(task->token, sizeof task->token);
  // A sign-in with a refresh token stays connected: the next upload renews it.
  if (task->signed_in != 0 && task->refresh_token[0] != '\0') return true;
  task->signed_in = 0;
  const TargetInfo& info = kTargets[task->target];
  if (info.token_variable == nullptr) return true;
  if (!publish_env(info.token_variable, task->token, sizeof task->token) &&
      (task->target != PUBLISH_INSTAGRAM || !publish_env(kInstagramOldToken, task->token, sizeof task->token)))
    return true;
  if (info.account_variable != nullptr && !publish_env(info.account_variable, task->account_id, sizeof task->account_id))
    publish_wipe(task->token, sizeof task->token);
  task->expires_ms = UINT64_MAX;
  return true;
}

void publish_task_start(PublishTask* task, uint8_t connecting) {
  task->connecting = connecting;
  task->status_text[0] = '\0';
  task->cancel.exchange(0);
  task->busy.exchange(1);
  try {
    task->thread = new std::thread(publish_worker, task);
  } catch (...) {
    task->thread = nullptr;
    task->busy.exchange(0);
    set_status(task, "Could not start a publishing worker.");
  }
}

void publish_worker(PublishTask* task) {
  bool ok = false;
  switch (task->connecting) {
    case PUBLISH_SIGN_IN:
      ok = publish_oauth(task);
      if (!ok && task->status_text[0] == '\0') set_status(task, "Could not connect the account.");
      break;
    case PUBLISH_RESTORE: ok = publish_restore(task); break;  // nothing remembered: nothing to say
    case PUBLISH_FORGET: ok = publish_forget(task); break;
    default:
      ok = upload(task);
      if (!ok && task->status_text[0] == '\0') set_status(task, "Upload could not start.");
      break;
  }
  if (!ok && task->cancel.load() != 0 && task->connecting != PUBLISH_FORGET)
    set_status(task, task->connecting == PUBLISH_UPLOAD ? "Upload cancelled." : "Sign-in cancelled.");
  task->size.store(0);
  task->busy.exchange(0);
}

// ---------------------------------------------------------------- [commands]

const char* kelvra_publish_portal(uint32_t target) {
  return target < PUBLISH_TARGETS ? kTargets[target].portal : "";
}

const char* kelvra_publish_status(PublishContext* context, uint32_t target, bool* is_connected) {
  *is_connected = false;
  if (context == nullptr || target >= PUBLISH_TARGETS) return "Publishing is unavailable";
  PublishTask& task = context->tasks[target];
  if (!publish_task_ready(&task)) {
    if (task.connecting == PUBLISH_SIGN_IN) return "Waiting for browser sign-in…";
    if (task.connecting == PUBLISH_RESTORE) return "Restoring the remembered sign-in…";
    if (task.connecting == PUBLISH_FORGET) return "Disconnecting…";
    const uint64_t size = task.size.load();
    const uint64_t sent = task.sent.load();
    if (size == 0 || sent >= size) return "Uploading / processing…";
    char* text = context->progress_texts[target];
    std::snprintf(text, sizeof context->progress_texts[target], "Uploading %.0f%%…",
                  100.0 * static_cast<double>(sent) / static_cast<double>(size));
    return text;
  }
  *is_connected = connected(task);
  if (task.status_text[0] != '\0') return task.status_text;
  if (target == PUBLISH_TWITCH) return "Finish in Twitch Video Producer";
  return *is_connected ? "Connected" : "Account not connected";
}

void kelvra_publish_account(PublishContext* context, uint32_t target) {
  if (context == nullptr || target >= PUBLISH_TARGETS) return;
  PublishTask& task = context->tasks[target];
  if (!publish_task_ready(&task)) return;
  const TargetInfo& info = kTargets[target];
  char client[512];
  if (info.client_variable != nullptr && publish_env(info.client_variable, client, sizeof client)) {
    publish_task_start(&task, PUBLISH_SIGN_IN);
    return;
  }
  publish_open_url(info.portal);
  if (target != PUBLISH_TWITCH && !connected(task))
    set_status(&task, "Provider opened. Configure API access for direct upload.");
}

bool kelvra_publish_signed_in(PublishContext* context, uint32_t target) {
  if (context == nullptr || target >= PUBLISH_TARGETS) return false;
  PublishTask& task = context->tasks[target];
  return publish_task_ready(&task) && task.signed_in != 0 && connected(task);
}

bool kelvra_publish_disconnect(PublishContext* context, uint32_t target) {
  if (!kelvra_publish_signed_in(context, target)) return false;
  publish_task_start(&context->tasks[target], PUBLISH_FORGET);
  return true;
}

bool kelvra_publish_cancel(PublishContext* context, uint32_t target) {
  if (context == nullptr || target >= PUBLISH_TARGETS || context->tasks[target].busy.load() == 0) return false;
  context->tasks[target].cancel.exchange(1);
  return true;
}

namespace {

void start_upload(PublishTask* task, const char* folder, const char* file_name, const char* title) {
  if (!connected(*task)) {
    set_status(task, "Connect this destination before uploading.");
    return;
  }
  if (!kelvra_path(folder, file_name, task->file_path)) return;
  std::snprintf(task->title, sizeof task->title, "%s", title);
  publish_task_start(task, PUBLISH_UPLOAD);
}

}  // namespace

bool kelvra_publish_submit(PublishContext* context, const char* folder, const char* video, const char* mix,
                           const char* title, uint32_t targets) {
  if (context == nullptr) return false;
  if (title == nullptr || title[0] == '\0') title = "Zarnel Kelvra export";
  bool reveal = false;
  for (uint32_t t : {PUBLISH_YOUTUBE, PUBLISH_TWITCH, PUBLISH_LINKEDIN, PUBLISH_INSTAGRAM}) {
    PublishTask& task = context->tasks[t];
    if (video == nullptr || (targets & (1u << t)) == 0 || !publish_task_ready(&task)) continue;
    if (t != PUBLISH_TWITCH) {
      start_upload(&task, folder, video, title);
      continue;
    }
    if (publish_open_url(kelvra_publish_portal(PUBLISH_TWITCH))) {
      reveal = true;
      set_status(&task, "Video Producer opened. Select the MP4 to upload.");
    } else {
      set_status(&task, "Could not open Twitch Video Producer.");
    }
  }
  PublishTask& soundcloud = context->tasks[PUBLISH_SOUNDCLOUD];
  if ((targets & (1u << PUBLISH_SOUNDCLOUD)) != 0 && mix != nullptr && publish_task_ready(&soundcloud))
    start_upload(&soundcloud, folder, mix, title);
  return reveal;
}
