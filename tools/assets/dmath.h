// Arithmetic that gives the same bits on every machine: only +, -, *, /, sqrt
// and floor, which IEEE 754 rounds exactly, so the generated files never depend
// on a C library's sin or exp.
#pragma once
#include <math.h>
#include <stdint.h>

namespace dm {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 6.28318530717958647692;

// sin(x) for any x: reduced to [-pi/2, pi/2], then a Taylor series to x^17.
inline double sin(double x) {
  x -= kTwoPi * floor(x / kTwoPi + 0.5);  // [-pi, pi]
  if (x > kPi / 2) x = kPi - x;
  if (x < -kPi / 2) x = -kPi - x;
  const double x2 = x * x;
  double term = x, sum = x;
  for (int n = 1; n <= 8; ++n) {
    term *= -x2 / ((2.0 * n) * (2.0 * n + 1.0));
    sum += term;
  }
  return sum;
}
inline double cos(double x) { return sin(x + kPi / 2); }

// e^x: x = n ln2 + r with |r| <= ln2 / 2, a Taylor series for e^r, and an exact scaling.
inline double exp(double x) {
  constexpr double kLn2 = 0.69314718055994530942;
  if (x < -700) return 0;
  const double n = floor(x / kLn2 + 0.5);
  const double r = x - n * kLn2;
  double term = 1, sum = 1;
  for (int k = 1; k <= 14; ++k) {
    term *= r / k;
    sum += term;
  }
  return ldexp(sum, (int)n);
}

inline double clamp(double x, double lo, double hi) { return x < lo ? lo : x > hi ? hi : x; }
inline double mix(double a, double b, double t) { return a + (b - a) * t; }
inline double smoothstep(double e0, double e1, double x) {
  const double t = clamp((x - e0) / (e1 - e0), 0.0, 1.0);
  return t * t * (3.0 - 2.0 * t);
}
inline double fract(double x) { return x - floor(x); }

// 2^(semitones/12) from a table of the twelve steps and exact doublings.
inline double semitone_ratio(int semis) {
  static const double step[12] = {1.0,
                                  1.0594630943592953,
                                  1.122462048309373,
                                  1.189207115002721,
                                  1.2599210498948732,
                                  1.3348398541700344,
                                  1.4142135623730951,
                                  1.4983070768766815,
                                  1.5874010519681994,
                                  1.681792830507429,
                                  1.7817974362806785,
                                  1.8877486253633868};
  int oct = semis >= 0 ? semis / 12 : -((11 - semis) / 12);
  double r = step[semis - oct * 12];
  for (; oct > 0; --oct) r *= 2.0;
  for (; oct < 0; ++oct) r *= 0.5;
  return r;
}
// Frequency of a MIDI note number (69 = A4 = 440 Hz).
inline double note_hz(int midi) { return 440.0 * semitone_ratio(midi - 69); }

// A small, fixed pseudo-random sequence (xorshift32).
struct Rng {
  uint32_t s;
  explicit Rng(uint32_t seed) : s(seed ? seed : 0x9E3779B9u) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  double uniform() { return (next() >> 8) * (1.0 / 16777216.0); }  // [0, 1)
  double bipolar() { return uniform() * 2.0 - 1.0; }               // [-1, 1)
};

}  // namespace dm
