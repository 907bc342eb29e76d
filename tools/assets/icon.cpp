// The program's icon: the smiley of the scroller's backdrop, drawn by the same rules as
// its face texture (a disc with a rim, two upright oval eyes, a curved mouth), in the
// backdrop's colours, on a clear ground.
#include <math.h>

#include "art.h"

namespace {

// A fully saturated colour around the wheel, as the backdrop's tint runs.
Rgba hue(double h) {
  auto channel = [&](double offset) {
    double t = fabs(fmod(h + offset, 1.0) * 6.0 - 3.0) - 1.0;
    return t < 0 ? 0.0 : t > 1 ? 1.0 : t;
  };
  return rgb(channel(0.0), channel(2.0 / 3.0), channel(1.0 / 3.0));
}

// u right, v up, both -1..1 across the face; what the face shows there, or nothing.
Rgba face(double u, double v) {
  const double d = sqrt(u * u + v * v);
  const Rgba ink = rgb(0.10, 0.03, 0.20);
  if (d >= 1.0) return rgb(0, 0, 0, 0);
  if (d >= 0.85) return ink;
  if (d < 0.7 && d > 0.6 && v < -0.125) return ink;
  const double e = (v - 0.35) * 0.5 * (v - 0.35) * 0.5;
  if (sqrt((u + 0.35) * (u + 0.35) + e) < 0.125 || sqrt((u - 0.35) * (u - 0.35) + e) < 0.125) return ink;
  // The face's tint turns across it, a third of the wheel from one side to the other.
  return lerp(hue(0.45 + 0.15 * u + 0.1 * v), rgb(1, 1, 1), 0.15);
}

}  // namespace

Image icon_image(int size) {
  return render(size, size, 4, 6, [size](double x, double y) {
    // A pixel's margin around the disc, so its rim is not cut at the edge.
    const double scale = 2.0 / (size - 1.0);
    return face((x - size / 2.0) * scale, (size / 2.0 - y) * scale);
  });
}
