#include "tools/panel/capture_batches.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/capture/engine.h"
#include "tools/capture/job.h"
#include "tools/capture/preview.h"
#include "tools/panel/capture_deck.h"

namespace panel {

using cliplog::Clip;
using decks::ActionAnswer;
using decks::DeckState;
using decks::DeckWorker;
using decks::Refusal;
using hostkit::DumpJson;
using hostkit::Json;

namespace {

using Clock = std::chrono::steady_clock;

// A batch's progress goes out at most this often while frames come; phases and ends at once.
constexpr std::chrono::milliseconds kProgressInterval{200};
// An input that gives no frame within this is refused, as `deckctl capture` does.
constexpr std::chrono::milliseconds kInputLimit{5000};
constexpr std::size_t kMaxBatchClips = 1000;
constexpr std::size_t kMaxFolderDepth = 16;
constexpr std::size_t kMaxFolderText = 1024;
constexpr std::size_t kMaxFoldersListed = 200;

// A refusal in words with the status its kind calls for; `ok` when there is none.
struct Verdict {
    int status = 0;
    std::string words;
    bool ok() const { return status == 0; }
};

Verdict Bad(int status, std::string words) {
    return Verdict{status, std::move(words)};
}

// A number in the body, within [lo, hi], whole when asked; `fallback` when absent.
Verdict NumberField(const Json& body, const char* key, double lo, double hi, bool whole,
                    double fallback, double* out) {
    *out = fallback;
    if (!body.contains(key)) {
        return {};
    }
    const Json& v = body[key];
    const bool number = whole ? v.is_number_integer() : v.is_number();
    if (!number || v.get<double>() < lo || v.get<double>() > hi) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", lo, hi);
        return Bad(400, std::string(key) + " must be " + (whole ? "a whole number" : "a number") +
                            " from " + range);
    }
    *out = v.get<double>();
    return {};
}

// "ltcChannel": the input's sound channel that carries the tape's LTC, from 1.
Verdict LtcField(const Json& body, int* channel) {
    double v = 0;
    Verdict verdict = NumberField(body, "ltcChannel", 1, 64, true, 0, &v);
    *channel = static_cast<int>(v);
    return verdict;
}

// The names of a folder a client gives: a relative path of plain names below the root.
Verdict FolderNames(std::string sub, std::vector<std::string>* names) {
    if (sub.size() > kMaxFolderText) {
        return Bad(400, "folder is too long");
    }
    while (!sub.empty() && sub.back() == '/') {
        sub.pop_back();
    }
    if (!sub.empty() && sub.front() == '/') {
        return Bad(400, "folder names a folder below the capture folder, not a path from /");
    }
    std::vector<std::string>& parts = *names;
    std::size_t from = 0;
    while (from < sub.size()) {
        const std::size_t slash = std::min(sub.find('/', from), sub.size());
        parts.push_back(sub.substr(from, slash - from));
        from = slash + 1;
    }
    for (const std::string& part : parts) {
        const bool control = std::any_of(part.begin(), part.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
        if (part.empty() || part == "." || part == ".." || control) {
            return Bad(400, "folder '" + sub +
                                "' must be names below the capture folder, without '.', "
                                "'..', empty names or control characters");
        }
    }
    if (parts.size() > kMaxFolderDepth) {
        return Bad(400, "folder has more than 16 levels");
    }
    return {};
}

// The folder of `names` below `root`, each made where missing and entered without following a
// link, so that no file of a capture lands outside the root.
Verdict BelowRoot(const std::string& root, const std::vector<std::string>& names,
                  std::string* path) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return Bad(500, "cannot open the capture folder " + root + ": " + std::strerror(errno));
    }
    std::string at = root;
    for (const std::string& part : names) {
        if (mkdirat(fd, part.c_str(), 0755) != 0 && errno != EEXIST) {
            const std::string why = std::strerror(errno);
            close(fd);
            return Bad(500, "cannot make " + at.append("/").append(part) + ": " + why);
        }
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(fd);
        if (next < 0) {
            return Bad(403, "the folder goes through " + at.substr(root.size()) + "/" + part +
                                ", which is a link or not a folder: files go only into folders "
                                "below the capture folder");
        }
        fd = next;
        at += "/" + part;
    }
    close(fd);
    *path = at;
    return {};
}

