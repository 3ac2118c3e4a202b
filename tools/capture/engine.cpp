#include "tools/capture/engine.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "tools/capture/files.h"
#include "tools/capture/take.h"

namespace capture {

namespace {

// A report beside the clip's files, replaced whole through a temporary file of its own.
bool WriteReport(const ClipReport& r, const std::string& folder, const std::string& path,
                 std::string* error) {
    const std::string text = hostkit::DumpJson(ReportJson(r)) + "\n";
    TempFile temp;
    if (!temp.Create(folder, r.clip.stem + ".json", error)) {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(temp.Fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(temp.Fd()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!temp.RenameOver(path, error)) {
        return false;
    }
    SyncFolder(folder);  // the new name is durable once the folder is
    return true;
}

}  // namespace

bool ExactRate(const hostkit::RateInfo& rate, std::string* why) {
    if (rate.base.whole > 30) {
        *why = std::string("capture at ") + rate.name +
               " cannot be frame-exact: above 30 frames a second decks report frame pairs in "
               "their time reads, so one read cannot tell the two frames of a pair apart";
        return false;
    }
    return true;
}

CaptureEngine::CaptureEngine(DeckControl& deck, FrameSource& input, EngineOptions options)
    : m_Deck(deck), m_Input(input), m_Options(std::move(options)) {}

bool CaptureEngine::Cancelled() const {
    return m_Options.cancel != nullptr && m_Options.cancel->load();
}

void CaptureEngine::Tell(std::size_t index, int attempt, const TakeNews& news,
                         const ClipReport* report) const {
    if (!m_Options.progress) {
        return;
    }
    Progress p;
    p.clip = index;
    p.clips = m_nClips;
    p.attempt = attempt;
    p.phase = news.phase;
    p.frames = news.frames;
    p.wanted = news.wanted;
    p.timecode =
        news.position >= 0 ? hostkit::FormatTimecode(news.position, m_Deck.Rate().base) : "";
    p.lost = news.lost;
    p.repeated = news.repeated;
    p.inputFps = m_Input.FrameRateSeen();
    p.report = report;
    // The tape still to play, and a preroll for each clip still to come; cues not counted.
    const double fps = m_Deck.Rate().fps;
    double left = static_cast<double>(news.wanted - news.frames) / fps;
    for (std::size_t i = index + 1; i < m_Frames.size(); ++i) {
        left += static_cast<double>(m_Frames[i]) / fps + m_Options.preroll;
    }
    p.secondsLeft = report != nullptr && index + 1 == m_Frames.size() ? 0.0 : left;
    m_Options.progress(p);
}

void CaptureEngine::CaptureClip(std::size_t index, ClipReport& report) {
    const ClipRequest& clip = report.clip;
    const auto start = Clock::now();
    double preroll = m_Options.preroll;
    for (int attempt = 1;; ++attempt) {
        report.prerollSeconds = preroll;
        report.achievedIn.reset();
        report.achievedOut.reset();
        const TakeContext context{
            m_Deck, m_Input, m_Options,
            [this, index, attempt](const TakeNews& news) { Tell(index, attempt, news); }};
        const Attempt a = TakeClip(context, clip, preroll, report);
        const char* lead = attempt == 1 ? "" : "retry: ";
        if (a.end == End::kCaptured) {
            report.status = ClipStatus::kCaptured;
            report.reason.clear();
            report.attempts.push_back(std::string(lead) + "captured " +
                                      std::to_string(report.frames) + " frames");
            break;
        }
        report.frames = 0;
        report.achievedIn.reset();
        report.achievedOut.reset();
        report.attempts.push_back(lead + a.words);
        report.reason = a.words;
        if (a.end == End::kCancelled) {
            report.status = ClipStatus::kCancelled;
            break;
        }
        if (a.end == End::kFatal) {
            m_BatchFailure = a.words;
            break;
        }
        if (a.end == End::kDeckLost) {
            if (!m_Deck.Recover(m_Options.recoverLimit, m_Options.cancel)) {
                m_BatchFailure = a.words + ", and did not come back within " +
                                 std::to_string(m_Options.recoverLimit.count() / 1000) + " s";
                report.reason = m_BatchFailure;
                break;
            }
            report.attempts.back() += "; the deck came back";
        }
        if (a.end == End::kFail || attempt > m_Options.retries) {
            break;
        }
        ++report.retries;
        if (a.lockDelay >= 0) {
            // The deck needs longer to lock than the preroll gave it.
            preroll = std::max(preroll, a.lockDelay + 1.0);
            report.attempts.back() += "; the next attempt prerolls " + SecondsText(preroll);
        }
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<ClipReport> CaptureEngine::Run(const std::vector<ClipRequest>& clips) {
    m_nClips = clips.size();
    m_Frames.clear();
    for (const ClipRequest& c : clips) {
        m_Frames.push_back(c.out - c.in + 2 * int64_t{m_Options.handles});
    }
    std::vector<ClipReport> reports;
    std::string rateWhy;
    const bool exact = ExactRate(m_Deck.Rate(), &rateWhy);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        reports.emplace_back();
        ClipReport& r = reports.back();
        r.clip = clips[i];
        r.rate = &m_Deck.Rate();
        r.handles = m_Options.handles;
        r.offsetMs = m_Options.offsetKnown ? m_Options.offset * 1000.0 : std::nan("");
        r.prerollSeconds = m_Options.preroll;
        const std::string base = m_Options.folder + "/" + r.clip.stem;
        // What a capture of it that crashed left behind, before anything else is decided.
        RemoveStaleParts(m_Options.folder, r.clip.stem);
        const std::string existing =
            FirstExisting({base + ".mkv", base + ".framemd5", base + ".timecode.csv"});
        bool writeReport = true;
        if (!existing.empty()) {
            // Nothing about this run may replace that capture's files or its report.
            r.reason = existing + " exists; not replacing it";
            writeReport = false;
        } else if (Cancelled()) {
            r.status = ClipStatus::kCancelled;
            r.reason = "cancelled before it started";
        } else if (!exact) {
            r.reason = rateWhy;
        } else if (!m_BatchFailure.empty()) {
            r.reason = "not attempted: " + m_BatchFailure;
        } else if (r.clip.out <= r.clip.in) {
            r.reason = "no frames between in and out: nothing to capture";
        } else if (r.clip.in - r.handles < 0) {
            r.reason = "the handles reach before 00:00:00:00";
        } else {
            CaptureClip(i, r);
            if (r.status == ClipStatus::kCaptured && m_Options.check) {
                r.conformance = m_Options.check(r.file);
                r.policy = m_Options.policy;
            }
        }
        if (writeReport) {
            std::string error;
            if (WriteReport(r, m_Options.folder, base + ".json", &error)) {
                r.reportFile = base + ".json";
            } else if (r.status == ClipStatus::kCaptured) {
                r.attempts.push_back(error);
            }
        }
        TakeNews done;
        done.phase = "done";
        done.frames = r.frames;
        done.wanted = r.clip.out - r.clip.in + 2 * int64_t{r.handles};
        done.position = r.achievedOut ? *r.achievedOut - 1 : -1;
        done.lost = r.missing;
        done.repeated = r.repeated;
        Tell(i, r.retries + 1, done, &r);
    }
    return reports;
}

}  // namespace capture
