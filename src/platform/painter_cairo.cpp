// Painter on cairo and pango, presented through an SDL texture.
//
// Provides: an RGB24 cairo image (bytes B, G, R, X) as the drawing target,
// rounded and plain rectangles, one-line pango text (ellipsis at the end,
// vertically centred, clipped), a ten-slot cache of pictures re-uploaded only
// when their version changes, and presentation of each frame into the window
// with an SDL streaming texture. A painter without a window draws into an
// off-screen image of a fixed size.
// Cannot: draw text longer than 511 UTF-16 units (nothing is
// drawn, as the layer promises).
//
// Index:
//   [record]   painter and texture slots
//   [target]   window and off-screen targets, begin and end
//   [draw]     shapes, text, textures
#include <SDL2/SDL.h>
#include <cairo.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "platform/painter.h"
#include "platform/picture_scale.h"
#include "platform/ui_internal.h"

// ------------------------------------------------------------------ [record]

namespace {

struct TextureSlot {
  const void* key;
  uint64_t version;  // UINT64_MAX when nothing was uploaded
  cairo_surface_t* bitmap;
  uint32_t width;
  uint32_t height;
};

constexpr char kFontFamily[] = "Segoe UI, Noto Sans, DejaVu Sans, sans-serif";
constexpr int kFontPixels = 12;
constexpr int kTextUnits = 511;  // longest text drawn, in UTF-16 units

}  // namespace

// A laid-out text kept from frame to frame: shaping is most of what a text
// costs, and most texts are drawn again unchanged in the next frame.
struct TextEntry {
  PangoLayout* layout;  // null until the slot is first used
  uint64_t laid_out;    // changes whenever the layout is given another text
  uint64_t hash;
  int32_t width;        // the width it was laid out for; -1 when the entry is stale
  int32_t height;       // its logical height in pixels
  uint64_t used;        // the draw count when it was last drawn
  uint8_t centered;
};

constexpr uint32_t kTextCacheSlots = 2048;  // a power of two
constexpr uint32_t kTextCacheWays = 4;      // slots a text may take, from the one its hash names

// An outlined text drawn once into a transparent image, with what it was drawn for.
struct TextStamp {
  cairo_surface_t* image;  // null while the slot is free
  PangoLayout* layout;     // the text entry's, and its `laid_out` then
  uint64_t layout_used;
  int32_t rect_width;
  int32_t rect_height;
  uint32_t rgb;
  uint32_t outline;
  double line;
  double scale_x;  // device pixels a unit
  double scale_y;
  double phase_x;  // fraction of a device pixel the text's box starts at
  double phase_y;
  uint64_t used;   // the stamp count when it was last laid
};

constexpr uint32_t kTextStamps = 8;

struct Painter {
  UiWindow* window;  // null for an off-screen painter
  PangoContext* context;
  TextEntry texts[kTextCacheSlots];
  uint64_t texts_drawn;
  uint64_t layouts_made;  // texts given to a layout, for TextEntry::laid_out
  TextStamp stamps[kTextStamps];
  uint64_t stamps_drawn;
  PictureScaleRows scale_rows;  // the enlarging scaler's rows, kept from picture to picture
  cairo_surface_t* target;  // the frame being drawn
  cairo_t* cr;
  SDL_Renderer* renderer;   // window painters with a renderer named by SDL_RENDER_DRIVER
  SDL_Texture* texture;
  SDL_Surface* window_surface;  // window painters without a renderer: the frame is drawn right into it
  TextureSlot textures[PAINTER_TEXTURE_SLOTS];
  uint32_t texture_cursor;
  uint32_t target_width;
  uint32_t target_height;
  uint64_t uploads;
  uint64_t creations;
};

