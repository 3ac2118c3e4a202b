#include "tools/cliplog/clip_log.h"

#include <csv.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "tools/cliplog/clip_export.h"
#include "tools/hostkit/host_commands.h"

namespace cliplog {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxReel = 32;
constexpr std::size_t kMaxName = 256;
constexpr std::size_t kMaxNote = 2000;
constexpr std::size_t kMaxMachine = 64;
constexpr int kFileVersion = 1;

std::string Text(const Json& fields, const char* key, const std::string& current,
                 std::size_t limit) {
    const auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) {
        return current;
    }
    if (!it->is_string()) {
        throw ClipError(std::string(key) + " must be text");
    }
    std::string value = it->get<std::string>();
    if (value.size() > limit) {
        throw ClipError(std::string(key) + " is longer than " + std::to_string(limit) + " bytes");
    }
    return value;
}

int64_t Time(const Json& fields, const char* key, int64_t current, const hostkit::RateInfo& rate) {
    const auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) {
        return current;
    }
    if (!it->is_string()) {
        throw ClipError(std::string(key) + " must be a timecode [-]HH:MM:SS:FF");
    }
    const hostkit::ParsedTimecode p = hostkit::ParseTimecode(it->get<std::string>(), rate);
    if (!p.ok) {
        throw ClipError(std::string(key) + " must be a timecode that exists at " + rate.name +
                        ": " + p.error);
    }
    return p.frames;
}

// A time a client gives, or one a change of rate reinterprets, must be one the deck's line
// carries (above 30 fps, a pair's first frame): no clip holds a time no read could give.
void CheckOnTheLine(const Json& fields, const char* key, int64_t frames,
                    const hostkit::RateInfo& rate, bool rateGiven) {
    const auto it = fields.find(key);
    if (!rateGiven && (it == fields.end() || it->is_null())) {
        return;
    }
    const std::string refusal = hostkit::LineRefusal(frames, rate);
    if (!refusal.empty()) {
        throw ClipError(std::string(key) + " " + refusal);
    }
}

const hostkit::RateInfo* RateField(const Json& fields) {
    const auto it = fields.find("rate");
    if (it == fields.end() || it->is_null()) {
        return nullptr;
    }
    const hostkit::RateInfo* rate =
        it->is_string() ? hostkit::FindRate(it->get<std::string>()) : nullptr;
    if (rate == nullptr) {
        throw ClipError("rate must be one of " + hostkit::RateNames());
    }
    return rate;
}

std::string TimeOf(int64_t frames, const Clip& c) {
    return hostkit::FormatTimecode(frames, c.rate->base);
}

// "29.97" of "29.97df": the CSV has the drop flag in a column of its own.
std::string RateNumber(const hostkit::RateInfo& rate) {
    const std::string name = rate.name;
    return rate.base.dropFrame ? name.substr(0, name.size() - 2) : name;
}

void WriteAll(int fd, const std::string& bytes, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

// The lock is on a file of its own beside the log: the log itself is replaced by a rename
// on every change, and a lock on the replaced file would guard nothing.
std::string LockPath(const std::string& log) {
    return log + ".lock";
}

// The pid a holder of the lock wrote into it, or 0 when it cannot be read.
long HolderPid(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    char* end = nullptr;
    const long pid = n > 0 ? std::strtol(text, &end, 10) : 0;
    return pid > 0 ? pid : 0;
}

// Takes the log's lock for this process, writing its pid into the lock file for the next
// one to name. The descriptor, or -1 with a reason.
int LockLog(const std::string& log, std::string* error) {
    const std::string path = LockPath(log);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot lock the clip log " + log + " through " + path + ": " +
                 (fd < 0 ? std::strerror(errno) : "not a plain file");
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const long pid = HolderPid(fd);
        *error = "the clip log " + log + " is in use by another server" +
                 (pid > 0 ? " (pid " + std::to_string(pid) + ")" : "") +
                 "; stop that one or give this one another --log";
        close(fd);
        return -1;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    // Without the pid the lock holds all the same; a second server then names none.
    if (ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = pwrite(fd, pid.data(), pid.size(), 0);
    }
    return fd;
}

// Temporary files of a write that was cut short hold nothing the log lacks. Only the
// holder of the lock calls this, so no other writer's file can be among them.
void RemoveLeftovers(const std::string& log) {
    const fs::path dir = fs::path(log).parent_path();
    const std::string prefix = fs::path(log).filename().string() + ".tmp-";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir.empty() ? fs::path(".") : dir, ec)) {
        if (entry.path().filename().string().rfind(prefix, 0) == 0) {
            fs::remove(entry.path(), ec);
        }
    }
}

