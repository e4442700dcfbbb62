// The canvases of one batch rendered together. The group's thread decodes
// the picture of every layer of the stack once a block, into a ring of a few
// blocks, and mixes the block's sound beside it (after measuring the mix's
// loudness once for every canvas) and encodes it once: every file carries the
// same AAC packets, decoded once into the group's meter for the rows'
// figures. Each canvas's worker starts a composer thread that composes its
// canvas from those pictures and converts it to NV12 a few blocks ahead,
// while the worker encodes the pictures and writes them with the sound's
// packets into its own partial file, moved into place as a single export's. A
// ring slot is filled again once every canvas still rendering has composed
// it: the slowest canvas sets the pace, and a canvas is at most the ring's
// depth ahead of it. A canvas that is cancelled or whose file fails leaves
// the group and the others go on; with none left the group's thread stops.
//
// Processor time: a worker names its thread after its job, and the threads
// it starts (its composer, its encoder's threads) inherit the name, so they
// count for its row alone. The group's thread decodes for every canvas still
// rendering alike, so its time is split evenly among them as it is used.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "export/nv12.h"
#include "export/render.h"
#include "media/video.h"
#include "platform/loudness.h"
#include "platform/media.h"
#include "platform/system_stats.h"
#include "project/timeline_map.h"

namespace {

constexpr uint64_t kSlots = 2;  // blocks decoded ahead of the slowest composer
constexpr uint64_t kAhead = 3;  // pictures a composer keeps ready ahead of its encoder
constexpr uint32_t kBlockPackets = 8;  // sound packets of one block, the encoder's last ones included

// One block: the decoded picture of each layer of its stack, and its sound.
struct GroupSlot {
  RenderLayer layers[KELVRA_STACK_MAX];
  uint8_t* pixels[KELVRA_STACK_MAX];  // owned, `capacity` bytes each
  uint64_t capacity[KELVRA_STACK_MAX];
  uint64_t count;
  int16_t sound[RENDER_BLOCK_FRAMES * 2];
  // The block's sound, encoded once for every canvas, and the figures of
  // the sound encoded so far where the block brings them.
  MediaSoundPacket packets[kBlockPackets];
  uint32_t packet_count;
  LoudnessFigures figures;
  bool figured;
};

struct GroupCanvas {
  const RenderJob* job;
  uint64_t taken;        // blocks its composer is done with
  uint64_t reading;      // the block its composer is composing from, plus one; 0 for none
  uint64_t shared_time;  // its share of the group's thread's time, 100 ns units
  bool live;             // still rendering: its composer holds ring slots back
};

std::atomic<uint32_t> g_group_serial{0};

}  // namespace

struct RenderGroup {
  EditSnapshot snapshot;  // the edit as queued (its placements are the first canvas's; only the stack is read)
  double target;
  char name[16];  // of the group's thread and the threads it starts
  // --- UI thread only
  uint32_t holds;
  bool started;
  std::thread thread;

  std::mutex lock;
  std::condition_variable changed;
  // --- under `lock`
  GroupCanvas canvases[RENDER_GROUP_CANVASES];
  uint32_t canvas_count;
  bool opened;        // the sound is ready, or the group failed (`status`)
  int32_t status;     // MEDIA_OK, or why the group stopped making blocks
  char message[128];  // the text of a failure, where it has one
  uint64_t decoded;   // blocks in the ring, in order
  uint64_t time_seen; // the group's threads' time when last split

  // --- written by the group's thread before `opened`
  uint64_t frames;
  uint64_t blocks;
  int32_t measured_share;  // permille of a job's progress the loudness pass takes

  // --- the group's thread
  RenderJob pass;  // stage, progress and cancel of the loudness pass, mirrored by the workers
  SoundPlan* plan;
  RenderSound sound;
  MediaWriter* sound_writer;  // the AAC every canvas's file carries; its packets decoded into `sound_meter`
  LoudnessMeter* sound_meter;
  VideoDecoder decoders[KELVRA_STACK_MAX];  // decoder i serves stack position i
  uint64_t decoder_block[KELVRA_STACK_MAX];  // the last block each decoder served, plus one
  GroupSlot slots[kSlots];
};

