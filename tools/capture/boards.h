// demo-bench --boards: each scene's shading cost on the Raspberry Pi boards' GPUs,
// estimated from the fragments and vertices counted here and the Pi drivers'
// instruction counts (tools/pi-gpu/counts.txt). Runs after the show's start-up.
#pragma once
#include <string>

// Prints the table (or JSON lines); 0, or 1 after saying what failed.
int boards_estimate(const std::string& counts_path, int frames, bool json);