// Flushes the folder that holds `path`, which makes a rename in it durable.
bool SyncFolder(const std::string& path) {
    const fs::path target(path);
    const std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        return false;
    }
    const bool ok = fsync(dfd) == 0;
    const int e = errno;
    close(dfd);
    errno = e;
    return ok;
}

// Replaces `path` with `text` so that a crash or a failed write leaves the old file or the
// new one whole. The temporary file is made fresh (mode 0600, O_EXCL) in the same folder,
// so a link planted there is never followed, and the rename and the folder reach the disk.
// Until the folder is flushed the old file keeps a second name, so that a folder that cannot
// be flushed gets the old file back: a save that reports failure leaves what it found.
void ReplaceFile(const std::string& path, const std::string& text) {
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot make a file beside " + path + ": " + std::strerror(errno));
    }
    try {
        WriteAll(fd, text, temp);
        if (fsync(fd) != 0) {
            throw std::runtime_error("cannot flush " + temp + ": " + std::strerror(errno));
        }
    } catch (...) {
        close(fd);
        unlink(temp.c_str());
        throw;
    }
    const std::string old = path + ".tmp-old";
    unlink(old.c_str());
    // 1: the old file has its second name; 0: there was none; -1: it cannot have one here.
    const int hadOld = link(path.c_str(), old.c_str()) == 0 ? 1 : (errno == ENOENT ? 0 : -1);
    if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        unlink(old.c_str());
        throw std::runtime_error("cannot replace " + path + ": " + std::strerror(e));
    }
    if (!SyncFolder(path)) {
        const int e = errno;
        if (hadOld == 1) {
            rename(old.c_str(), path.c_str());
        } else if (hadOld == 0) {
            unlink(path.c_str());
        }
        SyncFolder(path);
        throw std::runtime_error("cannot flush the folder of " + path + ": " + std::strerror(e));
    }
    unlink(old.c_str());
}

// A clip number from a log file or an import: 1..kMaxClipId, or ClipError.
int64_t ClipId(const Json& value) {
    if (!value.is_number_integer() || value.get<int64_t>() < 1 ||
        value.get<int64_t>() > kMaxClipId) {
        throw ClipError("clip id " + DumpJson(value) + " is not a number from 1 to " +
                        std::to_string(kMaxClipId));
    }
    return value.get<int64_t>();
}

// The number for a new clip, or ClipError once every number has been given out.
int64_t NewId(int64_t next) {
    if (next > kMaxClipId) {
        throw ClipError("every clip number up to " + std::to_string(kMaxClipId) +
                        " is taken; start a new log");
    }
    return next;
}

}  // namespace

Json ClipJson(const Clip& c) {
    Json j{{"id", c.id},
           {"port", c.port},
           {"reel", c.reel},
           {"name", c.name},
           {"in", TimeOf(c.in, c)},
           {"out", TimeOf(c.out, c)},
           {"duration", TimeOf(c.out - c.in, c)},
           {"note", c.note},
           {"rate", c.rate->name}};
    if (!c.machine.empty()) {
        j["machine"] = c.machine;
    }
    return j;
}

RateOfDeck OwnDecks(RateOfPort rateOf) {
    return [rateOf = std::move(rateOf)](const std::string& machine, int port) {
        return machine.empty() ? rateOf(port) : nullptr;
    };
}

