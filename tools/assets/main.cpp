// demo-assets: writes the demo's generated data files, the same bytes on every run.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "art.h"
#include "audio.h"
#include "image.h"
#include "png_io.h"

namespace {

const char* const kUsage =
    "usage: demo-assets --out DIR [--sheet FILE.png] [--icons DIR]\n"
    "Writes the nine covers (cover0.ktx..cover8.ktx), the four captions (title0.ktx..title3.ktx),\n"
    "coverflow.mp3 and quorvelt.mod into DIR, with --sheet a contact sheet of the pictures, and\n"
    "with --icons the program's icon as an icon theme's folders (DIR/hicolor/NxN/apps/quorvelt.png).\n"
    "The output depends on nothing but this program: every run gives the same bytes.\n";

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double g_start = 0;

bool save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes, const char* what) {
  std::string error;
  if (!write_file(dir + "/" + name, bytes, &error)) {
    fprintf(stderr, "demo-assets: %s\n", error.c_str());
    return false;
  }
  fprintf(stderr, "demo-assets: %-14s %8zu bytes  %s  (%.2f s)\n", name.c_str(), bytes.size(), what, now() - g_start);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string out, sheet, icons;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    }
    const bool takes_value = a == "--out" || a == "--sheet" || a == "--icons";
    if (takes_value && i + 1 < argc) {
      (a == "--out" ? out : a == "--sheet" ? sheet : icons) = argv[++i];
      continue;
    }
    fprintf(stderr, "demo-assets: %s '%s'\n%s", takes_value ? "missing value after" : "unknown argument",
            a.c_str(), kUsage);
    return 2;
  }
  if (out.empty()) {
    fprintf(stderr, "demo-assets: no output directory given\n%s", kUsage);
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (ec || !std::filesystem::is_directory(out)) {
    fprintf(stderr, "demo-assets: cannot create directory '%s': %s\n", out.c_str(), ec.message().c_str());
    return 1;
  }
  g_start = now();

  // The music is independent of the pictures: synthesise it on a second core meanwhile.
  double song_s = 0, mod_s = 0;
  std::vector<uint8_t> mp3, mod;
  std::string error;
  bool mp3_ok = false;
  std::thread audio([&] {
    mp3_ok = encode_mp3(carousel_song(&song_s), mp3, &error);
    mod = scroller_module(&mod_s);
  });
  struct Joiner {
    std::thread& t;
    ~Joiner() {
      if (t.joinable()) t.join();  // an early return still waits for the music thread
    }
  } joiner{audio};

  Image covers[kCoverCount], captions[kCaptionCount];
  for (int i = 0; i < kCoverCount; ++i) {
    covers[i] = cover_image(i);
    if (!save(out, "cover" + std::to_string(i) + ".ktx", ktx_encode(mip_chain(covers[i])),
              "256x256 RGB, 9 levels"))
      return 1;
  }
  for (int j = 0; j < kCaptionCount; ++j) {
    captions[j] = caption_image(j);
    if (!save(out, "title" + std::to_string(j) + ".ktx", ktx_encode({captions[j]}), "256x128 RGBA, 1 level"))
      return 1;
  }
  if (!sheet.empty()) {
    const Image s = contact_sheet(covers, captions);
    const std::string tmp = sheet + ".tmp";
    if (!png_write(tmp, s.pixels.data(), s.width, s.height, 3) || rename(tmp.c_str(), sheet.c_str()) != 0) {
      fprintf(stderr, "demo-assets: cannot write '%s'\n", sheet.c_str());
      remove(tmp.c_str());
      return 1;
    }
    fprintf(stderr, "demo-assets: %s (contact sheet)\n", sheet.c_str());
  }

  for (int size : icons.empty() ? std::vector<int>{} : std::vector<int>(std::begin(kIconSizes), std::end(kIconSizes))) {
    const std::string dir = icons + "/hicolor/" + std::to_string(size) + "x" + std::to_string(size) + "/apps";
    const std::string path = dir + "/quorvelt.png", tmp = path + ".tmp";
    std::filesystem::create_directories(dir, ec);
    const Image icon = icon_image(size);
    if (ec || !png_write(tmp, icon.pixels.data(), size, size, 4) || rename(tmp.c_str(), path.c_str()) != 0) {
      fprintf(stderr, "demo-assets: cannot write '%s'\n", path.c_str());
      remove(tmp.c_str());
      return 1;
    }
    fprintf(stderr, "demo-assets: %s (icon, %dx%d RGBA)\n", path.c_str(), size, size);
  }

  audio.join();
  if (!mp3_ok) {
    fprintf(stderr, "demo-assets: coverflow.mp3: %s\n", error.c_str());
    return 1;
  }
  char what[64];
  snprintf(what, sizeof what, "%.2f s, 44.1 kHz stereo, 192 kbit/s", song_s);
  if (!save(out, "coverflow.mp3", mp3, what)) return 1;
  snprintf(what, sizeof what, "%.2f s, 4 channels", mod_s);
  if (!save(out, "quorvelt.mod", mod, what)) return 1;

  fprintf(stderr, "demo-assets: done in %.2f s\n", now() - g_start);
  return 0;
}