namespace {

PangoLayout* make_layout(PangoContext* context, bool centered) {
  PangoLayout* layout = pango_layout_new(context);
  if (layout == nullptr) return nullptr;
  PangoFontDescription* font = pango_font_description_from_string(kFontFamily);
  pango_font_description_set_weight(font, PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font, kFontPixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  pango_layout_set_wrap(layout, PANGO_WRAP_CHAR);
  pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  pango_layout_set_alignment(layout, centered ? PANGO_ALIGN_CENTER : PANGO_ALIGN_LEFT);
  return layout;
}

void set_colour(cairo_t* cr, uint32_t rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void clear_slot(TextureSlot* slot) {
  if (slot->bitmap != nullptr) cairo_surface_destroy(slot->bitmap);
  *slot = TextureSlot{nullptr, UINT64_MAX, nullptr, 0, 0};
}

// A rounded rectangle as a closed path.
void rounded_path(cairo_t* cr, double x, double y, double width, double height, double r) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + width - r, y + r, r, -M_PI / 2, 0);
  cairo_arc(cr, x + width - r, y + height - r, r, 0, M_PI / 2);
  cairo_arc(cr, x + r, y + height - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// A small icon for the window: the program's mark, a frame of film holding a
// note, drawn as the menu's icon draws it (data/io.github.zarnel.Kelvra.svg,
// whose square is 128 units wide).
void set_window_icon(SDL_Window* window) {
  constexpr int side = 64;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
  cairo_t* cr = cairo_create(image);
  cairo_scale(cr, side / 128.0, side / 128.0);
  rounded_path(cr, 8, 8, 112, 112, 24);
  set_colour(cr, 0x1A201D);
  cairo_fill(cr);
  rounded_path(cr, 8.75, 8.75, 110.5, 110.5, 23.25);
  set_colour(cr, 0x404C44);
  cairo_set_line_width(cr, 1.5);
  cairo_stroke(cr);
  rounded_path(cr, 22, 20, 84, 88, 9);
  set_colour(cr, 0xF1CE72);
  cairo_fill(cr);
  for (int hole = 0; hole < 5; ++hole) {
    rounded_path(cr, 27, 26 + 16 * hole, 8, 8, 2);
    rounded_path(cr, 93, 26 + 16 * hole, 8, 8, 2);
  }
  set_colour(cr, 0x1A201D);
  cairo_fill(cr);
  rounded_path(cr, 40, 26, 48, 76, 4);
  set_colour(cr, 0x101311);
  cairo_fill(cr);
  cairo_save(cr);
  cairo_translate(cr, 57, 81);
  cairo_rotate(cr, -24 * M_PI / 180);
  cairo_scale(cr, 10.5, 7.5);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_restore(cr);
  cairo_rectangle(cr, 62.5, 40, 5, 40);
  cairo_move_to(cr, 67.5, 40);
  cairo_curve_to(cr, 69, 49, 82, 52, 81.5, 65);
  cairo_curve_to(cr, 81.2, 70, 79.5, 73, 77.5, 75.5);
  cairo_curve_to(cr, 79, 67, 74.5, 60, 67.5, 58);
  cairo_close_path(cr);
  set_colour(cr, 0x9DE6B8);
  cairo_fill(cr);
  cairo_destroy(cr);
  cairo_surface_flush(image);
  SDL_Surface* icon = SDL_CreateRGBSurfaceWithFormatFrom(cairo_image_surface_get_data(image), side, side, 32,
                                                         cairo_image_surface_get_stride(image), SDL_PIXELFORMAT_ARGB8888);
  if (icon != nullptr) {
    SDL_SetWindowIcon(window, icon);
    SDL_FreeSurface(icon);
  }
  cairo_surface_destroy(image);
}

// ------------------------------------------------------------------ [target]

void drop_target(Painter* painter) {
  for (TextureSlot& slot : painter->textures) clear_slot(&slot);
  if (painter->cr != nullptr) cairo_destroy(painter->cr);
  if (painter->target != nullptr) cairo_surface_destroy(painter->target);
  if (painter->texture != nullptr) SDL_DestroyTexture(painter->texture);
  painter->cr = nullptr;
  painter->target = nullptr;
  painter->texture = nullptr;
  painter->window_surface = nullptr;
  painter->target_width = 0;
  painter->target_height = 0;
}

// The target picture: its own pixels, or `pixels` (rows `stride` bytes apart) when given.
bool make_image(Painter* painter, uint32_t width, uint32_t height, void* pixels = nullptr, int stride = 0) {
  cairo_surface_t* image =
      pixels != nullptr
          ? cairo_image_surface_create_for_data(static_cast<unsigned char*>(pixels), CAIRO_FORMAT_RGB24,
                                                static_cast<int>(width), static_cast<int>(height), stride)
          : cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height));
  if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(image);
    return false;
  }
  cairo_t* cr = cairo_create(image);
  if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
    cairo_destroy(cr);
    cairo_surface_destroy(image);
    return false;
  }
  if (painter->cr != nullptr) cairo_destroy(painter->cr);
  if (painter->target != nullptr) cairo_surface_destroy(painter->target);
  painter->target = image;
  painter->cr = cr;
  pango_cairo_update_context(cr, painter->context);
  for (TextEntry& entry : painter->texts) {
    if (entry.layout != nullptr) pango_layout_context_changed(entry.layout);
    entry.width = -1;
  }
  painter->target_width = width;
  painter->target_height = height;
  return true;
}