// The folders right below the capture folder, for a client to choose from; links left out.
Json FoldersBelow(const std::string& root) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(root.c_str())) {
        while (const dirent* e = readdir(dir)) {
            struct stat st {};
            if (e->d_name[0] != '.' &&
                fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(st.st_mode) && names.size() < kMaxFoldersListed) {
                names.emplace_back(e->d_name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return Json(names);
}

}  // namespace

struct CaptureBatches::Request {
    bool calibrate = false;
    int port = 0;
    DeckWorker* deck = nullptr;
    const hostkit::RateInfo* rate = nullptr;
    std::string input;
    std::string folder;  // as the client named it
    std::vector<std::string> folderNames;
    std::string path;  // where that is
    std::vector<capture::ClipRequest> clips;
    double preroll = 5.0;
    int handles = 0;
    int retries = 2;
    double offset = 0.0;      // seconds
    bool offsetKnown = true;  // false: LTC labels the frames, and no calibration was stored
    std::string calibrated;   // when the offset was measured
    int ltcChannel = 0;       // the input's sound channel with the tape's LTC (from 1); 0: none
    int64_t at = 0;           // a calibration's stretch of tape
    double seconds = 4.0;
};

struct CaptureBatches::Batch {
    struct ClipState {
        std::string phase = "waiting";  // then the engine's phases, then the report's status
        int attempt = 0;
        int64_t frames = 0;
        int64_t wanted = 0;
        Json report;  // null until the clip is done
        Json graph;   // its quality graph, asked for apart: the batch's news stays small
    };

    uint64_t id = 0;
    Request request;
    std::atomic<bool> cancel{false};
    std::thread thread;
    // Under the service's mutex:
    std::string state = "running";  // then done, cancelled or failed
    std::string error;
    std::vector<ClipState> clips;
    std::size_t current = 0;
    uint64_t seq = 0;  // counts its changes, so that a client keeps the latest
    Json calibration;
    Clock::time_point published;
};

CaptureBatches::CaptureBatches(const Decks& decks, Publish publish)
    : m_Decks(decks), m_Publish(std::move(publish)) {}

CaptureBatches::~CaptureBatches() {
    Stop();
}

bool CaptureBatches::Configure(CaptureSettings settings, std::string* error) {
    m_Settings = std::move(settings);
    if (!m_Settings.folder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(m_Settings.folder, ec);  // made when missing
        char real[PATH_MAX];
        struct stat st {};
        if (realpath(m_Settings.folder.c_str(), real) == nullptr || stat(real, &st) != 0 ||
            !S_ISDIR(st.st_mode)) {
            *error = "--capture-folder " + m_Settings.folder + " is not a folder";
            return false;
        }
        m_Settings.folder = real;
    }
    // What goes wrong is said in the batches' reports, in words; not on the server's stderr.
    av_log_set_level(AV_LOG_FATAL);
    return true;
}

namespace {

// The deck, the input and the options both kinds of batch take; the deck's port is the body's
// or `fallback`.
Verdict Common(const Json& body, const CaptureSettings& settings,
               const CaptureBatches::Decks& decks, int fallback, int* port, std::string* input,
               double* preroll) {
    if (settings.inputs.empty()) {
        return Bad(409,
                   "this server captures from no input: start deckctl serve with "
                   "--capture-input URL (and --capture-folder DIR for the files)");
    }
    double number = 0;
    if (Verdict v = NumberField(body, "port", 1, 255, true, fallback, &number); !v.ok()) {
        return v;
    }
    *port = static_cast<int>(number);
    if (*port == 0) {
        return Bad(400, "port must name the deck that plays the tape");
    }
    if (decks.count(*port) == 0) {
        return Bad(404, "no deck on port " + std::to_string(*port));
    }
    if (body.contains("input") && !body["input"].is_string()) {
        return Bad(400, "input must be text, one of the inputs GET /api/capture lists");
    }
    *input = body.value("input", settings.inputs.size() == 1 ? settings.inputs[0] : "");
    if (std::find(settings.inputs.begin(), settings.inputs.end(), *input) ==
        settings.inputs.end()) {
        std::string allowed;
        for (const std::string& i : settings.inputs) {
            allowed += (allowed.empty() ? "" : ", ") + i;
        }
        return Bad(input->empty() ? 400 : 403,
                   input->empty() ? "name the input, one of " + allowed
                                  : "the input '" + *input +
                                        "' is not one this server captures from; it "
                                        "allows " +
                                        allowed + " (--capture-input)");
    }
    return NumberField(body, "preroll", 0, 120, false, 5.0, preroll);
}

}  // namespace

// The clips a client names: distinct ids of this server's own log; false with the answer.
bool CaptureBatches::Chosen(const Json& ids, const std::vector<Clip>& log,
                            std::vector<const Clip*>* chosen, ActionAnswer* refused) const {
    if (!ids.is_array() || ids.empty() || ids.size() > kMaxBatchClips) {
        *refused = Refusal(400, "clips must be a list of 1 to 1000 clip ids of the log");
        return false;
    }
    std::set<int64_t> seen;
    for (const Json& id : ids) {
        if (!id.is_number_integer() || !seen.insert(id.get<int64_t>()).second) {
            *refused = Refusal(400, "clips must be a list of distinct clip ids; " + DumpJson(id) +
                                        " is not one, or is named twice");
            return false;
        }
        const auto it = std::find_if(log.begin(), log.end(),
                                     [&id](const Clip& c) { return c.id == id.get<int64_t>(); });
        if (it == log.end()) {
            *refused = Refusal(400, "no clip " + DumpJson(id) + " in the log");
            return false;
        }
        if (!it->machine.empty()) {
            *refused = Refusal(400, "clip " + DumpJson(id) + " was logged on " + it->machine +
                                        "'s deck: capture it on that machine");
            return false;
        }
        chosen->push_back(&*it);
    }
    return true;
}

// A capture's own options: handles, retries and the folder, below the server's.
bool CaptureBatches::Options(const Json& body, Request* r, ActionAnswer* refused) const {
    double handles = 0;
    double retries = 0;
    Verdict v = NumberField(body, "handles", 0, 100000, true, 0, &handles);
    if (v.ok()) {
        v = NumberField(body, "retries", 0, 20, true, 2, &retries);
    }
    if (v.ok() && body.contains("folder") && !body["folder"].is_string()) {
        v = Bad(400, "folder must be text: a folder below the capture folder");
    }
    if (v.ok()) {
        v = FolderNames(body.value("folder", ""), &r->folderNames);
    }
    if (v.ok() && m_Settings.folder.empty()) {
        v = Bad(409,
                "this server has no folder for captures: start deckctl serve with "
                "--capture-folder DIR");
    }
    r->handles = static_cast<int>(handles);
    r->retries = static_cast<int>(retries);
    r->folder = body.value("folder", "");
    if (!v.ok()) {
        *refused = Refusal(v.status, v.words);
    }
    return v.ok();
}

// The clips as the engine takes them, each at the deck's rate and with frames to capture.
bool CaptureBatches::ClipRequests(const std::vector<const Clip*>& chosen, Request* r,
                                  ActionAnswer* refused) {
    for (const Clip* c : chosen) {
        if (c->rate != r->rate) {
            *refused =
                Refusal(409, "clip " + std::to_string(c->id) + " was logged at " + c->rate->name +
                                 " and the deck on port " + std::to_string(r->port) + " runs at " +
                                 r->rate->name + ": its times name other frames");
            return false;
        }
        if (c->out <= c->in) {
            *refused = Refusal(400, "clip " + std::to_string(c->id) +
                                        " is a note at one time (its out is its in): nothing "
                                        "to capture");
            return false;
        }
        r->clips.push_back(capture::RequestOf(*c));
    }
    return true;
}

ActionAnswer CaptureBatches::Start(const std::string& text, const std::vector<Clip>& log) {
    const Json body = hostkit::ParseJson(text.empty() ? "{}" : text);
    if (!body.is_object()) {
        return Refusal(400, "the body must be a JSON object");
    }
    Request r;
    std::vector<const Clip*> chosen;
    ActionAnswer refused;
    if (!Chosen(body.value("clips", Json()), log, &chosen, &refused)) {
        return refused;
    }
    // The deck that plays them: the one named, else the one they were logged on.
    const bool onePort = std::all_of(chosen.begin(), chosen.end(),
                                     [&](const Clip* c) { return c->port == chosen[0]->port; });
    Verdict v = Common(body, m_Settings, m_Decks, onePort ? chosen[0]->port : 0, &r.port, &r.input,
                       &r.preroll);
    if (v.ok()) {
        v = LtcField(body, &r.ltcChannel);
    }
    if (!v.ok()) {
        return Refusal(v.status, v.words);
    }
    if (!Options(body, &r, &refused)) {
        return refused;
    }
    r.deck = m_Decks.at(r.port).get();
    r.rate = r.deck->Rate();
    if (!ClipRequests(chosen, &r, &refused)) {
        return refused;
    }
    return Begin(std::move(r));
}

ActionAnswer CaptureBatches::Calibrate(const std::string& text) {
    const Json body = hostkit::ParseJson(text.empty() ? "{}" : text);
    if (!body.is_object()) {
        return Refusal(400, "the body must be a JSON object");
    }
    Request r;
    r.calibrate = true;
    Verdict v = Common(body, m_Settings, m_Decks, m_Decks.size() == 1 ? m_Decks.begin()->first : 0,
                       &r.port, &r.input, &r.preroll);
    if (v.ok()) {
        v = NumberField(body, "seconds", 1, 600, false, 4.0, &r.seconds);
    }
    if (v.ok()) {
        v = LtcField(body, &r.ltcChannel);
    }
    if (!v.ok()) {
        return Refusal(v.status, v.words);
    }
    r.deck = m_Decks.at(r.port).get();
    r.rate = r.deck->Rate();
    const Json at = body.value("at", Json("00:00:30:00"));
    const hostkit::ParsedTimecode p = at.is_string()
                                          ? hostkit::ParseTimecode(at.get<std::string>(), *r.rate)
                                          : hostkit::ParsedTimecode{};
    if (!p.ok || p.frames < 0) {
        return Refusal(400, "at must be a time on the tape at the deck's rate, e.g. 00:00:30:00" +
                                (p.error.empty() ? "" : ": " + p.error));
    }
    r.at = p.frames;
    return Begin(std::move(r));
}

// A capture's offset for the deck, the input and the rate, as calibration stored it.
bool CaptureBatches::Offset(Request* r, ActionAnswer* refused) {
    const std::string deckName = WorkerDeck(*r->deck, *r->rate).Name();
    std::string why;
    const std::optional<capture::CalibrationEntry> entry =
        capture::StoredOffset(m_Settings.calibration, deckName, r->input, *r->rate, &why);
    if (!why.empty()) {
        *refused = Refusal(500, why);
        return false;
    }
    if (!entry && r->ltcChannel > 0) {
        r->offsetKnown = false;  // the LTC labels the frames; the serial time's offset is measured
        return true;
    }
    if (!entry) {
        *refused = Refusal(409, "no capture offset for " + deckName + ", the input " + r->input +
                                    " and " + r->rate->name +
                                    ": calibrate first, with POST /api/capture/calibrate "
                                    "{\"port\": " +
                                    std::to_string(r->port) + ", \"input\": \"" + r->input +
                                    "\"} (the page's Calibrate) on a tape whose frames "
                                    "show their position");
        return false;
    }
    r->offset = entry->offsetMs / 1000.0;
    r->calibrated = entry->measured;
    return true;
}

// Under the mutex: the deck and the input free, the folder made; the deck held for the batch.
bool CaptureBatches::Claim(Request* r, const std::shared_ptr<Batch>& b, ActionAnswer* refused) {
    const auto refuse = [refused](int status, const std::string& words) {
        *refused = Refusal(status, words);
        return false;
    };
    if (m_bStopped) {
        return refuse(503, "the server is stopping");
    }
    if (const std::string holder = r->deck->Holder(); !holder.empty()) {
        return refuse(409, "port " + std::to_string(r->port) + " is busy with " + holder +
                               " already: one at a time per deck; cancel it first");
    }
    for (const auto& [port, other] : m_Last) {
        if (other->state == "running" && other->request.input == r->input) {
            return refuse(409, "the input " + r->input + " is in use by the capture on port " +
                                   std::to_string(port));
        }
    }
    if (!r->calibrate) {
        const Verdict v = BelowRoot(m_Settings.folder, r->folderNames, &r->path);
        if (!v.ok()) {
            return refuse(v.status, v.words);
        }
    }
    b->id = ++m_nLastId;
    const std::string holder =
        std::string(r->calibrate ? "calibration " : "capture ") + std::to_string(b->id);
    const std::weak_ptr<Batch> weak = b;
    const auto cancel = [weak] {
        if (const std::shared_ptr<Batch> held = weak.lock()) {
            held->cancel = true;
        }
    };
    if (!r->deck->Hold(holder, cancel)) {
        return refuse(409, "port " + std::to_string(r->port) + " is busy with " +
                               r->deck->Holder() + " already: one at a time per deck");
    }
    // The rate may have changed since it was checked; it cannot while the deck is held.
    if (r->deck->Rate() != r->rate) {
        r->deck->Release();
        return refuse(409, "the deck on port " + std::to_string(r->port) +
                               " changed its rate meanwhile; ask again");
    }
    return true;
}

// What both kinds share: the deck must answer at an exact rate and be free, the input free;
// a capture needs the deck's offset for that input and its folder. Then the batch's thread.
ActionAnswer CaptureBatches::Begin(Request r) {
    std::string why;
    if (!capture::ExactRate(*r.rate, &why)) {
        return Refusal(409, why);
    }
    const DeckState now = r.deck->Snapshot();
    if (!now.connected || !now.answering) {
        return Refusal(409, "the deck on port " + std::to_string(r.port) + " is not answering");
    }
    ActionAnswer refused;
    if (!r.calibrate && !Offset(&r, &refused)) {
        return refused;
    }
    std::shared_ptr<Batch> old;
    std::shared_ptr<Batch> b = std::make_shared<Batch>();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!Claim(&r, b, &refused)) {
            return refused;
        }
        b->clips.resize(r.clips.size());
        b->request = std::move(r);
        const int port = b->request.port;
        const auto it = m_Last.find(port);
        if (it != m_Last.end()) {
            old = it->second;
        }
        m_Last[port] = b;
        b->thread = std::thread([this, b] { Run(b); });
    }
    // The deck's previous batch released it before its thread ended: that is moments away.
    if (old && old->thread.joinable()) {
        old->thread.join();
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    return ActionAnswer{202, BatchJson(*b)};
}

void CaptureBatches::Run(const std::shared_ptr<Batch>& b) {
    std::string error;
    try {
        error = Work(b);
    } catch (const std::exception& e) {
        error = std::string("the capture failed: ") + e.what();
    }
    const bool cancelled = b->cancel.load();
    Finish(*b, cancelled ? "cancelled" : error.empty() ? "done" : "failed", cancelled ? "" : error);
    // Last: the deck is free for another batch, whose start joins this thread.
    b->request.deck->Release();
}

// A calibration's run, stored when every frame agreed; what went wrong in words, or "".
std::string CaptureBatches::Calibration(Batch& b, capture::CaptureJob& job,
                                        const WorkerDeck& deck) {
    const Request& r = b.request;
    const capture::CalibrationOutcome outcome = job.Calibrate(r.at, r.seconds);
    std::lock_guard<std::mutex> lock(m_Mutex);
    b.calibration = outcome.Json(deck.Name(), r.input, *r.rate);
    return outcome.verdict;
}

// Clips that never reached the deck still get their report.
void CaptureBatches::NotAttempted(Batch& b, const capture::CaptureJob& job,
                                  const std::string& why) {
    const Request& r = b.request;
    const std::vector<capture::ClipReport> reports = job.NotAttempted(r.clips, why);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const Json j = capture::ReportJson(reports[i]);
        Progress(b, i, "failed", 0, 0, r.clips[i].out - r.clips[i].in + 2 * int64_t{r.handles}, &j);
    }
}

