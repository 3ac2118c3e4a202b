// The operator's clip log: clips marked off the tape, kept in one JSON file that is replaced
// whole on every change, and written out as CSV and as a CMX 3600 edit decision list.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostkit/json.h"
#include "tools/hostkit/timecode_text.h"

namespace panel {

// The host kit's names, used throughout the server.
using hostkit::DumpJson;
using hostkit::FormatTimecode;
using hostkit::Json;
using hostkit::ParseTimecode;
using hostkit::WholeFps;

struct Clip {
    int64_t id = 0;
    int port = 1;
    std::string reel;
    std::string name;
    int64_t in = 0;  // frames
    int64_t out = 0;
    std::string note;
    int fps = 25;
};

Json ClipJson(const Clip& clip);

// Bad input from a client, with words a person can read.
class ClipError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A clip from the fields a client sent, over `base` (an existing clip when editing). `fpsOf`
// gives the frame rate of a port, or 0 for a port that is not served. Throws ClipError.
Clip ClipFromJson(const Json& fields, const Clip& base, const std::function<int(int)>& fpsOf);

// `id,reel,name,in,out,duration,note`, CRLF line ends, fields quoted where they must be.
std::string ClipsCsv(const std::vector<Clip>& clips);
// The rows of a CSV in those columns (any order, header required; id and duration may be
// empty). Throws ClipError naming the line.
std::vector<Json> ParseClipsCsv(const std::string& text);
// CMX 3600: title, non-drop frame code, one event per clip with a duration, record times
// running on from 01:00:00:00. Notes at a single time have no event.
std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title);

class ClipLog {
  public:
    // Reads the log at `path` (a missing file is an empty log). False with a reason when
    // the file cannot be read or is not a log.
    bool Open(const std::string& path, std::string* error);

    std::vector<Clip> List() const;
    // Each change is on disk before it returns; on a failed write nothing changed.
    // Throws ClipError for bad fields and std::runtime_error when the file cannot be written.
    Clip Add(const Json& fields, const std::function<int(int)>& fpsOf);
    Clip Edit(int64_t id, const Json& fields, const std::function<int(int)>& fpsOf);
    bool Delete(int64_t id);
    // Rows with a known id replace that clip, the others are added; all or nothing.
    std::vector<Clip> Import(const std::vector<Json>& rows, const std::function<int(int)>& fpsOf);

    const std::string& Path() const { return m_Path; }

  private:
    void Save(const std::vector<Clip>& clips, int64_t nextId) const;

    mutable std::mutex m_Mutex;
    std::string m_Path;
    std::vector<Clip> m_Clips;
    int64_t m_nNextId = 1;
};

// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/cliplog.json
std::string DefaultClipLogPath();

}  // namespace panel
