#include "tools/cliplog/clip_export.h"

#include <csv.h>

#include <cctype>
#include <cstdio>
#include <map>

namespace cliplog {

namespace {

constexpr std::size_t kEdlReel = 8;
constexpr std::size_t kEdlTitle = 70;

// One line of an EDL: line breaks and other controls would start a new statement.
std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = ' ';
        }
    }
    return out;
}

// A time for an EDL, whose fields cannot go below zero: the deck's own count back from 24 h.
std::string EdlTime(int64_t frames, const hostkit::TimeBase& base) {
    const int64_t day = hostkit::DayFrames(base);
    return hostkit::FormatTimecode(((frames % day) + day) % day, base);
}

std::string Describe(const EdlClip& c) {
    return "clip " + std::to_string(c.id) + (c.name.empty() ? "" : " (" + c.name + ")");
}

// Reels that reduce to the same EDL name would be one reel to an editor.
void CheckReels(const std::vector<EdlClip>& clips) {
    std::map<std::string, std::string> byEdlName;
    for (const EdlClip& c : clips) {
        if (c.out <= c.in) {
            continue;  // no event
        }
        const auto [it, added] = byEdlName.emplace(EdlReel(c.reel), c.reel);
        if (!added && it->second != c.reel) {
            throw ExportConflict("the reels '" + it->second + "' and '" + c.reel +
                                 "' both become '" + it->first +
                                 "' in an EDL (8 characters); rename one of them");
        }
    }
}

// The record side starts at one hour, the usual start of programme.
int64_t RecordStart(const hostkit::TimeBase& base) {
    return hostkit::LabelsToFrames(int64_t{3600} * base.whole, base);
}

void CheckEvents(const std::vector<EdlClip>& clips, const hostkit::TimeBase& base) {
    std::size_t events = 0;
    int64_t recordOut = RecordStart(base);
    for (const EdlClip& c : clips) {
        if (c.out <= c.in) {
            continue;
        }
        ++events;
        recordOut += c.out - c.in;
        // Across 00:00:00:00 the source out would read as earlier than the source in.
        if (c.in < 0 && c.out >= 0) {
            throw ExportConflict(Describe(c) + " runs across " + hostkit::FormatTimecode(0, base) +
                                 " (" + hostkit::FormatTimecode(c.in, base) + " to " +
                                 hostkit::FormatTimecode(c.out, base) +
                                 "), which an EDL cannot hold; split it at zero");
        }
    }
    if (events > kMaxEdlEvents) {
        throw ExportConflict("the export holds " + std::to_string(events) +
                             " events and an EDL at most " + std::to_string(kMaxEdlEvents) +
                             "; export a range with first= and last=");
    }
    // A record time of 24:00:00:00 or more would be written as the next day's, before the
    // first event's.
    const int64_t day = hostkit::DayFrames(base);
    if (recordOut >= day) {
        throw ExportConflict("the record times would pass 24:00:00:00: the events last " +
                             hostkit::FormatTimecode(recordOut - RecordStart(base), base) +
                             ", and from " + hostkit::FormatTimecode(RecordStart(base), base) +
                             " an EDL holds less than " +
                             hostkit::FormatTimecode(day - RecordStart(base), base) +
                             "; export a range with first= and last=");
    }
}

}  // namespace

std::string EdlReel(const std::string& reel) {
    std::string out;
    for (const char c : reel) {
        if (out.size() == kEdlReel) {
            break;
        }
        const bool word = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
        out += word ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
    }
    return out.empty() ? "AX" : out;
}

std::string MakeEdl(const std::string& title, const hostkit::TimeBase& base,
                    const std::vector<EdlClip>& clips) {
    CheckEvents(clips, base);
    CheckReels(clips);
    std::string out = "TITLE: " + OneLine(title.substr(0, kEdlTitle)) +
                      "\nFCM: " + (base.dropFrame ? "DROP FRAME" : "NON-DROP FRAME") + "\n\n";
    int event = 0;
    int64_t record = RecordStart(base);
    for (const EdlClip& c : clips) {
        if (c.out <= c.in) {
            continue;  // a note at a single time
        }
        char line[160];
        std::snprintf(line, sizeof line, "%03d  %-8s V     C        %s %s %s %s\n", ++event,
                      EdlReel(c.reel).c_str(), EdlTime(c.in, base).c_str(),
                      EdlTime(c.out, base).c_str(), EdlTime(record, base).c_str(),
                      EdlTime(record + c.out - c.in, base).c_str());
        out += line;
        record += c.out - c.in;
        if (!c.name.empty()) {
            out += "* FROM CLIP NAME: " + OneLine(c.name) + "\n";
        }
        if (!c.note.empty()) {
            out += "* COMMENT: " + OneLine(c.note) + "\n";
        }
    }
    return out;
}

std::string CsvQuoted(const std::string& text) {
    // Every byte at most doubled, plus the two quotes.
    std::string out(text.size() * 2 + 2, '\0');
    out.resize(csv_write(out.data(), out.size(), text.data(), text.size()));
    return out;
}

std::string SpreadsheetText(const std::string& text) {
    if (!text.empty() && std::string("=+-@\t\r'").find(text[0]) != std::string::npos) {
        return "'" + text;
    }
    return text;
}

std::string FromSpreadsheetText(const std::string& cell) {
    return !cell.empty() && cell[0] == '\'' ? cell.substr(1) : cell;
}

}  // namespace cliplog