std::string CaptureBatches::Work(const std::shared_ptr<Batch>& b) {
    Request& r = b->request;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Publish("capture", BatchJson(*b));
    }
    WorkerDeck deck(*r.deck, *r.rate);
    capture::JobOptions jo;
    jo.input = r.input;
    jo.inputLimit = kInputLimit;
    jo.folder = r.path;
    jo.preroll = r.preroll;
    jo.handles = r.handles;
    jo.retries = r.retries;
    jo.offset = r.offset;
    jo.calibrated = r.calibrated;
    jo.ltcChannel = r.ltcChannel;
    jo.calibrationFile = m_Settings.calibration;
    jo.cancel = &b->cancel;
    jo.progress = [this, &b](const capture::Progress& p) {
        const Json report = p.report ? capture::ReportJson(*p.report) : Json();
        Progress(*b, p.clip, p.report ? capture::StatusName(p.report->status) : p.phase.c_str(),
                 p.attempt, p.frames, p.wanted, p.report ? &report : nullptr);
    };
    jo.tap = TakePreview(r.port, r.input);
    // Whatever ends the batch, its input stops feeding the preview.
    struct Left {
        CaptureBatches* batches;
        int port;
        ~Left() { batches->LeavePreview(port); }
    } left{this, r.port};
    capture::CaptureJob job(deck, jo);
    std::string openError;
    if (!job.OpenInput(&openError)) {
        if (!r.calibrate) {
            NotAttempted(*b, job, openError);
        }
        return openError;
    }
    if (r.calibrate) {
        return Calibration(*b, job, deck);
    }
    if (!r.offsetKnown) {
        job.SetOffset(std::nullopt, "");
    }
    job.Capture(r.clips);
    return "";
}

