// The clip log as other programs read it: an edit decision list (CMX 3600) for one rate, and
// CSV cells written through libcsv so that a spreadsheet neither trims nor runs them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostkit/timecode.h"

namespace cliplog {

// An export that cannot be made as asked, in words that say what to do instead.
class ExportConflict : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct EdlClip {
    int64_t id = 0;
    std::string reel;
    std::string name;
    std::string note;
    int64_t in = 0;  // real frames at the EDL's rate
    int64_t out = 0;
};

constexpr int kMaxEdlEvents = 999;

// Title, frame code mode, then one event per clip with a duration, record times running on
// from 01:00:00:00. Throws ExportConflict for more than 999 events, record times that would
// pass 24:00:00:00, reels that the
// 8-character reduction makes one, and a clip whose source out would come before its in.
std::string MakeEdl(const std::string& title, const hostkit::TimeBase& base,
                    const std::vector<EdlClip>& clips);

// A reel name as an EDL takes it: at most 8 capital letters, digits or underscores.
std::string EdlReel(const std::string& reel);

// One CSV field, quoted by libcsv (so leading and trailing spaces survive a reader that trims).
std::string CsvQuoted(const std::string& text);
// A text field a spreadsheet would run as a formula (first character = + - @, tab or CR)
// gets a leading ', as does one that starts with ' itself, so that FromSpreadsheetText
// gives back exactly what was written.
std::string SpreadsheetText(const std::string& text);
std::string FromSpreadsheetText(const std::string& cell);

}  // namespace cliplog
