// The scroller's chiptune: "M.K." ProTracker, 4 channels, 125 BPM at speed 6, in D minor.
// Channel 1 drums, 2 bass, 3 lead, 4 arpeggiated chords. Twelve patterns of 64 rows, then
// the order list ends and so does the song.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "audio.h"
#include "dmath.h"

namespace {

// Amiga periods at finetune 0, C-1 to B-3.
const uint16_t kPeriod[36] = {856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453,
                              428, 404, 381, 360, 339, 320, 302, 285, 269, 254, 240, 226,
                              214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113};
constexpr double kPalClock = 3546895.0;

// "C-2", "A#1": index into kPeriod.
int pt_note(const char* n) {
  static const int kSemi[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
  int s = kSemi[n[0] - 'A'] + (n[1] == '#' ? 1 : 0);
  return (n[2] - '1') * 12 + s;
}

enum Sample { kNone, kKick, kSnare, kHat, kBass, kLead, kArp };

struct Cell {
  int note = -1;  // index into kPeriod
  int sample = 0;
  int fx = 0, param = 0;
};
struct Pattern {
  Cell c[64][4];
};

struct SampleData {
  const char* name;
  std::vector<int8_t> data;
  int volume;
  size_t loop_start, loop_len;  // bytes; loop_len 0 = one-shot
};

int8_t s8(double v) { return (int8_t)std::clamp((int)floor(v * 127 + 0.5), -127, 127); }

std::vector<SampleData> make_samples() {
  std::vector<SampleData> s;
  dm::Rng rng(0xC0FFEE);
  const double drum_rate = kPalClock / kPeriod[24];  // drums play at C-3
  {
    SampleData k{"kick", {}, 64, 0, 0};
    double ph = 0;
    const int n = (int)(0.26 * drum_rate) & ~1;
    for (int i = 0; i < n; ++i) {
      const double t = i / drum_rate;
      ph += (48 + 130 * dm::exp(-t / 0.028)) / drum_rate;
      double v = dm::sin(dm::kTwoPi * ph) * dm::exp(-t / 0.11);
      v = v * 1.4 / (1 + 0.4 * fabs(v * 1.4));  // a little drive for punch
      k.data.push_back(s8(v));
    }
    s.push_back(k);
  }
  {
    SampleData sn{"snare", {}, 56, 0, 0};
    const int n = (int)(0.2 * drum_rate) & ~1;
    double ph = 0, lp = 0;
    for (int i = 0; i < n; ++i) {
      const double t = i / drum_rate;
      ph += 200 / drum_rate;
      const double noise = rng.bipolar();
      lp += 0.55 * (noise - lp);
      const double v = 0.55 * dm::sin(dm::kTwoPi * ph) * dm::exp(-t / 0.04) + 0.75 * lp * dm::exp(-t / 0.065);
      sn.data.push_back(s8(std::clamp(v, -1.0, 1.0)));
    }
    s.push_back(sn);
  }
  {
    SampleData h{"hihat", {}, 40, 0, 0};
    const int n = (int)(0.07 * drum_rate) & ~1;
    double prev = 0;
    for (int i = 0; i < n; ++i) {
      const double noise = rng.bipolar();
      h.data.push_back(s8(0.55 * (noise - prev) * dm::exp(-i / drum_rate / 0.018)));
      prev = noise;
    }
    s.push_back(h);
  }
  // Pitched voices are whole cycles, repeated with a decay baked in and a looped
  // quiet cycle at the end, so each note plucks without needing an effect.
  auto cycles = [](const char* name, int volume, int period_len, int count, double tau_cycles, double floor_amp,
                   double (*wave)(double)) {
    SampleData d{name, {}, volume, 0, 0};
    for (int c = 0; c <= count; ++c) {
      const double amp = c == count ? floor_amp : floor_amp + (1 - floor_amp) * dm::exp(-c / tau_cycles);
      for (int i = 0; i < period_len; ++i) d.data.push_back(s8(wave((i + 0.5) / period_len) * amp));
    }
    d.loop_start = (size_t)count * period_len;
    d.loop_len = (size_t)period_len;
    return d;
  };
  s.push_back(cycles("bass", 40, 64, 40, 16, 0.45, [](double p) {
    const double saw = 1 - 2 * p, sq = p < 0.5 ? 0.8 : -0.8;
    return 0.55 * saw + 0.45 * sq;
  }));
  s.push_back(cycles("lead", 54, 32, 1, 1, 1.0, [](double p) {
    return p < 0.25 ? 0.8 : -0.8 / 3;  // a 25% pulse with no DC
  }));
  s.push_back(cycles("chords", 38, 32, 48, 14, 0.25, [](double p) {
    return p < 0.5 ? 0.7 : -0.7;
  }));
  return s;
}

struct Chord {
  const char* root;  // arpeggio base, octave 2
  const char* bass;  // bass root, octave 1
  int arp;           // 0xy: the two upper chord tones in semitones
};
const Chord kVerse[4] = {{"D-2", "D-1", 0x37}, {"A#1", "A#1", 0x47}, {"C-2", "C-1", 0x47}, {"A-1", "A-1", 0x37}};
const Chord kBridge[4] = {{"G-1", "G-1", 0x37}, {"A#1", "A#1", 0x47}, {"F-1", "F-1", 0x47}, {"A-1", "A-1", 0x47}};

const char* const kPhrases[4] = {
    "D-3:4 A-2:2 D-3:2 F-3:4 E-3:2 D-3:2 D-3:4 A#2:2 D-3:2 F-3:6 G-3:2 "
    "E-3:4 C-3:2 E-3:2 G-3:4 A-3:2 G-3:2 E-3:8 C-3:4 A-2:4",
    "A-3:4 G-3:2 F-3:2 E-3:4 F-3:4 D-3:6 F-3:2 A#3:4 A-3:4 "
    "G-3:4 E-3:2 C-3:2 E-3:4 G-3:4 A-3:6 G-3:2 E-3:8",
    "G-3:6 A#3:2 A-3:4 G-3:4 F-3:6 D-3:2 F-3:4 A#3:4 "
    "A-3:6 F-3:2 C-3:4 F-3:4 E-3:8 C#3:4 E-3:4",
    "G-3:2 A#3:2 A-3:2 G-3:2 D-3:4 G-3:4 F-3:2 A#3:2 A-3:2 F-3:2 D-3:4 F-3:4 "
    "A-3:2 F-3:2 C-3:2 F-3:2 A-3:4 A#3:4 A-3:8 -:4 E-3:2 C#3:2",
};

void put_lead(Pattern& p, const char* s) {
  int row = 0;
  while (*s && row < 64) {
    while (*s == ' ') ++s;
    if (!*s) break;
    char name[4] = {0};
    for (int k = 0; *s != ':'; ++k) name[k] = *s++;
    ++s;
    int len = 0;
    while (*s >= '0' && *s <= '9') len = len * 10 + (*s++ - '0');
    if (name[0] != '-') {
      Cell& c = p.c[row][2];
      c.note = pt_note(name);
      c.sample = kLead;
      // Vibrato on the held part of long notes; a cut on the last row separates them.
      for (int r = row + 2; r < row + len - 1 && r < 64; ++r) p.c[r][2].fx = 4, p.c[r][2].param = 0x44;
      if (len >= 2 && row + len - 1 < 64) p.c[row + len - 1][2].fx = 0xE, p.c[row + len - 1][2].param = 0xC4;
    } else {
      p.c[row][2].fx = 0xC, p.c[row][2].param = 0;
    }
    row += len;
  }
}

struct Part {
  const Chord* chords;
  int lead = -1;       // index into kLead, -1 = silent
  bool drums = true;   // full kit; false = hats only
  bool bass = true;
  bool fill = false;   // snare roll in the last bar
  bool breakdown = false;
  bool ending = false;
};

Pattern make_pattern(const Part& part) {
  Pattern p;
  for (int bar = 0; bar < 4; ++bar) {
    const Chord& ch = part.chords[bar];
    const int r0 = bar * 16;
    const bool last_bar = bar == 3;
    // Chords: a pluck every beat, the arpeggio running on every row.
    for (int r = 0; r < 16; ++r) {
      Cell& c = p.c[r0 + r][3];
      if (r % 4 == 0 || (r == 10 && !part.breakdown)) c.note = pt_note(ch.root), c.sample = kArp;
      c.fx = 0;
      c.param = ch.arp;
    }
    // Bass: eighths, hopping to the octave on the off-beats.
    if (part.bass) {
      for (int r = 0; r < 16; r += 2) {
        Cell& c = p.c[r0 + r][1];
        if (part.breakdown && r % 8 != 0) continue;
        const int up = (r == 6 || r == 14) && !part.breakdown ? 12 : 0;
        c.note = pt_note(ch.bass) + up;
        c.sample = kBass;
      }
    }
    // Drums on one channel: kick, snare and hats interleave on the sixteenth grid.
    for (int r = 0; r < 16; ++r) {
      Cell& c = p.c[r0 + r][0];
      const bool fill = part.fill && last_bar && r >= 12;
      if (part.drums && !part.breakdown) {
        if (r == 0 || r == 8 || r == 10) c.note = pt_note("C-3"), c.sample = kKick;
        else if (r == 4 || r == 12 || fill) {
          c.note = pt_note("C-3"), c.sample = kSnare;
          if (fill && r != 12) c.fx = 0xC, c.param = 0x18 + 0x0C * (r - 12);
        } else if (r % 2 == 0) c.note = pt_note("C-3"), c.sample = kHat;
        else if (r % 4 == 3) c.note = pt_note("C-3"), c.sample = kHat, c.fx = 0xC, c.param = 0x14;
      } else if (part.breakdown) {
        if (r == 0 || r == 8) c.note = pt_note("C-3"), c.sample = kKick;
        else if (r % 4 == 2) c.note = pt_note("C-3"), c.sample = kHat, c.fx = 0xC, c.param = 0x18;
      } else if (r % 4 == 2) {
        c.note = pt_note("C-3"), c.sample = kHat, c.fx = 0xC, c.param = 0x20;
      }
    }
  }
  if (part.lead >= 0) put_lead(p, kPhrases[part.lead]);
  if (part.ending) {
    // The last bar rings out on D minor and fades to nothing.
    for (int ch = 0; ch < 4; ++ch)
      for (int r = 48; r < 64; ++r) p.c[r][ch] = Cell{};
    p.c[48][0] = Cell{pt_note("C-3"), kKick, 0, 0};
    p.c[48][1] = Cell{pt_note("D-1"), kBass, 0, 0};
    p.c[48][2] = Cell{pt_note("D-3"), kLead, 0, 0};
    for (int r = 48; r < 64; ++r) {
      Cell& a = p.c[r][3];
      if (r == 48) a.note = pt_note("D-2"), a.sample = kArp;
      if (r < 56) a.fx = 0, a.param = 0x37;
      else a.fx = 0xA, a.param = 0x04;
      if (r > 50) p.c[r][2].fx = 0xA, p.c[r][2].param = 0x01;  // volume slide down
      if (r > 52) p.c[r][1].fx = 0xA, p.c[r][1].param = 0x03;
    }
    p.c[63][2].fx = 0xC, p.c[63][2].param = 0;
  }
  return p;
}

void put16be(std::vector<uint8_t>& o, unsigned v) {
  o.push_back((uint8_t)(v >> 8));
  o.push_back((uint8_t)v);
}

}  // namespace

std::vector<uint8_t> scroller_module(double* seconds) {
  std::vector<Pattern> pats;
  pats.push_back(make_pattern(Part{kVerse, -1, false, false}));                      // 0 intro
  pats.push_back(make_pattern(Part{kVerse, -1, true, true, true}));                  // 1 groove
  pats.push_back(make_pattern(Part{kVerse, 0}));                                     // 2 verse
  pats.push_back(make_pattern(Part{kVerse, 1, true, true, true}));                   // 3 verse answer
  pats.push_back(make_pattern(Part{kBridge, 2}));                                    // 4 bridge
  pats.push_back(make_pattern(Part{kBridge, 3, true, true, true}));                  // 5 bridge run
  pats.push_back(make_pattern(Part{kVerse, -1, true, true, false, true}));           // 6 breakdown
  pats.push_back(make_pattern(Part{kVerse, 1, true, true, false, false, true}));     // 7 ending
  // The intro's bass joins in its second half.
  for (int r = 32; r < 64; r += 4) {
    pats[0].c[r][1].note = pt_note(kVerse[r / 16].bass);
    pats[0].c[r][1].sample = kBass;
  }
  pats[0].c[0][2].fx = 0xF, pats[0].c[0][2].param = 6;  // speed 6 (with the default 125 BPM)
  const uint8_t order[] = {0, 1, 2, 3, 4, 5, 6, 2, 3, 4, 5, 7};

  const std::vector<SampleData> samples = make_samples();
  std::vector<uint8_t> o;
  const std::string title = "quorvelt";
  o.assign(title.begin(), title.end());
  o.resize(20, 0);
  for (int i = 0; i < 31; ++i) {
    char name[22] = {0};
    if (i < (int)samples.size()) {
      const SampleData& s = samples[i];
      snprintf(name, sizeof name, "%s", s.name);
      o.insert(o.end(), name, name + 22);
      put16be(o, (unsigned)(s.data.size() / 2));
      o.push_back(0);  // finetune
      o.push_back((uint8_t)s.volume);
      put16be(o, (unsigned)(s.loop_start / 2));
      put16be(o, s.loop_len ? (unsigned)(s.loop_len / 2) : 1);
    } else {
      o.insert(o.end(), name, name + 22);
      put16be(o, 0);
      o.push_back(0);
      o.push_back(0);
      put16be(o, 0);
      put16be(o, 1);
    }
  }
  o.push_back((uint8_t)sizeof order);
  o.push_back(127);  // restart byte as ProTracker writes it; never used, the song stops
  for (int i = 0; i < 128; ++i) o.push_back(i < (int)sizeof order ? order[i] : 0);
  o.insert(o.end(), {'M', '.', 'K', '.'});
  for (const Pattern& p : pats)
    for (int r = 0; r < 64; ++r)
      for (int ch = 0; ch < 4; ++ch) {
        const Cell& c = p.c[r][ch];
        const unsigned per = c.note >= 0 ? kPeriod[c.note] : 0;
        o.push_back((uint8_t)((c.sample & 0xF0) | (per >> 8)));
        o.push_back((uint8_t)(per & 0xFF));
        o.push_back((uint8_t)(((c.sample & 0x0F) << 4) | c.fx));
        o.push_back((uint8_t)c.param);
      }
  for (const SampleData& s : samples) {
    std::vector<int8_t> d = s.data;
    if (!s.loop_len) d[0] = d[1] = 0;  // one-shots start silent, as ProTracker expects
    for (int8_t v : d) o.push_back((uint8_t)v);
  }
  *seconds = sizeof order * 64 * 6 * 0.02;
  return o;
}
