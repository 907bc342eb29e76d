// The script of the show: keyframe tracks and what each frame of both sequences draws.
#pragma once
#include <vector>

struct KEY {
  float time;
  float value;
};

extern std::vector<KEY> coverflow_keys;
extern std::vector<KEY> coverflow_text_fade_keys;

float GetValue(std::vector<KEY> track, float t);
