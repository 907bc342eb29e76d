// A temporary folder whose data/ links to every built asset but one, for tests of what
// a missing or replaced file does.
#pragma once
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

struct ScratchData {
  std::string dir;

  ScratchData() {
    char tmpl[] = "/tmp/dgl-data-XXXXXX";
    dir = mkdtemp(tmpl);
    mkdir((dir + "/data").c_str(), 0755);
  }
  ~ScratchData() { (void)system(("rm -rf '" + dir + "'").c_str()); }

  // Links build/data/* into dir/data/, leaving `left_out` out; true on success.
  bool LinkAllBut(const std::string& left_out) const {
    std::string cmd = "cd '" DGL_BINARY_DIR "/data' && for f in *; do [ \"$f\" = '" + left_out +
                      "' ] || ln -s \"$PWD/$f\" '" + dir + "/data/'\"$f\"; done";
    return system(cmd.c_str()) == 0;
  }
};