// The window's own framebuffer as the target, when it holds 32-bit pixels in
// the B, G, R, X order: the frame is drawn right into it and presenting is
// the window system's one copy. False when the window has no such surface.
bool surface_target(Painter* painter, uint32_t width, uint32_t height) {
  SDL_Surface* surface = SDL_GetWindowSurface(ui_window_sdl(painter->window));
  if (surface == nullptr || surface->w != static_cast<int>(width) || surface->h != static_cast<int>(height)) return false;
  const uint32_t format = surface->format->format;
  if (format != SDL_PIXELFORMAT_RGB888 && format != SDL_PIXELFORMAT_ARGB8888) return false;
  if (!make_image(painter, width, height, surface->pixels, surface->pitch)) return false;
  painter->window_surface = surface;
  return true;
}

// The window target: the window's framebuffer, or, when a renderer is named
// (SDL_RENDER_DRIVER) or the framebuffer does not fit, an image presented
// through a renderer and a texture.
bool window_target(Painter* painter, uint32_t width, uint32_t height) {
  // The cached textures stay; only the frame and its way to the screen change.
  if (painter->texture != nullptr) SDL_DestroyTexture(painter->texture);
  painter->texture = nullptr;
  painter->window_surface = nullptr;
  const bool named = SDL_GetHint(SDL_HINT_RENDER_DRIVER) != nullptr;
  if (!named && painter->renderer == nullptr) {
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (surface_target(painter, width, height)) return true;
  }
  if (painter->renderer == nullptr) {
    SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");
    // The picture is drawn on the processor; a GPU renderer buys nothing here
    // and, on machines that emulate OpenGL, costs whole cores.
    SDL_Window* sdl = ui_window_sdl(painter->window);
    painter->renderer = SDL_CreateRenderer(sdl, -1, named ? 0 : SDL_RENDERER_SOFTWARE);
    if (painter->renderer == nullptr) painter->renderer = SDL_CreateRenderer(sdl, -1, 0);
    if (painter->renderer == nullptr) return false;
  }
  painter->texture = SDL_CreateTexture(painter->renderer, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING,
                                       static_cast<int>(width), static_cast<int>(height));
  if (painter->texture == nullptr || !make_image(painter, width, height)) {
    drop_target(painter);
    return false;
  }
  return true;
}

}  // namespace

Painter* kelvra_painter_create(UiWindow* window) {
  Painter* painter = static_cast<Painter*>(std::calloc(1, sizeof(Painter)));
  if (painter == nullptr) return nullptr;
  painter->window = window;
  for (TextureSlot& slot : painter->textures) slot.version = UINT64_MAX;
  painter->context = pango_font_map_create_context(pango_cairo_font_map_get_default());
  if (painter->context != nullptr) pango_cairo_context_set_resolution(painter->context, 96.0);
  if (painter->context == nullptr) {
    kelvra_painter_destroy(painter);
    return nullptr;
  }
  if (window != nullptr) set_window_icon(ui_window_sdl(window));
  return painter;
}

void kelvra_painter_destroy(Painter* painter) {
  if (painter == nullptr) return;
  drop_target(painter);
  if (painter->renderer != nullptr) SDL_DestroyRenderer(painter->renderer);
  for (TextEntry& entry : painter->texts)
    if (entry.layout != nullptr) g_object_unref(entry.layout);
  for (TextStamp& stamp : painter->stamps)
    if (stamp.image != nullptr) cairo_surface_destroy(stamp.image);
  picture_scale_free(&painter->scale_rows);
  if (painter->context != nullptr) g_object_unref(painter->context);
  std::free(painter);
}