Clip ClipFromJson(const Json& fields, const Clip& base, const RateOfDeck& rateOf, bool fromLog) {
    if (!fields.is_object()) {
        throw ClipError("a clip is a JSON object");
    }
    Clip c = base;
    const auto port = fields.find("port");
    const bool portGiven = port != fields.end() && !port->is_null();
    if (portGiven) {
        if (!port->is_number_integer() || port->get<int64_t>() < 1 || port->get<int64_t>() > 255) {
            throw ClipError("port must be the number of a deck this server drives");
        }
        c.port = port->get<int>();
    }
    const bool machineGiven = fields.contains("machine") && !fields["machine"].is_null();
    c.machine = Text(fields, "machine", c.machine, kMaxMachine);
    // The deck a clip names must be one the server shows (a log file's clips stay as they are).
    if (!fromLog && (portGiven || machineGiven || base.id == 0) &&
        rateOf(c.machine, c.port) == nullptr) {
        throw ClipError(c.machine.empty()
                            ? "port must be the number of a deck this server drives (on a hub, "
                              "with the deck's machine)"
                            : "machine " + c.machine + " has no deck on port " +
                                  std::to_string(c.port) + " that this server sees");
    }
    const bool isNew = base.id == 0;
    // A clip keeps the rate it was logged at; a new one takes its deck's.
    const hostkit::RateInfo* given = RateField(fields);
    const hostkit::RateInfo* deck = isNew ? rateOf(c.machine, c.port) : nullptr;
    c.rate = given != nullptr ? given : (deck != nullptr ? deck : c.rate);
    if (fields.contains("reel") || c.reel.empty()) {
        c.reel = Text(fields, "reel", "DECK" + std::to_string(c.port), kMaxReel);
    }
    c.name = Text(fields, "name", c.name, kMaxName);
    c.note = Text(fields, "note", c.note, kMaxNote);
    const bool hadOut = fields.contains("out") && !fields["out"].is_null();
    if (isNew && (!fields.contains("in") || fields["in"].is_null())) {
        throw ClipError("a clip needs an in time");
    }
    c.in = Time(fields, "in", c.in, *c.rate);
    c.out = Time(fields, "out", isNew && !hadOut ? c.in : c.out, *c.rate);
    // A log file keeps what it holds: older ones may have times the line does not carry.
    if (!fromLog) {
        CheckOnTheLine(fields, "in", c.in, *c.rate, given != nullptr);
        CheckOnTheLine(fields, "out", c.out, *c.rate, given != nullptr);
    }
    if (c.out < c.in) {
        throw ClipError("the out time " + TimeOf(c.out, c) + " is before the in time " +
                        TimeOf(c.in, c));
    }
    return c;
}

std::string ClipsCsv(const std::vector<Clip>& clips) {
    // A hub's clips name their machine; a server's own log keeps the columns it always had.
    const bool machines =
        std::any_of(clips.begin(), clips.end(), [](const Clip& c) { return !c.machine.empty(); });
    std::string out = std::string("id,port,reel,name,in,out,duration,note,rate,drop_frame") +
                      (machines ? ",machine" : "") + "\r\n";
    const auto text = [](const std::string& t) {
        return cliplog::CsvQuoted(cliplog::SpreadsheetText(t));
    };
    for (const Clip& c : clips) {
        out += std::to_string(c.id) + "," + std::to_string(c.port) + "," + text(c.reel) + "," +
               text(c.name) + "," + TimeOf(c.in, c) + "," + TimeOf(c.out, c) + "," +
               TimeOf(c.out - c.in, c) + "," + text(c.note) + "," + RateNumber(*c.rate) + "," +
               (c.rate->base.dropFrame ? "1" : "0") + (machines ? "," + text(c.machine) : "") +
               "\r\n";
    }
    return out;
}