// ------------------------------------------------------------- the group

namespace {

// Splits the group's threads' time since the last call among the canvases still rendering. Under the lock.
void account(RenderGroup* group) {
  uint64_t now = 0;
  if (!sys_named_threads_cpu_time(group->name, &now) || now <= group->time_seen) return;
  uint32_t live = 0;
  for (uint32_t i = 0; i < group->canvas_count; ++i) live += group->canvases[i].live;
  if (live > 0) {
    const uint64_t share = (now - group->time_seen) / live;
    for (uint32_t i = 0; i < group->canvas_count; ++i)
      if (group->canvases[i].live) group->canvases[i].shared_time += share;
  }
  group->time_seen = now;
}

GroupCanvas* canvas_of(RenderGroup* group, const RenderJob* job) {
  for (uint32_t i = 0; i < group->canvas_count; ++i)
    if (group->canvases[i].job == job) return &group->canvases[i];
  return nullptr;
}

// The canvas stops holding ring slots back; with no canvas left the loudness pass stops too.
void leave(RenderGroup* group, GroupCanvas* canvas) {
  {
    std::lock_guard<std::mutex> held(group->lock);
    account(group);
    canvas->live = false;
    bool any = false;
    for (uint32_t i = 0; i < group->canvas_count; ++i) any |= group->canvases[i].live;
    if (!any) group->pass.cancel.store(1);
  }
  group->changed.notify_all();
}

int32_t open_sound(RenderGroup* group) {
  group->plan = static_cast<SoundPlan*>(std::calloc(1, sizeof(SoundPlan)));
  if (group->plan == nullptr) return MEDIA_E_OUTOFMEMORY;
  const Project& project = group->snapshot.project;
  if (!audio_plan_open(group->plan, &project, group->snapshot.media_folder, group->message)) return MEDIA_E_FAIL;
  group->frames = static_cast<uint64_t>(std::ceil(project.timeline_end * RENDER_RATE));
  group->blocks = (group->frames + RENDER_BLOCK_FRAMES - 1) / RENDER_BLOCK_FRAMES;
  group->measured_share = group->target == 0.0 ? 0 : 50;
  int32_t result = kelvra_render_sound_open(&group->sound, &group->pass, group->plan, group->frames, group->target,
                                            group->measured_share);
  if (result != MEDIA_OK) return result;
  group->sound_meter = loudness_meter_create(RENDER_RATE, true);
  if (group->sound_meter == nullptr) return MEDIA_E_OUTOFMEMORY;
  MediaWriterConfig config{};
  kelvra_encoder_sound(&config);
  config.decoded = group->sound_meter;
  return media_writer_open_sound(&group->sound_writer, &config);
}

// Encodes block k's sound (n frames, in `slot`) once for every canvas: its
// packets (with the encoder's last ones after the last block) and, every
// second and at the end, the figures of the sound so far go into the slot.
bool encode_sound(RenderGroup* group, uint64_t k, uint64_t n, GroupSlot* slot, char* message) {
  const int64_t start = static_cast<int64_t>(k * MEDIA_TICKS_PER_SECOND / RENDER_FPS);
  const int64_t end =
      static_cast<int64_t>((RENDER_BLOCK_FRAMES * k + n) * MEDIA_TICKS_PER_SECOND / RENDER_RATE);
  const bool last = k + 1 == group->blocks;
  int32_t result = media_writer_audio(group->sound_writer, slot->sound, n, start, end - start);
  if (result == MEDIA_OK && last) result = media_writer_finalize(group->sound_writer);
  if (result == MEDIA_OK && last && !loudness_meter_finish(group->sound_meter)) result = MEDIA_E_FAIL;
  slot->packet_count = 0;
  while (result == MEDIA_OK && slot->packet_count < kBlockPackets &&
         media_writer_take_sound_packet(group->sound_writer, &slot->packets[slot->packet_count]))
    ++slot->packet_count;
  MediaSoundPacket extra;
  if (result == MEDIA_OK && media_writer_take_sound_packet(group->sound_writer, &extra)) result = MEDIA_E_FAIL;
  slot->figured = result == MEDIA_OK && ((k + 1) % RENDER_FPS == 0 || last) &&
                  loudness_meter_figures(group->sound_meter, &slot->figures);
  if (result != MEDIA_OK) std::snprintf(message, 128, "Could not encode the sound");
  return result == MEDIA_OK;
}

// Decodes block k's layers into `slot` (block k - 1's is `previous`);
// false with `message` written when a source cannot be decoded.
bool decode_block(RenderGroup* group, uint64_t k, GroupSlot* slot, const GroupSlot* previous, char* message) {
  const Project& project = group->snapshot.project;
  const double t = static_cast<double>(k) / RENDER_FPS;
  uint64_t stack[KELVRA_STACK_MAX];
  slot->count = kelvra_video_stack(&project, t, stack);
  for (uint64_t i = 0; i < slot->count; ++i) {
    const Clip& clip = project.clips[stack[i]];
    VideoDecoder& decoder = group->decoders[i];
    const char* file = project.sources[clip.source].file;
    char path[KELVRA_PATH_SIZE];
    bool decoded = kelvra_path(group->snapshot.media_folder, file, path);
    if (decoded && std::strcmp(decoder.path, path) != 0) decoded = video_decode_open(&decoder, path, 1);
    if (decoder.no_pictures && std::strcmp(decoder.path, path) == 0) {
      slot->layers[i] = RenderLayer{stack[i], nullptr, 0, 0};  // a sound file: no picture to compose
      continue;
    }
    const uint64_t bytes = static_cast<uint64_t>(decoder.width) * decoder.height * 4;
    if (decoded && slot->capacity[i] < bytes) {
      void* grown = std::realloc(slot->pixels[i], bytes);
      decoded = grown != nullptr;
      if (decoded) {
        slot->pixels[i] = static_cast<uint8_t*>(grown);
        slot->capacity[i] = bytes;
      }
    }
    if (decoded) {
      // The decoder converts straight into the slot. A picture still on
      // screen it keeps without writing it again: that one is in the previous
      // block's slot when the decoder served that block, else it is decoded again.
      const bool served_previous = k > 0 && group->decoder_block[i] == k && previous->count > i &&
                                   previous->layers[i].width == decoder.width &&
                                   previous->layers[i].height == decoder.height;
      if (!served_previous) decoder.last_frame_time = -1;
      const double before = decoder.last_frame_time;
      decoder.pixels = slot->pixels[i];
      decoder.capacity = slot->capacity[i];
      decoded = video_decode_frame(&decoder, kelvra_layer_time(&clip, t));
      // The decoder grows its buffer itself only for a picture larger than
      // the one it opened with, which it refuses; the slot keeps whatever it holds.
      slot->pixels[i] = decoder.pixels;
      slot->capacity[i] = decoder.capacity;
      decoder.pixels = nullptr;
      decoder.capacity = 0;
      if (decoded && decoder.last_frame_time == before)
        std::memcpy(slot->pixels[i], previous->layers[i].pixels, bytes);
      group->decoder_block[i] = k + 1;
    }
    if (!decoded) {
      std::snprintf(message, 128, "Could not decode video: %.92s", file);
      return false;
    }
    slot->layers[i] = RenderLayer{stack[i], slot->pixels[i], decoder.width, decoder.height};
  }
  return true;
}

// Every canvas still rendering is done with the slot block k goes into, and
// no composer still reads it (one whose canvas left may be midway through a
// picture); `any` says whether a canvas is still rendering. Under the lock.
bool slot_free(const RenderGroup* group, uint64_t k, bool* any) {
  *any = false;
  bool free = true;
  for (uint32_t i = 0; i < group->canvas_count; ++i) {
    const GroupCanvas& canvas = group->canvases[i];
    if (canvas.reading != 0 && canvas.reading - 1 + kSlots <= k) free = false;
    if (!canvas.live) continue;
    *any = true;
    if (canvas.taken + kSlots <= k) free = false;
  }
  return free;
}

void run_group(RenderGroup* group) {
  sys_name_thread(group->name);
  int32_t status = open_sound(group);
  {
    std::lock_guard<std::mutex> held(group->lock);
    group->opened = true;
    group->status = status;
  }
  group->changed.notify_all();
  char message[128] = "";
  for (uint64_t k = 0; status == MEDIA_OK && k < group->blocks; ++k) {
    {
      std::unique_lock<std::mutex> held(group->lock);
      bool any = false;
      group->changed.wait(held, [&] { return slot_free(group, k, &any); });
      if (!any) break;
    }
    GroupSlot* slot = &group->slots[k % kSlots];
    const GroupSlot* previous = &group->slots[(k + kSlots - 1) % kSlots];
    if (!decode_block(group, k, slot, previous, message)) status = MEDIA_E_FAIL;
    const uint64_t n = std::min<uint64_t>(group->frames - RENDER_BLOCK_FRAMES * k, RENDER_BLOCK_FRAMES);
    if (status == MEDIA_OK && !kelvra_render_sound_block(&group->sound, slot->sound, n)) status = MEDIA_E_FAIL;
    if (status == MEDIA_OK && !encode_sound(group, k, n, slot, message)) status = MEDIA_E_FAIL;
    {
      std::lock_guard<std::mutex> held(group->lock);
      if (status == MEDIA_OK) {
        group->decoded = k + 1;
      } else {
        group->status = status;
        std::memcpy(group->message, message, sizeof message);
      }
    }
    group->changed.notify_all();
  }
  for (VideoDecoder& decoder : group->decoders) video_decode_close(&decoder);
  kelvra_render_sound_close(&group->sound);
  std::free(group->plan);
  group->plan = nullptr;
  std::lock_guard<std::mutex> held(group->lock);
  account(group);  // its last time, before the thread is gone
}

}  // namespace

