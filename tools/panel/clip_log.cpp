#include "tools/panel/clip_log.h"

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
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "tools/panel/clip_export.h"

namespace panel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxReel = 32;
constexpr std::size_t kMaxName = 256;
constexpr std::size_t kMaxNote = 2000;
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
    const hostkit::ParsedTimecode p = hostkit::ParseTimecode(it->get<std::string>(), rate.base);
    if (!p.ok) {
        throw ClipError(std::string(key) + " must be a timecode that exists at " + rate.name +
                        ": " + p.error);
    }
    return p.frames;
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

struct CsvRows {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> current;
};

void OnField(void* data, std::size_t len, void* rows) {
    auto* r = static_cast<CsvRows*>(rows);
    r->current.emplace_back(static_cast<const char*>(data), len);
}

void OnRow(int, void* rows) {
    auto* r = static_cast<CsvRows*>(rows);
    r->rows.push_back(std::move(r->current));
    r->current.clear();
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

// Replaces `path` with `text` so that a crash or a failed write leaves the old file or the
// new one whole. The temporary file is made fresh (mode 0600, O_EXCL) in the same folder,
// so a link planted there is never followed, and the rename and the folder reach the disk.
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
    if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        throw std::runtime_error("cannot replace " + path + ": " + std::strerror(e));
    }
    // The rename itself is only durable once the folder is.
    const fs::path target(path);
    const std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
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
    return Json{{"id", c.id},
                {"port", c.port},
                {"reel", c.reel},
                {"name", c.name},
                {"in", TimeOf(c.in, c)},
                {"out", TimeOf(c.out, c)},
                {"duration", TimeOf(c.out - c.in, c)},
                {"note", c.note},
                {"rate", c.rate->name}};
}

Clip ClipFromJson(const Json& fields, const Clip& base, const RateOfPort& rateOf) {
    if (!fields.is_object()) {
        throw ClipError("a clip is a JSON object");
    }
    Clip c = base;
    if (const auto it = fields.find("port"); it != fields.end() && !it->is_null()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > 255 ||
            rateOf(it->get<int>()) == nullptr) {
            throw ClipError("port must be the number of a deck this server drives");
        }
        c.port = it->get<int>();
    }
    const bool isNew = base.id == 0;
    // A clip keeps the rate it was logged at; a new one takes its deck's.
    const hostkit::RateInfo* given = RateField(fields);
    const hostkit::RateInfo* deck = isNew ? rateOf(c.port) : nullptr;
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
    if (c.out < c.in) {
        throw ClipError("the out time " + TimeOf(c.out, c) + " is before the in time " +
                        TimeOf(c.in, c));
    }
    return c;
}

std::string ClipsCsv(const std::vector<Clip>& clips) {
    std::string out = "id,port,reel,name,in,out,duration,note,rate,drop_frame\r\n";
    const auto text = [](const std::string& t) {
        return panel::CsvQuoted(panel::SpreadsheetText(t));
    };
    for (const Clip& c : clips) {
        out += std::to_string(c.id) + "," + std::to_string(c.port) + "," + text(c.reel) + "," +
               text(c.name) + "," + TimeOf(c.in, c) + "," + TimeOf(c.out, c) + "," +
               TimeOf(c.out - c.in, c) + "," + text(c.note) + "," + RateNumber(*c.rate) + "," +
               (c.rate->base.dropFrame ? "1" : "0") + "\r\n";
    }
    return out;
}