void CaptureBatches::Progress(Batch& b, std::size_t clip, const char* phase, int attempt,
                              int64_t frames, int64_t wanted, const Json* report) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (clip >= b.clips.size()) {
        return;
    }
    Batch::ClipState& c = b.clips[clip];
    ++b.seq;
    const bool turn = c.phase != phase || report != nullptr;
    c.phase = phase;
    c.attempt = attempt;
    c.frames = frames;
    c.wanted = wanted;
    if (report != nullptr) {
        c.report = *report;
        if (c.report.contains("quality") && c.report["quality"].is_object()) {
            c.graph = c.report["quality"].value("graph", Json());
            c.report["quality"].erase("graph");
        }
    }
    b.current = clip;
    const auto now = Clock::now();
    if (turn || now - b.published >= kProgressInterval) {
        b.published = now;
        m_Publish("capture", BatchJson(b));
    }
}

void CaptureBatches::Finish(Batch& b, std::string state, std::string error) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    b.state = std::move(state);
    b.error = std::move(error);
    ++b.seq;
    m_Publish("capture", BatchJson(b));
}

Json CaptureBatches::BatchJson(const Batch& b) const {
    const Request& r = b.request;
    const hostkit::TimeBase& base = r.rate->base;
    Json clips = Json::array();
    int64_t frames = 0;
    int64_t wanted = 0;
    int captured = 0;
    for (std::size_t i = 0; i < r.clips.size(); ++i) {
        const capture::ClipRequest& q = r.clips[i];
        const Batch::ClipState& c = b.clips[i];
        const int64_t want = q.out - q.in + 2 * int64_t{r.handles};
        // A clip that is done counts whole in the batch's bar, whatever became of it.
        wanted += want;
        frames += c.report.is_null() ? std::min(c.frames, want) : want;
        captured += c.phase == "captured" ? 1 : 0;
        clips.push_back(Json{{"id", q.id},
                             {"name", q.name},
                             {"reel", q.reel},
                             {"in", hostkit::FormatTimecode(q.in, base)},
                             {"out", hostkit::FormatTimecode(q.out, base)},
                             {"phase", c.phase},
                             {"attempt", c.attempt},
                             {"frames", c.frames},
                             {"wanted", want},
                             {"report", c.report}});
    }
    Json j{{"id", b.id},
           {"seq", b.seq},
           {"kind", r.calibrate ? "calibrate" : "capture"},
           {"port", r.port},
           {"input", r.input},
           {"rate", r.rate->name},
           {"state", b.state},
           {"error", b.error},
           {"clip", b.state == "running" && !r.clips.empty() ? Json(b.current) : Json(nullptr)},
           {"captured", captured},
           {"frames", frames},
           {"wanted", wanted},
           {"clips", clips}};
    if (r.calibrate) {
        j["calibration"] = b.calibration;
    } else {
        j["folder"] = r.folder;
        j["path"] = r.path;
        j["offsetMs"] = r.offsetKnown ? Json(std::round(r.offset * 1e5) / 100.0) : Json(nullptr);
        j["ltcChannel"] = r.ltcChannel > 0 ? Json(r.ltcChannel) : Json(nullptr);
        j["preroll"] = r.preroll;
        j["handles"] = r.handles;
        j["retries"] = r.retries;
    }
    return j;
}