RenderGroup* render_group_create(const EditSnapshot* snapshot, double target) {
  RenderGroup* group = new (std::nothrow) RenderGroup();
  if (group == nullptr) return nullptr;
  std::memcpy(&group->snapshot, snapshot, sizeof(EditSnapshot));
  group->target = target;
  group->holds = 1;
  std::snprintf(group->name, sizeof group->name, "render g%u", g_group_serial.fetch_add(1) % 100000);
  group->pass.stage.store(RENDER_DECODING_AUDIO);
  group->pass.range.store(RENDER_NO_FIGURE);
  return group;
}

void render_group_hold(RenderGroup* group) { ++group->holds; }

void render_group_release(RenderGroup* group) {
  if (group == nullptr || --group->holds > 0) return;
  if (group->thread.joinable()) group->thread.join();
  // The files' writers copied its encoding when they opened; the last is closed by now.
  media_writer_close(group->sound_writer);
  loudness_meter_destroy(group->sound_meter);
  for (GroupSlot& slot : group->slots)
    for (uint8_t* pixels : slot.pixels) std::free(pixels);
  delete group;
}

bool render_group_started(const RenderGroup* group) { return group->started; }

bool render_group_start(RenderGroup* group, RenderJob* const* jobs, uint32_t count) {
  group->started = true;
  {
    std::lock_guard<std::mutex> held(group->lock);
    group->canvas_count = std::min(count, RENDER_GROUP_CANVASES);
    for (uint32_t i = 0; i < group->canvas_count; ++i) group->canvases[i] = GroupCanvas{jobs[i], 0, 0, 0, true};
  }
  try {
    group->thread = std::thread(run_group, group);
  } catch (...) {
    return false;
  }
  return true;
}

