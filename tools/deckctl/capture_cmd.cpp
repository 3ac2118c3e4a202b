#include "tools/deckctl/capture_cmd.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/capture/engine.h"
#include "tools/capture/job.h"
#include "tools/capture/module_deck.h"
#include "tools/cliplog/clip_log.h"
#include "tools/hostkit/json.h"

namespace deckctl {

namespace {

using hostkit::Json;

std::atomic<bool> g_bCancel{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnSignal(int) {
    g_bCancel = true;
}

struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw Usage("cannot read " + path);
    }
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// "3,5-7" as a set of ids; empty for all.
std::set<int64_t> ParseIds(const std::string& text) {
    std::set<int64_t> ids;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, ',');) {
        const std::size_t dash = part.find('-');
        try {
            std::size_t used = 0;
            const int64_t first = std::stoll(part.substr(0, dash), &used);
            int64_t last = first;
            if (dash != std::string::npos) {
                last = std::stoll(part.substr(dash + 1));
            }
            if (used != (dash == std::string::npos ? part.size() : dash) || first < 1 ||
                last < first || last - first > cliplog::kMaxClipId) {
                throw std::invalid_argument(part);
            }
            for (int64_t id = first; id <= last; ++id) {
                ids.insert(id);
            }
        } catch (const std::logic_error&) {
            throw Usage("--clips wants ids like 3,5-7: " + text);
        }
    }
    return ids;
}

// The clip log as the server keeps it, read without its lock: the server may hold that, and
// a capture only reads.
std::vector<cliplog::Clip> LogClips(const std::string& path) {
    const Json doc = hostkit::ParseJson(ReadFile(path));
    if (!doc.is_object() || !doc.contains("clips") || !doc["clips"].is_array()) {
        throw Usage(path + " is not a clip log");
    }
    std::vector<cliplog::Clip> clips;
    for (const Json& j : doc["clips"]) {
        try {
            cliplog::Clip base;
            base.id = j.at("id").get<int64_t>();
            base.port = j.value("port", 1);
            // Clips without a rate come from a server that ran every deck at 25.
            const hostkit::RateInfo* legacy = hostkit::FindRate(std::to_string(j.value("fps", 25)));
            base.rate = legacy != nullptr ? legacy : base.rate;
            cliplog::Clip c = cliplog::ClipFromJson(
                j, base, [&base](const std::string&, int) { return base.rate; });
            c.id = base.id;
            clips.push_back(c);
        } catch (const std::exception& e) {
            throw Usage("the clip log " + path + " is damaged (" + e.what() + ")");
        }
    }
    return clips;
}

std::vector<cliplog::Clip> CsvClips(const std::string& path, int port,
                                    const hostkit::RateInfo* rate) {
    std::vector<cliplog::Clip> clips;
    try {
        int64_t next = 1;
        cliplog::ReadClipsCsv(ReadFile(path), [&](std::size_t, const Json& row) {
            cliplog::Clip base;
            base.port = port;
            cliplog::Clip c =
                cliplog::ClipFromJson(row, base, [rate](const std::string&, int) { return rate; });
            c.id = row.contains("id") ? row["id"].get<int64_t>() : next;
            next = c.id + 1;
            clips.push_back(c);
        });
    } catch (const std::exception& e) {
        throw Usage(path + ": " + e.what());
    }
    return clips;
}

