// The export worker: renders one job's snapshot into a ".partial." file beside
// the final one, 1/30 second a block (a composed picture and its 1600 sound
// frames for an MP4, the sound alone for a WAV), and on success moves it to
// its final name, never over an existing file. An MP4's pictures are composed
// a few blocks ahead on a second thread while this one feeds the encoder. A file under a final name is
// therefore always whole; a failed or cancelled export leaves nothing behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "export/nv12.h"
#include "export/render.h"
#include "media/wave.h"
#include "platform/media.h"
#include "platform/system_stats.h"

namespace {

constexpr int32_t kFileExists = static_cast<int32_t>(0x800700B7u);  // the final name is taken

int32_t status_of_errno(int error) {
  if (error == EEXIST) return kFileExists;
  if (error == 0) return MEDIA_E_FAIL;
  return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

// The folder part of `path`, flushed so that a rename in it survives a power cut.
void sync_folder(const char* path) {
  char folder[KELVRA_PATH_SIZE];
  std::snprintf(folder, sizeof folder, "%s", path);
  char* slash = std::strrchr(folder, '/');
  if (slash == nullptr) return;
  *(slash == folder ? slash + 1 : slash) = '\0';
  const int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool sync_file(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

// Moves the finished file to its final name; an existing file stays untouched.
int32_t move_into_place(const char* from, const char* to) {
  if (!sync_file(from)) return MEDIA_E_FAIL;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) return status_of_errno(errno);
    // A file system without the no-replace rename: a hard link fails on an
    // existing name just the same.
    if (link(from, to) != 0) return status_of_errno(errno);
    unlink(from);
  }
  sync_folder(to);
  return MEDIA_OK;
}

void write_le32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void write_le16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

// Creates the WAV file exclusively and writes its whole header for `frames` stereo frames.
FILE* open_wav(const char* path, uint64_t frames) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  uint8_t header[44];
  std::memcpy(header, "RIFF", 4);
  write_le32(header + 4, static_cast<uint32_t>(frames * 4 + 36));
  std::memcpy(header + 8, "WAVEfmt ", 8);
  write_le32(header + 16, 16);
  write_le16(header + 20, 1);
  write_le16(header + 22, 2);
  write_le32(header + 24, RENDER_RATE);
  write_le32(header + 28, RENDER_RATE * 4);
  write_le16(header + 32, 4);
  write_le16(header + 34, 16);
  std::memcpy(header + 36, "data", 4);
  write_le32(header + 40, static_cast<uint32_t>(frames * 4));
  if (std::fwrite(header, 1, sizeof header, file) != sizeof header) {
    std::fclose(file);
    return nullptr;
  }
  return file;
}

// Closes the WAV file with everything flushed to disk; false when any of it failed.
bool close_wav(FILE* file) {
  bool ok = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  ok = std::fclose(file) == 0 && ok;
  return ok;
}

bool write_pcm(FILE* file, const int16_t* frames, uint64_t count) {
  uint8_t bytes[RENDER_BLOCK_FRAMES * 4];
  for (uint64_t i = 0; i < count * 2; ++i) write_le16(bytes + 2 * i, static_cast<uint16_t>(frames[i]));
  return std::fwrite(bytes, 4, count, file) == count;
}

int64_t block_time(uint64_t block) { return static_cast<int64_t>(block * MEDIA_TICKS_PER_SECOND / RENDER_FPS); }

// Everything a render holds, released on every path by release().
struct Render {
  RenderJob* job;
  SoundPlan* plan;
  RenderPicture* picture;
  RenderEncoder encoder;
  FILE* wav;
  RenderSound sound;
  int32_t measured_share;  // permille of the progress the loudness pass took
};

void release(Render* render) {
  kelvra_render_sound_close(&render->sound);
  kelvra_render_picture_destroy(render->picture);
  render->picture = nullptr;
  std::free(render->plan);
  render->plan = nullptr;
}

// Pictures composed ahead of the encoder on a thread of their own, so that
// decoding and drawing the next pictures overlaps the encoder's work.
constexpr uint64_t kAhead = 3;

struct PictureQueue {
  std::mutex lock;
  std::condition_variable changed;
  uint8_t* slots[kAhead];
  uint64_t composed;  // pictures ready, in block order
  uint64_t taken;     // pictures the encoder is done with
  bool failed;        // a picture could not be composed (message written)
  bool stop;          // the encoder wants no more
};

void compose_ahead(RenderPicture* picture, PictureQueue* queue, uint64_t blocks, const CanvasPreset* preset,
                   char* message) {
  for (uint64_t k = 0; k < blocks; ++k) {
    {
      std::unique_lock<std::mutex> held(queue->lock);
      queue->changed.wait(held, [&] { return queue->stop || k - queue->taken < kAhead; });
      if (queue->stop) return;
    }
    uint32_t stride = 0;
    const uint8_t* pixels = kelvra_render_compose(picture, static_cast<double>(k) / RENDER_FPS, message, &stride);
    if (pixels != nullptr) kelvra_convert_nv12(pixels, stride, preset->width, preset->height, queue->slots[k % kAhead]);
    {
      std::lock_guard<std::mutex> held(queue->lock);
      if (pixels == nullptr) queue->failed = true;
      else queue->composed = k + 1;
    }
    queue->changed.notify_all();
    if (pixels == nullptr) return;
  }
}

// The picture of block k (from 1) once composed; null when composing failed.
const uint8_t* wait_picture(PictureQueue* queue, uint64_t k) {
  std::unique_lock<std::mutex> held(queue->lock);
  queue->changed.wait(held, [&] { return queue->composed >= k || queue->failed; });
  return queue->composed >= k ? queue->slots[(k - 1) % kAhead] : nullptr;
}

void release_picture(PictureQueue* queue, uint64_t k, bool stop) {
  {
    std::lock_guard<std::mutex> held(queue->lock);
    queue->taken = k;
    queue->stop = queue->stop || stop;
  }
  queue->changed.notify_all();
}

// The blocks: sound for every one, a picture too for an MP4.
int32_t encode_blocks(Render* render, uint64_t frames, const CanvasPreset* preset, PictureQueue* pictures) {
  RenderJob* job = render->job;
  const uint64_t blocks = (frames + RENDER_BLOCK_FRAMES - 1) / RENDER_BLOCK_FRAMES;
  const int32_t share = render->measured_share;
  const uint64_t picture_bytes = static_cast<uint64_t>(preset->width) * preset->height * 3 / 2;
  int16_t sound[RENDER_BLOCK_FRAMES * 2];
  for (uint64_t k = 1; k <= blocks; ++k) {
    if (job->cancel.load() != 0) return MEDIA_E_CANCELLED;
    const uint64_t n = std::min<uint64_t>(frames - RENDER_BLOCK_FRAMES * (k - 1), RENDER_BLOCK_FRAMES);
    int32_t result = kelvra_render_sound_block(&render->sound, sound, n) ? MEDIA_OK : MEDIA_E_FAIL;
    if (k % RENDER_FPS == 0 || k == blocks) kelvra_render_sound_report(&render->sound, job);
    if (pictures == nullptr) {
      if (result == MEDIA_OK && !write_pcm(render->wav, sound, n)) result = status_of_errno(errno);
    } else {
      const uint8_t* nv12 = wait_picture(pictures, k);
      const int64_t start = block_time(k - 1);
      const int64_t end = block_time(k);
      const int64_t sound_end =
          static_cast<int64_t>((RENDER_BLOCK_FRAMES * (k - 1) + n) * MEDIA_TICKS_PER_SECOND / RENDER_RATE);
      if (nv12 == nullptr) result = MEDIA_E_FAIL;
      if (result == MEDIA_OK)
        result = kelvra_encoder_sample(&render->encoder, render->encoder.video_stream, nv12, picture_bytes, start,
                                       end - start);
      if (result == MEDIA_OK)
        result = kelvra_encoder_sample(&render->encoder, render->encoder.audio_stream, sound, n * 4, start,
                                       sound_end - start);
      release_picture(pictures, k, false);
    }
    job->permille.exchange(share + static_cast<int32_t>(k * static_cast<uint64_t>(990 - share) / blocks));
    if (result != MEDIA_OK) return result;
  }
  return MEDIA_OK;
}

int32_t render_blocks(Render* render, uint64_t frames, const CanvasPreset* preset) {
  RenderJob* job = render->job;
  job->stage.exchange(RENDER_ENCODING);
  if (render->wav != nullptr) return encode_blocks(render, frames, preset, nullptr);
  const uint64_t blocks = (frames + RENDER_BLOCK_FRAMES - 1) / RENDER_BLOCK_FRAMES;
  const size_t picture_bytes = static_cast<size_t>(preset->width) * preset->height * 3 / 2;
  PictureQueue queue{};
  int32_t result = MEDIA_OK;
  for (uint8_t*& slot : queue.slots) {
    slot = static_cast<uint8_t*>(std::malloc(picture_bytes));
    if (slot == nullptr) result = MEDIA_E_OUTOFMEMORY;
  }
  std::thread composer;
  if (result == MEDIA_OK) {
    try {
      composer = std::thread(compose_ahead, render->picture, &queue, blocks, preset, job->row.message);
    } catch (...) {
      result = MEDIA_E_OUTOFMEMORY;
    }
  }
  if (result == MEDIA_OK) result = encode_blocks(render, frames, preset, &queue);
  release_picture(&queue, queue.taken, true);
  if (composer.joinable()) composer.join();
  for (uint8_t* slot : queue.slots) std::free(slot);
  return result;
}

}  // namespace