void render_group_leave(RenderGroup* group, const RenderJob* job) {
  GroupCanvas* canvas = nullptr;
  {
    std::lock_guard<std::mutex> held(group->lock);
    canvas = canvas_of(group, job);
  }
  if (canvas != nullptr) leave(group, canvas);
}

uint64_t render_group_shared_time(RenderGroup* group, const RenderJob* job) {
  std::lock_guard<std::mutex> held(group->lock);
  if (group->thread.joinable()) account(group);
  const GroupCanvas* canvas = canvas_of(group, job);
  return canvas != nullptr ? canvas->shared_time : 0;
}

// ------------------------------------------------------------ a canvas

namespace {

// A canvas's pictures, composed ahead of its encoder.
struct CanvasRing {
  std::mutex lock;
  std::condition_variable changed;
  uint8_t* pictures[kAhead];  // NV12
  MediaSoundPacket packets[kAhead][kBlockPackets];
  uint32_t packet_count[kAhead];
  LoudnessFigures figures[kAhead];
  bool figured[kAhead];
  uint64_t composed;  // blocks ready, in order
  uint64_t taken;     // blocks the encoder is done with
  bool failed;        // a block could not be made (message written)
  bool stop;          // the worker wants no more
};

struct Composer {
  RenderGroup* group;
  GroupCanvas* canvas;
  RenderPicture* picture;
  CanvasRing* ring;
  const CanvasPreset* preset;
  char* message;  // the job's
};

void compose_canvas(Composer work) {
  RenderGroup* group = work.group;
  CanvasRing* ring = work.ring;
  bool failed = false;
  for (uint64_t k = 0; k < group->blocks && !failed; ++k) {
    {
      std::unique_lock<std::mutex> held(ring->lock);
      ring->changed.wait(held, [&] { return ring->stop || k - ring->taken < kAhead; });
      if (ring->stop) break;
    }
    const GroupSlot* slot = &group->slots[k % kSlots];
    {
      std::unique_lock<std::mutex> held(group->lock);
      group->changed.wait(held, [&] {
        return group->decoded > k || group->status != MEDIA_OK || !work.canvas->live;
      });
      if (group->decoded <= k) {
        failed = true;
        if (work.canvas->live) std::memcpy(work.message, group->message, sizeof group->message);
      } else {
        work.canvas->reading = k + 1;
      }
    }
    if (!failed) {
      uint32_t stride = 0;
      const uint8_t* pixels =
          kelvra_render_compose_layers(work.picture, static_cast<double>(k) / RENDER_FPS, slot->layers,
                                       slot->count, &stride);
      failed = pixels == nullptr;
      if (!failed) {
        kelvra_convert_nv12(pixels, stride, work.preset->width, work.preset->height, ring->pictures[k % kAhead]);
        const uint64_t at = k % kAhead;
        for (uint32_t i = 0; i < slot->packet_count; ++i) {
          MediaSoundPacket& packet = ring->packets[at][i];
          const MediaSoundPacket& given = slot->packets[i];
          packet.time = given.time;
          packet.duration = given.duration;
          packet.size = given.size;
          std::memcpy(packet.bytes, given.bytes, given.size);
        }
        ring->packet_count[at] = slot->packet_count;
        ring->figures[at] = slot->figures;
        ring->figured[at] = slot->figured;
      }
      {
        std::lock_guard<std::mutex> held(group->lock);
        work.canvas->taken = k + 1;
        work.canvas->reading = 0;
      }
      group->changed.notify_all();
    }
    {
      std::lock_guard<std::mutex> held(ring->lock);
      if (failed) ring->failed = true;
      else ring->composed = k + 1;
    }
    ring->changed.notify_all();
  }
  // The thread stays until its worker has taken the time its threads used.
  std::unique_lock<std::mutex> held(ring->lock);
  ring->changed.wait(held, [&] { return ring->stop; });
}

// Block k (from 1) once composed, by its place in the ring; false when composing failed.
bool wait_block(CanvasRing* ring, uint64_t k, uint64_t* at) {
  std::unique_lock<std::mutex> held(ring->lock);
  ring->changed.wait(held, [&] { return ring->composed >= k || ring->failed; });
  if (ring->composed < k) return false;
  *at = (k - 1) % kAhead;
  return true;
}

void release_block(CanvasRing* ring, uint64_t k, bool stop) {
  {
    std::lock_guard<std::mutex> held(ring->lock);
    ring->taken = k;
    ring->stop = ring->stop || stop;
  }
  ring->changed.notify_all();
}

// The canvases of a group encode side by side: each encoder takes its share
// of the cores rather than all of them, which spares the threads' hand-overs
// and the pictures each extra thread holds.
uint32_t encoder_threads(const RenderGroup* group) {
  const uint32_t cores = std::max(1u, std::thread::hardware_concurrency());
  return std::max(1u, cores / std::max(1u, group->canvas_count));
}

int32_t hundredths(double value) {
  if (!std::isfinite(value)) return RENDER_NO_FIGURE;
  return static_cast<int32_t>(std::lround(std::clamp(value, -20000.0, 20000.0) * 100.0));
}

// The figures of the sound the file holds so far, for the row.
void publish_figures(const LoudnessFigures& figures, RenderJob* job) {
  job->integrated.store(hundredths(figures.integrated));
  job->range.store(hundredths(figures.range));
  job->true_peak.store(hundredths(figures.true_peak));
}

// Waits for the group's sound, showing the loudness pass's stage and
// progress on the job's row meanwhile; the group's status, or the cancel.
int32_t wait_opened(RenderGroup* group, RenderJob* job) {
  std::unique_lock<std::mutex> held(group->lock);
  while (!group->opened) {
    if (job->cancel.load() != 0) return MEDIA_E_CANCELLED;
    job->stage.exchange(group->pass.stage.load());
    job->permille.exchange(group->pass.permille.load());
    group->changed.wait_for(held, std::chrono::milliseconds(50));
  }
  if (group->status != MEDIA_OK && group->message[0] != '\0')
    std::memcpy(job->row.message, group->message, sizeof job->row.message);
  job->peak_limited.store(group->pass.peak_limited.load());
  return group->status;
}

// What one canvas's worker holds, released on every path.
struct CanvasRender {
  RenderJob* job;
  RenderGroup* group;
  GroupCanvas* canvas;
  RenderPicture* picture;
  RenderEncoder encoder;
  CanvasRing* ring;
  std::thread composer;
};

int32_t encode_canvas(CanvasRender* render) {
  RenderJob* job = render->job;
  RenderGroup* group = render->group;
  const CanvasPreset* preset = &kelvra_canvases[job->row.canvas < KELVRA_CANVAS_COUNT ? job->row.canvas : 0];
  const uint64_t picture_bytes = static_cast<uint64_t>(preset->width) * preset->height * 3 / 2;
  for (uint8_t*& picture : render->ring->pictures) {
    picture = static_cast<uint8_t*>(std::malloc(picture_bytes));
    if (picture == nullptr) return MEDIA_E_OUTOFMEMORY;
  }
  render->picture = kelvra_render_picture_create(job->snapshot, preset);
  if (render->picture == nullptr) return MEDIA_E_OUTOFMEMORY;
  try {
    render->composer = std::thread(compose_canvas, Composer{group, render->canvas, render->picture, render->ring,
                                                            preset, job->row.message});
  } catch (...) {
    return MEDIA_E_OUTOFMEMORY;
  }
  job->stage.exchange(RENDER_ENCODING);
  const uint64_t blocks = group->blocks;
  const int32_t share = group->measured_share;
  for (uint64_t k = 1; k <= blocks; ++k) {
    if (job->cancel.load() != 0) return MEDIA_E_CANCELLED;
    uint64_t at = 0;
    if (!wait_block(render->ring, k, &at)) return MEDIA_E_FAIL;
    CanvasRing* ring = render->ring;
    const int64_t start = static_cast<int64_t>((k - 1) * MEDIA_TICKS_PER_SECOND / RENDER_FPS);
    const int64_t end = static_cast<int64_t>(k * MEDIA_TICKS_PER_SECOND / RENDER_FPS);
    int32_t result = kelvra_encoder_sample(&render->encoder, render->encoder.video_stream, ring->pictures[at],
                                           picture_bytes, start, end - start);
    for (uint32_t i = 0; result == MEDIA_OK && i < ring->packet_count[at]; ++i)
      result = media_writer_sound_packet(render->encoder.writer, &ring->packets[at][i]);
    if (ring->figured[at]) publish_figures(ring->figures[at], job);
    release_block(ring, k, false);
    job->permille.exchange(share + static_cast<int32_t>(k * static_cast<uint64_t>(990 - share) / blocks));
    if (result != MEDIA_OK) return result;
  }
  return MEDIA_OK;
}

}  // namespace

