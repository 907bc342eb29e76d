// demo-picture-diff: how far two pictures of the same size differ, channel by channel,
// for checking that a change to the drawing leaves the picture as it was.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "png_io.h"

static const char kUsage[] =
    "usage: demo-picture-diff [--max N] [--out DIFF.png] A.png B.png\n"
    "Compares two PNG pictures of the same size pixel by pixel (red, green, blue, alpha)\n"
    "and prints the largest difference of any channel of any pixel, how many pixels\n"
    "differ at all and by more than N, and where the largest difference lies.\n"
    "  --max N        the difference allowed (default 2); more fails\n"
    "  --out FILE     a picture of the differences, each channel scaled by 32\n"
    "Exit status: 0 when no channel differs by more than N, 1 when one does, 2 for bad\n"
    "arguments or unreadable pictures.\n";

int main(int argc, char** argv) {
  std::vector<std::string> files;
  std::string out;
  long allowed = 2;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--max" || a == "--out") && i + 1 < argc) {
      const char* v = argv[++i];
      if (a == "--out") {
        out = v;
        continue;
      }
      char* end = nullptr;
      allowed = strtol(v, &end, 10);
      if (!*v || *end || allowed < 0 || allowed > 255) {
        fprintf(stderr, "demo-picture-diff: --max takes 0 to 255, not '%s'\n", v);
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "demo-picture-diff: unknown option %s (see --help)\n", a.c_str());
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 2) {
    fprintf(stderr, "demo-picture-diff: give two pictures (see --help)\n");
    return 2;
  }
  std::vector<uint8_t> pic[2];
  int w[2], h[2];
  for (int k = 0; k < 2; k++) {
    std::string error;
    if (!png_read_rgba(files[k], pic[k], w[k], h[k], &error)) {
      fprintf(stderr, "demo-picture-diff: %s: %s\n", files[k].c_str(), error.c_str());
      return 2;
    }
  }
  if (w[0] != w[1] || h[0] != h[1]) {
    fprintf(stderr, "demo-picture-diff: %dx%d against %dx%d\n", w[0], h[0], w[1], h[1]);
    return 2;
  }
  int worst = 0, worst_x = 0, worst_y = 0;
  long differ = 0, over = 0;
  std::vector<uint8_t> diff(pic[0].size());
  for (size_t p = 0; p < pic[0].size() / 4; p++) {
    int m = 0;
    for (int c = 0; c < 4; c++) {
      const int d = abs((int)pic[0][p * 4 + c] - (int)pic[1][p * 4 + c]);
      m = d > m ? d : m;
      diff[p * 4 + c] = (uint8_t)(d * 32 > 255 ? 255 : d * 32);
    }
    diff[p * 4 + 3] = 255;
    differ += m > 0;
    over += m > allowed;
    if (m > worst) worst = m, worst_x = (int)(p % w[0]), worst_y = (int)(p / w[0]);
  }
  printf("%s %s: largest difference %d (at x %d, y %d), %ld pixels differ, %ld by more than %ld\n",
         files[0].c_str(), files[1].c_str(), worst, worst_x, worst_y, differ, over, allowed);
  if (!out.empty() && !png_write(out, diff.data(), w[0], h[0], 4)) {
    fprintf(stderr, "demo-picture-diff: cannot write %s\n", out.c_str());
    return 2;
  }
  return over > 0 ? 1 : 0;
}
