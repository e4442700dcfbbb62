// The timeline time mapping shared by the mix, the picture selection, the
// canvases and the export: which source time a clip shows at a timeline time,
// how opaque it is there, and which clips are stacked at that time.
#pragma once

#include <cstdint>

struct Clip;
struct Project;

constexpr uint64_t KELVRA_STACK_MAX = 8;  // layers composed at one time

// Source time of a clip with range in..out, t seconds after its start: the
// range repeats; an empty or reversed range always gives `in`.
double kelvra_media_time(double in, double out, double t);
// Source time that the clip shows and sounds at timeline time t.
double kelvra_layer_time(const Clip* clip, double t);
// Opacity 0..1 of the clip at timeline time t from its fades; each fade is at
// most half of one pass, measured from the ends of the whole clip.
double kelvra_layer_opacity(const Clip* clip, double t);
// Indexes of the clips with picture at timeline time t, top layer first
// (highest lane first, the later clip first within a lane), at most
// KELVRA_STACK_MAX of them; returns their number.
uint64_t kelvra_video_stack(const Project* project, double t, uint64_t* out);
// The top layer at timeline time t, or null.
const Clip* kelvra_video_at(const Project* project, double t);
