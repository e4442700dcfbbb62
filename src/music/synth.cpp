// The instrument synthesizer and the metronome click.
//
// A call first collects the notes that sound in its window (at most 96, in
// table order) as voices, then renders the window segment by segment: the
// frame times of a segment are computed once and shared by every voice, and
// each voice adds its frames in blocks.
//
// Inside a block the sine partials come from rotating phasors and the decays
// from repeated multiplication, each started from exact sin, cos and exp
// values at the voice's first frames in the segment. Four interleaved chains
// (frames i, i+1, i+2, i+3 rotate by four frames per step) keep consecutive
// frames independent. Over the at most 400 steps of a segment the chains stay
// within about 1e-13 of the direct formulas, far below the single-precision
// rounding of the products that go into the buffer. Angles that are not a
// steady rotation (the electric keys' modulation, the kick's falling pitch)
// use a polynomial sine on a reduced argument.
//
// Sections: [voices] collecting the notes, [kernels] phasors, decays, noise
// and the polynomial sine, [render] frames of one voice, [mix] the entry
// point, [click] the metronome.
#include "music/synth.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "project/score.h"

namespace {

constexpr double RATE = SYNTH_RATE;
constexpr double TWO_PI = 6.283185307179586476925286766559;
constexpr uint64_t SEGMENT = 1600;  // frames whose times are computed together
constexpr uint64_t BLOCK = 64;      // frames of one voice computed together
constexpr uint32_t LANES = 4;       // interleaved recurrence chains
// A frame offset this close below a whole number counts as that number, so
// that the last-bit rounding of frame times (which depends on where a window
// starts) never moves a note's noise by one frame.
constexpr double NOISE_GUARD = 1e-4;

// ---------------------------------------------------------------- [voices]

// One note that sounds in the window.
struct SynthVoice {
  double start;   // the note's own start (s), where v counts from
  double attack;  // start of the audible part (s): the note or region start
  double end;     // end of the audible part (s)
  double omega;   // 2π f, radians per second
  float left;     // gain of the left channel
  float right;    // gain of the right channel
  uint64_t first; // first frame in the window
  uint64_t last;  // frame after the last
  uint8_t instrument;
  uint8_t key;
};

// Frame index of time offset `offset` (seconds from the window start), rounded
// up and limited to 0..frames.
uint64_t frame_at(double offset, uint64_t frames) {
  const double f = std::ceil(offset * RATE);
  if (!(f > 0.0)) return 0;
  if (f >= static_cast<double>(frames)) return frames;
  return static_cast<uint64_t>(f);
}

// Collects the voices of [x, x + frames / 48000) into `out` (96 entries) and
// returns their number. Every note that overlaps the window counts towards the
// limit of 96, whether or not it is heard.
uint64_t synth_voices(const Score* score, double x, uint64_t frames, SynthVoice* out) {
  const double beat = 60.0 / kelvra_score_bpm(score);
  const double window_end = x + static_cast<double>(frames) / RATE;
  const uint64_t note_count = std::min(score->note_count, SCORE_MAX_NOTES);
  const uint64_t region_count = std::min(score->region_count, SCORE_MAX_REGIONS);
  uint64_t counted = 0;
  uint64_t count = 0;
  for (uint64_t i = 0; i < note_count && counted < SYNTH_MAX_VOICES; ++i) {
    const ScoreNote& note = score->notes[i];
    const double s = note.beat * beat;
    const double e = (note.beat + note.length) * beat;
    if (s >= window_end || e <= x) continue;
    ++counted;

    SynthVoice voice{};
    voice.start = s;
    voice.key = note.key;
    if (note.region < region_count) {
      const ScoreRegion& region = score->regions[note.region];
      if (note.key < region.low || note.key > region.high) continue;
      voice.attack = std::max(s, region.start * beat);
      voice.end = std::min(e, region.end * beat);
      voice.instrument = region.instruments[std::min<uint8_t>(region.active, 3)];
      const float gain = score->master * SYNTH_NOTE_LEVEL * note.velocity * region.volume;
      voice.left = gain * (1.0f - std::max(region.pan, 0.0f));
      voice.right = gain * (1.0f + std::min(region.pan, 0.0f));
    } else {
      voice.attack = s;
      voice.end = e;
      voice.instrument = SCORE_PIANO;
      voice.left = voice.right = score->master * SYNTH_NOTE_LEVEL * note.velocity;
    }
    if (voice.instrument > SCORE_DRUM_KIT) voice.instrument = SCORE_PIANO;
    if (!(voice.attack < voice.end) || voice.end <= x || voice.attack >= window_end) continue;

    const int32_t reference = voice.instrument == SCORE_BASS ? 81 : 69;  // the bass sounds an octave down
    voice.omega = TWO_PI * (440.0 * std::exp2((note.key - reference) / 12.0));
    voice.first = frame_at(voice.attack - x, frames);
    voice.last = frame_at(voice.end - x, frames);
    if (voice.first >= voice.last) continue;
    out[count++] = voice;
  }
  return count;
}

// --------------------------------------------------------------- [kernels]

// Two frames side by side; each step of a kernel handles two pairs (LANES frames).
using V2 = double __attribute__((vector_size(16)));
constexpr uint32_t PAIRS = LANES / 2;

inline V2 load2(const double* p) {
  V2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void store2(double* p, V2 v) { std::memcpy(p, &v, sizeof v); }

inline V2 min2(V2 a, V2 b) { return b < a ? b : a; }
inline V2 max2(V2 a, V2 b) { return a < b ? b : a; }

// Taylor coefficients of sin and cos in x²: (-1)^k / (2k+1)! and (-1)^k / (2k)!.
struct SineSeries {
  double sin[10];
  double cos[10];
};

constexpr SineSeries sine_series() {
  SineSeries series{};
  double factorial = 1.0;  // n!
  double sign = 1.0;
  for (int n = 0; n < 20; ++n) {
    if (n > 0) factorial *= n;
    if (n % 2 == 0) series.cos[n / 2] = sign / factorial;
    if (n % 2 == 1) {
      series.sin[n / 2] = sign / factorial;
      sign = -sign;
    }
  }
  return series;
}

constexpr SineSeries SERIES = sine_series();

// a[0] + a[1] x2 + ... + a[N-1] x2^(N-1), summed in pairs of terms so that
// the chain of dependent operations is half as long as plain Horner's.
template <int N>
inline V2 series(const double* a, V2 x2) {
  const V2 x4 = x2 * x2;
  V2 p = N % 2 == 1 ? V2{a[N - 1], a[N - 1]} : a[N - 2] + a[N - 1] * x2;
  for (int k = (N - 1) / 2 * 2 - 2; k >= 0; k -= 2) p = p * x4 + (a[k] + a[k + 1] * x2);
  return p;
}

// The series below are cut where their error is below 1e-11 of full scale:
// at most 3e-7 of one 16-bit step at the loudest note, a thousandth of the
// single-precision rounding that every note's frame goes through anyway.

// sin x for |x| <= π/2 (terms to x^15: error below 7e-12).
inline V2 sin_quarter_turn(V2 x) { return x * series<8>(SERIES.sin, x * x); }

// sin x and cos x for |x| <= 1.75: the series (to x^9 and x^10) at x / 4,
// then two angle doublings. Error below 1e-11.
inline void sincos_small(V2 x, V2* s, V2* c) {
  const V2 q = 0.25 * x;
  const V2 q2 = q * q;
  V2 sq = q * series<5>(SERIES.sin, q2);
  V2 cq = series<6>(SERIES.cos, q2);
  for (int doubling = 0; doubling < 2; ++doubling) {
    const V2 s2 = 2.0 * sq * cq;
    cq = 1.0 - 2.0 * sq * sq;
    sq = s2;
  }
  *s = sq;
  *c = cq;
}

// sin(2π p) for |p| < 2^50: p is reduced to its distance from the nearest
// whole turn, folded into -1/4..1/4 turn, and fed to the series.
inline V2 sin_turns(V2 p) {
  constexpr double ROUNDER = 6755399441055744.0;  // 1.5 x 2^52: adding it rounds to a whole number
  V2 r = p - ((p + ROUNDER) - ROUNDER);           // -0.5..0.5
  r = min2(r, 0.5 - r);                           // sin(π - a) = sin a
  r = max2(r, -0.5 - r);
  return sin_quarter_turn(TWO_PI * r);
}

// The drum noise: -1..1, a hash of the frame's offset from the note start
// (v seconds), so that a note's noise is the same whenever it is rendered.
inline uint32_t noise_hash(double offset) {
  const uint32_t k = static_cast<uint32_t>(static_cast<int64_t>(offset));  // low 32 bits
  uint32_t u = k * 0x9E3779B1u;
  u = (u ^ (u >> 15)) * 0x85EBCA77u;
  return u & 0xFFFFu;
}

inline V2 noise2(V2 v) {
  const V2 offset = v * RATE + 1.0 + NOISE_GUARD;
  const V2 u = {static_cast<double>(noise_hash(offset[0])), static_cast<double>(noise_hash(offset[1]))};
  return u * (1.0 / 32767.5) - 1.0;  // within one rounding of u / 32767.5
}

// A sine partial as LANES chains: lane l holds frame i + l, and every step
// turns all lanes on by LANES frames.
struct Phasor {
  V2 s[PAIRS];
  V2 c[PAIRS];
  double turn_s;
  double turn_c;
};

// Starts the partial sin(multiple x ω v) at the times v (since the note start)
// of the first LANES frames.
void phasor_start(Phasor* p, double omega, double multiple, const double* v) {
  for (uint32_t l = 0; l < LANES; ++l) {
    const double angle = multiple * (omega * v[l]);
    p->s[l / 2][l % 2] = std::sin(angle);
    p->c[l / 2][l % 2] = std::cos(angle);
  }
  const double turn = multiple * omega * LANES / RATE;
  p->turn_s = std::sin(turn);
  p->turn_c = std::cos(turn);
}

inline void phasor_step(Phasor* p, uint32_t k) {
  const V2 s = p->s[k];
  const V2 c = p->c[k];
  p->s[k] = s * p->turn_c + c * p->turn_s;
  p->c[k] = c * p->turn_c - s * p->turn_s;
}

// e^(-rate v) as LANES chains, laid out like Phasor.
struct Decay {
  V2 d[PAIRS];
  double turn;
};

void decay_start(Decay* d, double rate, const double* v) {
  for (uint32_t l = 0; l < LANES; ++l) d->d[l / 2][l % 2] = std::exp(-rate * v[l]);
  d->turn = std::exp(-rate * LANES / RATE);
}

inline V2 decay_step(Decay* d, uint32_t k) {
  const V2 value = d->d[k];
  d->d[k] = value * d->turn;
  return value;
}

// ---------------------------------------------------------------- [render]

// Recurrence state of one voice.
struct VoiceState {
  Phasor partial[3];
  Decay decay[2];
};

void voice_start(VoiceState* state, const SynthVoice& voice, const double* v) {
  switch (voice.instrument) {
    case SCORE_PIANO:
      phasor_start(&state->partial[0], voice.omega, 1.0, v);
      decay_start(&state->decay[0], 2.1, v);
      break;
    case SCORE_ELECTRIC_KEYS:
      phasor_start(&state->partial[0], voice.omega, 1.0, v);
      decay_start(&state->decay[0], 1.6, v);
      decay_start(&state->decay[1], 3.0, v);
      break;
    case SCORE_ORGAN:
      phasor_start(&state->partial[0], voice.omega, 1.0, v);
      break;
    case SCORE_BASS:
      phasor_start(&state->partial[0], voice.omega, 1.0, v);
      decay_start(&state->decay[0], 0.7, v);
      break;
    case SCORE_BELL:
      phasor_start(&state->partial[0], voice.omega, 1.0, v);
      phasor_start(&state->partial[1], voice.omega, 2.76, v);
      phasor_start(&state->partial[2], voice.omega, 4.07, v);
      decay_start(&state->decay[0], 3.8, v);
      break;
    default:  // drum kit
      decay_start(&state->decay[0], voice.key == 36 ? 15.0 : voice.key == 37 || voice.key == 40 ? 22.0 : 35.0, v);
      decay_start(&state->decay[1], 25.0, v);             // the kick's pitch sweep
      phasor_start(&state->partial[0], TWO_PI * 172.0, 1.0, v);  // the snare's tone
      break;
  }
}

// The envelope: a 1/190 s attack from the audible start and a 1/52 s release
// ending at the audible end, limited to 0..1.
inline V2 envelope(const SynthVoice& voice, V2 t) {
  const V2 w = min2((t - voice.attack) * 190.0, (voice.end - t) * 52.0);
  return max2(min2(w, V2{1.0, 1.0}), V2{0.0, 0.0});
}

// The voice value y of one pair of frames (times t, since the note start v)
// for lane pair k, advancing the state past it. Without SHAPED the envelope
// is 1 for both frames.
template <uint8_t INSTRUMENT, bool SHAPED>
inline V2 voice_pair(VoiceState* state, const SynthVoice& voice, V2 t, V2 v, uint32_t k) {
  const V2 w = SHAPED ? envelope(voice, t) : V2{1.0, 1.0};
  if constexpr (INSTRUMENT == SCORE_PIANO || INSTRUMENT == SCORE_ORGAN) {
    Phasor* p = &state->partial[0];
    const V2 s = p->s[k];
    const V2 s2 = 2.0 * s * p->c[k];          // sin 2A
    const V2 s3 = s * (3.0 - 4.0 * s * s);    // sin 3A
    phasor_step(p, k);
    if constexpr (INSTRUMENT == SCORE_PIANO) {
      return (0.75 * s + 0.17 * s2 + 0.08 * s3) * decay_step(&state->decay[0], k) * w;
    } else {
      return (0.66 * s + 0.22 * s2 + 0.12 * s3) * w;
    }
  } else if constexpr (INSTRUMENT == SCORE_ELECTRIC_KEYS) {
    Phasor* p = &state->partial[0];
    const V2 s = p->s[k];
    const V2 c = p->c[k];
    phasor_step(p, k);
    const V2 decay = decay_step(&state->decay[0], k);
    const V2 modulation = 1.7 * decay_step(&state->decay[1], k) * (2.0 * s * c);  // |.| <= 1.7
    V2 ms;
    V2 mc;
    sincos_small(modulation, &ms, &mc);
    return (s * mc + c * ms) * decay * w;  // sin(A + modulation)
  } else if constexpr (INSTRUMENT == SCORE_BASS) {
    Phasor* p = &state->partial[0];
    const V2 s = p->s[k];
    const V2 s2 = 2.0 * s * p->c[k];
    phasor_step(p, k);
    return (0.76 * s + 0.24 * s2) * decay_step(&state->decay[0], k) * w;
  } else if constexpr (INSTRUMENT == SCORE_BELL) {
    const V2 y = 0.54 * state->partial[0].s[k] + 0.3 * state->partial[1].s[k] + 0.16 * state->partial[2].s[k];
    for (Phasor& p : state->partial) phasor_step(&p, k);
    return y * decay_step(&state->decay[0], k) * w;
  } else if constexpr (INSTRUMENT == SCORE_DRUM_KIT) {  // kick: pitch falling from 148 Hz towards 48 Hz
    const V2 sweep = decay_step(&state->decay[1], k);
    return sin_turns(4.0 * (1.0 - sweep) + 48.0 * v) * decay_step(&state->decay[0], k) * w;
  } else if constexpr (INSTRUMENT == SCORE_DRUM_KIT + 1) {  // snare: noise and a 172 Hz tone
    const V2 tone = state->partial[0].s[k];
    phasor_step(&state->partial[0], k);
    return (0.7 * noise2(v) + 0.3 * tone) * decay_step(&state->decay[0], k) * w;
  } else {  // hat
    return 0.55 * noise2(v) * decay_step(&state->decay[0], k) * w;
  }
}

// Voice values y of `count` frames (a multiple of LANES) whose times are `tau`.
template <uint8_t INSTRUMENT, bool SHAPED>
void voice_block(VoiceState* state, const SynthVoice& voice, const double* tau, uint64_t count, double* y) {
  for (uint64_t i = 0; i < count; i += LANES) {
    for (uint32_t k = 0; k < PAIRS; ++k) {
      const V2 t = load2(tau + i + 2 * k);
      store2(y + i + 2 * k, voice_pair<INSTRUMENT, SHAPED>(state, voice, t, t - voice.start, k));
    }
  }
}

template <uint8_t INSTRUMENT>
void voice_block(VoiceState* state, const SynthVoice& voice, const double* tau, uint64_t count, double* y) {
  // Both envelope terms are monotonic in the frame time: when they are at
  // least 1 at the block's ends, the envelope is exactly 1 throughout.
  const bool steady =
      (tau[0] - voice.attack) * 190.0 >= 1.0 && (voice.end - tau[count - 1]) * 52.0 >= 1.0;
  if (steady) {
    voice_block<INSTRUMENT, false>(state, voice, tau, count, y);
  } else {
    voice_block<INSTRUMENT, true>(state, voice, tau, count, y);
  }
}

// The drum voices are told apart by key; the kick, snare and hat each get
// their own kernel number after the instruments.
uint8_t voice_kernel(const SynthVoice& voice) {
  if (voice.instrument != SCORE_DRUM_KIT || voice.key == 36) return voice.instrument;
  return voice.key == 37 || voice.key == 40 ? SCORE_DRUM_KIT + 1 : SCORE_DRUM_KIT + 2;
}

// Adds `count` frames of one voice whose frame times are `tau` into `out`
// (stereo pairs). `tau` holds LANES - 1 valid times beyond the last frame.
void voice_render(const SynthVoice& voice, const double* tau, uint64_t count, float* out) {
  double v[LANES];
  for (uint32_t l = 0; l < LANES; ++l) v[l] = tau[l] - voice.start;
  VoiceState state{};
  voice_start(&state, voice, v);
  const uint8_t kernel = voice_kernel(voice);
  double y[BLOCK];
  for (uint64_t done = 0; done < count; done += BLOCK) {
    const uint64_t n = std::min(BLOCK, count - done);
    const uint64_t padded = (n + LANES - 1) / LANES * LANES;
    const double* t = tau + done;
    switch (kernel) {
      case SCORE_PIANO: voice_block<SCORE_PIANO>(&state, voice, t, padded, y); break;
      case SCORE_ELECTRIC_KEYS: voice_block<SCORE_ELECTRIC_KEYS>(&state, voice, t, padded, y); break;
      case SCORE_ORGAN: voice_block<SCORE_ORGAN>(&state, voice, t, padded, y); break;
      case SCORE_BASS: voice_block<SCORE_BASS>(&state, voice, t, padded, y); break;
      case SCORE_BELL: voice_block<SCORE_BELL>(&state, voice, t, padded, y); break;
      case SCORE_DRUM_KIT: voice_block<SCORE_DRUM_KIT>(&state, voice, t, padded, y); break;
      case SCORE_DRUM_KIT + 1: voice_block<SCORE_DRUM_KIT + 1>(&state, voice, t, padded, y); break;
      default: voice_block<SCORE_DRUM_KIT + 2>(&state, voice, t, padded, y); break;
    }
    float* frame = out + 2 * done;
    const double left = voice.left;
    const double right = voice.right;
    for (uint64_t i = 0; i < n; ++i) {
      frame[2 * i] += static_cast<float>(y[i] * left);
      frame[2 * i + 1] += static_cast<float>(y[i] * right);
    }
  }
}

}  // namespace

// ------------------------------------------------------------------- [mix]

void kelvra_synth_mix(const Score* score, double start, float* buffer, uint64_t frames) {
  if (frames == 0 || !std::isfinite(start)) return;
  SynthVoice voices[SYNTH_MAX_VOICES];
  const uint64_t voice_count = synth_voices(score, start, frames, voices);
  if (voice_count == 0) return;
  double tau[SEGMENT + LANES];
  for (uint64_t first = 0; first < frames; first += SEGMENT) {
    const uint64_t m = std::min(SEGMENT, frames - first);
    for (uint64_t i = 0; i < m + LANES; ++i) tau[i] = start + static_cast<double>(first + i) / RATE;
    for (uint64_t k = 0; k < voice_count; ++k) {
      const SynthVoice& voice = voices[k];
      const uint64_t a = std::max(voice.first, first);
      const uint64_t b = std::min(voice.last, first + m);
      if (a < b) voice_render(voice, tau + (a - first), b - a, buffer + 2 * a);
    }
  }
}

// ----------------------------------------------------------------- [click]

double kelvra_synth_click(const Score* score, double time) {
  const double beat = 60.0 / kelvra_score_bpm(score);
  double d = std::fmod(time, beat);
  if (d < 0.0) d += beat;
  if (!(d < 0.026)) return 0.0;
  const bool accent = std::fmod(std::floor(time / beat), 4.0) == 0.0;  // beats 0, 4, 8 ...
  if (accent) return std::sin(11200.0 * d) * std::exp(-220.0 * d) * 4700.0;
  return std::sin(7900.0 * d) * std::exp(-220.0 * d) * 3200.0;
}