ActionAnswer CaptureBatches::Cancel(const std::string& text) {
    const Json body = hostkit::ParseJson(text.empty() ? "{}" : text);
    double port = 0;
    const Verdict v = body.is_object() ? NumberField(body, "port", 1, 255, true, 0, &port)
                                       : Bad(400, "the body must be a JSON object");
    if (!v.ok()) {
        return Refusal(v.status, v.words);
    }
    Json cancelled = Json::array();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const auto& [p, b] : m_Last) {
            if ((port == 0 || p == port) && b->state == "running") {
                b->cancel = true;
                cancelled.push_back(p);
            }
        }
    }
    if (cancelled.empty()) {
        return Refusal(409, port == 0 ? std::string("no capture is running")
                                      : "no capture is running on port " +
                                            std::to_string(static_cast<int>(port)));
    }
    return ActionAnswer{200, Json{{"ok", true}, {"cancelled", cancelled}}};
}

Json CaptureBatches::List(int port) const {
    Json batches = Json::array();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const auto& [p, b] : m_Last) {
            if (port == 0 || p == port) {
                batches.push_back(BatchJson(*b));
            }
        }
    }
    return Json{
        {"batches", batches},
        {"inputs", m_Settings.inputs},
        {"folders", m_Settings.folder.empty() ? Json::array() : FoldersBelow(m_Settings.folder)}};
}