int32_t render_group_file(RenderJob* job) {
  RenderGroup* group = job->group;
  GroupCanvas* canvas = nullptr;
  {
    std::lock_guard<std::mutex> held(group->lock);
    canvas = canvas_of(group, job);
  }
  if (canvas == nullptr) return MEDIA_E_FAIL;
  char final_path[KELVRA_PATH_SIZE];
  char partial_path[KELVRA_PATH_SIZE];
  int32_t result = MEDIA_E_PATH;
  if (kelvra_path(job->output_folder, job->row.file_name, final_path)) {
    const int length = std::snprintf(partial_path, sizeof partial_path, "%s.partial.mp4", final_path);
    if (length > 0 && length < static_cast<int>(sizeof partial_path) - 1) result = MEDIA_OK;
  }
  if (result == MEDIA_OK) result = wait_opened(group, job);

  CanvasRender render{};
  render.job = job;
  render.group = group;
  render.canvas = canvas;
  render.ring = new (std::nothrow) CanvasRing();
  if (render.ring == nullptr && result == MEDIA_OK) result = MEDIA_E_OUTOFMEMORY;
  bool created = false;
  if (result == MEDIA_OK) {
    const CanvasPreset* preset = &kelvra_canvases[job->row.canvas < KELVRA_CANVAS_COUNT ? job->row.canvas : 0];
    result = kelvra_encoder_open(&render.encoder, partial_path, preset, nullptr, encoder_threads(group),
                                 group->sound_writer);
    // A writer that failed while opening may still have made the file.
    created = true;
  }
  if (result == MEDIA_OK) result = encode_canvas(&render);
  MediaWriter* writer = render.encoder.writer;
  if (result == MEDIA_OK) {
    job->stage.exchange(RENDER_FINALIZING);
    result = media_writer_finalize(writer);
  }
  // The time of every thread of the job, while they all still run.
  uint64_t time = 0;
  if (sys_named_threads_cpu_time(job->thread_name, &time)) job->cpu_total.store(time);
  if (render.ring != nullptr) release_block(render.ring, render.ring->taken, true);
  leave(group, canvas);
  if (render.composer.joinable()) render.composer.join();
  media_writer_close(writer);
  render.encoder.writer = nullptr;
  kelvra_render_picture_destroy(render.picture);
  if (render.ring != nullptr)
    for (uint8_t* picture : render.ring->pictures) std::free(picture);
  delete render.ring;
  if (result == MEDIA_OK) result = render_move_into_place(partial_path, final_path);
  if (result != MEDIA_OK && created) unlink(partial_path);
  return result;
}