// The clips the options name, at the deck's rate.
std::vector<capture::ClipRequest> Requests(const CaptureOptions& o,
                                           const hostkit::RateInfo** rate) {
    const hostkit::RateInfo* given = o.rate.empty() ? nullptr : hostkit::FindRate(o.rate);
    if (!o.rate.empty() && given == nullptr) {
        throw Usage("--rate must be one of " + hostkit::RateNames());
    }
    std::vector<cliplog::Clip> clips;
    if (!o.in.empty()) {
        const hostkit::RateInfo* r = given != nullptr ? given : hostkit::FindRate("25");
        Json fields{{"in", o.in}, {"out", o.out.empty() ? o.in : o.out}, {"name", o.name}};
        if (!o.reel.empty()) {
            fields["reel"] = o.reel;
        }
        cliplog::Clip base;
        base.port = o.port;
        try {
            clips.push_back(
                cliplog::ClipFromJson(fields, base, [r](const std::string&, int) { return r; }));
        } catch (const std::exception& e) {
            throw Usage(e.what());
        }
    } else if (!o.csv.empty()) {
        const hostkit::RateInfo* r = given != nullptr ? given : hostkit::FindRate("25");
        for (const cliplog::Clip& c : CsvClips(o.csv, o.port, r)) {
            if (c.port == o.port || !o.clips.empty()) {
                clips.push_back(c);
            }
        }
    } else {
        const std::string path = o.log.empty() ? cliplog::DefaultClipLogPath() : o.log;
        for (const cliplog::Clip& c : LogClips(path)) {
            if (c.port == o.port || !o.clips.empty()) {
                clips.push_back(c);
            }
        }
    }
    if (!o.clips.empty()) {
        const std::set<int64_t> ids = ParseIds(o.clips);
        std::vector<cliplog::Clip> chosen;
        for (const cliplog::Clip& c : clips) {
            if (ids.count(c.id) != 0) {
                chosen.push_back(c);
            }
        }
        clips.swap(chosen);
    }
    if (clips.empty()) {
        throw Usage("no clips to capture" +
                    std::string(o.in.empty() ? " (of port " + std::to_string(o.port) + ")" : ""));
    }
    *rate = given != nullptr ? given : clips.front().rate;
    std::vector<capture::ClipRequest> out;
    for (const cliplog::Clip& c : clips) {
        if (c.rate != *rate) {
            throw Usage("clip " + std::to_string(c.id) + " was logged at " + c.rate->name +
                        " and the deck runs at " + (*rate)->name +
                        ": its times name other frames; give --rate or choose clips with --clips");
        }
        out.push_back(capture::RequestOf(c));
    }
    return out;
}

int Calibrate(capture::CaptureJob& job, capture::ModuleDeck& deck, const hostkit::RateInfo& rate,
              const CaptureOptions& o, bool json, std::ostream& out) {
    const hostkit::ParsedTimecode at = hostkit::ParseTimecode(o.at, rate.base);
    if (!at.ok) {
        std::cerr << "deckctl: --at: " << at.error << '\n';
        return 2;
    }
    const capture::CalibrationOutcome c = job.Calibrate(at.frames, o.seconds);
    const capture::CalibrationResult& r = c.result;
    if (!r.ok) {
        std::cerr << "deckctl: calibration failed: " << r.error << '\n';
        return 1;
    }
    if (json) {
        out << hostkit::DumpJson(c.Json(deck.Name(), o.input, rate)) << '\n';
    } else {
        char line[256];
        std::snprintf(line, sizeof line,
                      "capture offset %.2f ms (spread %.2f ms over %d frames, %d labelled as "
                      "their %s)",
                      r.offset * 1000, r.spread * 1000, r.frames, r.agree, r.against.c_str());
        out << deck.Name() << ", " << o.input << ": " << line
            << (r.retries > 0 ? ", after " + std::to_string(r.retries) +
                                    (r.retries == 1 ? " retry" : " retries")
                              : "")
            << '\n';
        out << (c.verdict.empty() ? "stored in " + c.file : "not stored: " + c.verdict) << '\n';
    }
    return c.verdict.empty() ? 0 : 1;
}