namespace {

const char* const kCsvColumns[] = {"id",  "port",     "reel", "name", "in",
                                   "out", "duration", "note", "rate", "drop_frame"};
const char* const kCsvHeader = "id,port,reel,name,in,out,duration,note,rate,drop_frame";

std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
    csv_parser parser{};
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) {
        throw std::runtime_error("cannot start the CSV reader");
    }
    CsvRows rows;
    const std::size_t used = csv_parse(&parser, text.data(), text.size(), OnField, OnRow, &rows);
    const bool ok = used == text.size() && csv_fini(&parser, OnField, OnRow, &rows) == 0;
    const std::string why = ok ? "" : csv_strerror(csv_error(&parser));
    csv_free(&parser);
    if (!ok) {
        throw ClipError("the CSV is malformed near line " + std::to_string(rows.rows.size() + 1) +
                        ": " + why);
    }
    if (rows.rows.empty()) {
        throw ClipError(std::string("the CSV is empty; it needs the header ") + kCsvHeader);
    }
    return std::move(rows.rows);
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
    for (const char* text : {"reel", "name", "note"}) {
        if (col.count(text) != 0) {
            clip[text] = panel::FromSpreadsheetText(cell(text));
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

std::vector<Json> ParseClipsCsv(const std::string& text) {
    const std::vector<std::vector<std::string>> rows = ReadCsv(text);
    const std::map<std::string, std::size_t> column = CsvHeader(rows[0]);
    std::vector<Json> out;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string>& row = rows[r];
        if (row.size() == 1 && row[0].empty()) {
            continue;  // a blank line
        }
        if (row.size() != rows[0].size()) {
            throw ClipError("CSV row " + std::to_string(r + 1) + " has " +
                            std::to_string(row.size()) + " fields, the header " +
                            std::to_string(rows[0].size()));
        }
        try {
            out.push_back(CsvClip(row, column));
        } catch (const ClipError& e) {
            throw ClipError("CSV row " + std::to_string(r + 1) + ": " + e.what());
        }
    }
    return out;
}

std::vector<Clip> SelectClips(const std::vector<Clip>& clips, int port, int64_t first,
                              int64_t last) {
    std::vector<Clip> out;
    for (const Clip& c : clips) {
        if ((port == 0 || c.port == port) && (first == 0 || c.id >= first) &&
            (last == 0 || c.id <= last)) {
            out.push_back(c);
        }
    }
    return out;
}

std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title) {
    std::set<std::string> rates;
    std::vector<panel::EdlClip> events;
    for (const Clip& c : clips) {
        if (c.out > c.in) {
            rates.insert(c.rate->name);
        }
        events.push_back(panel::EdlClip{c.id, c.reel, c.name, c.note, c.in, c.out});
    }
    if (rates.size() > 1) {
        std::string names;
        for (const std::string& r : rates) {
            names += (names.empty() ? "" : " and ") + r;
        }
        throw panel::ExportConflict("an EDL holds one rate and these clips are at " + names +
                                    "; export one port (port=N) or a range (first=, last=)");
    }
    const hostkit::RateInfo* rate = hostkit::FindRate(rates.empty() ? "25" : *rates.begin());
    return panel::MakeEdl(title, rate->base, events);
}

ClipLog::~ClipLog() {
    Unlock();
}

void ClipLog::Unlock() {
    if (m_nLockFd >= 0) {
        close(m_nLockFd);  // lets the lock go
        m_nLockFd = -1;
    }
}

void ClipLog::Close() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Unlock();
}

bool ClipLog::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Unlock();
    m_Path = path;
    m_Clips.clear();
    m_nNextId = 1;
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
        m_Clips.clear();
        Unlock();
        return false;
    }
    return true;
}

bool ClipLog::Read(std::string* error) {
    std::ifstream in(m_Path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        *error = "cannot read the clip log " + m_Path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const Json doc = ParseJson(text.str());
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
            Clip c = ClipFromJson(j, base, [&base](int) { return base.rate; });
            c.id = base.id;
            m_Clips.push_back(c);
            m_nNextId = std::max(m_nNextId, c.id + 1);
        }
        const Json next = doc.value("nextId", Json(1));
        if (!next.is_number_integer() || next.get<int64_t>() < 1 ||
            next.get<int64_t>() > kMaxClipId + 1) {
            throw ClipError("nextId " + DumpJson(next) + " is out of range");
        }
        m_nNextId = std::max(m_nNextId, next.get<int64_t>());
    } catch (const std::exception& e) {
        *error = "the clip log " + m_Path + " is damaged (" + e.what() +
                 "); move it aside to start a new log";
        return false;
    }
    return true;
}

std::vector<Clip> ClipLog::List() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Clips;
}

std::string ClipLog::ClipText(const Clip& c) const {
    const auto it = m_Texts.find(c.id);
    const auto same = [&c](const Clip& o) {
        return o.port == c.port && o.in == c.in && o.out == c.out && o.rate == c.rate &&
               o.reel == c.reel && o.name == c.name && o.note == c.note;
    };
    if (it != m_Texts.end() && same(it->second.first)) {
        return it->second.second;
    }
    std::string text = DumpJson(ClipJson(c));
    m_Texts[c.id] = {c, text};
    return text;
}

void ClipLog::ForgetTexts(const std::vector<Clip>& clips) const {
    if (m_Texts.size() <= clips.size()) {
        return;
    }
    // Deleted clips: their ids never come back.
    std::unordered_map<int64_t, std::pair<Clip, std::string>> kept;
    for (const Clip& c : clips) {
        if (const auto it = m_Texts.find(c.id); it != m_Texts.end()) {
            kept.emplace(c.id, std::move(it->second));
        }
    }
    m_Texts.swap(kept);
}

