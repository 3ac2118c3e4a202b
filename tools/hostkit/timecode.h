// Timecodes as hosts show and take them. The host's timecode model: a count of real frames at a
// deck's rate, with or without drop frame. A label (HH:MM:SS:FF as the deck shows it) and its
// label count ((H*60+M)*60+S)*R+F, R the whole rate, differ from real frames only in drop frame,
// where frame labels 0 and 1 (0-3 at 59.94) are skipped at the start of every minute not
// divisible by ten, so that the labels keep pace with the clock.
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
// The rate of a time base: the whole one where two share it (30 for a 29.97 deck too), so
// messages take the deck's RateInfo instead; "25" for a base no rate has.
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

// Frames a label on the serial line stands for: 1, or 2 above 30 fps. Decks that fast count
// frame pairs on the line (labels 00-24 at 50, 00-29 at 59.94) and flag the second frame of
// each pair in a bit the module ignores, so a host sees each pair's label and cannot tell its
// two frames apart.
int Resolution(const TimeBase& base);
// True when the line carries the label of `frames`: every frame at 1-frame rates, the first
// frame of each pair (an even frame) at pair rates. Drop frame skips labels in fours, so the
// first frame of a pair always has an even label too.
bool OnTheLine(int64_t frames, const TimeBase& base);
// "" when OnTheLine; else why not, in words naming the labels either side: "01:00:00:45
// cannot be sent to or read from a deck at 50 fps: its line carries frame pairs; 01:00:00:44
// or 01:00:00:46".
std::string LineRefusal(int64_t frames, const RateInfo& rate);
// The times a video-system-4 deck reports as command 25 reads them signed: from just after
// -14:00:00:00 to 10:00:00:00, as frames a host shows (at pair rates the first of a pair,
// whose second frame is one later). A deck past either end runs on as the time a day away.
int64_t SignedEarliest(const TimeBase& base);
int64_t SignedLatest(const TimeBase& base);
// "50 fps", "29.97 fps drop frame": a rate in messages.
std::string RateWords(const RateInfo& rate);

// How the module counts a deck's positions. The module converts between time fields and its
// frame counts at the rate of the record's video format, and one format is the process's at a
// time, so every deck shares one: 50 whole frames a second (count = seconds * 50 + the frames
// field), which holds every label the line carries at every rate exactly, both ways: 24, 25 or
// 30 labels a second, and the pair labels of 50 and 59.94 (00-24, 00-29). A system-4 deck's
// time below zero goes through the module's complement to 24 hours and back at the same 50,
// so it comes back exact too.
int32_t ModuleFormat(const TimeBase& base);
// The count that makes the module send a label (labels at the base's whole rate; its magnitude,
// the sign kept); false when the line cannot carry it (an odd label at a pair rate).
bool ModuleCountOfLabels(int64_t labels, const TimeBase& base, int64_t* count);
// The label count of a count the module read from the deck: at pair rates the first label of
// the pair, so never later than the deck. Below zero as the module reports a deck's negative
// time.
int64_t LabelsOfModuleCount(int64_t count, const TimeBase& base);

struct ParsedTimecode {
    bool ok = false;
    int64_t frames = 0;
    std::string error;  // in words, naming the label, when !ok
};

// "[-]HH:MM:SS:FF", or ';' before the frames on a drop-frame base. Refused with the reason:
// a malformed text, hour 24 or more, minute or second 60 or more, a frame at or past the whole
// rate, ';' on a non-drop base, and a label drop frame skips. The reasons name the rate.
ParsedTimecode ParseTimecode(std::string_view text, const RateInfo& rate);
// The same where only the base is known; 29.97 and 30 share one, so the reasons name it by
// its whole rate.
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