namespace {

const char* const kCsvColumns[] = {"id",       "port", "reel", "name",       "in",     "out",
                                   "duration", "note", "rate", "drop_frame", "machine"};
const char* const kCsvHeader = "id,port,reel,name,in,out,duration,note,rate,drop_frame[,machine]";

// A slice of the text at a time goes to libcsv, so that a bound passed is seen within a slice.
constexpr std::size_t kCsvSlice = std::size_t{16} * 1024;

// The rows of the slice in hand, as libcsv completes them. It calls back from C, where no
// exception may pass: a fault is noted here and thrown once the slice is read.
struct CsvReading {
    std::vector<std::pair<std::size_t, std::vector<std::string>>> rows;  // number, fields
    std::vector<std::string> current;
    std::size_t number = 0;  // rows completed so far, blank lines included
    std::size_t filled = 0;  // rows that are not blank
    std::string fault;
    bool tooMany = false;  // the fault is the count of rows
};

void OnCsvField(void* data, std::size_t len, void* reading) {
    auto* r = static_cast<CsvReading*>(reading);
    if (!r->fault.empty()) {
        return;
    }
    if (r->current.size() >= kMaxCsvFields) {
        r->fault = "CSV row " + std::to_string(r->number + 1) + " has more than " +
                   std::to_string(kMaxCsvFields) + " fields; the columns are " + kCsvHeader;
    } else if (len > kMaxCsvField) {
        r->fault = "CSV row " + std::to_string(r->number + 1) + " has a field longer than " +
                   std::to_string(kMaxCsvField) + " bytes";
    } else {
        r->current.emplace_back(static_cast<const char*>(data), len);
    }
}

void OnCsvRow(int, void* reading) {
    auto* r = static_cast<CsvReading*>(reading);
    if (!r->fault.empty()) {
        return;
    }
    ++r->number;
    if (r->current.size() == 1 && r->current[0].empty()) {
        r->current.clear();  // a blank line
        return;
    }
    if (++r->filled > kMaxCsvRows) {
        r->fault = "the CSV has more than " + std::to_string(kMaxCsvRows - 1) +
                   " rows of clips and the log holds " + std::to_string(kMaxClips) +
                   " at most; nothing was imported";
        r->tooMany = true;
        return;
    }
    r->rows.emplace_back(r->number, std::move(r->current));
    r->current.clear();
}

// Hands each row of `text` on as it completes, its number counting the header as 1, and
// holds no more than a slice's rows at a time. Throws ClipError for a malformed or empty
// CSV and one past kMaxCsvFields or kMaxCsvField, ClipLimit past kMaxCsvRows.
void ReadCsvRows(const std::string& text,
                 const std::function<void(std::size_t, const std::vector<std::string>&)>& row) {
    csv_parser parser{};
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) {
        throw std::runtime_error("cannot start the CSV reader");
    }
    const std::unique_ptr<csv_parser, void (*)(csv_parser*)> freed(&parser, csv_free);
    CsvReading r;
    const auto handOn = [&r, &row](bool malformed, const char* why) {
        for (const auto& [number, fields] : r.rows) {
            row(number, fields);
        }
        r.rows.clear();
        if (!r.fault.empty()) {
            if (r.tooMany) {
                throw ClipLimit(r.fault);
            }
            throw ClipError(r.fault);
        }
        if (malformed) {
            throw ClipError("the CSV is malformed near line " + std::to_string(r.number + 1) +
                            ": " + why);
        }
    };
    for (std::size_t at = 0; at < text.size(); at += kCsvSlice) {
        const std::size_t n = std::min(kCsvSlice, text.size() - at);
        const bool malformed =
            csv_parse(&parser, text.data() + at, n, OnCsvField, OnCsvRow, &r) != n;
        if (parser.entry_pos > kMaxCsvField && r.fault.empty()) {
            r.fault = "CSV row " + std::to_string(r.number + 1) + " has a field longer than " +
                      std::to_string(kMaxCsvField) + " bytes";
        }
        handOn(malformed, malformed ? csv_strerror(csv_error(&parser)) : "");
    }
    const bool malformed = csv_fini(&parser, OnCsvField, OnCsvRow, &r) != 0;
    handOn(malformed, malformed ? csv_strerror(csv_error(&parser)) : "");
    if (r.filled == 0) {
        throw ClipError(std::string("the CSV is empty; it needs the header ") + kCsvHeader);
    }
}

std::map<std::string, std::size_t> CsvHeader(const std::vector<std::string>& header) {
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.size(); ++i) {
        std::string h = header[i];
        std::transform(h.begin(), h.end(), h.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        h.erase(0, h.find_first_not_of(" \xEF\xBB\xBF"));  // a BOM a spreadsheet may add
        if (std::find(std::begin(kCsvColumns), std::end(kCsvColumns), h) == std::end(kCsvColumns)) {
            throw ClipError("unknown CSV column '" + header[i] + "'; the columns are " +
                            kCsvHeader);
        }
        column[h] = i;
    }
    if (column.count("in") == 0) {
        throw ClipError("the CSV has no 'in' column");
    }
    return column;
}

int64_t CsvNumber(const std::string& v, int64_t hi, const std::string& what) {
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || n <= 0 || n > hi || errno != 0) {
        throw ClipError(what + " '" + v + "' is not " +
                        (what == "id" ? "a clip number" : "a port number, 1-255"));
    }
    return n;
}

// The rate column with the drop_frame column: "29.97" and "1" make 29.97df.
void CsvRate(Json& clip, const std::string& rate, const std::string& drop) {
    if (rate.empty()) {
        return;
    }
    const bool df = drop == "1" || drop == "true" || drop == "yes";
    if (!df && !drop.empty() && drop != "0" && drop != "false" && drop != "no") {
        throw ClipError("drop_frame '" + drop + "' is not 1 or 0");
    }
    const std::string name = rate + (df && rate.find("df") == std::string::npos ? "df" : "");
    if (hostkit::FindRate(name) == nullptr) {
        throw ClipError("rate '" + name + "' is not one of " + hostkit::RateNames());
    }
    clip["rate"] = name;
}

Json CsvClip(const std::vector<std::string>& row, const std::map<std::string, std::size_t>& col) {
    Json clip = Json::object();
    const auto cell = [&](const char* name) {
        const auto it = col.find(name);
        return it == col.end() ? std::string() : row[it->second];
    };
    if (!cell("id").empty()) {
        clip["id"] = CsvNumber(cell("id"), kMaxClipId, "id");
    }
    if (!cell("port").empty()) {
        clip["port"] = CsvNumber(cell("port"), 255, "port");
    }
    for (const char* text : {"reel", "name", "note", "machine"}) {
        if (col.count(text) != 0) {
            clip[text] = cliplog::FromSpreadsheetText(cell(text));
        }
    }
    clip["in"] = cell("in");
    if (!cell("out").empty()) {
        clip["out"] = cell("out");
    }
    CsvRate(clip, cell("rate"), cell("drop_frame"));
    return clip;
}

}  // namespace

