// The carousel's track: a mellow synth-pop loop in A minor at 105 BPM, 20 bars.
// Every voice writes into a circular buffer, and the delay and reverb run round it
// twice so their state at the start is the state they end with: the loop has no seam.
#include <string.h>

#include <algorithm>

#include "audio.h"
#include "dmath.h"

namespace {

constexpr int kRate = 44100;
constexpr int kStep = 6300;  // a sixteenth note at 105 BPM
constexpr int kBar = 16 * kStep;
constexpr int kBars = 20;
constexpr int kLength = kBars * kBar;

struct Bus {
  std::vector<double> l, r;
  Bus() : l(kLength, 0.0), r(kLength, 0.0) {}
  // i in [0, 2 * kLength): a voice starts inside the loop and rings less than a loop past it.
  void add(long i, double vl, double vr) {
    const size_t k = (size_t)(i < kLength ? i : i - kLength);
    l[k] += vl;
    r[k] += vr;
  }
};

// sin(2 pi phase) for phase in [0, 1), from a table with linear interpolation.
double tsin(double phase) {
  constexpr int kN = 4096;
  static const std::vector<double> table = [] {
    std::vector<double> t(kN + 1);
    for (int i = 0; i <= kN; ++i) t[i] = dm::sin(dm::kTwoPi * i / kN);
    return t;
  }();
  const double p = phase * kN;
  const int i = (int)p;
  return table[i] + (table[i + 1] - table[i]) * (p - i);
}
double wrap(double phase) { return phase - floor(phase); }

// Where a voice goes: the dry mix and the two effect sends, each at its own level.
struct Out {
  Bus* bus[3] = {nullptr, nullptr, nullptr};
  double level[3] = {0, 0, 0};
  void add(long i, double l, double r) const {
    for (int k = 0; k < 3; ++k)
      if (bus[k]) bus[k]->add(i, l * level[k], r * level[k]);
  }
};
Out to(Bus* a, double la, Bus* b = nullptr, double lb = 0, Bus* c = nullptr, double lc = 0) {
  Out o;
  o.bus[0] = a, o.level[0] = la;
  o.bus[1] = b, o.level[1] = lb;
  o.bus[2] = c, o.level[2] = lc;
  return o;
}

// Chamberlin state-variable filter; stable for cut-offs well below a sixth of the rate.
struct Svf {
  double low = 0, band = 0;
  double f = 0.1, q = 1.0;
  void set(double hz, double damping) {
    f = 2 * tsin(std::min(hz, 7000.0) / (2.0 * kRate));
    q = damping;
  }
  double run(double x) {
    low += f * band;
    const double high = x - low - q * band;
    band += f * high;
    return low;
  }
};

double poly_blep(double t, double dt) {
  if (t < dt) {
    t /= dt;
    return t + t - t * t - 1;
  }
  if (t > 1 - dt) {
    t = (t - 1) / dt;
    return t * t + t + t + 1;
  }
  return 0;
}
struct Saw {
  double phase = 0;
  double run(double dt) {
    const double v = 2 * phase - 1 - poly_blep(phase, dt);
    phase += dt;
    if (phase >= 1) phase -= 1;
    return v;
  }
};
struct Square {
  double phase = 0;
  double run(double dt) {
    double v = phase < 0.5 ? 1 : -1;
    v += poly_blep(phase, dt);
    double p2 = phase + 0.5;
    if (p2 >= 1) p2 -= 1;
    v -= poly_blep(p2, dt);
    phase += dt;
    if (phase >= 1) phase -= 1;
    return v;
  }
};
struct Sine {
  double phase = 0;  // in cycles
  double run(double dt) {
    const double v = tsin(phase);
    phase += dt;
    if (phase >= 1) phase -= 1;
    return v;
  }
};

// Per-sample factor of an exponential decay with time constant tau seconds.
double decay(double tau) { return dm::exp(-1.0 / (tau * kRate)); }

int note(const char* name) {
  static const int kSemi[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  int n = kSemi[name[0] - 'A'];
  int i = 1;
  if (name[i] == '#') n++, i++;
  return 12 * (name[i] - '0' + 1) + n;
}

struct Note {
  int midi;  // -1 = rest
  int start, length;  // in sixteenths
};
// "A4:3 -:2 C5:4": notes and rests with their lengths in sixteenths.
std::vector<Note> parse(const char* s, int offset) {
  std::vector<Note> out;
  int t = offset;
  while (*s) {
    while (*s == ' ') ++s;
    if (!*s) break;
    char name[4] = {0};
    int k = 0;
    while (*s != ':') name[k++] = *s++;
    ++s;
    int len = 0;
    while (*s >= '0' && *s <= '9') len = len * 10 + (*s++ - '0');
    if (name[0] != '-') out.push_back(Note{note(name), t, len});
    t += len;
  }
  return out;
}

// The progression, one chord a bar: Fmaj7, G6, Em7, Am7.
const int kChord[4][4] = {{53, 57, 60, 64}, {55, 59, 62, 64}, {52, 55, 59, 62}, {57, 60, 64, 67}};
const int kRoot[4] = {41, 43, 40, 45};

const char* const kMelody =
    "A4:3 C5:3 E5:2 D5:4 C5:2 A4:2 "
    "B4:3 D5:3 G5:4 F5:2 E5:2 D5:2 "
    "E5:6 D5:2 B4:4 G4:4 "
    "A4:8 -:4 E5:2 G5:2 "
    "A5:4 G5:2 E5:2 F5:4 E5:2 C5:2 "
    "D5:4 B4:2 D5:2 G5:6 -:2 "
    "G5:3 E5:3 B4:2 D5:4 E5:4 "
    "C5:4 B4:2 A4:10";

void pad(const Out& bus, int bar) {
  const int* ch = kChord[bar % 4];
  const long start = (long)bar * kBar, len = kBar, tail = kRate * 3 / 2;
  const double att = 0.35 * kRate, rel = decay(0.45);
  for (int v = 0; v < 4; ++v) {
    const double f = dm::note_hz(ch[v]);
    Saw a, b;
    a.phase = 0.13 * v;
    b.phase = 0.57 + 0.11 * v;
    Svf lp;
    double env = 0, gain = 1;
    const double pan = 0.5 + 0.28 * (v - 1.5) / 1.5;
    for (long i = 0; i < len + tail; ++i) {
      if (i < len) env = std::min(1.0, i / att);
      else gain *= rel;
      if (i % 32 == 0) {
        const double t = (double)(start + i) / kBar;
        lp.set(700 + 450 * (0.5 + 0.5 * tsin(wrap(t * 0.25))), 1.1);
      }
      const double x = lp.run(0.5 * a.run(f * 1.0035 / kRate) + 0.5 * b.run(f * 0.9965 / kRate));
      const double y = x * env * gain;
      bus.add(start + i, y * (1 - pan), y * pan);
    }
  }
}

void bass_note(Bus& bus, long start, long len, int midi, double level) {
  const double f = dm::note_hz(midi);
  Saw s;
  Sine sub;
  Svf lp;
  double cut = 1.0, amp = 0;
  const double cut_k = decay(0.09), rel = decay(0.02), att = 0.004 * kRate;
  for (long i = 0; i < len + kRate / 8; ++i) {
    if (i < len) amp = std::min(1.0, i / att) * (0.75 + 0.25 * cut);
    else amp *= rel;
    if (i % 16 == 0) lp.set(220 + 1300 * cut, 0.9);
    cut *= cut_k;
    const double y = (0.55 * lp.run(s.run(f / kRate)) + 0.6 * sub.run(f / kRate)) * amp * level;
    bus.add(start + i, y, y);
  }
}

// A bell-like pluck: one sine modulating another at twice its frequency.
void pluck(const Out& bus, long start, int midi, double level, double pan) {
  const double f = dm::note_hz(midi);
  Sine car, mod;
  double amp = 1, idx = 2.2;
  const double ak = decay(0.22), ik = decay(0.08);
  const long len = kRate * 9 / 10, fade = kRate / 10;  // the last, quiet tenth fades to zero
  for (long i = 0; i < len; ++i) {
    const double m = mod.run(2 * f / kRate);
    car.phase = wrap(car.phase + idx * m / dm::kTwoPi * (2 * f / kRate));
    const double y = car.run(f / kRate) * amp * std::min(1.0, i / 40.0) * std::min(1.0, (double)(len - i) / fade) * level;
    amp *= ak;
    idx = 0.25 + (idx - 0.25) * ik;
    bus.add(start + i, y * (1 - pan), y * pan);
  }
}

void lead_note(const Out& bus, long start, long len, int midi, double level) {
  const double f = dm::note_hz(midi);
  Square a;
  Saw b;
  Sine lfo;
  Svf lp;
  lp.set(2400, 0.8);
  double amp = 0;
  const double rel = decay(0.09), att = 0.012 * kRate;
  for (long i = 0; i < len + kRate / 2; ++i) {
    if (i < len) amp = std::min(1.0, i / att);
    else amp *= rel;
    const double vib = 1 + 0.0045 * lfo.run(5.2 / kRate) * std::min(1.0, i / (0.35 * kRate));
    const double x = 0.5 * a.run(f * vib / kRate) + 0.35 * b.run(f * vib * 1.003 / kRate);
    const double y = lp.run(x) * amp * level;
    bus.add(start + i, y, y);
  }
}

struct Drums {
  std::vector<double> kick, snare, hat, open_hat, crash;
};
Drums make_drums() {
  Drums d;
  dm::Rng rng(0x5eed);
  {
    d.kick.resize(kRate / 2);
    double ph = 0, amp = 1;
    const double ak = decay(0.24);
    for (size_t i = 0; i < d.kick.size(); ++i) {
      const double t = (double)i / kRate;
      const double f = 44 + 120 * dm::exp(-t / 0.03);
      ph += f / kRate;
      double v = dm::sin(dm::kTwoPi * ph) * amp;
      if (i < 90) v += 0.3 * rng.bipolar() * (1 - i / 90.0);
      d.kick[i] = v;
      amp *= ak;
    }
  }
  {
    d.snare.resize(kRate / 3);
    Svf bp;
    bp.set(2600, 0.7);
    double ta = 1, na = 1, ph = 0;
    const double tk = decay(0.05), nk = decay(0.09);
    for (size_t i = 0; i < d.snare.size(); ++i) {
      ph += 190.0 / kRate;
      bp.run(rng.bipolar());
      d.snare[i] = 0.5 * dm::sin(dm::kTwoPi * ph) * ta + 1.1 * bp.band * na + 0.25 * rng.bipolar() * na;
      ta *= tk;
      na *= nk;
    }
  }
  auto hat = [&](std::vector<double>& out, double tau, double len_s) {
    out.resize((size_t)(len_s * kRate));
    double prev = 0, amp = 1;
    const double k = decay(tau);
    for (double& v : out) {
      const double n = rng.bipolar();
      v = (n - prev) * 0.5 * amp;  // differentiated noise: the top of the spectrum
      prev = n;
      amp *= k;
    }
  };
  hat(d.hat, 0.022, 0.12);
  hat(d.open_hat, 0.11, 0.45);
  hat(d.crash, 0.7, 2.6);
  return d;
}
void hit(Bus& bus, const std::vector<double>& s, long start, double level, double pan) {
  for (size_t i = 0; i < s.size(); ++i) bus.add(start + (long)i, s[i] * level * (1 - pan), s[i] * level * pan);
}

// A ping-pong echo of dotted eighths, run round the loop twice.
void echo(const Bus& in, Bus& out, double level) {
  const size_t d = 3 * kStep;
  std::vector<double> dl(d, 0.0), dr(d, 0.0);
  size_t p = 0;
  Svf tone_l, tone_r;
  tone_l.set(3000, 1.2);
  tone_r.set(3000, 1.2);
  for (int pass = 0; pass < 2; ++pass)
    for (size_t i = 0; i < (size_t)kLength; ++i) {
      const double yl = dl[p], yr = dr[p];
      dl[p] = tone_l.run(in.l[i] + in.r[i] * 0.5 + yr * 0.45);
      dr[p] = tone_r.run(yl * 0.9);
      if (++p == d) p = 0;
      if (pass == 1) {
        out.l[i] += yl * level;
        out.r[i] += yr * level;
      }
    }
}

// A small Schroeder reverb: parallel damped combs, then allpasses, per side.
void reverb(const Bus& in, Bus& out, double level) {
  static const int kComb[2][6] = {{1557, 1617, 1491, 1422, 1277, 1356}, {1580, 1640, 1514, 1445, 1300, 1379}};
  static const int kAll[2][3] = {{556, 441, 341}, {579, 464, 364}};
  for (int side = 0; side < 2; ++side) {
    std::vector<std::vector<double>> comb(6), all(3);
    std::vector<size_t> cp(6, 0), ap(3, 0);
    std::vector<double> damp(6, 0.0);
    for (int c = 0; c < 6; ++c) comb[c].assign(kComb[side][c] * 2, 0.0);  // scaled for a larger room
    for (int a = 0; a < 3; ++a) all[a].assign(kAll[side][a], 0.0);
    std::vector<double>& dst = side ? out.r : out.l;
    for (int pass = 0; pass < 2; ++pass)
      for (size_t i = 0; i < (size_t)kLength; ++i) {
        const double x = (in.l[i] + in.r[i]) * 0.5;
        double s = 0;
        for (int c = 0; c < 6; ++c) {
          const double y = comb[c][cp[c]];
          damp[c] = y * 0.6 + damp[c] * 0.4;
          comb[c][cp[c]] = x + damp[c] * 0.86;
          if (++cp[c] == comb[c].size()) cp[c] = 0;
          s += y;
        }
        for (int a = 0; a < 3; ++a) {
          const double b = all[a][ap[a]];
          all[a][ap[a]] = s + b * 0.5;
          s = b - s * 0.5;
          if (++ap[a] == all[a].size()) ap[a] = 0;
        }
        if (pass == 1) dst[i] += s * level;
      }
  }
}

}  // namespace

std::vector<float> carousel_song(double* seconds) {
  Bus dry, soft, echo_send, verb_send;  // soft: the pads and plucks, ducked under the kick
  const Drums d = make_drums();
  std::vector<long> kicks;
  for (int bar = 0; bar < kBars; ++bar) {
    const long b0 = (long)bar * kBar;
    const int c = bar % 4;
    const bool intro = bar < 4, groove = bar >= 4, lift = bar >= 12;
    pad(to(&soft, lift ? 0.16 : 0.19, &verb_send, 0.05), bar);
    // Arpeggio over the chord and its octave.
    static const int kArp[16] = {0, 2, 1, 3, 2, 4, 3, 1, 0, 2, 1, 3, 2, 4, 3, 2};
    for (int s = 0; s < 16; ++s) {
      const int k = kArp[s];
      const int m = (k == 4 ? kChord[c][0] + 12 : kChord[c][k]) + 12;
      const double lv = (intro ? 0.10 + 0.02 * bar : 0.16) * (s % 4 == 0 ? 1.0 : 0.75);
      pluck(to(&soft, 1.0, &echo_send, 0.5), b0 + s * kStep, m, lv, s % 2 ? 0.3 : 0.7);
    }
    // Bass: held notes to come in, then eighths that hop to the octave.
    if (bar >= 2 && bar < 4) bass_note(dry, b0, kBar - kStep, kRoot[c], 0.34);
    if (groove) {
      static const int kOct[8] = {0, 0, 12, 0, 0, 12, 0, 7};
      for (int e = 0; e < 8; ++e) bass_note(dry, b0 + e * 2 * kStep, kStep + kStep / 2, kRoot[c] + kOct[e], 0.34);
    }
    // Drums.
    if (bar >= 2) {
      for (int s = 2; s < 16; s += 4) hit(dry, d.hat, b0 + s * kStep, 0.22, 0.62);
      if (groove)
        for (int s = 1; s < 16; s += 2) hit(dry, d.hat, b0 + s * kStep, 0.08, 0.38);
    }
    if (groove) {
      for (int s : {0, 7, 8}) {
        hit(dry, d.kick, b0 + s * kStep, 0.9, 0.5);
        kicks.push_back(b0 + s * kStep);
      }
      const bool fill = bar % 4 == 3;
      hit(dry, d.snare, b0 + 4 * kStep, 0.42, 0.48);
      hit(verb_send, d.snare, b0 + 4 * kStep, 0.12, 0.5);
      if (!fill) {
        hit(dry, d.snare, b0 + 12 * kStep, 0.42, 0.48);
        hit(verb_send, d.snare, b0 + 12 * kStep, 0.12, 0.5);
      } else {
        for (int s : {11, 13, 14, 15}) {
          hit(dry, d.snare, b0 + s * kStep, s == 11 ? 0.42 : 0.18 + 0.06 * (s - 13), 0.4 + 0.05 * (s - 11));
          hit(verb_send, d.snare, b0 + s * kStep, 0.08, 0.5);
        }
      }
      if (lift) hit(dry, d.open_hat, b0 + 14 * kStep, 0.12, 0.7);
      if (bar == 4 || bar == 12) hit(dry, d.crash, b0, 0.16, 0.35);
    }
  }
  // The melody: eight bars, twice; the second time doubled an octave up.
  for (int round = 0; round < 2; ++round) {
    const int at = (4 + 8 * round) * 16;
    for (const Note& n : parse(kMelody, at)) {
      const long s = (long)n.start * kStep, l = (long)n.length * kStep - kStep / 3;
      lead_note(to(&dry, 1.0, &echo_send, 0.45, &verb_send, 0.3), s, l, n.midi, 0.2);
      if (round == 1) lead_note(to(&dry, 1.0, &echo_send, 0.6), s, l, n.midi + 12, 0.07);
    }
  }
  // Duck the soft layer under each kick, the pump of the style.
  std::vector<double> duck(kLength, 1.0);
  for (long k : kicks)
    for (long i = 0; i < kBar / 4; ++i) {
      const size_t j = (size_t)(k + i < kLength ? k + i : k + i - kLength);
      duck[j] = std::min(duck[j], 1 - 0.45 * dm::exp(-(double)i / (0.11 * kRate)) * std::min(1.0, i / 200.0 + 0.6));
    }
  for (size_t i = 0; i < (size_t)kLength; ++i) {
    dry.l[i] += soft.l[i] * duck[i];
    dry.r[i] += soft.r[i] * duck[i];
  }
  echo(echo_send, dry, 1.0);
  reverb(verb_send, dry, 0.5);
  // Normalise, round the loudest peaks off gently, and leave headroom for the encoder.
  double peak = 1e-9;
  for (size_t i = 0; i < (size_t)kLength; ++i) peak = std::max({peak, fabs(dry.l[i]), fabs(dry.r[i])});
  auto soft_clip = [](double x) { return x * (27 + x * x) / (27 + 9 * x * x); };
  const double drive = 1.6, norm = 0.84 / soft_clip(drive);
  std::vector<float> out((size_t)kLength * 2);
  for (size_t i = 0; i < (size_t)kLength; ++i) {
    out[2 * i] = (float)(soft_clip(dry.l[i] / peak * drive) * norm);
    out[2 * i + 1] = (float)(soft_clip(dry.r[i] / peak * drive) * norm);
  }
  *seconds = (double)kLength / kRate;
  return out;
}

bool encode_mp3(const std::vector<float>& stereo, std::vector<uint8_t>& out, std::string* error) {
  std::vector<int16_t> pcm(stereo.size());
  for (size_t i = 0; i < stereo.size(); ++i) pcm[i] = (int16_t)floor(dm::clamp((double)stereo[i], -1.0, 1.0) * 32767.0 + 0.5);
  return encode_mp3_pcm(pcm, kRate, 2, 192, 3, out, error);
}
