// Timecodes as hosts show and take them. The host's timecode model: a count of real frames at a
// deck's rate, with or without drop frame. A label (HH:MM:SS:FF as the deck shows it) and its label
// count
// ((H*60+M)*60+S)*R+F, R the whole rate, differ from real frames only in drop frame, where
// frame labels 0 and 1 (0-3 at 59.94) are skipped at the start of every minute not divisible
// by ten, so that the labels keep pace with the clock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostkit {

// How a deck counts: its whole frames a second (30 at 29.97) and whether it drops labels.
struct TimeBase {
    int whole = 25;
    bool dropFrame = false;

    bool operator==(const TimeBase& o) const {
        return whole == o.whole && dropFrame == o.dropFrame;
    }
};

// One rate an operator can choose, by the name used on the command line, in the API and in
// the clip log.
struct RateInfo {
    const char* name;  // "23.98", "29.97df", ...
    TimeBase base;
    double fps;  // the real rate: 30000/1001 for 29.97
};

const std::vector<RateInfo>& Rates();
// nullptr for a name that is not one of Rates().
const RateInfo* FindRate(std::string_view name);
// The rate of a time base; its name is "25" for a base no rate has.
const RateInfo& RateOf(const TimeBase& base);
// "23.98 24 25 29.97 29.97df 30 50 59.94 59.94df", for messages.
std::string RateNames();

// Labels skipped at the start of a dropping minute: 2 at 30, 4 at 60, else 0.
int DroppedPerMinute(const TimeBase& base);
// Real frames in 24 hours of labels.
int64_t DayFrames(const TimeBase& base);

// False for a label count that drop frame skips. Counts below zero are read as their magnitude.
bool LabelExists(int64_t labels, const TimeBase& base);
// Label count to real frames. A skipped label gives the frame of the next label that exists.
int64_t LabelsToFrames(int64_t labels, const TimeBase& base);
int64_t FramesToLabels(int64_t frames, const TimeBase& base);

// "HH:MM:SS:FF", ';' before the frames in drop frame, '-' first below zero.
std::string FormatTimecode(int64_t frames, const TimeBase& base);

// How the module counts a deck's positions. The module converts between time fields and its
// frame counts at the rate of the record's video format, and one format is the process's at a
// time, so every deck that can shares one: 50 whole frames a second, which holds the labels of
// 23.98 to 50 exactly (count = seconds * 50 + frame). 59.94 labels need 60 a second, and the
// only format near that counts at 60000/1001: its count is round(seconds * 60000/1001) + frame,
// and its split of a count back into fields truncates, which misses a few labels.
int32_t ModuleFormat(const TimeBase& base);
// The count that makes the module send a label (its magnitude, the sign kept); false when the
// module's arithmetic reaches no count that gives the label.
bool ModuleCountOfLabels(int64_t labels, const TimeBase& base, int64_t* count);
// The label count of a count the module read from the deck (the later label where two give
// the same count). Below zero as the module reports a deck's negative time.
int64_t LabelsOfModuleCount(int64_t count, const TimeBase& base);

struct ParsedTimecode {
    bool ok = false;
    int64_t frames = 0;
    std::string error;  // in words, naming the label, when !ok
};

// "[-]HH:MM:SS:FF", or ';' before the frames on a drop-frame base. Refused with the reason:
// a malformed text, hour 24 or more, minute or second 60 or more, a frame at or past the whole
// rate, ';' on a non-drop base, and a label drop frame skips.
ParsedTimecode ParseTimecode(std::string_view text, const TimeBase& base);

// Whole frames per second for a host video-format code: the module's own frame-rate table,
// rounded as the module rounds it, so the 1001-based and 23.98 rates count 30, 60 and 24 whole
// frames, which is how the deck numbers them.
int WholeFps(int32_t videoFormat);

// "HH:MM:SS:FF" at `fps` whole frames a second, non-drop, with a leading '-' below zero.
std::string FormatTimecode(int64_t frames, int fps);
// "[-]HH:MM:SS:FF" at `fps` whole frames a second, non-drop: hours 0-23, minutes and seconds
// 0-59, frames below fps. False for anything else, ';' included (it means drop frame).
bool ParseTimecode(const std::string& text, int fps, int64_t* frames);

}  // namespace hostkit