std::vector<Clip> SelectClips(const std::vector<Clip>& clips, int port, int64_t first, int64_t last,
                              const std::string& machine) {
    std::vector<Clip> out;
    for (const Clip& c : clips) {
        if ((port == 0 || c.port == port) && (first == 0 || c.id >= first) &&
            (last == 0 || c.id <= last) && (machine.empty() || c.machine == machine)) {
            out.push_back(c);
        }
    }
    return out;
}

std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title) {
    std::set<std::string> rates;
    std::vector<cliplog::EdlClip> events;
    for (const Clip& c : clips) {
        if (c.out > c.in) {
            rates.insert(c.rate->name);
        }
        events.push_back(cliplog::EdlClip{c.id, c.reel, c.name, c.note, c.in, c.out});
    }
    if (rates.size() > 1) {
        std::string names;
        for (const std::string& r : rates) {
            names += (names.empty() ? "" : " and ") + r;
        }
        throw cliplog::ExportConflict("an EDL holds one rate and these clips are at " + names +
                                      "; export one port (port=N) or a range (first=, last=)");
    }
    const hostkit::RateInfo* rate = hostkit::FindRate(rates.empty() ? "25" : *rates.begin());
    return cliplog::MakeEdl(title, rate->base, events);
}

// ---- changes, as the saving thread makes them ----

using Span = std::pair<std::size_t, std::size_t>;
constexpr Span kNoSpan{0, 0};  // a clip changed since the last save: encoded afresh

// The log being changed by the saving thread: the last saved state and what the waiting
// changes made of it. Each change checks everything before it changes anything, so one
// refused leaves the draft as the others made it.
struct LogDraft {
    std::vector<Clip> clips;
    std::vector<Span> spans;  // in the last saved text, kNoSpan for clips changed since
    int64_t nextId = 1;
    std::unordered_set<int64_t> touched;  // ids added, changed or deleted

    std::size_t Find(int64_t id) const {
        const auto it =
            std::find_if(clips.begin(), clips.end(), [id](const Clip& c) { return c.id == id; });
        if (it == clips.end()) {
            throw std::out_of_range("no clip " + std::to_string(id));
        }
        return static_cast<std::size_t>(it - clips.begin());
    }
    void Put(std::size_t at, Clip c) {
        touched.insert(c.id);
        clips[at] = std::move(c);
        spans[at] = kNoSpan;
    }
    void Append(Clip c) {
        touched.insert(c.id);
        clips.push_back(std::move(c));
        spans.push_back(kNoSpan);
    }
    void Erase(std::size_t at) {
        touched.insert(clips[at].id);
        clips.erase(clips.begin() + static_cast<std::ptrdiff_t>(at));
        spans.erase(spans.begin() + static_cast<std::ptrdiff_t>(at));
    }
};

namespace {

// The first deck's port, for a clip that names none (a hub has no decks of its own: 0).
int FirstPort(const RateOfDeck& rateOf) {
    for (int p = 1; p <= 255; ++p) {
        if (rateOf("", p) != nullptr) {
            return p;
        }
    }
    return 0;
}

// The deck a new imported row belongs to: its port column, else a reel named after a served
// deck (DECK2), else the first deck.
int ImportPort(const Json& row, const RateOfDeck& rateOf) {
    if (row.contains("port")) {
        return row["port"].get<int>();
    }
    const std::string reel = row.value("reel", "");
    if (reel.rfind("DECK", 0) == 0 && reel.size() > 4 && reel.size() <= 7 &&
        reel.find_first_not_of("0123456789", 4) == std::string::npos &&
        rateOf(row.value("machine", ""), std::stoi(reel.substr(4))) != nullptr) {
        return std::stoi(reel.substr(4));
    }
    return FirstPort(rateOf);
}

}  // namespace

void ReadClipsCsv(const std::string& csv,
                  const std::function<void(std::size_t, const Json&)>& clip) {
    std::map<std::string, std::size_t> column;
    std::size_t width = 0;
    ReadCsvRows(csv, [&](std::size_t line, const std::vector<std::string>& fields) {
        if (width == 0) {
            column = CsvHeader(fields);
            width = fields.size();
            return;
        }
        if (fields.size() != width) {
            throw ClipError("CSV row " + std::to_string(line) + " has " +
                            std::to_string(fields.size()) + " fields, the header " +
                            std::to_string(width));
        }
        Json row;
        try {
            row = CsvClip(fields, column);
        } catch (const ClipError& e) {
            throw ClipError("CSV row " + std::to_string(line) + ": " + e.what());
        }
        clip(line, row);
    });
}

