// The operator's clip log: clips marked off the tape, kept in one JSON file that is replaced
// whole on every save, and written out as CSV and as a CMX 3600 edit decision list. One
// thread saves, in the order the changes came; readers take the last saved state.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tools/hostkit/json.h"
#include "tools/hostkit/timecode.h"

namespace cliplog {

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
    std::string machine;  // a hub's clip: the machine of its deck; "" for the server's own
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
// The same by machine and port: a hub's decks are a machine's ("" for a server's own).
using RateOfDeck = std::function<const hostkit::RateInfo*(const std::string& machine, int port)>;
// A server's own decks, by port, as decks of no machine.
RateOfDeck OwnDecks(RateOfPort rateOf);

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
// rate it keeps; a new clip takes its deck's). Times given must be ones the deck's line
// carries, except `fromLog`, a clip read back from the log file. Throws ClipError.
Clip ClipFromJson(const Json& fields, const Clip& base, const RateOfDeck& rateOf,
                  bool fromLog = false);

// `id,port,reel,name,in,out,duration,note,rate,drop_frame`, and `machine` when a clip has one
// (a hub's log), CRLF line ends; the text fields quoted, with a leading ' where a spreadsheet
// would take them for a formula.
std::string ClipsCsv(const std::vector<Clip>& clips);
// The bounds of a CSV import, checked as it is read, so that no file of any shape makes the
// reader hold more than a few rows of it: the header and one row per clip, and the columns.
constexpr std::size_t kMaxCsvRows = kMaxClips + 1;
constexpr std::size_t kMaxCsvFields = 11;
constexpr std::size_t kMaxCsvField = 4096;  // bytes; a note is 2000 at most

// The clips of a CSV in those columns (any order, header first), one at a time as the text is
// read, each with its row's number, within the bounds above. Throws ClipError naming the row.
void ReadClipsCsv(const std::string& csv,
                  const std::function<void(std::size_t, const Json&)>& clip);
// The clips of one port (0: all) with ids from first to last (0: no bound); of one machine
// too when `machine` is given.
std::vector<Clip> SelectClips(const std::vector<Clip>& clips, int port, int64_t first, int64_t last,
                              const std::string& machine = "");
// CMX 3600 at the clips' one rate (see cliplog::MakeEdl). Throws cliplog::ExportConflict when
// the clips with events have more than one rate, or for what MakeEdl refuses.
std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title);

// Clip numbers run 1..999,999,999, so that every clip stays reachable by its number.
constexpr int64_t kMaxClipId = 999999999;

// The log as last saved. Never changed once made: readers share it, and none of them waits
// for a save in progress.
struct LogState {
    uint64_t seq = 0;  // counts the saves since the log was opened
    std::vector<Clip> clips;
    int64_t nextId = 1;  // the number the next new clip gets
    std::string text;    // the file as written: {"version":1,"nextId":N,"clips":[...]}
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // each clip's JSON in text
    std::size_t clipsAt = 0;                                 // where the clips' array starts

    // One clip's JSON, as the file holds it.
    std::string_view ClipText(std::size_t i) const {
        return std::string_view(text).substr(spans[i].first, spans[i].second);
    }
    // The clips' JSON array, as the file holds it.
    std::string_view ClipsJson() const {
        return text.empty() ? std::string_view("[]")
                            : std::string_view(text).substr(clipsAt, text.size() - 2 - clipsAt);
    }
};
using LogView = std::shared_ptr<const LogState>;

// What a save changed, for the event stream.
struct LogSaved {
    LogView view;                      // the log after it
    std::vector<std::size_t> changed;  // where the clips it added or changed are in view
    std::vector<int64_t> deleted;
};

// What a change came to, for whoever asked for it.
struct LogResult {
    // ClipError (bad fields), ClipLimit (past kMaxClips), std::out_of_range (no such clip) or
    // std::runtime_error (the file could not be written); then nothing changed.
    std::exception_ptr error;
    std::vector<Clip> clips;  // the clip added or edited
    std::size_t rows = 0;     // the rows an import added or replaced
    LogView view;             // the log after the save that holds the change
};

