#include "tools/capture/calibration.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/capture/files.h"
#include "tools/hostkit/host_commands.h"
#include "tools/hostkit/json.h"

namespace capture {

namespace {

using hostkit::Json;
constexpr int kVersion = 1;

}  // namespace

std::string CalibrationStore::DefaultPath() {
    return hostkit::DataFolder() + "/capture.json";
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

bool CalibrationStore::Load(const std::string& path, std::string* error) {
    m_Path = path;
    m_Entries.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const Json doc = hostkit::ParseJson(text.str());
    try {
        if (!doc.is_object() || !doc.contains("offsets") || !doc["offsets"].is_array()) {
            throw std::runtime_error("no list of offsets");
        }
        for (const Json& j : doc["offsets"]) {
            CalibrationEntry e;
            e.deck = j.at("deck").get<std::string>();
            e.input = j.at("input").get<std::string>();
            e.rate = j.value("rate", "");
            e.offsetMs = j.at("offsetMs").get<double>();
            e.spreadMs = j.value("spreadMs", 0.0);
            e.frames = j.value("frames", 0);
            e.measured = j.value("measured", "");
            m_Entries.push_back(e);
        }
    } catch (const std::exception& e) {
        *error = "the calibration file " + path + " is damaged (" + e.what() +
                 "); move it aside and calibrate again";
        return false;
    }
    return true;
}

std::optional<CalibrationEntry> CalibrationStore::Find(const std::string& deck,
                                                       const std::string& input,
                                                       const std::string& rate) const {
    // The offset holds half a frame, so one measured at another rate is not this one's.
    for (const CalibrationEntry& e : m_Entries) {
        if (e.deck == deck && e.input == input && e.rate == rate) {
            return e;
        }
    }
    return std::nullopt;
}

bool CalibrationStore::Put(const CalibrationEntry& entry, std::string* error) {
    const std::filesystem::path target(m_Path);
    const std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // Two writers at once (a calibration on the command line, a server's) must not lose each
    // other's entries: each reads the file again under the lock, then replaces it whole.
    const std::string lockPath = m_Path + ".lock";
    const int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        *error = "cannot lock " + lockPath + ": " + std::strerror(errno);
        if (lock >= 0) {
            close(lock);
        }
        return false;
    }
    struct Unlock {
        int fd;
        ~Unlock() { close(fd); }
    } unlock{lock};
    CalibrationStore now;
    if (!now.Load(m_Path, error)) {
        return false;
    }
    m_Entries = std::move(now.m_Entries);
    bool replaced = false;
    for (CalibrationEntry& e : m_Entries) {
        if (e.deck == entry.deck && e.input == entry.input && e.rate == entry.rate) {
            e = entry;
            replaced = true;
        }
    }
    if (!replaced) {
        m_Entries.push_back(entry);
    }
    Json list = Json::array();
    for (const CalibrationEntry& e : m_Entries) {
        list.push_back(Json{{"deck", e.deck},
                            {"input", e.input},
                            {"rate", e.rate},
                            {"offsetMs", e.offsetMs},
                            {"spreadMs", e.spreadMs},
                            {"frames", e.frames},
                            {"measured", e.measured}});
    }
    const std::string text =
        hostkit::DumpJson(Json{{"version", kVersion}, {"offsets", list}}) + "\n";
    // A new file beside the old, flushed, then renamed over it: the old or the new, whole.
    TempFile temp;
    if (!temp.Create(folder, target.filename().string(), error)) {
        return false;
    }
    const bool written =
        write(temp.Fd(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        fsync(temp.Fd()) == 0;
    if (!written) {
        *error = "cannot write " + m_Path + ": " + std::strerror(errno);
        return false;
    }
    if (!temp.RenameOver(m_Path, error)) {
        return false;
    }
    SyncFolder(folder);
    return true;
}

}  // namespace capture