namespace {

// The highest number an import may give a new clip of its own: past it a single row would
// leave the log fewer numbers than a full log's worth of clips, and one at 999,999,999 none.
// Such rows are refused rather than renumbered, so that importing the same file again
// updates its clips instead of adding them twice.
constexpr int64_t kMaxImportedId = kMaxClipId - static_cast<int64_t>(kMaxClips);

// The rows of a CSV applied to the draft, all or nothing: they are gathered apart and put
// in only once the last has passed.
void ImportRows(const std::string& csv, const RateOfDeck& rateOf, LogDraft& d, LogResult& r) {
    std::unordered_map<int64_t, std::size_t> byId;  // index in d.clips, or past it in added
    for (std::size_t i = 0; i < d.clips.size(); ++i) {
        byId[d.clips[i].id] = i;
    }
    std::unordered_map<std::size_t, Clip> replaced;
    std::vector<Clip> added;
    int64_t nextId = d.nextId;
    ReadClipsCsv(csv, [&](std::size_t line, const Json& row) {
        try {
            const int64_t id = row.contains("id") ? ClipId(row["id"]) : 0;
            if (const auto at = byId.find(id); at != byId.end()) {
                const std::size_t i = at->second;
                Clip& slot = i < d.clips.size() ? replaced.try_emplace(i, d.clips[i]).first->second
                                                : added[i - d.clips.size()];
                slot = ClipFromJson(row, slot, rateOf);
                return;
            }
            if (id > kMaxImportedId) {
                throw ClipError("clip id " + std::to_string(id) +
                                " would leave the log fewer than " + std::to_string(kMaxClips) +
                                " numbers for new clips; leave the id empty to number the clip "
                                "on from the log");
            }
            Clip base;
            base.port = ImportPort(row, rateOf);
            Json fieldsNoId = row;
            fieldsNoId.erase("id");
            Clip c = ClipFromJson(fieldsNoId, base, rateOf);
            c.id = id > 0 && id >= nextId ? id : NewId(nextId);
            if (d.clips.size() + added.size() >= kMaxClips) {
                throw ClipLimit("the import would make more than " + std::to_string(kMaxClips) +
                                " clips, the most the log holds; nothing was imported");
            }
            nextId = c.id + 1;
            byId[c.id] = d.clips.size() + added.size();
            added.push_back(std::move(c));
        } catch (const ClipError& e) {
            throw ClipError("CSV row " + std::to_string(line) + ": " + e.what());
        }
    });
    r.rows = replaced.size() + added.size();
    d.clips.reserve(d.clips.size() + added.size());
    d.spans.reserve(d.clips.size() + added.size());
    for (auto& [i, c] : replaced) {
        d.Put(i, std::move(c));
    }
    for (Clip& c : added) {
        d.Append(std::move(c));
    }
    d.nextId = nextId;
}

// The file's text for the draft. Clips unchanged since the last save are copied from its
// text, the others encoded afresh: a save costs its changes and a copy, not the whole log.
void Encode(const LogState& before, LogDraft& d, LogState& next) {
    std::string head = DumpJson(Json{{"version", kFileVersion}, {"nextId", d.nextId}});
    head.pop_back();
    head += ",\"clips\":[";
    // Room for the whole text at once: a log of megabytes is not copied as it grows.
    std::size_t size = head.size() + 3 + d.clips.size();
    for (std::size_t i = 0; i < d.clips.size(); ++i) {
        const Clip& c = d.clips[i];
        size += d.spans[i] != kNoSpan ? d.spans[i].second
                                      : 160 + c.reel.size() + c.name.size() + c.note.size();
    }
    std::string& text = next.text;
    text.reserve(size);
    text = head;
    next.clipsAt = head.size() - 1;
    next.spans.resize(d.clips.size());
    for (std::size_t i = 0; i < d.clips.size(); ++i) {
        if (i > 0) {
            text += ',';
        }
        const std::size_t at = text.size();
        if (d.spans[i] == kNoSpan) {
            text += DumpJson(ClipJson(d.clips[i]));
        } else {
            text.append(before.text, d.spans[i].first, d.spans[i].second);
        }
        next.spans[i] = {at, text.size() - at};
    }
    text += "]}\n";
    next.nextId = d.nextId;
    next.clips = std::move(d.clips);
}

// What a save changed, as the event stream carries it: the touched clips still there, and
// the touched ids gone.
LogSaved Saved(const LogView& view, const std::unordered_set<int64_t>& touched) {
    LogSaved saved{view, {}, {}};
    std::unordered_set<int64_t> there;
    for (std::size_t i = 0; i < view->clips.size(); ++i) {
        if (touched.count(view->clips[i].id) != 0) {
            saved.changed.push_back(i);
            there.insert(view->clips[i].id);
        }
    }
    for (const int64_t id : touched) {
        if (there.count(id) == 0) {
            saved.deleted.push_back(id);
        }
    }
    std::sort(saved.deleted.begin(), saved.deleted.end());
    return saved;
}

}  // namespace