bool kelvra_painter_offscreen(Painter* painter, uint32_t width, uint32_t height) {
  if (painter == nullptr || painter->window != nullptr || width < 1 || height < 1 || width > PAINTER_MAX_SIZE ||
      height > PAINTER_MAX_SIZE)
    return false;
  return make_image(painter, width, height);
}

bool kelvra_painter_begin(Painter* painter, uint32_t width, uint32_t height) {
  if (painter == nullptr || width < 1 || height < 1 || width > PAINTER_MAX_SIZE || height > PAINTER_MAX_SIZE)
    return false;
  if (painter->target == nullptr) {
    if (painter->window == nullptr || !window_target(painter, width, height)) return false;
  }
  // A resized window gets a new framebuffer; the old one's pixels are gone.
  const bool surface_moved = painter->window_surface != nullptr &&
                             SDL_GetWindowSurface(ui_window_sdl(painter->window)) != painter->window_surface;
  if (width != painter->target_width || height != painter->target_height || surface_moved) {
    // An off-screen painter is begun only at the size its picture was made for.
    if (painter->window == nullptr || !window_target(painter, width, height)) return false;
  }
  cairo_reset_clip(painter->cr);
  cairo_identity_matrix(painter->cr);
  return true;
}

bool kelvra_painter_end(Painter* painter) {
  if (painter == nullptr || painter->target == nullptr) return false;
  cairo_surface_flush(painter->target);
  if (painter->window == nullptr) return true;
  if (painter->window_surface != nullptr) {
    if (SDL_UpdateWindowSurface(ui_window_sdl(painter->window)) != 0) drop_target(painter);  // made anew next frame
    return true;
  }
  const bool shown = SDL_UpdateTexture(painter->texture, nullptr, cairo_image_surface_get_data(painter->target),
                                       cairo_image_surface_get_stride(painter->target)) == 0 &&
                     SDL_RenderCopy(painter->renderer, painter->texture, nullptr, nullptr) == 0;
  if (!shown) {
    // The renderer lost its texture: the next frame makes a new target.
    drop_target(painter);
    return true;
  }
  SDL_RenderPresent(painter->renderer);
  return true;
}

void kelvra_painter_scale(Painter* painter, double scale) {
  if (painter == nullptr || painter->cr == nullptr || !(scale > 0)) return;
  cairo_identity_matrix(painter->cr);
  cairo_scale(painter->cr, scale, scale);
}

const uint8_t* kelvra_painter_pixels(Painter* painter, uint32_t* width, uint32_t* height, uint32_t* stride) {
  if (painter == nullptr || painter->target == nullptr) return nullptr;
  cairo_surface_flush(painter->target);
  if (width != nullptr) *width = painter->target_width;
  if (height != nullptr) *height = painter->target_height;
  if (stride != nullptr) *stride = static_cast<uint32_t>(cairo_image_surface_get_stride(painter->target));
  return cairo_image_surface_get_data(painter->target);
}

PainterTextureInfo kelvra_painter_texture_info(Painter* painter, uint32_t slot) {
  PainterTextureInfo info{};
  if (painter == nullptr || slot >= PAINTER_TEXTURE_SLOTS) return info;
  const TextureSlot& s = painter->textures[slot];
  info.key = s.key;
  info.version = s.version;
  info.width = s.width;
  info.height = s.height;
  info.uploads = painter->uploads;
  info.creations = painter->creations;
  return info;
}

// -------------------------------------------------------------------- [draw]

void kelvra_shape(Painter* painter, Rect rect, float radius, uint32_t rgb) {
  if (painter == nullptr || painter->cr == nullptr || rect.width < 1 || rect.height < 1) return;
  cairo_t* cr = painter->cr;
  set_colour(cr, rgb);
  const double x = rect.x;
  const double y = rect.y;
  const double w = rect.width;
  const double h = rect.height;
  if (radius > 0.0f) {
    const double r = std::min<double>(radius, std::min(w, h) / 2.0);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
  } else {
    cairo_rectangle(cr, x, y, w, h);
  }
  cairo_fill(cr);
}