struct LogDraft;

// One change to the log, applied by the saving thread to the log as it then stands.
class LogChange {
  public:
    static LogChange Add(Json fields, RateOfDeck rateOf);
    static LogChange Edit(int64_t id, Json fields, RateOfDeck rateOf);
    static LogChange Delete(int64_t id);
    // Rows with a known id replace that clip, the others are added; all or nothing. The text
    // is read as it streams, within the kMaxCsv bounds; a mistake names its row.
    static LogChange ImportCsv(std::string csv, RateOfDeck rateOf);

  private:
    friend class ClipLog;
    using Apply = std::function<void(LogDraft&, LogResult&)>;
    LogChange(Apply apply, std::size_t bytes) : m_Apply(std::move(apply)), m_nBytes(bytes) {}
    Apply m_Apply;
    std::size_t m_nBytes = 0;  // what it holds while it waits
};

class ClipLog {
  public:
    // Changes waiting for the saving thread, and the bytes they hold, at most.
    static constexpr std::size_t kMaxWaiting = 256;
    static constexpr std::size_t kMaxWaitingBytes = std::size_t{8} << 20;

    ClipLog() = default;
    ~ClipLog();
    ClipLog(const ClipLog&) = delete;
    ClipLog& operator=(const ClipLog&) = delete;

    // Locks the log at `path` for as long as this object has it open, reads it (a missing
    // file is an empty log) and starts the saving thread. False with a reason when another
    // process holds the log (naming its pid), or the file cannot be read or is not a log.
    bool Open(const std::string& path, std::string* error);
    // Saves what is waiting, ends the saving thread and lets the log go; a later Open may
    // take it again.
    void Close();

    // Called on the saving thread after each save, in the order of the saves. Set before Open.
    void OnSaved(std::function<void(const LogSaved&)> saved) { m_Saved = std::move(saved); }

    // The log as last saved; never waits for a save in progress.
    LogView View() const;
    std::vector<Clip> List() const { return View()->clips; }

    // Queues a change for the saving thread, which calls `done` once it is on disk or refused
    // (changes waiting together are saved in one write, in the order they came). False, and
    // no call, when too much is waiting already or the log is closed.
    bool Submit(LogChange change, std::function<void(const LogResult&)> done);

    // The same, waiting for the save: the result, or a throw of its error (std::runtime_error
    // when the change could not be queued).
    LogResult Apply(LogChange change);
    Clip Add(const Json& fields, const RateOfPort& rateOf);
    Clip Edit(int64_t id, const Json& fields, const RateOfPort& rateOf);
    bool Delete(int64_t id);
    std::size_t ImportCsv(const std::string& csv, const RateOfPort& rateOf);

    const std::string& Path() const { return m_Path; }

  private:
    struct Waiting {
        LogChange change;
        std::function<void(const LogResult&)> done;
        LogResult result;
        bool applied = false;
    };

    void Saver();
    void Commit(std::vector<Waiting>& group);
    bool Read(std::string* error);
    void Unlock();

    std::string m_Path;
    int m_nLockFd = -1;  // holds the lock on <log>.lock while open
    std::function<void(const LogSaved&)> m_Saved;

    mutable std::mutex m_ViewMutex;  // guards m_View only: never held across a file's write
    LogView m_View = std::make_shared<const LogState>();

    std::mutex m_Mutex;  // guards the queue
    std::condition_variable m_Wake;
    std::vector<Waiting> m_Queue;
    std::size_t m_nQueuedBytes = 0;
    bool m_bStopping = true;  // until Open starts the saving thread
    std::thread m_Saver;
};

// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/cliplog.json
std::string DefaultClipLogPath();

}  // namespace cliplog