int32_t render_file(RenderJob* job) {
  const EditSnapshot* snapshot = job->snapshot;
  const bool wav = job->row.is_wav;
  char final_path[KELVRA_PATH_SIZE];
  char partial_path[KELVRA_PATH_SIZE];
  if (!kelvra_path(job->output_folder, job->row.file_name, final_path)) return MEDIA_E_PATH;
  const int length =
      std::snprintf(partial_path, sizeof partial_path, "%s.partial.%s", final_path, wav ? "wav" : "mp4");
  if (length < 0 || length >= static_cast<int>(sizeof partial_path) - 1) return MEDIA_E_PATH;

  Render render{};
  render.job = job;
  render.plan = static_cast<SoundPlan*>(std::calloc(1, sizeof(SoundPlan)));
  if (render.plan == nullptr) return MEDIA_E_OUTOFMEMORY;
  if (!audio_plan_open(render.plan, &snapshot->project, snapshot->media_folder, job->row.message)) {
    release(&render);
    return MEDIA_E_FAIL;
  }
  const double seconds = snapshot->project.timeline_end;
  const uint64_t frames = static_cast<uint64_t>(std::ceil(seconds * RENDER_RATE));
  const CanvasPreset* preset = &kelvra_canvases[job->row.canvas < KELVRA_CANVAS_COUNT ? job->row.canvas : 0];
  // The loudness pass is about as long as writing a WAV, and short beside encoding pictures.
  const double target = job->row.loudness_target;
  render.measured_share = target == 0.0 ? 0 : wav ? 400 : 50;
  int32_t result = kelvra_render_sound_open(&render.sound, job, render.plan, frames, target, render.measured_share);
  if (result != MEDIA_OK) {
    release(&render);
    return result;
  }
  if (wav) {
    if (frames > RENDER_WAV_MAX_FRAMES) result = MEDIA_E_FAIL;
    if (result == MEDIA_OK) {
      render.wav = open_wav(partial_path, frames);
      if (render.wav == nullptr) result = status_of_errno(errno);
    }
  } else {
    render.picture = kelvra_render_picture_create(job->snapshot, preset);
    result = render.picture != nullptr
                 ? kelvra_encoder_open(&render.encoder, partial_path, preset, render.sound.meter, 0, nullptr)
                 : MEDIA_E_OUTOFMEMORY;
  }
  bool created = result == MEDIA_OK || render.encoder.writer != nullptr;
  if (result == MEDIA_OK) result = render_blocks(&render, frames, preset);
  if (result == MEDIA_OK) {
    job->stage.exchange(RENDER_FINALIZING);
    if (!wav) result = kelvra_encoder_finish(&render.encoder);
    if (result == MEDIA_OK) kelvra_render_sound_written(&render.sound, job);
  } else if (render.encoder.writer != nullptr) {
    kelvra_encoder_finish(&render.encoder);
  }
  if (render.wav != nullptr && !close_wav(render.wav) && result == MEDIA_OK) result = status_of_errno(errno);
  release(&render);
  if (result == MEDIA_OK) result = move_into_place(partial_path, final_path);
  // A writer that failed while opening may still have made the file.
  if (result != MEDIA_OK && (created || !wav)) unlink(partial_path);
  return result;
}

