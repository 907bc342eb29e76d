// demo-bench --boards: what each scene's shading would cost on a Raspberry Pi's GPU,
// estimated from work counted here and the Pi drivers' own instruction counts.
//
// Per frame and program: the fragments it shades (counted on this machine's GL, with the
// show's depth test, so what the letters hide from the backdrop is not counted), times
// the lanes a 2x2-quad rasteriser spends per fragment (helper pixels: worked out by
// rasterising the frame's very triangles here, pixel centres and whole quads), times
// the fragment shader's instructions; plus each vertex's vertex and coordinate shader
// instructions. Against: QPUs x 4 lanes a cycle x clock. See docs/PERFORMANCE.md.
#include "boards.h"

#include <GLES2/gl2.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "coverflow.h"
#include "fit.h"
#include "frame_draws.h"
#include "glsl.h"
#include "scroller.h"
#include "timeline.h"

namespace {

const int kW = 1280, kH = 720;

struct Board {
  const char* name;
  const char* driver;  // whose counts apply
  int qpus;
  double mhz;
  double budget_ms;    // what the scene may cost
};
// QPU counts and 3D clocks as the boards ship (sources in docs/PERFORMANCE.md); each
// QPU finishes one instruction for 16 lanes every 4 cycles on all three generations.
const Board kBoards[] = {
    {"Pi 3", "vc4", 12, 300.0, 1000.0 / 60.0},
    {"Pi 4", "v3d", 8, 500.0, 1000.0 / 120.0},
    {"Pi 5", "v3d", 16, 800.0, 1000.0 / 120.0},
};

// (driver, program, stage) -> instructions, from tools/pi-gpu/counts.txt.
typedef std::map<std::string, int> Counts;
bool read_counts(const std::string& path, Counts& counts) {
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return false;
  char line[256], driver[32], program[64], stage[16];
  int inst;
  while (fgets(line, sizeof line, f))
    if (line[0] != '#' && sscanf(line, "%31s %63s %15s %d", driver, program, stage, &inst) == 4)
      counts[std::string(driver) + " " + program + " " + stage] = inst;
  fclose(f);
  return true;
}
int count_of(const Counts& c, const char* driver, const std::string& program, const char* stage) {
  auto it = c.find(std::string(driver) + " " + program + " " + stage);
  return it == c.end() ? 0 : it->second;
}

// The backdrop's vertex stage stretches its strip so that the last band meets the bottom:
// y' = -1 + (y - last) * 2 / (1 - last), folded here into the draw's matrix once, so the
// counting pass and the rasteriser below both see the bands where the show draws them.
void stretch_bands(Draw& d) {
  const float last = -0.9972222f, a = 2.0f / (1.0f - last), b = -1.0f - last * a;
  for (int r = 0; r < 4; r++) {
    d.matrix[12 + r] += b * d.matrix[4 + r];
    d.matrix[4 + r] *= a;
  }
}

struct Vec4 {
  float x, y, z, w;
};
Vec4 transform(const float m[16], float x, float y, float z) {
  return {m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
          m[2] * x + m[6] * y + m[10] * z + m[14], m[3] * x + m[7] * y + m[11] * z + m[15]};
}

// A draw's triangles in window coordinates (culled ones left out, as the GPU does).
std::vector<float> window_triangles(const Draw& d) {
  std::vector<float> pos;  // x, y, z per vertex, in draw order
  std::vector<int> tri;
  if (!strcmp(d.program, "ouch")) {
    std::vector<glm::vec3> strip;
    build_ouch_verts(strip);
    for (const glm::vec3& v : strip) pos.insert(pos.end(), {v.x, v.y, v.z});
    for (int i = 0; i + 2 < (int)strip.size(); i++)
      tri.insert(tri.end(), i % 2 ? std::initializer_list<int>{i + 1, i, i + 2} : std::initializer_list<int>{i, i + 1, i + 2});
  } else if (d.glyph >= 0) {
    for (const VERTEX& v : opt_font_verts[d.glyph]) pos.insert(pos.end(), {v.x, v.y, v.z});
    for (uint16_t i : opt_font_indices[d.glyph]) tri.push_back(i);
  } else {
    const bool cover = !strcmp(d.program, "coverflow");
    const TEXTURED_VERTEX* v = cover ? coverflow_verts : coverflow_text_verts;
    const int nv = cover ? 8 : 4, ni = cover ? 12 : 6;
    for (int i = 0; i < nv; i++) pos.insert(pos.end(), {v[i].x, v[i].y, v[i].z});
    for (int i = 0; i < ni; i++) tri.push_back(cover ? coverflow_indices[i] : coverflow_text_indices[i]);
  }
  std::vector<float> out;
  for (size_t t = 0; t + 2 < tri.size(); t += 3) {
    float w[6];
    bool ok = true;
    for (int k = 0; k < 3; k++) {
      const float* p = &pos[(size_t)tri[t + k] * 3];
      Vec4 c = transform(d.matrix, p[0], p[1], p[2]);
      if (c.w <= 1e-6f) ok = false;
      w[k * 2] = (c.x / c.w + 1.0f) * 0.5f * kW;
      w[k * 2 + 1] = (c.y / c.w + 1.0f) * 0.5f * kH;
    }
    const float area = (w[2] - w[0]) * (w[5] - w[1]) - (w[4] - w[0]) * (w[3] - w[1]);
    if (!ok || area == 0.0f || (d.cull && area < 0.0f)) continue;
    out.insert(out.end(), w, w + 6);
  }
  return out;
}

// Pixels covered and lanes spent (4 for every 2x2 quad a triangle touches) by a draw's
// triangles, each triangle on its own: two triangles sharing a quad both pay for it.
void raster(const std::vector<float>& tris, double* pixels, double* lanes) {
  for (size_t t = 0; t + 5 < tris.size(); t += 6) {
    float x[3] = {tris[t], tris[t + 2], tris[t + 4]}, y[3] = {tris[t + 1], tris[t + 3], tris[t + 5]};
    if ((x[1] - x[0]) * (y[2] - y[0]) - (x[2] - x[0]) * (y[1] - y[0]) < 0) {
      std::swap(x[1], x[2]);
      std::swap(y[1], y[2]);
    }
    // Edge functions, counter-clockwise; a pixel centre exactly on an edge belongs to
    // the triangle whose edge is a top or left one.
    float a[3], b[3], c[3];
    bool top_left[3];
    for (int e = 0; e < 3; e++) {
      const int f = (e + 1) % 3;
      a[e] = y[e] - y[f];
      b[e] = x[f] - x[e];
      c[e] = x[e] * y[f] - x[f] * y[e];
      top_left[e] = a[e] > 0 || (a[e] == 0 && b[e] < 0);
    }
    const int x0 = std::max(0, (int)floorf(std::min({x[0], x[1], x[2]})) & ~1);
    const int y0 = std::max(0, (int)floorf(std::min({y[0], y[1], y[2]})) & ~1);
    const int x1 = std::min(kW - 1, (int)ceilf(std::max({x[0], x[1], x[2]})));
    const int y1 = std::min(kH - 1, (int)ceilf(std::max({y[0], y[1], y[2]})));
    for (int qy = y0; qy <= y1; qy += 2) {
      for (int qx = x0; qx <= x1; qx += 2) {
        int inside = 0;
        for (int k = 0; k < 4; k++) {
          const float px = qx + (k & 1) + 0.5f, py = qy + (k >> 1) + 0.5f;
          bool in = true;
          for (int e = 0; e < 3 && in; e++) {
            const float v = a[e] * px + b[e] * py + c[e];
            in = v > 0 || (v == 0 && top_left[e]);
          }
          inside += in;
        }
        *pixels += inside;
        if (inside) *lanes += 4;
      }
    }
  }
}

struct Counter {
  GLuint program = 0;
  GLint proj = -1;
};

bool make_counter(Counter& c) {
  const char* vs =
      "#version 100\n"
      "attribute vec4 a_position;\n"
      "uniform mat4 u_proj;\n"
      "void main() { gl_Position = u_proj * a_position; }\n";
  const char* fs =
      "#version 100\n"
      "precision mediump float;\n"
      "void main() { gl_FragColor = vec4(1.0 / 255.0); }\n";
  DGL_GLSL_LOG log;
  const char* step = nullptr;
  const char* const attributes[] = {"a_position"};
  c.program = _dglBuildProgram(vs, fs, attributes, 1, &log, &step);
  if (!c.program) {
    fprintf(stderr, "demo-bench: the fragment counter: %s: %s\n", step, log.no_object ? "no GL object" : log.text);
    return false;
  }
  c.proj = glGetUniformLocation(c.program, "u_proj");
  return true;
}

// The fragments `program` shades in this frame: every draw in the show's order with its
// depth test and culling, only that program's draws counted (one 1/255 per fragment).
double count_fragments(const Counter& c, const FrameDraws& draws, const std::string& program,
                       std::vector<uint8_t>& pixels) {
  glClearColor(0, 0, 0, 0);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
  glUseProgram(c.program);
  glEnable(GL_BLEND);
  glBlendFunc(GL_ONE, GL_ONE);
  glEnableVertexAttribArray(0);
  for (const Draw& d : draws) {
    const GLboolean mine = program == d.program;
    glColorMask(mine, mine, mine, mine);
    if (!d.cull) glDisable(GL_CULL_FACE);
    glUniformMatrix4fv(c.proj, 1, GL_FALSE, d.matrix);
    glBindBuffer(GL_ARRAY_BUFFER, d.vbo);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, d.stride, (const void*)d.vertex_offset);
    if (d.ibo) {
      glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, d.ibo);
      glDrawElements(GL_TRIANGLES, d.count, GL_UNSIGNED_SHORT, (const void*)d.index_offset);
    } else {
      glDrawArrays(GL_TRIANGLE_STRIP, 0, d.count);
    }
    if (!d.cull) glEnable(GL_CULL_FACE);
  }
  glDisableVertexAttribArray(0);
  glBindBuffer(GL_ARRAY_BUFFER, 0);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glDisable(GL_BLEND);
  pixels.resize((size_t)kW * kH * 4);
  glReadPixels(0, 0, kW, kH, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
  double sum = 0;
  for (size_t i = 0; i < pixels.size(); i += 4) sum += pixels[i];
  return sum;
}