LogChange LogChange::Add(Json fields, RateOfDeck rateOf) {
    return LogChange(
        [fields = std::move(fields), rateOf = std::move(rateOf)](LogDraft& d, LogResult& r) {
            Clip base;
            base.port = fields.is_object() && fields.contains("port") ? 0 : FirstPort(rateOf);
            Clip c = ClipFromJson(fields, base, rateOf);
            if (d.clips.size() >= kMaxClips) {
                throw ClipLimit("the log is full: it holds " + std::to_string(kMaxClips) +
                                " clips at most; export it and delete some first");
            }
            c.id = NewId(d.nextId);
            d.Append(c);
            ++d.nextId;
            r.clips = {c};
        },
        0);
}

LogChange LogChange::Edit(int64_t id, Json fields, RateOfDeck rateOf) {
    return LogChange(
        [id, fields = std::move(fields), rateOf = std::move(rateOf)](LogDraft& d, LogResult& r) {
            const std::size_t at = d.Find(id);
            Clip c = ClipFromJson(fields, d.clips[at], rateOf);
            c.id = id;
            d.Put(at, c);
            r.clips = {c};
        },
        0);
}

LogChange LogChange::Delete(int64_t id) {
    return LogChange([id](LogDraft& d, LogResult&) { d.Erase(d.Find(id)); }, 0);
}

LogChange LogChange::ImportCsv(std::string csv, RateOfDeck rateOf) {
    const std::size_t bytes = csv.size();
    return LogChange([csv = std::move(csv), rateOf = std::move(rateOf)](
                         LogDraft& d, LogResult& r) { ImportRows(csv, rateOf, d, r); },
                     bytes);
}

// ---- the log ----

ClipLog::~ClipLog() {
    try {
        Close();
    } catch (...) {  // a destructor must not throw; the process is ending the log anyway
    }
}

void ClipLog::Unlock() {
    if (m_nLockFd >= 0) {
        close(m_nLockFd);  // lets the lock go
        m_nLockFd = -1;
    }
}

void ClipLog::Close() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopping = true;
    }
    m_Wake.notify_all();
    if (m_Saver.joinable()) {
        m_Saver.join();
    }
    Unlock();
}

bool ClipLog::Open(const std::string& path, std::string* error) {
    Close();
    m_Path = path;
    {
        std::lock_guard<std::mutex> lock(m_ViewMutex);
        m_View = std::make_shared<const LogState>();
    }
    const fs::path dir = fs::path(path).parent_path();
    if (!dir.empty()) {
        std::error_code ec;
        fs::create_directories(dir, ec);
    }
    m_nLockFd = LockLog(path, error);
    if (m_nLockFd < 0) {
        return false;
    }
    RemoveLeftovers(path);
    if (!Read(error)) {
        Unlock();
        return false;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bStopping = false;
    m_Saver = std::thread([this] { Saver(); });
    return true;
}

bool ClipLog::Read(std::string* error) {
    LogDraft d;
    std::ifstream in(m_Path, std::ios::binary);
    if (!in && errno != ENOENT) {
        *error = "cannot read the clip log " + m_Path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    if (in) {
        text << in.rdbuf();
    }
    const Json doc = in ? ParseJson(text.str()) : Json{{"clips", Json::array()}};
    try {
        if (doc.is_discarded() || !doc.is_object() || !doc.contains("clips") ||
            !doc["clips"].is_array()) {
            throw ClipError("not a clip log");
        }
        for (const Json& j : doc["clips"]) {
            Clip base;
            base.id = ClipId(j.at("id"));
            base.port = j.value("port", 1);
            // Clips without a rate come from a server that ran every deck at 25.
            const hostkit::RateInfo* legacy = hostkit::FindRate(std::to_string(j.value("fps", 25)));
            base.rate = legacy != nullptr ? legacy : base.rate;
            Clip c = ClipFromJson(
                j, base, [&base](const std::string&, int) { return base.rate; }, true);
            c.id = base.id;
            d.Append(std::move(c));
            d.nextId = std::max(d.nextId, base.id + 1);
        }
        const Json next = doc.value("nextId", Json(1));
        if (!next.is_number_integer() || next.get<int64_t>() < 1 ||
            next.get<int64_t>() > kMaxClipId + 1) {
            throw ClipError("nextId " + DumpJson(next) + " is out of range");
        }
        d.nextId = std::max(d.nextId, next.get<int64_t>());
    } catch (const std::exception& e) {
        *error = "the clip log " + m_Path + " is damaged (" + e.what() +
                 "); move it aside to start a new log";
        return false;
    }
    // The state as this server writes it, for the saves to copy from; the file stays as read.
    auto state = std::make_shared<LogState>();
    Encode(LogState(), d, *state);
    std::lock_guard<std::mutex> lock(m_ViewMutex);
    m_View = std::move(state);
    return true;
}

LogView ClipLog::View() const {
    std::lock_guard<std::mutex> lock(m_ViewMutex);
    return m_View;
}

bool ClipLog::Submit(LogChange change, std::function<void(const LogResult&)> done) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping || m_Queue.size() >= kMaxWaiting ||
            (change.m_nBytes > 0 && m_nQueuedBytes + change.m_nBytes > kMaxWaitingBytes)) {
            return false;
        }
        m_nQueuedBytes += change.m_nBytes;
        m_Queue.push_back(Waiting{std::move(change), std::move(done), LogResult(), false});
    }
    m_Wake.notify_one();
    return true;
}

