#include "tools/panel/clip_log.h"

#include <csv.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tools/hostkit/host_records.h"

namespace panel {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxReel = 32;
constexpr std::size_t kMaxName = 256;
constexpr std::size_t kMaxNote = 2000;
constexpr std::size_t kEdlReel = 8;
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

int64_t Time(const Json& fields, const char* key, int64_t current, int fps) {
    const auto it = fields.find(key);
    if (it == fields.end() || it->is_null()) {
        return current;
    }
    int64_t frames = 0;
    if (!it->is_string() || !ParseTimecode(it->get<std::string>(), fps, &frames)) {
        throw ClipError(std::string(key) + " must be a timecode [-]HH:MM:SS:FF at " +
                        std::to_string(fps) + " frames a second");
    }
    return frames;
}

// A reel name as an EDL takes it: at most 8 letters, digits or underscores.
std::string EdlReel(const std::string& reel) {
    std::string out;
    for (const char c : reel) {
        if (out.size() == kEdlReel) {
            break;
        }
        const bool word =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
        out += word ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : '_';
    }
    return out.empty() ? "AX" : out;
}

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
std::string EdlTime(int64_t frames, int fps) {
    const int64_t day = int64_t{86400} * fps;
    return FormatTimecode(((frames % day) + day) % day, fps);
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
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

}  // namespace

Json ClipJson(const Clip& c) {
    return Json{{"id", c.id},
                {"port", c.port},
                {"reel", c.reel},
                {"name", c.name},
                {"in", FormatTimecode(c.in, c.fps)},
                {"out", FormatTimecode(c.out, c.fps)},
                {"duration", FormatTimecode(c.out - c.in, c.fps)},
                {"note", c.note}};
}

Clip ClipFromJson(const Json& fields, const Clip& base, const std::function<int(int)>& fpsOf) {
    if (!fields.is_object()) {
        throw ClipError("a clip is a JSON object");
    }
    Clip c = base;
    if (const auto it = fields.find("port"); it != fields.end() && !it->is_null()) {
        if (!it->is_number_integer() || it->get<int64_t>() < 1 || it->get<int64_t>() > 255 ||
            fpsOf(it->get<int>()) == 0) {
            throw ClipError("port must be the number of a deck this server drives");
        }
        c.port = it->get<int>();
    }
    c.fps = fpsOf(c.port) > 0 ? fpsOf(c.port) : c.fps;
    if (fields.contains("reel") || c.reel.empty()) {
        c.reel = Text(fields, "reel", "DECK" + std::to_string(c.port), kMaxReel);
    }
    c.name = Text(fields, "name", c.name, kMaxName);
    c.note = Text(fields, "note", c.note, kMaxNote);
    const bool hadOut = fields.contains("out") && !fields["out"].is_null();
    const bool isNew = base.id == 0;
    if (isNew && (!fields.contains("in") || fields["in"].is_null())) {
        throw ClipError("a clip needs an in time");
    }
    c.in = Time(fields, "in", c.in, c.fps);
    c.out = Time(fields, "out", isNew && !hadOut ? c.in : c.out, c.fps);
    if (c.out < c.in) {
        throw ClipError("the out time is before the in time");
    }
    return c;
}

std::string ClipsCsv(const std::vector<Clip>& clips) {
    std::string out = "id,reel,name,in,out,duration,note\r\n";
    for (const Clip& c : clips) {
        out += std::to_string(c.id) + "," + CsvField(c.reel) + "," + CsvField(c.name) + "," +
               FormatTimecode(c.in, c.fps) + "," + FormatTimecode(c.out, c.fps) + "," +
               FormatTimecode(c.out - c.in, c.fps) + "," + CsvField(c.note) + "\r\n";
    }
    return out;
}

namespace {

// Every row of the text as libcsv reads it; a malformed file is refused naming the line.
CsvRows ReadCsvRows(const std::string& text) {
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
        throw ClipError("the CSV is empty; it needs the header id,reel,name,in,out,duration,note");
    }
    return rows;
}

// The header's columns by name, in any order; an unknown one refuses the file.
std::map<std::string, std::size_t> CsvColumns(const std::vector<std::string>& header) {
    static const char* const kColumns[] = {"id", "reel", "name", "in", "out", "duration", "note"};
    std::map<std::string, std::size_t> column;
    for (std::size_t i = 0; i < header.size(); ++i) {
        std::string h = header[i];
        std::transform(h.begin(), h.end(), h.begin(),
                       [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
        h.erase(0, h.find_first_not_of(" \xEF\xBB\xBF"));  // a BOM a spreadsheet may add
        if (std::find(std::begin(kColumns), std::end(kColumns), h) == std::end(kColumns)) {
            throw ClipError("unknown CSV column '" + header[i] +
                            "'; the columns are id,reel,name,in,out,duration,note");
        }
        column[h] = i;
    }
    if (column.count("in") == 0) {
        throw ClipError("the CSV has no 'in' column");
    }
    return column;
}

// One row as a clip's fields; `line` names it in a refusal.
Json CsvRowClip(const std::vector<std::string>& row,
                const std::map<std::string, std::size_t>& column, std::size_t line) {
    Json clip = Json::object();
    for (const auto& [name, index] : column) {
        const std::string& v = row[index];
        if (name == "duration") {
            continue;  // follows from in and out
        }
        if (name == "id") {
            if (v.empty()) {
                continue;
            }
            char* end = nullptr;
            errno = 0;
            const long long id = std::strtoll(v.c_str(), &end, 10);
            if (*end != '\0' || id <= 0 || errno != 0) {
                throw ClipError("CSV row " + std::to_string(line) + ": id '" + v +
                                "' is not a clip number");
            }
            clip["id"] = id;
        } else if (!(name == "out" && v.empty())) {
            clip[name] = v;
        }
    }
    return clip;
}

}  // namespace

std::vector<Json> ParseClipsCsv(const std::string& text) {
    const CsvRows rows = ReadCsvRows(text);
    const std::vector<std::string>& header = rows.rows[0];
    const std::map<std::string, std::size_t> column = CsvColumns(header);
    std::vector<Json> out;
    for (std::size_t r = 1; r < rows.rows.size(); ++r) {
        const std::vector<std::string>& row = rows.rows[r];
        if (row.size() == 1 && row[0].empty()) {
            continue;  // a blank line
        }
        if (row.size() != header.size()) {
            throw ClipError("CSV row " + std::to_string(r + 1) + " has " +
                            std::to_string(row.size()) + " fields, the header " +
                            std::to_string(header.size()));
        }
        out.push_back(CsvRowClip(row, column, r + 1));
    }
    return out;
}

std::string ClipsEdl(const std::vector<Clip>& clips, const std::string& title) {
    std::string out = "TITLE: " + OneLine(title.substr(0, 70)) + "\nFCM: NON-DROP FRAME\n\n";
    int event = 0;
    int64_t record = -1;
    int recordFps = 0;
    for (const Clip& c : clips) {
        if (c.out <= c.in) {
            continue;
        }
        if (record < 0 || recordFps != c.fps) {
            // The record side starts at one hour, the usual start of programme.
            record = record < 0 ? int64_t{3600} * c.fps : record * c.fps / recordFps;
            recordFps = c.fps;
        }
        ++event;
        char line[160];
        std::snprintf(line, sizeof line, "%03d  %-8s V     C        %s %s %s %s\n", event % 1000,
                      EdlReel(c.reel).c_str(), EdlTime(c.in, c.fps).c_str(),
                      EdlTime(c.out, c.fps).c_str(), EdlTime(record, c.fps).c_str(),
                      EdlTime(record + c.out - c.in, c.fps).c_str());
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

namespace {

// Makes the log's folder; temporary files of a write that was cut short hold nothing the log
// lacks, so they go.
void PrepareFolder(const std::string& path) {
    std::error_code ec;
    const fs::path dir = fs::path(path).parent_path();
    if (dir.empty()) {
        return;
    }
    fs::create_directories(dir, ec);
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(fs::path(path).filename().string() + ".tmp-", 0) == 0) {
            fs::remove(entry.path(), ec);
        }
    }
}

}  // namespace

bool ClipLog::Open(const std::string& path, std::string* error) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Path = path;
    m_Clips.clear();
    m_nNextId = 1;
    PrepareFolder(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        *error = "cannot read the clip log " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const Json doc = Json::parse(text.str(), nullptr, false);
    try {
        if (doc.is_discarded() || !doc.is_object() || !doc.contains("clips") ||
            !doc["clips"].is_array()) {
            throw ClipError("not a clip log");
        }
        for (const Json& j : doc["clips"]) {
            Clip base;
            base.id = j.at("id").get<int64_t>();
            base.fps = j.value("fps", 25);
            base.port = j.value("port", 1);
            Clip c = ClipFromJson(j, base, [&base](int) { return base.fps; });
            c.id = base.id;
            m_Clips.push_back(c);
            m_nNextId = std::max(m_nNextId, c.id + 1);
        }
        m_nNextId = std::max(m_nNextId, doc.value("nextId", int64_t{1}));
    } catch (const std::exception& e) {
        *error = "the clip log " + path + " is damaged (" + e.what() +
                 "); move it aside to start a new log";
        m_Clips.clear();
        return false;
    }
    return true;
}

std::vector<Clip> ClipLog::List() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Clips;
}

void ClipLog::Save(const std::vector<Clip>& clips, int64_t nextId) const {
    Json list = Json::array();
    for (const Clip& c : clips) {
        Json j = ClipJson(c);
        j["fps"] = c.fps;
        list.push_back(std::move(j));
    }
    const std::string text =
        DumpJson(Json{{"version", kFileVersion}, {"nextId", nextId}, {"clips", list}}) + "\n";

    // Written beside the log and renamed over it: a crash leaves the old file or the new one.
    const fs::path target(m_Path);
    const std::string temp = m_Path + ".tmp-" + std::to_string(getpid());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("cannot write " + temp + ": " + std::strerror(errno));
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
    close(fd);
    if (rename(temp.c_str(), m_Path.c_str()) != 0) {
        const int e = errno;
        unlink(temp.c_str());
        throw std::runtime_error("cannot replace " + m_Path + ": " + std::strerror(e));
    }
    // The rename itself is only durable once the folder is.
    const std::string dir = target.has_parent_path() ? target.parent_path().string() : ".";
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
}

Clip ClipLog::Add(const Json& fields, const std::function<int(int)>& fpsOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Clip base;
    base.port = 0;
    if (!fields.is_object() || !fields.contains("port")) {
        // The first deck's port when the client names none.
        for (int p = 1; p <= 255; ++p) {
            if (fpsOf(p) > 0) {
                base.port = p;
                break;
            }
        }
    }
    Clip c = ClipFromJson(fields, base, fpsOf);
    c.id = m_nNextId;
    std::vector<Clip> next = m_Clips;
    next.push_back(c);
    Save(next, m_nNextId + 1);
    m_Clips.swap(next);
    ++m_nNextId;
    return c;
}

Clip ClipLog::Edit(int64_t id, const Json& fields, const std::function<int(int)>& fpsOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it =
        std::find_if(m_Clips.begin(), m_Clips.end(), [id](const Clip& c) { return c.id == id; });
    if (it == m_Clips.end()) {
        throw std::out_of_range("no clip " + std::to_string(id));
    }
    Clip c = ClipFromJson(fields, *it, fpsOf);
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

std::vector<Clip> ClipLog::Import(const std::vector<Json>& rows,
                                  const std::function<int(int)>& fpsOf) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<Clip> next = m_Clips;
    int64_t nextId = m_nNextId;
    int firstPort = 0;
    for (int p = 1; p <= 255 && firstPort == 0; ++p) {
        firstPort = fpsOf(p) > 0 ? p : 0;
    }
    std::size_t line = 1;
    for (const Json& row : rows) {
        ++line;
        try {
            const int64_t id = row.value("id", int64_t{0});
            const auto it = std::find_if(next.begin(), next.end(),
                                         [id](const Clip& c) { return id != 0 && c.id == id; });
            if (it != next.end()) {
                Clip c = ClipFromJson(row, *it, fpsOf);
                c.id = id;
                *it = c;
                continue;
            }
            Clip base;
            base.port = firstPort;
            // A reel named after a served deck goes back to that deck.
            const std::string reel = row.value("reel", "");
            if (reel.rfind("DECK", 0) == 0 && reel.size() > 4 && reel.size() <= 7 &&
                reel.find_first_not_of("0123456789", 4) == std::string::npos &&
                fpsOf(std::stoi(reel.substr(4))) > 0) {
                base.port = std::stoi(reel.substr(4));
            }
            base.fps = fpsOf(base.port) > 0 ? fpsOf(base.port) : 25;
            Json fields = row;
            fields.erase("id");
            Clip c = ClipFromJson(fields, base, fpsOf);
            c.id = id > 0 && id >= nextId ? id : nextId;
            nextId = c.id + 1;
            next.push_back(c);
        } catch (const ClipError& e) {
            throw ClipError("CSV row " + std::to_string(line) + ": " + e.what());
        }
    }
    Save(next, nextId);
    m_Clips.swap(next);
    m_nNextId = nextId;
    return m_Clips;
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