// One program's work in one frame.
struct Work {
  double fragments = 0, pixels = 0, lanes = 0, vertices = 0;
};

double frame_ms(const std::map<std::string, Work>& work, const Counts& counts, const Board& b) {
  double instructions = 0;
  for (const auto& w : work) {
    const double per_fragment = w.second.pixels > 0 ? w.second.lanes / w.second.pixels : 1.0;
    instructions += w.second.fragments * per_fragment * count_of(counts, b.driver, w.first, "FRAGMENT");
    // Each vertex is shaded twice: for binning (vc4's COORD, v3d's VERTEX_BIN) and drawing.
    instructions += w.second.vertices * (count_of(counts, b.driver, w.first, "VERTEX") +
                                         count_of(counts, b.driver, w.first, "COORD") +
                                         count_of(counts, b.driver, w.first, "VERTEX_BIN"));
  }
  return instructions / (b.qpus * 4.0 * b.mhz * 1e6) * 1e3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int boards_estimate(const std::string& counts_path, int frames, bool json) {
  Counts counts;
  if (!read_counts(counts_path, counts)) {
    fprintf(stderr, "demo-bench: cannot read the drivers' counts %s\n", counts_path.c_str());
    return 1;
  }
  Counter counter;
  if (!make_counter(counter)) return 1;
  struct Scene {
    const char* name;
    bool carousel;
    double from, to;
    std::vector<const char*> programs;
  };
  const Scene scenes[] = {{"carousel", true, 0.0, coverflow_keys.back().time, {"coverflow", "coverflow_text"}},
                          {"scroller", false, 7.0, 67.0, {"font", "ouch"}}};
  std::vector<uint8_t> pixels;
  if (!json)
    printf("demo-bench --boards: shading per frame at 1280x720, %d frames a scene, counts from %s\n\n"
           "%-9s %-15s %12s %10s %10s   %s\n",
           frames, counts_path.c_str(), "scene", "program", "fragments", "lanes/frag", "vertices",
           "(medians over the frames)");
  std::vector<std::pair<std::string, std::vector<std::map<std::string, Work>>>> per_scene;
  for (const Scene& s : scenes) {
    std::vector<std::map<std::string, Work>> all;
    for (int i = 0; i < frames; i++) {
      const double t = s.from + (s.to - s.from) * i / std::max(1, frames - 1);
      glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
      if ((s.carousel ? timeline_carousel_frame(t) : timeline_scroller_frame(t)) != 0) return 1;
      FrameDraws draws = s.carousel ? carousel_draws() : scroller_draws();
      for (Draw& d : draws)
        if (!strcmp(d.program, "ouch")) stretch_bands(d);
      std::map<std::string, Work> work;
      for (const char* p : s.programs) work[p].fragments = count_fragments(counter, draws, p, pixels);
      for (const Draw& d : draws) {
        Work& w = work[d.program];
        raster(window_triangles(d), &w.pixels, &w.lanes);
        w.vertices += d.count;
      }
      all.push_back(work);
    }
    for (const char* p : s.programs) {
      std::vector<double> f, l, v;
      for (auto& w : all) {
        f.push_back(w[p].fragments);
        l.push_back(w[p].pixels > 0 ? w[p].lanes / w[p].pixels : 0);
        v.push_back(w[p].vertices);
      }
      if (json)
        printf("{\"bench\":\"work\",\"scene\":\"%s\",\"program\":\"%s\",\"fragments\":%.0f,"
               "\"lanes_per_fragment\":%.4f,\"vertices\":%.0f}\n", s.name, p, median(f), median(l), median(v));
      else
        printf("%-9s %-15s %12.0f %10.3f %10.0f\n", s.name, p, median(f), median(l), median(v));
    }
    per_scene.push_back({s.name, all});
  }
  // The present pass: the picture scaled into a console's mode, one full-screen quad.
  const int outputs[][2] = {{1920, 1080}, {3840, 2160}};
  for (const auto& out : outputs) {
    DGL_RECT r = _dglFitRectangle(kW, kH, (unsigned)out[0], (unsigned)out[1]);
    std::map<std::string, Work> work;
    work["present"] = Work{(double)r.width * r.height, 1, 1, 4};
    per_scene.push_back({"present " + std::to_string(out[0]) + "x" + std::to_string(out[1]), {work}});
  }

  if (!json)
    printf("\nestimated shading per frame, ms (median, worst frame; budget: a Pi 3 a 60 Hz frame, a Pi 4 or 5 half)\n"
           "%-22s", "");
  if (!json)
    for (const Board& b : kBoards) printf(" %9s (%s)", b.name, b.driver);
  if (!json) printf("\n");
  int over = 0;
  for (const auto& s : per_scene) {
    if (!json) printf("  %-20s", s.first.c_str());
    for (const Board& b : kBoards) {
      std::vector<double> ms;
      for (const auto& w : s.second) ms.push_back(frame_ms(w, counts, b));
      const double worst = *std::max_element(ms.begin(), ms.end());
      const bool scene = s.first.rfind("present", 0) != 0;
      if (scene && worst > b.budget_ms) over++;
      if (json)
        printf("{\"bench\":\"board\",\"board\":\"%s\",\"driver\":\"%s\",\"qpus\":%d,\"mhz\":%.0f,\"part\":\"%s\","
               "\"median_ms\":%.3f,\"worst_ms\":%.3f,\"budget_ms\":%.3f}\n",
               b.name, b.driver, b.qpus, b.mhz, s.first.c_str(), median(ms), worst, b.budget_ms);
      else
        printf(" %6.2f %6.2f%s", median(ms), worst, scene && worst > b.budget_ms ? "!" : " ");
    }
    if (!json) printf("\n");
  }
  if (!json) {
    printf("\n");
    for (const Board& b : kBoards)
      printf("  %s: %d QPUs at %.0f MHz, %s's counts\n", b.name, b.qpus, b.mhz, b.driver);
    if (over) printf("  ! over the budget\n");
  }
  return 0;
}