std::vector<Json> CaptureBatches::Batches() const {
    std::vector<Json> all;
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& [p, b] : m_Last) {
        all.push_back(BatchJson(*b));
    }
    return all;
}

std::shared_ptr<capture::Preview> CaptureBatches::PreviewFor(int port) {
    Watch& w = m_Watches[port];
    if (w.preview == nullptr) {
        w.preview =
            std::make_shared<capture::Preview>([this, port](const capture::PreviewFrame& f) {
                Json meters = Json::array();
                for (const capture::Meter& m : f.meters) {
                    const auto db = [](double v) {
                        return std::isfinite(v) ? Json(std::round(v * 10.0) / 10.0) : Json(nullptr);
                    };
                    meters.push_back({{"peakDbfs", db(m.peakDbfs)}, {"rmsDbfs", db(m.rmsDbfs)}});
                }
                m_Publish("preview", Json{{"port", port},
                                          {"seq", f.seq},
                                          {"width", f.width},
                                          {"height", f.height},
                                          {"madeMs", std::round(f.seconds * 10000.0) / 10.0},
                                          {"meters", meters}});
            });
    }
    return w.preview;
}

std::shared_ptr<capture::Preview> CaptureBatches::TakePreview(int port, const std::string& input) {
    std::vector<std::unique_ptr<capture::InputReader>> alone;
    std::shared_ptr<capture::Preview> preview;
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        // An input being opened for a preview is waited for, then closed with the rest.
        m_PreviewOpened.wait_for(lock, kInputLimit + std::chrono::seconds(2), [this] {
            return std::none_of(m_Watches.begin(), m_Watches.end(),
                                [](const auto& w) { return w.second.opening; });
        });
        preview = PreviewFor(port);
        for (auto& [p, w] : m_Watches) {
            if (w.alone != nullptr && (p == port || w.input == input)) {
                alone.push_back(std::move(w.alone));
            }
        }
        Watch& w = m_Watches[port];
        w.input = input;
        w.capturing = true;
    }
    alone.clear();  // closed before the batch opens its input, outside the lock
    return preview;
}

