// One attempt at a clip, in its stages: open the files, cue, preroll, keep the frames from in
// to out, finish the files. The first fault ends it, in words; the batch decides what next.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "tools/capture/deck_control.h"
#include "tools/capture/input.h"
#include "tools/capture/options.h"
#include "tools/capture/report.h"

namespace capture {

// What a take tells as it goes: its phase, frames kept of frames wanted, the tape's position as
// last kept or read (-1 before any), and the frames lost or repeated so far.
struct TakeNews {
    const char* phase = "";
    int64_t frames = 0;
    int64_t wanted = 0;
    int64_t position = -1;
    int64_t lost = 0;
    int64_t repeated = 0;
};

// What a take works with: the deck, the input, the batch's options, and where its news goes.
struct TakeContext {
    DeckControl& deck;
    FrameSource& input;
    const EngineOptions& options;
    std::function<void(const TakeNews&)> tell;
};

struct Attempt {
    End end = End::kFail;
    std::string words;
    double lockDelay = -1;  // seconds from play to the servo's lock, when known
};

// Captures `clip` once, prerolling `preroll` seconds; the counts, breaks and files go into
// `report`. The deck is stopped at the end unless it was lost.
Attempt TakeClip(const TakeContext& context, const ClipRequest& clip, double preroll,
                 ClipReport& report);

// "1.25 s"
std::string SecondsText(double s);

}  // namespace capture