// The capture offset: given, or as calibrated for this deck, input and rate (then with when it
// was measured); with LTC labelling the frames none is needed.
std::optional<double> Offset(const CaptureOptions& o, const std::string& deck,
                             const hostkit::RateInfo& rate, std::string* measured) {
    if (o.offsetMs) {
        return *o.offsetMs / 1000.0;
    }
    std::string error;
    const auto entry = capture::StoredOffset(o.calibrationFile, deck, o.input, rate, &error);
    if (!error.empty()) {
        throw Usage(error);
    }
    if (!entry && o.ltcChannel > 0) {
        return std::nullopt;
    }
    if (!entry) {
        throw Usage("no capture offset for " + deck + ", the input " + o.input + " and " +
                    rate.name + " in " + capture::StoreFile(o.calibrationFile) +
                    ": run deckctl capture --calibrate --port " + std::to_string(o.port) +
                    " --rate " + rate.name + " --input " + o.input + " first, or give --offset MS");
    }
    *measured = entry->measured;
    return entry->offsetMs / 1000.0;
}

// The one line a terminal keeps up to date while a clip runs:
// "clip 2/3 capture 00:01:00:12 37/125 frames | input 25.00 fps | 0 lost, 0 repeated | 1 retry
// | about 2:10 left".
std::string StatusLine(const capture::Progress& p) {
    char text[256];
    const int left = static_cast<int>(std::lround(p.secondsLeft));
    std::snprintf(text, sizeof text,
                  "clip %zu/%zu %s %s %lld/%lld frames | input %.2f fps | %lld lost, %lld "
                  "repeated | %d %s | about %d:%02d left",
                  p.clip + 1, p.clips, p.phase.c_str(),
                  p.timecode.empty() ? "--:--:--:--" : p.timecode.c_str(),
                  static_cast<long long>(p.frames), static_cast<long long>(p.wanted), p.inputFps,
                  static_cast<long long>(p.lost), static_cast<long long>(p.repeated), p.attempt - 1,
                  p.attempt == 2 ? "retry" : "retries", left / 60, left % 60);
    return text;
}

// Clips that never reached the deck still get their line.
void ReportUnattempted(const std::vector<capture::ClipReport>& reports, bool json,
                       std::ostream& out) {
    for (const capture::ClipReport& r : reports) {
        out << (json ? hostkit::DumpJson(capture::ReportJson(r)) : capture::ReportLine(r)) << '\n';
    }
}

int Run(const hostkit::Module& module, const CaptureOptions& o, bool json, std::ostream& out) {
    const hostkit::RateInfo* rate = nullptr;
    std::vector<capture::ClipRequest> clips;
    if (o.calibrate) {
        rate = hostkit::FindRate(o.rate.empty() ? "25" : o.rate);
        if (rate == nullptr) {
            throw Usage("--rate must be one of " + hostkit::RateNames());
        }
    } else {
        clips = Requests(o, &rate);
    }
    std::string why;
    if (!capture::ExactRate(*rate, &why)) {
        throw Usage(why);
    }
    capture::JobOptions jo;
    jo.input = o.input;
    jo.inputFormat = o.inputFormat;
    jo.soundInput = o.audioInput;
    jo.soundInputFormat = o.audioInputFormat;
    jo.folder = o.folder;
    jo.preroll = o.preroll;
    jo.handles = o.handles;
    jo.retries = o.retries;
    jo.calibrationFile = o.calibrationFile;
    jo.requireSound = o.audio;
    jo.ltcChannel = o.ltcChannel;
    jo.check = (o.check || !o.policy.empty()) && !o.calibrate;
    jo.policy = o.policy;
    jo.quality = !o.noQuality;
    jo.cancel = &g_bCancel;
    capture::ModuleDeck deck(module, o.port, *rate);
    if (!o.calibrate) {
        std::error_code ec;
        std::filesystem::create_directories(o.folder, ec);
        if (!std::filesystem::is_directory(o.folder)) {
            throw Usage("cannot make the folder " + o.folder +
                        (ec ? ": " + ec.message() : std::string()));
        }
    }
    std::ostream* lines = &out;
    // On a terminal, a status line for the clip running, replaced by its report line at its end.
    const bool live = !json && &out == &std::cout && isatty(STDOUT_FILENO) != 0;
    jo.progress = [lines, json, live](const capture::Progress& p) {
        if (p.report != nullptr) {
            *lines << (live ? "\r\x1b[K" : "")
                   << (json ? hostkit::DumpJson(capture::ReportJson(*p.report))
                            : capture::ReportLine(*p.report))
                   << std::endl;
            const std::string qc = json ? "" : capture::QualityLine(*p.report);
            if (!qc.empty()) {
                *lines << "  " << qc << std::endl;
            }
        } else if (live) {
            *lines << "\r\x1b[K" << StatusLine(p) << std::flush;
        }
    };
    // The deck first: a port another capture holds is refused before anything else.
    capture::CaptureJob job(deck, jo);
    std::string error;
    if (!deck.Connect(&error) || !job.OpenInput(&error)) {
        std::cerr << "deckctl: " << error << '\n';
        ReportUnattempted(job.NotAttempted(clips, error), json, out);
        return 1;
    }
    if (o.calibrate) {
        return Calibrate(job, deck, *rate, o, json, out);
    }
    // Stored under the deck's name, which it has once connected.
    std::string measured;
    const std::optional<double> offset = Offset(o, deck.Name(), *rate, &measured);
    job.SetOffset(offset, measured);
    const std::vector<capture::ClipReport> reports = job.Capture(clips);
    std::size_t captured = 0;
    std::size_t whole = 0;
    for (const capture::ClipReport& r : reports) {
        captured += r.status == capture::ClipStatus::kCaptured ? 1 : 0;
        whole += capture::Whole(r) ? 1 : 0;
    }
    if (!json) {
        out << captured << " of " << reports.size() << " clips captured"
            << (jo.check ? ", " + std::to_string(whole) + " conforming" : "")
            << (g_bCancel ? " (cancelled)" : "") << '\n';
    }
    return whole == reports.size() ? 0 : 1;
}

}  // namespace