void kelvra_render_failure_text(int32_t status, char* out, uint64_t size) {
  const unsigned long code = static_cast<uint32_t>(status);
  // The system's error number, from a library status or one of our own.
  int error = 0;
  if ((code & 0xF0000000u) == 0xA0000000u) error = static_cast<int>(code & 0x0FFFFFFFu);
  if ((code & 0xFFFF0000u) == 0x80070000u) error = static_cast<int>(code & 0xFFFFu);
  const char* cause = nullptr;
  if (error == ENOSPC) cause = "the disk is full";
  else if (error == EDQUOT) cause = "the disk quota is used up";
  else if (error == EROFS) cause = "the folder is read-only";
  else if (error == EACCES || error == EPERM) cause = "the folder may not be written to";
  else if (error == ENOMEM || status == MEDIA_E_OUTOFMEMORY) cause = "out of memory";
  if (cause != nullptr)
    std::snprintf(out, size, "Export failed: %s (media error %08lx).", cause, code);
  else
    std::snprintf(out, size, "Export failed (media error %08lx).", code);
}

int32_t render_move_into_place(const char* from, const char* to) { return move_into_place(from, to); }

int32_t render_status_of_errno(int error) { return status_of_errno(error); }

void kelvra_render_worker(RenderJob* job) {
  sys_name_thread(job->thread_name);
  int32_t result = MEDIA_OK;
  if (job->group != nullptr) {
    result = render_group_file(job);  // takes the threads' time itself, before its encoder's threads end
  } else {
    result = render_file(job);
    uint64_t time = 0;
    if (sys_named_threads_cpu_time(job->thread_name, &time)) job->cpu_total.store(time);
  }
  if (result == MEDIA_OK) {
    job->permille.exchange(1000);
    job->stage.exchange(RENDER_READY);
  } else {
    // A cancelled job's row tells its state; a failed one why it failed.
    if (result == MEDIA_E_CANCELLED)
      job->row.message[0] = '\0';
    else if (job->row.message[0] == '\0')
      kelvra_render_failure_text(result, job->row.message, sizeof job->row.message);
    job->stage.exchange(result == MEDIA_E_CANCELLED ? RENDER_CANCELLED : RENDER_FAILED);
  }
  job->ended.store(1);
}
