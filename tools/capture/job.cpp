#include "tools/capture/job.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <mutex>

#include "tapedeck5500_version.h"

#include "tools/capture/engine.h"
#include "tools/capture/writer.h"

namespace capture {

namespace {

// The store is read and replaced whole: one job of this process at a time, and other
// processes kept out by the store's own lock.
std::mutex g_StoreMutex;

double Hundredths(double seconds) {
    return std::round(seconds * 1e5) / 100.0;
}

// How the frames were labelled, in words: the report and the terminal line say it.
std::string LabellingText(double offset, const std::string& calibrated) {
    return "labelled from the deck's serial time with an offset of " + MillisText(offset) +
           (calibrated.empty() ? " (given)" : ", calibrated on " + calibrated) +
           ", not verified against the signal";
}

// "labelled from LTC on channel 3, checked against the deck's serial time at an offset measured
// against the LTC"
std::string LtcLabellingText(int channel, bool offsetKnown, double offset,
                             const std::string& calibrated) {
    const std::string ms = MillisText(offset);
    return "labelled from LTC on channel " + std::to_string(channel) +
           ", checked against the deck's serial time at " +
           (!offsetKnown ? std::string("an offset measured against the LTC")
            : calibrated.empty()
                ? std::string("the offset ") + ms + " (given)"
                : std::string("the offset ") + ms + ", calibrated on " + calibrated);
}

}  // namespace

ClipRequest RequestOf(const cliplog::Clip& c) {
    ClipRequest r;
    r.id = c.id;
    r.name = c.name;
    r.reel = c.reel;
    r.in = c.in;
    r.out = c.out;
    r.stem = ClipStem(c.id, c.reel, c.name, c.in, c.rate->base);
    return r;
}

std::string StoreFile(const std::string& file) {
    return file.empty() ? CalibrationStore::DefaultPath() : file;
}

std::optional<CalibrationEntry> StoredOffset(const std::string& file, const std::string& deck,
                                             const std::string& input,
                                             const hostkit::RateInfo& rate, std::string* error) {
    CalibrationStore store;
    std::lock_guard<std::mutex> lock(g_StoreMutex);
    if (!store.Load(StoreFile(file), error)) {
        return std::nullopt;
    }
    return store.Find(deck, input, rate.name);
}

hostkit::Json CalibrationOutcome::Json(const std::string& deck, const std::string& input,
                                       const hostkit::RateInfo& rate) const {
    return hostkit::Json{{"deck", deck},
                         {"input", input},
                         {"rate", rate.name},
                         {"offsetMs", Hundredths(result.offset)},
                         {"spreadMs", Hundredths(result.spread)},
                         {"frames", result.frames},
                         {"agree", result.agree},
                         {"unreadable", result.unreadable},
                         {"retries", result.retries},
                         {"stored", verdict.empty()},
                         {"error", verdict}};
}

CaptureJob::CaptureJob(DeckControl& deck, JobOptions options)
    : m_Deck(deck), m_Options(std::move(options)) {}

bool CaptureJob::OpenInput(std::string* error) {
    if (m_Options.check && !m_Check) {
        auto check = std::make_unique<PolicyCheck>();
        if (!check->Open(m_Options.policy, error)) {
            return false;
        }
        m_Check = std::move(check);
    }
    m_pSplit.reset();
    // A sound device apart stamps the host's wall clock, as ALSA does: the picture's must too.
    const auto streams = m_Options.soundInput.empty() ? InputReader::Streams::kPicture
                                                      : InputReader::Streams::kPictureOnWallClock;
    if (!m_Input.Open(m_Options.input, m_Options.inputFormat, m_Options.inputLimit, error,
                      streams)) {
        return false;
    }
    if (!m_Options.soundInput.empty()) {
        if (!m_SoundInput.Open(m_Options.soundInput, m_Options.soundInputFormat,
                               m_Options.inputLimit, error, InputReader::Streams::kSoundOnly)) {
            m_Input.Close();
            return false;
        }
        m_pSplit = std::make_unique<SplitInput>(m_Input, m_SoundInput);
        m_SoundInput.SetTap(m_Options.tap);
    }
    m_Input.SetTap(m_Options.tap);
    const int channels = Source().CurrentSound().channels;
    if (m_Options.requireSound && channels == 0) {
        *error = "the input " + m_Options.input + " has no sound, and --audio asks for it";
        m_Input.Close();
        return false;
    }
    if (m_Options.ltcChannel > channels) {
        const std::string& heard =
            m_Options.soundInput.empty() ? m_Options.input : m_Options.soundInput;
        *error = "LTC on channel " + std::to_string(m_Options.ltcChannel) + " asked for, and the " +
                 (m_Options.soundInput.empty() ? "input " : "sound input ") + heard + " has " +
                 (channels == 0 ? "no sound" : std::to_string(channels) + " channel(s) of sound");
        m_pSplit.reset();
        m_Input.Close();
        m_SoundInput.Close();
        return false;
    }
    return true;
}

FrameSource& CaptureJob::Source() {
    if (m_pSplit) {
        return *m_pSplit;
    }
    return m_Input;
}

EngineOptions CaptureJob::Engine() const {
    EngineOptions eo;
    eo.folder = m_Options.folder;
    eo.preroll = m_Options.preroll;
    eo.handles = m_Options.handles;
    eo.retries = m_Options.retries;
    eo.offset = m_Options.offset;
    eo.offsetKnown = m_bOffsetKnown;
    eo.offsetSource = m_Options.calibrated.empty() ? "given" : "calibration";
    eo.ltcChannel = m_Options.ltcChannel;
    eo.progress = m_Options.progress;
    eo.cancel = m_Options.cancel;
    eo.quality = m_Options.quality;
    if (m_Check) {
        const PolicyCheck* check = m_Check.get();
        eo.check = [check](const std::string& file) { return check->Check(file); };
        eo.policy = check->Name();
    }
    const int ltc = m_Options.ltcChannel;
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    eo.provenance = hostkit::Json{
        {"software", "tapedeck5500 " TAPEDECK_VERSION},
        {"host", host},
        {"input", m_Options.input},
        {"inputFormat", m_Options.inputFormat},
        {"soundInput", m_Options.soundInput.empty() ? hostkit::Json(nullptr)
                                                    : hostkit::Json(m_Options.soundInput)},
        {"rate", m_Deck.Rate().name},
        {"labelledBy", ltc ? "LTC on channel " + std::to_string(ltc) : std::string("serial time")},
        {"offsetMs",
         m_bOffsetKnown ? hostkit::Json(Hundredths(m_Options.offset)) : hostkit::Json(nullptr)},
        {"calibrated", m_Options.calibrated.empty() ? hostkit::Json(nullptr)
                                                    : hostkit::Json(m_Options.calibrated)},
        {"labelling",
         ltc ? LtcLabellingText(ltc, m_bOffsetKnown, m_Options.offset, m_Options.calibrated)
             : LabellingText(m_Options.offset, m_Options.calibrated)},
        {"options",
         {{"preroll", m_Options.preroll},
          {"handles", m_Options.handles},
          {"retries", m_Options.retries}}}};
    return eo;
}

std::vector<ClipReport> CaptureJob::Capture(const std::vector<ClipRequest>& clips) {
    CaptureEngine engine(m_Deck, Source(), Engine());
    return engine.Run(clips);
}

CalibrationOutcome CaptureJob::Calibrate(int64_t at, double seconds) {
    const EngineOptions eo = Engine();
    CalibrationOutcome out;
    out.file = StoreFile(m_Options.calibrationFile);
    out.result = MeasureOffset(m_Deck, Source(), eo, at, seconds);
    out.verdict = !out.result.ok ? out.result.error : CalibrationVerdict(out.result, m_Deck.Rate());
    if (!out.result.ok && out.verdict.empty()) {
        out.verdict = "the calibration did not finish";
    }
    if (out.result.ok && out.verdict.empty()) {
        const CalibrationEntry e =
            CalibrationOf(out.result, m_Deck.Name(), m_Options.input, m_Deck.Rate());
        CalibrationStore store;
        std::lock_guard<std::mutex> lock(g_StoreMutex);
        if (!store.Load(out.file, &out.verdict) || !store.Put(e, &out.verdict)) {
            out.verdict = out.verdict.empty() ? "cannot store it" : out.verdict;
        }
    }
    return out;
}

std::vector<ClipReport> CaptureJob::NotAttempted(const std::vector<ClipRequest>& clips,
                                                 const std::string& why) const {
    std::vector<ClipReport> reports;
    for (const ClipRequest& c : clips) {
        ClipReport r;
        r.clip = c;
        r.rate = &m_Deck.Rate();
        r.handles = m_Options.handles;
        r.reason = "not attempted: " + why;
        reports.push_back(r);
    }
    return reports;
}

}  // namespace capture