CLI::App* AddCapture(CLI::App& app, CaptureOptions& o) {
    auto* c =
        app.add_subcommand("capture",
                           "capture logged clips from a deck into files (FFV1 in Matroska), or "
                           "--calibrate the capture offset");
    c->add_option("--port", o.port, "the deck's serial port number")->check(CLI::Range(1, 255));
    c->add_option("--rate", o.rate,
                  "the deck's rate: " + hostkit::RateNames() + " (default: the clips', or 25)");
    c->add_option("--input", o.input,
                  "the capture input, any FFmpeg input: unix:PATH for decksim's picture, "
                  "/dev/video0 for a V4L2 card")
        ->required();
    c->add_option("--input-format", o.inputFormat,
                  "the input's format when it cannot be told, "
                  "e.g. v4l2");
    c->add_option("--audio-input", o.audioInput,
                  "the sound from a device of its own, any FFmpeg input (unix:PATH for "
                  "decksim's --audio PATH, alsa's hw:CARD,DEV): its samples kept as they came, "
                  "its drift against the picture reported, and a clip failed once they part by "
                  "more than 1 ms. Both devices must stamp one clock: a V4L2 picture is asked "
                  "for its wall-clock stamps, as ALSA gives");
    c->add_option("--audio-input-format", o.audioInputFormat,
                  "the sound input's format when it cannot be told, e.g. alsa");
    c->add_flag("--audio", o.audio,
                "refuse an input without sound (the input's sound is kept whenever it has "
                "any: every channel, as 24-bit PCM)");
    c->add_option("--ltc-channel", o.ltcChannel,
                  "label the frames from the LTC on this channel of the input's sound, and check "
                  "it against the deck's serial time (no calibration needed); with --calibrate, "
                  "measure the offset against it")
        ->check(CLI::Range(1, 64))
        ->option_text("K");
    c->add_flag("--check", o.check,
                "check each file with MediaConch against the archival policy for SD tape "
                "(FFV1 v3 coded for keeping in Matroska, fields, aspect, colour and 24-bit "
                "sound stated) and put the verdict in its report");
    c->add_flag("--no-qc", o.noQuality,
                "no quality check: without it each clip's picture (signalstats) and sound "
                "(astats) are measured frame by frame as they are captured, the figures kept "
                "in STEM.qc.csv.gz and the flags (out of broadcast range, outliers, repeated "
                "lines and frames, a frozen picture, clipping, silence) put in its report");
    c->add_option("--policy", o.policy,
                  "check against this MediaConch policy instead (implies --check)");
    c->add_option("--folder", o.folder, "where the files go (made if missing; default .)");
    c->add_option("--log", o.log,
                  "the clip log (default ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/"
                  "cliplog.json); its clips of --port are captured");
    c->add_option("--csv", o.csv, "clips from a CSV in the clip log's columns instead");
    c->add_option("--clips", o.clips, "only these clip ids, e.g. 3,5-7");
    c->add_option("--in", o.in, "one clip given here: its first frame")->option_text("TIMECODE");
    c->add_option("--out", o.out, "and the frame after its last")->option_text("TIMECODE");
    c->add_option("--name", o.name, "the clip's name (with --in)");
    c->add_option("--reel", o.reel, "the clip's reel (with --in; default DECK<port>)");
    c->add_option("--preroll", o.preroll, "seconds of play before each in-point (default 5)")
        ->check(CLI::Range(0.0, 120.0));
    c->add_option("--handles", o.handles, "frames kept before in and after out (default 0)")
        ->check(CLI::Range(0, 100000));
    c->add_option("--retries", o.retries,
                  "attempts more for a clip whose in-point was missed or that had a break or "
                  "a gap inside (default 2)")
        ->check(CLI::Range(0, 20));
    c->add_option("--calibration", o.calibrationFile,
                  "the offsets file (default ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/"
                  "capture.json)");
    c->add_option("--offset", o.offsetMs,
                  "the capture offset in ms, in place of the calibrated one")
        ->check(CLI::Range(-10000.0, 10000.0));
    c->add_flag("--calibrate", o.calibrate,
                "measure the capture offset for this deck and input on a stretch of tape whose "
                "frames carry their position, and store it");
    c->add_option("--at", o.at, "where the calibration plays (default 00:00:30:00)");
    c->add_option("--seconds", o.seconds, "how long it plays (default 4)")
        ->check(CLI::Range(1.0, 600.0));
    c->get_option("--csv")->excludes(c->get_option("--log"));
    c->get_option("--in")->excludes(c->get_option("--csv"))->excludes(c->get_option("--log"));
    c->get_option("--out")->needs(c->get_option("--in"));
    c->fallthrough();  // so --json and --module may follow
    c->footer(
        "Out is the frame after the last, as in the clip log: a clip holds out - in frames.\n"
        "Each clip gives STEM.mkv, STEM.framemd5 and the report STEM.json in the folder,\n"
        "STEM made of the reel, the id and the name. Ctrl-C stops the deck, keeps the clips\n"
        "finished and reports the rest cancelled. Exit status 0 only when every clip was\n"
        "captured whole (and, with --check, conforms).\n"
        "Examples:\n"
        "  deckctl capture --calibrate --port 1 --input unix:/tmp/deck.video\n"
        "  deckctl capture --port 1 --input unix:/tmp/deck.video --folder clips --clips 2-4");
    return c;
}

int RunCapture(const hostkit::Module& module, const CaptureOptions& options, bool json,
               std::ostream& out) {
    g_bCancel = false;
    // Ctrl-C cancels: the deck is stopped and what was finished kept.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    // Past a file size limit a write fails, and says so, rather than ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // What goes wrong is said in the reports, in words; the libraries' own notices are not.
    av_log_set_level(AV_LOG_FATAL);
    try {
        return Run(module, options, json, out);
    } catch (const Usage& e) {
        std::cerr << "deckctl: " << e.what() << '\n';
        return 2;
    }
}

}  // namespace deckctl