void CaptureBatches::LeavePreview(int port) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Watches[port].capturing = false;
}

ActionAnswer CaptureBatches::OpenPreview(const std::string& text) {
    const Json body = hostkit::ParseJson(text.empty() ? "{}" : text);
    if (!body.is_object()) {
        return Refusal(400, "the body must be a JSON object");
    }
    int port = 0;
    std::string input;
    double preroll = 0;
    const int fallback = m_Decks.size() == 1 ? m_Decks.begin()->first : 0;
    if (Verdict v = Common(body, m_Settings, m_Decks, fallback, &port, &input, &preroll); !v.ok()) {
        return Refusal(v.status, v.words);
    }
    const auto answer = [&port](const std::string& input, const char* source) {
        return ActionAnswer{200, Json{{"port", port}, {"input", input}, {"source", source}}};
    };
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopped) {
            return Refusal(503, "the server is stopping");
        }
        const Watch& w = m_Watches[port];
        if (w.capturing) {
            return answer(w.input, "capture");
        }
        if (w.alone != nullptr && w.input == input) {
            return answer(input, "preview");
        }
        for (const auto& [p, other] : m_Watches) {
            if (other.opening) {
                return Refusal(409, "a preview of deck " + std::to_string(p) +
                                        " is being opened: one at a time");
            }
            if (p != port && other.capturing && other.input == input) {
                return Refusal(409, "the input " + input + " is in use by deck " +
                                        std::to_string(p) + "'s capture");
            }
        }
        m_Watches[port].opening = true;
    }
    // Opening waits for the input's first frame: outside the lock. A capture that starts
    // meanwhile waits for it, and then closes it.
    auto reader = std::make_unique<capture::InputReader>();
    std::string error;
    const bool opened = reader->Open(input, "", kInputLimit, &error);
    std::unique_ptr<capture::InputReader> old;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Watch& w = m_Watches[port];
        w.opening = false;
        m_PreviewOpened.notify_all();
        if (!opened) {
            return Refusal(502, "the input " + input + " cannot be previewed: " + error);
        }
        if (m_bStopped) {
            return Refusal(503, "the server is stopping");
        }
        if (w.capturing) {
            return answer(w.input, "capture");  // a capture started meanwhile: its input it is
        }
        reader->SetTap(PreviewFor(port));
        old = std::move(w.alone);
        w.alone = std::move(reader);
        w.input = input;
    }
    return answer(input, "preview");
}