void kelvra_fill_rects(Painter* painter, const Rect* rects, uint64_t count, uint32_t rgb) {
  if (painter == nullptr || painter->cr == nullptr || count == 0) return;
  cairo_t* cr = painter->cr;
  set_colour(cr, rgb);
  for (uint64_t i = 0; i < count; ++i)
    if (rects[i].width > 0 && rects[i].height > 0) cairo_rectangle(cr, rects[i].x, rects[i].y, rects[i].width, rects[i].height);
  cairo_fill(cr);
}

namespace {

// UTF-16 length of valid UTF-8 text, or -1 when it is not valid UTF-8.
long utf16_units(const char* text) {
  const gchar* end = nullptr;
  if (!g_utf8_validate(text, -1, &end)) return -1;
  long units = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if ((*p & 0xC0) == 0x80) continue;  // continuation byte
    units += *p >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

namespace {

uint64_t text_hash(const char* text, int32_t width, bool centered) {
  uint64_t hash = 1469598103934665603ull ^ (static_cast<uint64_t>(width) << 1 | (centered ? 1 : 0));
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p)
    hash = (hash ^ *p) * 1099511628211ull;
  return hash;
}

// The layout of `text` at `width` pixels: from the cache, or laid out into
// the least recently drawn of the slots it may take; null when no layout
// can be made.
const TextEntry* text_layout(Painter* painter, const char* text, int32_t width, bool centered) {
  const uint64_t hash = text_hash(text, width, centered);
  const uint64_t now = ++painter->texts_drawn;
  TextEntry* oldest = nullptr;
  for (uint32_t way = 0; way < kTextCacheWays; ++way) {
    TextEntry& entry = painter->texts[(hash + way) & (kTextCacheSlots - 1)];
    if (entry.layout != nullptr && entry.hash == hash && entry.width == width && entry.centered == centered &&
        std::strcmp(pango_layout_get_text(entry.layout), text) == 0) {
      entry.used = now;
      return &entry;
    }
    if (oldest == nullptr || entry.used < oldest->used) oldest = &entry;
  }
  TextEntry& entry = *oldest;
  if (entry.layout == nullptr) entry.layout = make_layout(painter->context, centered);
  if (entry.layout == nullptr) return nullptr;
  pango_layout_set_alignment(entry.layout, centered ? PANGO_ALIGN_CENTER : PANGO_ALIGN_LEFT);
  pango_layout_set_text(entry.layout, text, -1);
  pango_layout_set_width(entry.layout, width * PANGO_SCALE);
  entry.laid_out = ++painter->layouts_made;
  PangoRectangle logical;
  pango_layout_get_pixel_extents(entry.layout, nullptr, &logical);
  entry.hash = hash;
  entry.width = width;
  entry.height = logical.height;
  entry.used = now;
  entry.centered = centered;
  return &entry;
}

}  // namespace

namespace {

// The laid-out `text` for `rect`, or null when there is nothing to draw.
const TextEntry* text_for(Painter* painter, Rect rect, const char* text, bool centered) {
  if (painter == nullptr || painter->cr == nullptr || rect.width < 1 || rect.height < 1 || text == nullptr ||
      text[0] == '\0')
    return nullptr;
  // Bytes that are not UTF-8 (a file name can hold any) show as U+FFFD.
  char* valid = nullptr;
  if (!g_utf8_validate(text, -1, nullptr)) text = valid = g_utf8_make_valid(text, -1);
  const long units = utf16_units(text);
  const TextEntry* entry = units >= 0 && units <= kTextUnits ? text_layout(painter, text, rect.width, centered) : nullptr;
  g_free(valid);
  return entry;
}

// Draws the outlined text of `entry` into `cr`, clipped to `rect`.
void draw_outlined(cairo_t* cr, const TextEntry* entry, Rect rect, uint32_t rgb, uint32_t outline, double width) {
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  cairo_move_to(cr, rect.x, rect.y + (rect.height - entry->height) / 2.0);
  pango_cairo_layout_path(cr, entry->layout);
  // The stroke is centred on the glyph edges: twice the width puts `width` outside them.
  set_colour(cr, outline);
  cairo_set_line_width(cr, 2.0 * width);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  cairo_stroke_preserve(cr);
  set_colour(cr, rgb);
  cairo_fill(cr);
  cairo_restore(cr);
}

bool same_stamp(const TextStamp& stamp, const TextStamp& key) {
  return stamp.layout == key.layout && stamp.layout_used == key.layout_used && stamp.rect_width == key.rect_width &&
         stamp.rect_height == key.rect_height && stamp.rgb == key.rgb && stamp.outline == key.outline &&
         stamp.line == key.line && stamp.scale_x == key.scale_x && stamp.scale_y == key.scale_y &&
         stamp.phase_x == key.phase_x && stamp.phase_y == key.phase_y;
}

// The stamp of `key`'s text, drawn into a transparent image the first time:
// the same path at the same scale and the same fraction of a pixel, so that
// laying it at a whole pixel gives the pixels drawing it there would.
cairo_surface_t* stamp_for(Painter* painter, const TextEntry* entry, const TextStamp& key, Rect rect, uint32_t rgb,
                           uint32_t outline, double width) {
  const uint64_t now = ++painter->stamps_drawn;
  TextStamp* oldest = nullptr;
  for (TextStamp& stamp : painter->stamps) {
    if (stamp.image != nullptr && same_stamp(stamp, key)) {
      stamp.used = now;
      return stamp.image;
    }
    if (oldest == nullptr || stamp.used < oldest->used) oldest = &stamp;
  }
  const int w = static_cast<int>(std::ceil(rect.width * key.scale_x + key.phase_x)) + 1;
  const int h = static_cast<int>(std::ceil(rect.height * key.scale_y + key.phase_y)) + 1;
  if (w > static_cast<int>(PAINTER_MAX_SIZE) || h > static_cast<int>(PAINTER_MAX_SIZE)) return nullptr;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
  cairo_t* cr = cairo_create(image);
  cairo_translate(cr, key.phase_x, key.phase_y);
  cairo_scale(cr, key.scale_x, key.scale_y);
  draw_outlined(cr, entry, Rect{0, 0, rect.width, rect.height}, rgb, outline, width);
  const bool drawn = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  if (!drawn || cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(image);
    return nullptr;
  }
  cairo_surface_flush(image);
  if (oldest->image != nullptr) cairo_surface_destroy(oldest->image);
  *oldest = key;
  oldest->image = image;
  oldest->used = now;
  return image;
}

}  // namespace

void kelvra_text(Painter* painter, Rect rect, const char* text, uint32_t rgb, bool centered) {
  const TextEntry* entry = text_for(painter, rect, text, centered);
  if (entry == nullptr) return;
  cairo_t* cr = painter->cr;
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  set_colour(cr, rgb);
  cairo_move_to(cr, rect.x, rect.y + (rect.height - entry->height) / 2.0);
  pango_cairo_show_layout(cr, entry->layout);
  cairo_restore(cr);
}

void kelvra_text_outlined(Painter* painter, Rect rect, const char* text, uint32_t rgb, uint32_t outline,
                          double width, bool centered) {
  const TextEntry* entry = text_for(painter, rect, text, centered);
  if (entry == nullptr) return;
  cairo_t* cr = painter->cr;
  // Stroking the outline is most of a title's cost, and a title is drawn
  // again unchanged picture after picture: under a plain scale the drawn
  // text is kept as a stamp and laid down at its whole-pixel place.
  cairo_matrix_t matrix;
  cairo_get_matrix(cr, &matrix);
  double x = rect.x;
  double y = rect.y;
  cairo_user_to_device(cr, &x, &y);
  const double left = std::floor(x);
  const double top = std::floor(y);
  cairo_surface_t* image = nullptr;
  if (matrix.xy == 0.0 && matrix.yx == 0.0 && matrix.xx > 0.0 && matrix.yy > 0.0 && std::abs(left) < 1e6 &&
      std::abs(top) < 1e6) {
    TextStamp key{};
    key.layout = entry->layout;
    key.layout_used = entry->laid_out;
    key.rect_width = rect.width;
    key.rect_height = rect.height;
    key.rgb = rgb;
    key.outline = outline;
    key.line = width;
    key.scale_x = matrix.xx;
    key.scale_y = matrix.yy;
    key.phase_x = x - left;
    key.phase_y = y - top;
    image = stamp_for(painter, entry, key, rect, rgb, outline, width);
  }
  if (image == nullptr) {
    draw_outlined(cr, entry, rect, rgb, outline, width);
    return;
  }
  cairo_save(cr);
  cairo_identity_matrix(cr);
  cairo_set_source_surface(cr, image, left, top);
  cairo_paint(cr);
  cairo_restore(cr);
}

namespace {

// Draws `bitmap` (width x height) fitted or covering `rect`, moved and zoomed
// by `placement`, at `opacity`, clipped to the rectangle.
// An opaque picture enlarged over all of the whole-pixel rectangle it is
// clipped to is written into the target's rows by the painter's own scaler,
// which samples as cairo's bilinear filter does at about twice its speed.
// False, with nothing drawn, where cairo must draw it.
bool paint_enlarged(Painter* painter, cairo_surface_t* bitmap, uint32_t width, uint32_t height, double left,
                    double top, double scale) {
  cairo_t* cr = painter->cr;
  cairo_surface_t* target = cairo_get_target(cr);
  // A picture laid at its own size on whole pixels is a copy cairo makes faster.
  const bool copy = scale == 1.0 && left == std::floor(left) && top == std::floor(top);
  if (copy || !(scale >= 1.0) || cairo_get_group_target(cr) != target ||
      cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE ||
      cairo_image_surface_get_format(bitmap) != CAIRO_FORMAT_RGB24)
    return false;
  const cairo_format_t format = cairo_image_surface_get_format(target);
  const cairo_operator_t op = cairo_get_operator(cr);
  if ((format != CAIRO_FORMAT_RGB24 && format != CAIRO_FORMAT_ARGB32) ||
      (op != CAIRO_OPERATOR_OVER && op != CAIRO_OPERATOR_SOURCE))
    return false;
  cairo_matrix_t matrix;
  cairo_get_matrix(cr, &matrix);
  if (matrix.xx != 1.0 || matrix.yy != 1.0 || matrix.xy != 0.0 || matrix.yx != 0.0 || matrix.x0 != 0.0 ||
      matrix.y0 != 0.0)
    return false;
  cairo_rectangle_list_t* clip = cairo_copy_clip_rectangle_list(cr);
  const bool one = clip->status == CAIRO_STATUS_SUCCESS && clip->num_rectangles == 1;
  const cairo_rectangle_t box = one ? clip->rectangles[0] : cairo_rectangle_t{0, 0, 0, 0};
  cairo_rectangle_list_destroy(clip);
  if (!one || box.x != std::floor(box.x) || box.y != std::floor(box.y) || box.width != std::floor(box.width) ||
      box.height != std::floor(box.height))
    return false;
  const int surface_width = cairo_image_surface_get_width(target);
  const int surface_height = cairo_image_surface_get_height(target);
  const int32_t x0 = static_cast<int32_t>(std::max(0.0, box.x));
  const int32_t y0 = static_cast<int32_t>(std::max(0.0, box.y));
  const int32_t x1 = static_cast<int32_t>(std::min<double>(surface_width, box.x + box.width));
  const int32_t y1 = static_cast<int32_t>(std::min<double>(surface_height, box.y + box.height));
  if (x1 <= x0 || y1 <= y0) return true;  // clipped away
  if (left > x0 || top > y0 || left + width * scale < x1 || top + height * scale < y1) return false;
  cairo_surface_flush(bitmap);
  cairo_surface_flush(target);
  const bool drawn = picture_scale_bilinear(
      cairo_image_surface_get_data(bitmap), width, height, static_cast<uint32_t>(cairo_image_surface_get_stride(bitmap)),
      cairo_image_surface_get_data(target), static_cast<uint32_t>(cairo_image_surface_get_stride(target)), x0, y0, x1,
      y1, left, top, scale, &painter->scale_rows);
  cairo_surface_mark_dirty_rectangle(target, x0, y0, x1 - x0, y1 - y0);
  return drawn;
}

void paint_picture(Painter* painter, cairo_surface_t* bitmap, uint32_t width, uint32_t height, Rect rect,
                   TexturePlacement placement, double opacity, bool cover) {
  cairo_t* cr = painter->cr;
  const double sx = static_cast<double>(rect.width) / width;
  const double sy = static_cast<double>(rect.height) / height;
  double scale = cover ? std::max(sx, sy) : std::min(sx, sy);
  if (placement.zoom > 0.0) scale *= placement.zoom;
  const double drawn_width = width * scale;
  const double drawn_height = height * scale;
  const double left = rect.x + (rect.width - drawn_width) * 0.5 + rect.width * placement.x;
  const double top = rect.y + (rect.height - drawn_height) * 0.5 + rect.height * placement.y;

  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  if (opacity >= 1.0 && paint_enlarged(painter, bitmap, width, height, left, top, scale)) {
    cairo_restore(cr);
    return;
  }
  cairo_translate(cr, left, top);
  cairo_scale(cr, scale, scale);
  cairo_set_source_surface(cr, bitmap, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_clip(cr);
  if (opacity >= 1.0)
    cairo_paint(cr);
  else if (opacity > 0.0)
    cairo_paint_with_alpha(cr, opacity);
  cairo_restore(cr);
}

}  // namespace

void kelvra_picture_compose(Painter* painter, const void* pixels, uint32_t width, uint32_t height, Rect rect,
                            TexturePlacement placement, double opacity, bool cover) {
  if (painter == nullptr || painter->cr == nullptr || rect.width < 1 || rect.height < 1 || width == 0 ||
      height == 0 || pixels == nullptr || width > PAINTER_MAX_SIZE || height > PAINTER_MAX_SIZE)
    return;
  // The caller's rows are the picture: packed B, G, R, X, which is cairo's
  // RGB24 layout with a stride of four bytes a pixel.
  cairo_surface_t* bitmap = cairo_image_surface_create_for_data(
      static_cast<unsigned char*>(const_cast<void*>(pixels)), CAIRO_FORMAT_RGB24, static_cast<int>(width),
      static_cast<int>(height), static_cast<int>(width * 4));
  if (cairo_surface_status(bitmap) == CAIRO_STATUS_SUCCESS)
    paint_picture(painter, bitmap, width, height, rect, placement, opacity, cover);
  cairo_surface_finish(bitmap);
  cairo_surface_destroy(bitmap);
}

void kelvra_texture(Painter* painter, const void* pixels, uint32_t width, uint32_t height, const void* key,
                    uint64_t version, Rect rect, bool cover) {
  kelvra_texture_compose(painter, pixels, width, height, key, version, rect, TexturePlacement{0.0, 0.0, 1.0}, 1.0,
                         cover);
}

void kelvra_texture_compose(Painter* painter, const void* pixels, uint32_t width, uint32_t height, const void* key,
                            uint64_t version, Rect rect, TexturePlacement placement, double opacity, bool cover) {
  if (painter == nullptr || painter->cr == nullptr || rect.width < 1 || rect.height < 1 || width == 0 ||
      height == 0 || pixels == nullptr)
    return;
  TextureSlot* slot = nullptr;
  for (TextureSlot& candidate : painter->textures) {
    if (candidate.key == key && candidate.bitmap != nullptr) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) slot = &painter->textures[painter->texture_cursor++ % PAINTER_TEXTURE_SLOTS];
  if (slot->bitmap == nullptr || slot->key != key || slot->width != width || slot->height != height) {
    clear_slot(slot);
    cairo_surface_t* bitmap =
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, static_cast<int>(width), static_cast<int>(height));
    if (cairo_surface_status(bitmap) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(bitmap);
      return;
    }
    *slot = TextureSlot{key, UINT64_MAX, bitmap, width, height};
    ++painter->creations;
  }
  if (version != slot->version) {
    cairo_surface_flush(slot->bitmap);
    unsigned char* data = cairo_image_surface_get_data(slot->bitmap);
    const int stride = cairo_image_surface_get_stride(slot->bitmap);
    const size_t row = static_cast<size_t>(width) * 4;
    for (uint32_t y = 0; y < height; ++y)
      std::memcpy(data + static_cast<size_t>(y) * stride, static_cast<const unsigned char*>(pixels) + y * row, row);
    cairo_surface_mark_dirty(slot->bitmap);
    slot->version = version;
    ++painter->uploads;
  }

  paint_picture(painter, slot->bitmap, width, height, rect, placement, opacity, cover);
}
