// The recording side of the VideoCore stand-in, for tests.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// Every host-interface call since the last vc_record_reset, one line each.
const std::vector<std::string>& vc_record_calls();
// Clears the record and sets what graphics_get_display_size reports.
void vc_record_reset(uint32_t display_width, uint32_t display_height, int32_t result = 0);
