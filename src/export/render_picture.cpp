// The frame composer of a canvas export: the canvas at one timeline time drawn
// off screen by the same drawing code the live previews use (background,
// every video layer with its placement and fade, the titles), each layer
// decoded by a private decoder that reads forward through its source. The decoders run one thread each: the
// composer takes one picture at a time, and frame threads would only hold
// more pictures in memory while the encoder keeps the cores busy.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "export/render.h"
#include "media/titles.h"
#include "media/video.h"
#include "platform/painter.h"
#include "project/timeline_map.h"

namespace {

constexpr uint32_t kCanvasBackground = 0x090B0A;
constexpr float kTitleCanvasHeight = 480.0f;  // titles are laid out on a canvas this many units high

}  // namespace

struct RenderPicture {
  const EditSnapshot* snapshot;  // not owned
  Painter* painter;              // off screen, the canvas's size
  VideoDecoder decoders[KELVRA_STACK_MAX];  // decoder i serves stack position i
  CanvasPreset preset;
};

RenderPicture* kelvra_render_picture_create(const EditSnapshot* snapshot, const CanvasPreset* preset) {
  RenderPicture* picture = static_cast<RenderPicture*>(std::calloc(1, sizeof(RenderPicture)));
  if (picture == nullptr) return nullptr;
  picture->snapshot = snapshot;
  picture->preset = *preset;
  picture->painter = kelvra_painter_create(nullptr);
  if (picture->painter == nullptr || !kelvra_painter_offscreen(picture->painter, preset->width, preset->height)) {
    kelvra_render_picture_destroy(picture);
    return nullptr;
  }
  return picture;
}

void kelvra_render_picture_destroy(RenderPicture* picture) {
  if (picture == nullptr) return;
  for (VideoDecoder& decoder : picture->decoders) video_decode_close(&decoder);
  kelvra_painter_destroy(picture->painter);
  std::free(picture);
}

namespace {

// Whether a width x height picture, drawn covering a w x h canvas with
// `placement` at `opacity`, hides every pixel of it (the background then needs no fill).
bool picture_covers(uint32_t width, uint32_t height, uint32_t w, uint32_t h, TexturePlacement placement,
                    double opacity) {
  if (opacity < 1.0 || width == 0 || height == 0) return false;
  double scale = std::max(static_cast<double>(w) / width, static_cast<double>(h) / height);
  if (placement.zoom > 0.0) scale *= placement.zoom;
  const double drawn_width = width * scale;
  const double drawn_height = height * scale;
  const double left = (w - drawn_width) * 0.5 + w * placement.x;
  const double top = (h - drawn_height) * 0.5 + h * placement.y;
  return left <= 0 && top <= 0 && left + drawn_width >= w && top + drawn_height >= h;
}

// Lays `clip`'s picture on the w x h canvas at `t`, layers bottom first; the
// background goes under the first one unless that picture hides it all.
void compose_layer(Painter* painter, const Clip& clip, double t, const uint8_t* pixels, uint32_t width,
                   uint32_t height, uint32_t w, uint32_t h, bool* based) {
  const Rect canvas{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)};
  const TexturePlacement placement{clip.transform.x, clip.transform.y, clip.transform.scale};
  const double opacity = kelvra_layer_opacity(&clip, t);
  if (!*based && !picture_covers(width, height, w, h, placement, opacity))
    kelvra_shape(painter, canvas, 0.0f, kCanvasBackground);
  *based = true;
  kelvra_picture_compose(painter, pixels, width, height, canvas, placement, opacity, true);
}

// The titles over the layers (over the background when no layer was laid), and the end of the painting.
bool finish_canvas(Painter* painter, const Project& project, double t, uint32_t w, uint32_t h, bool based) {
  const Rect canvas{0, 0, static_cast<int32_t>(w), static_cast<int32_t>(h)};
  if (!based) kelvra_shape(painter, canvas, 0.0f, kCanvasBackground);
  const float scale = static_cast<float>(h) / kTitleCanvasHeight;
  kelvra_painter_scale(painter, scale);
  kelvra_draw_titles(painter, &project, t,
                     Rect{0, 0, static_cast<int32_t>(static_cast<float>(w) / scale),
                          static_cast<int32_t>(kTitleCanvasHeight)});
  kelvra_painter_scale(painter, 1.0);
  return kelvra_painter_end(painter);
}

bool render_layers(RenderPicture* picture, double t, char* message) {
  const EditSnapshot* snapshot = picture->snapshot;
  const Project& project = snapshot->project;
  Painter* painter = picture->painter;
  const uint32_t w = picture->preset.width;
  const uint32_t h = picture->preset.height;
  uint64_t stack[KELVRA_STACK_MAX];
  const uint64_t count = kelvra_video_stack(&project, t, stack);
  if (!kelvra_painter_begin(painter, w, h)) return false;
  bool based = false;  // the background, or a picture covering the canvas, is down
  // Bottom layer first, so that higher lanes cover lower ones.
  for (uint64_t i = count; i-- > 0;) {
    const Clip& clip = project.clips[stack[i]];
    VideoDecoder& decoder = picture->decoders[i];
    const char* file = project.sources[clip.source].file;
    char path[KELVRA_PATH_SIZE];
    bool decoded = kelvra_path(snapshot->media_folder, file, path);
    if (decoded && std::strcmp(decoder.path, path) != 0) decoded = video_decode_open(&decoder, path, 1);
    if (decoder.no_pictures && std::strcmp(decoder.path, path) == 0) continue;  // a sound file: no picture to compose
    decoded = decoded && video_decode_frame(&decoder, kelvra_layer_time(&clip, t));
    if (!decoded) {
      std::snprintf(message, 128, "Could not decode video: %.92s", file);
      kelvra_painter_end(painter);
      return false;
    }
    compose_layer(painter, clip, t, decoder.pixels, decoder.width, decoder.height, w, h, &based);
  }
  return finish_canvas(painter, project, t, w, h, based);
}

}  // namespace

const uint8_t* kelvra_render_compose(RenderPicture* picture, double t, char* message, uint32_t* stride) {
  if (!render_layers(picture, t, message)) return nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  const uint8_t* pixels = kelvra_painter_pixels(picture->painter, &width, &height, stride);
  if (pixels == nullptr || width != picture->preset.width || height != picture->preset.height) return nullptr;
  return pixels;
}

const uint8_t* kelvra_render_compose_layers(RenderPicture* picture, double t, const RenderLayer* layers,
                                            uint64_t count, uint32_t* stride) {
  const Project& project = picture->snapshot->project;
  Painter* painter = picture->painter;
  const uint32_t w = picture->preset.width;
  const uint32_t h = picture->preset.height;
  if (!kelvra_painter_begin(painter, w, h)) return nullptr;
  bool based = false;  // the background, or a picture covering the canvas, is down
  // Bottom layer first, so that higher lanes cover lower ones.
  for (uint64_t i = count; i-- > 0;) {
    const RenderLayer& layer = layers[i];
    if (layer.pixels == nullptr) continue;  // a sound file's clip: nothing to compose
    compose_layer(painter, project.clips[layer.clip], t, layer.pixels, layer.width, layer.height, w, h, &based);
  }
  if (!finish_canvas(painter, project, t, w, h, based)) return nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  const uint8_t* pixels = kelvra_painter_pixels(painter, &width, &height, stride);
  if (pixels == nullptr || width != w || height != h) return nullptr;
  return pixels;
}