void ClipLog::Save(const std::vector<Clip>& clips, int64_t nextId) const {
    // The same text as dumping the whole document at once, without re-encoding every clip.
    std::string text = DumpJson(Json{{"version", kFileVersion}, {"nextId", nextId}});
    text.pop_back();
    text += ",\"clips\":[";
    for (std::size_t i = 0; i < clips.size(); ++i) {
        text += (i == 0 ? "" : ",") + ClipText(clips[i]);
    }
    text += "]}\n";
    ForgetTexts(clips);

    ReplaceFile(m_Path, text);
}

Clip ClipLog::Add(const Json& fields, const RateOfPort& rateOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Clip base;
    base.port = 0;
    if (!fields.is_object() || !fields.contains("port")) {
        // The first deck's port when the client names none.
        for (int p = 1; p <= 255; ++p) {
            if (rateOf(p) != nullptr) {
                base.port = p;
                break;
            }
        }
    }
    Clip c = ClipFromJson(fields, base, rateOf);
    if (m_Clips.size() >= kMaxClips) {
        throw ClipLimit("the log is full: it holds " + std::to_string(kMaxClips) +
                        " clips at most; export it and delete some first");
    }
    c.id = NewId(m_nNextId);
    std::vector<Clip> next = m_Clips;
    next.push_back(c);
    Save(next, m_nNextId + 1);
    m_Clips.swap(next);
    ++m_nNextId;
    return c;
}

Clip ClipLog::Edit(int64_t id, const Json& fields, const RateOfPort& rateOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it =
        std::find_if(m_Clips.begin(), m_Clips.end(), [id](const Clip& c) { return c.id == id; });
    if (it == m_Clips.end()) {
        throw std::out_of_range("no clip " + std::to_string(id));
    }
    Clip c = ClipFromJson(fields, *it, rateOf);
    c.id = id;
    std::vector<Clip> next = m_Clips;
    next[static_cast<std::size_t>(it - m_Clips.begin())] = c;
    Save(next, m_nNextId);
    m_Clips.swap(next);
    return c;
}

bool ClipLog::Delete(int64_t id) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<Clip> next = m_Clips;
    const auto it =
        std::remove_if(next.begin(), next.end(), [id](const Clip& c) { return c.id == id; });
    if (it == next.end()) {
        return false;
    }
    next.erase(it, next.end());
    Save(next, m_nNextId);
    m_Clips.swap(next);
    return true;
}

namespace {

// The deck a new imported row belongs to: its port column, else a reel named after a served
// deck (DECK2), else the first deck.
int ImportPort(const Json& row, const RateOfPort& rateOf) {
    if (row.contains("port")) {
        return row["port"].get<int>();
    }
    const std::string reel = row.value("reel", "");
    if (reel.rfind("DECK", 0) == 0 && reel.size() > 4 && reel.size() <= 7 &&
        reel.find_first_not_of("0123456789", 4) == std::string::npos &&
        rateOf(std::stoi(reel.substr(4))) != nullptr) {
        return std::stoi(reel.substr(4));
    }
    for (int p = 1; p <= 255; ++p) {
        if (rateOf(p) != nullptr) {
            return p;
        }
    }
    return 0;
}

}  // namespace

std::vector<Clip> ClipLog::Import(const std::vector<Json>& rows, const RateOfPort& rateOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<Clip> next = m_Clips;
    std::vector<Clip> changed;
    std::unordered_map<int64_t, std::size_t> byId;
    for (std::size_t i = 0; i < next.size(); ++i) {
        byId[next[i].id] = i;
    }
    int64_t nextId = m_nNextId;
    std::size_t line = 1;
    for (const Json& row : rows) {
        ++line;
        try {
            const int64_t id = row.contains("id") ? ClipId(row["id"]) : 0;
            if (const auto at = byId.find(id); at != byId.end()) {
                Clip& c = next[at->second];
                c = ClipFromJson(row, c, rateOf);
                changed.push_back(c);
                continue;
            }
            Clip base;
            base.port = ImportPort(row, rateOf);
            Json fields = row;
            fields.erase("id");
            Clip c = ClipFromJson(fields, base, rateOf);
            c.id = id > 0 && id >= nextId ? id : NewId(nextId);
            nextId = c.id + 1;
            byId[c.id] = next.size();
            next.push_back(c);
            changed.push_back(c);
        } catch (const ClipError& e) {
            throw ClipError("CSV row " + std::to_string(line) + ": " + e.what());
        }
    }
    if (next.size() > kMaxClips) {
        throw ClipLimit("the import would make " + std::to_string(next.size()) +
                        " clips and the log holds " + std::to_string(kMaxClips) +
                        " at most; nothing was imported");
    }
    Save(next, nextId);
    m_Clips.swap(next);
    m_nNextId = nextId;
    return changed;
}

std::string DefaultClipLogPath() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr && home[0] != '\0' ? home : ".") + "/.local/share";
    }
    return base + "/tapedeck5500/cliplog.json";
}

}  // namespace panel
