// The operator's clip log: clips marked off the tape, kept in one JSON file that is replaced
// whole on every change, and written out as CSV and as a CMX 3600 edit decision list.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tools/hostkit/json.h"
#include "tools/hostkit/timecode.h"

namespace panel {

// The host kit's names, used throughout the server.
using hostkit::DumpJson;
using hostkit::FormatTimecode;
using hostkit::Json;
using hostkit::ParseJson;
using hostkit::ParseTimecode;
using hostkit::WholeFps;

// The most clips a log holds: a long day's logging, with room to spare.
constexpr std::size_t kMaxClips = 20000;

struct Clip {
    int64_t id = 0;
    int port = 1;
    std::string reel;
    std::string name;
    int64_t in = 0;  // real frames at the clip's rate
    int64_t out = 0;
    std::string note;
    // The rate of the deck it was logged on; a log without rates was written at 25.
    const hostkit::RateInfo* rate = hostkit::FindRate("25");
};

// The rate of the deck on a port, or nullptr for a port that is not served.
using RateOfPort = std::function<const hostkit::RateInfo*(int)>;

Json ClipJson(const Clip& clip);

// Bad input from a client, with words a person can read.
class ClipError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A change that would take the log past kMaxClips.
class ClipLimit : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A clip from the fields a client sent, over `base` (an existing clip when editing, whose
// rate it keeps; a new clip takes its deck's). Throws ClipError.
Clip ClipFromJson(const Json& fields, const Clip& base, const RateOfPort& rateOf);

// `id,port,reel,name,in,out,duration,note,rate,drop_frame`, CRLF line ends; the text fields
// quoted, with a leading ' where a spreadsheet would take them for a formula.
std::string ClipsCsv(const std::vector<Clip>& clips);
// The rows of a CSV in those columns (any order, header required; id, duration, port, rate
// and drop_frame may be left out or empty). Throws ClipError naming the line.
std::vector<Json> ParseClipsCsv(const std::string& text);
// The clips of one port (0: all) with ids from first to last (0: no bound).
std::vector<Clip> SelectClips(const std::vector<Clip>& clips, int port, int64_t first,
                              int64_t last);
// CMX 3600 at the clips' one rate (see panel::MakeEdl). Throws panel::ExportConflict when
// the clips with events have more than one rate, or for what MakeEdl refuses.
std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title);

// Clip numbers run 1..999,999,999, so that every clip stays reachable by its number.
constexpr int64_t kMaxClipId = 999999999;

class ClipLog {
  public:
    ClipLog() = default;
    ~ClipLog();
    ClipLog(const ClipLog&) = delete;
    ClipLog& operator=(const ClipLog&) = delete;

    // Locks the log at `path` for as long as this object has it open, and reads it (a
    // missing file is an empty log). False with a reason when another process holds the log
    // (naming its pid), or the file cannot be read or is not a log.
    bool Open(const std::string& path, std::string* error);
    // Lets the log go; a later Open may take it again.
    void Close();

    std::vector<Clip> List() const;
    // Each change is on disk before it returns; on a failed write nothing changed.
    // Throws ClipError for bad fields, ClipLimit past kMaxClips and std::runtime_error when
    // the file cannot be written.
    Clip Add(const Json& fields, const RateOfPort& rateOf);
    Clip Edit(int64_t id, const Json& fields, const RateOfPort& rateOf);
    bool Delete(int64_t id);
    // Rows with a known id replace that clip, the others are added; all or nothing. Returns
    // the clips the rows added or replaced.
    std::vector<Clip> Import(const std::vector<Json>& rows, const RateOfPort& rateOf);

    const std::string& Path() const { return m_Path; }

  private:
    void Save(const std::vector<Clip>& clips, int64_t nextId) const;
    bool Read(std::string* error);
    void Unlock();
    std::string ClipText(const Clip& clip) const;
    void ForgetTexts(const std::vector<Clip>& clips) const;

    mutable std::mutex m_Mutex;
    // Each clip's JSON as last written, so a change re-encodes only the clips that changed.
    mutable std::unordered_map<int64_t, std::pair<Clip, std::string>> m_Texts;
    std::string m_Path;
    std::vector<Clip> m_Clips;
    int64_t m_nNextId = 1;
    int m_nLockFd = -1;  // holds the lock on <log>.lock while open
};

// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/cliplog.json
std::string DefaultClipLogPath();

}  // namespace panel