ActionAnswer CaptureBatches::ClosePreview(int port) {
    std::unique_ptr<capture::InputReader> alone;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto w = m_Watches.find(port);
        if (w == m_Watches.end() || w->second.alone == nullptr) {
            return Refusal(409, "no input is open for the preview of deck " + std::to_string(port) +
                                    (w != m_Watches.end() && w->second.capturing
                                         ? ": its capture's input is previewed while it runs"
                                         : ""));
        }
        alone = std::move(w->second.alone);
    }
    return ActionAnswer{200, Json{{"port", port}, {"closed", true}}};
}

bool CaptureBatches::LatestPreview(int port, capture::PreviewFrame* frame, std::string* why) const {
    std::shared_ptr<capture::Preview> preview;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto w = m_Watches.find(port);
        if (w == m_Watches.end() || (!w->second.capturing && w->second.alone == nullptr)) {
            *why = "no input is open for deck " + std::to_string(port) +
                   ": start a capture, or ask for a preview with POST /api/capture/preview";
            return false;
        }
        preview = w->second.preview;
    }
    *frame = preview->Latest();
    if (frame->jpeg == nullptr) {
        *why = "no picture yet from the input of deck " + std::to_string(port);
        return false;
    }
    return true;
}

bool CaptureBatches::ClipQuality(int port, int64_t id, Json* graph, std::string* poster,
                                 std::string* why) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto last = m_Last.find(port);
    if (last != m_Last.end()) {
        const Batch& b = *last->second;
        for (std::size_t i = 0; i < b.request.clips.size(); ++i) {
            const Json& q =
                b.clips[i].report.is_object() ? b.clips[i].report.value("quality", Json()) : Json();
            if (b.request.clips[i].id != id || !q.is_object()) {
                continue;
            }
            *graph = b.clips[i].graph;
            *poster = q.value("poster", Json()).is_string() ? q["poster"].get<std::string>() : "";
            return true;
        }
    }
    *why =
        "deck " + std::to_string(port) + "'s last batch has no checked clip " + std::to_string(id);
    return false;
}

void CaptureBatches::Stop() {
    std::vector<std::shared_ptr<Batch>> all;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopped = true;
        for (const auto& [p, b] : m_Last) {
            b->cancel = true;
            all.push_back(b);
        }
    }
    for (const auto& b : all) {
        if (b->thread.joinable()) {
            b->thread.join();
        }
    }
    std::map<int, Watch> watches;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        watches.swap(m_Watches);
    }
    // The inputs first, so that nothing feeds a preview that goes.
    for (auto& [port, w] : watches) {
        w.alone.reset();
    }
}

}  // namespace panel
