// Timecodes as hosts show and take them: whole frames a second for a video-format code, and
// "[-]HH:MM:SS:FF" text to and from a frame count.
#pragma once

#include <cstdint>
#include <string>

namespace hostkit {

// Whole frames per second for a host video-format code: the module's own frame-rate table,
// rounded as the module rounds it, so the 1001-based and 23.98 rates count 30, 60 and 24 whole
// frames, which is how the deck numbers them.
int WholeFps(int32_t videoFormat);

// "HH:MM:SS:FF", with a leading '-' for a negative count.
std::string FormatTimecode(int64_t frames, int fps);

// "[-]HH:MM:SS:FF" (';' before the frames too) at `fps` whole frames a second: hours 0-23,
// minutes and seconds 0-59, frames below fps. False for anything else.
bool ParseTimecode(const std::string& text, int fps, int64_t* frames);

}  // namespace hostkit