// The one thread that writes the file: it takes every change waiting, applies them in the
// order they came and saves them in one write; then tells the stream and each requester.
void ClipLog::Saver() {
    for (;;) {
        std::vector<Waiting> group;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_bStopping || !m_Queue.empty(); });
            if (m_Queue.empty()) {
                return;
            }
            group.swap(m_Queue);
            m_nQueuedBytes = 0;
        }
        Commit(group);
        for (Waiting& w : group) {
            try {
                w.done(w.result);
            } catch (...) {  // a requester's fault must not end the saving thread
            }
        }
    }
}

void ClipLog::Commit(std::vector<Waiting>& group) {
    const LogView before = View();
    LogDraft d{before->clips, before->spans, before->nextId, {}};
    bool any = false;
    try {
        for (Waiting& w : group) {
            try {
                w.change.m_Apply(d, w.result);
                w.applied = any = true;
            } catch (const std::bad_alloc&) {
                throw;  // the draft may be half changed: nothing of this group is saved
            } catch (...) {
                w.result.error = std::current_exception();
            }
        }
        if (!any) {
            return;
        }
        auto next = std::make_shared<LogState>();
        next->seq = before->seq + 1;
        Encode(*before, d, *next);
        ReplaceFile(m_Path, next->text);
        const LogView view = std::move(next);
        {
            std::lock_guard<std::mutex> lock(m_ViewMutex);
            m_View = view;
        }
        for (Waiting& w : group) {
            w.result.view = view;
        }
        if (m_Saved) {
            m_Saved(Saved(view, d.touched));
        }
    } catch (...) {
        // Nothing of the group was saved: the changes it took fail with the cause.
        for (Waiting& w : group) {
            if (w.applied || !w.result.error) {
                w.result = LogResult();
                w.result.error = std::current_exception();
            }
        }
    }
}

LogResult ClipLog::Apply(LogChange change) {
    std::promise<LogResult> promise;
    std::future<LogResult> future = promise.get_future();
    if (!Submit(std::move(change), [&promise](const LogResult& r) { promise.set_value(r); })) {
        throw std::runtime_error("the clip log " + m_Path + " is closed or too busy");
    }
    LogResult r = future.get();
    if (r.error) {
        std::rethrow_exception(r.error);
    }
    return r;
}

Clip ClipLog::Add(const Json& fields, const RateOfPort& rateOf) {
    return Apply(LogChange::Add(fields, OwnDecks(rateOf))).clips.at(0);
}

Clip ClipLog::Edit(int64_t id, const Json& fields, const RateOfPort& rateOf) {
    return Apply(LogChange::Edit(id, fields, OwnDecks(rateOf))).clips.at(0);
}

bool ClipLog::Delete(int64_t id) {
    try {
        Apply(LogChange::Delete(id));
        return true;
    } catch (const std::out_of_range&) {
        return false;
    }
}

std::size_t ClipLog::ImportCsv(const std::string& csv, const RateOfPort& rateOf) {
    return Apply(LogChange::ImportCsv(csv, OwnDecks(rateOf))).rows;
}

std::string DefaultClipLogPath() {
    return hostkit::DataFolder() + "/cliplog.json";
}

}  // namespace cliplog
