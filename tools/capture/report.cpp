#include "tools/capture/report.h"

#include <cmath>
#include <cstdio>

namespace capture {

namespace {

using hostkit::Json;

std::string Time(int64_t frames, const ClipReport& r) {
    return hostkit::FormatTimecode(frames, r.rate->base);
}

Json TimeOrNull(const std::optional<int64_t>& frames, const ClipReport& r) {
    return frames ? Json(Time(*frames, r)) : Json(nullptr);
}

double Round(double v, double unit) {
    return std::round(v / unit) * unit;
}

Json SoundJson(const ClipReport& r) {
    if (r.channels.empty()) {
        return nullptr;
    }
    Json channels = Json::array();
    for (std::size_t c = 0; c < r.channels.size(); ++c) {
        const ChannelReport& ch = r.channels[c];
        channels.push_back({{"channel", c + 1},
                            {"peakDbfs", std::isfinite(ch.peakDbfs) ? Json(Round(ch.peakDbfs, 0.01))
                                                                    : Json(nullptr)},
                            {"silent", ch.silent},
                            {"clippedSamples", ch.clipped}});
    }
    Json sound{{"sampleRate", r.sampleRate}, {"samples", r.samples}, {"channels", channels}};
    if (r.driftPpm) {
        sound["driftPpm"] = Round(*r.driftPpm, 0.1);
        sound["partingMs"] = Round(r.partingMs.value_or(0.0), 0.01);
    }
    return sound;
}

// ", sound 4 ch at 48 kHz (4 silent; 2 clipped 120 samples)"
std::string SoundText(const ClipReport& r) {
    if (r.channels.empty()) {
        return "";
    }
    std::string notes;
    for (std::size_t c = 0; c < r.channels.size(); ++c) {
        const ChannelReport& ch = r.channels[c];
        const std::string n = std::to_string(c + 1);
        if (ch.silent) {
            notes += (notes.empty() ? "" : "; ") + n + " silent";
        }
        if (ch.clipped > 0) {
            notes += (notes.empty() ? "" : "; ") + n + " clipped " + std::to_string(ch.clipped) +
                     " samples";
        }
    }
    if (r.driftPpm) {
        char apart[96];
        std::snprintf(apart, sizeof apart,
                      "its clock %+.0f ppm of the picture's, %+.2f ms by the end", *r.driftPpm,
                      r.partingMs.value_or(0.0));
        notes += (notes.empty() ? "" : "; ") + std::string(apart);
    }
    return ", sound " + std::to_string(r.channels.size()) + " ch" +
           (notes.empty() ? "" : " (" + notes + ")");
}

// "; conforms to POLICY", or what it failed, or why it was not checked.
std::string ConformanceText(const ClipReport& r) {
    if (!r.conformance) {
        return "";
    }
    const Conformance& c = *r.conformance;
    if (!c.checked) {
        return "; NOT CHECKED against " + r.policy + ": " + c.error;
    }
    if (c.pass) {
        return "; conforms to " + r.policy;
    }
    std::string rules;
    for (const std::string& f : c.failed) {
        rules += (rules.empty() ? "" : ", ") + f;
    }
    return "; DOES NOT CONFORM to " + r.policy + " (" + rules + ")";
}

Json QualityJson(const ClipReport& r) {
    if (!r.quality) {
        return nullptr;
    }
    const QualitySummary& q = *r.quality;
    Json flags = Json::array();
    for (const QualityFlag& f : q.flags) {
        // The first stretches, enough to see where: a noisy tape can flag thousands, all in the
        // figures' file.
        Json stretches = Json::array();
        for (std::size_t i = 0; i < f.stretches.size() && i < kReportedStretches; ++i) {
            stretches.push_back({f.stretches[i].first, f.stretches[i].second});
        }
        Json flag{{"flag", f.flag},
                  {"frames", f.frames},
                  {"stretches", stretches},
                  {"stretchCount", f.stretches.size()},
                  {"words", f.words}};
        if (f.channel > 0) {
            flag["channel"] = f.channel;
        }
        flags.push_back(flag);
    }
    const auto db = [](double v) { return std::isfinite(v) ? Json(Round(v, 0.1)) : Json(nullptr); };
    Json graph{{"every", q.graph.every}, {"timecodes", q.graph.timecodes}};
    for (const auto& [name, series] :
         {std::pair<const char*, const std::vector<double>*>{"ymin", &q.graph.ymin},
          {"yavg", &q.graph.yavg},
          {"ymax", &q.graph.ymax}}) {
        Json values = Json::array();
        for (double v : *series) {
            values.push_back(Round(v, 0.1));
        }
        graph[name] = values;
    }
    Json peaks = Json::array();
    for (const std::vector<double>& channel : q.graph.peaks) {
        Json values = Json::array();
        for (double v : channel) {
            values.push_back(db(v));
        }
        peaks.push_back(values);
    }
    graph["peaks"] = peaks;
    return Json{{"frames", q.frames},
                {"checkedPictures", q.pictures},
                {"checkedSound", q.withSound ? Json(q.soundFrames) : Json(nullptr)},
                {"partial", q.pictures < q.frames || (q.withSound && q.soundFrames < q.frames)},
                {"skipped", q.skipped},
                {"bitDepth", q.bitDepth},
                {"luma", {{"min", q.lumaMin}, {"avg", Round(q.lumaAvg, 0.01)}, {"max", q.lumaMax}}},
                {"cpuSeconds", Round(q.cpuSeconds, 0.001)},
                {"flags", flags},
                {"graph", graph},
                {"poster", q.poster.empty() ? Json(nullptr) : Json(q.poster)},
                {"sidecar", q.sidecar.empty() ? Json(nullptr) : Json(q.sidecar)},
                {"error", q.error.empty() ? Json(nullptr) : Json(q.error)}};
}

}  // namespace

bool Whole(const ClipReport& r) {
    return r.status == ClipStatus::kCaptured &&
           (!r.conformance || (r.conformance->checked && r.conformance->pass));
}

const char* StatusName(ClipStatus status) {
    switch (status) {
        case ClipStatus::kCaptured:
            return "captured";
        case ClipStatus::kFailed:
            return "failed";
        case ClipStatus::kCancelled:
            return "cancelled";
    }
    return "?";
}

std::string MillisText(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.2f ms", seconds * 1000.0);
    return text;
}

Json ReportJson(const ClipReport& r) {
    const int64_t in = r.clip.in - r.handles;
    const int64_t out = r.clip.out + r.handles;
    return Json{
        {"clip",
         {{"id", r.clip.id}, {"name", r.clip.name}, {"reel", r.clip.reel}, {"rate", r.rate->name}}},
        {"status", StatusName(r.status)},
        {"reason", r.reason},
        {"requested",
         {{"in", Time(in, r)},
          {"out", Time(out, r)},
          {"frames", out - in},
          {"handles", r.handles}}},
        {"achieved",
         {{"in", TimeOrNull(r.achievedIn, r)},
          {"out", TimeOrNull(r.achievedOut, r)},
          {"frames", r.frames}}},
        {"missing", r.missing},
        {"repeated", r.repeated},
        {"breaks", r.breaks},
        {"retries", r.retries},
        {"attempts", r.attempts},
        {"inputGaps", r.cardGaps},
        {"overflows", r.overflows},
        {"offsetMs", std::isfinite(r.offsetMs) ? Json(Round(r.offsetMs, 0.01)) : Json(nullptr)},
        {"prerollSeconds", Round(r.prerollSeconds, 0.001)},
        {"seconds", Round(r.seconds, 0.001)},
        {"cueSeconds", Round(r.cueSeconds, 0.001)},
        {"file", r.file.empty() ? Json(nullptr) : Json(r.file)},
        {"framemd5", r.framemd5.empty() ? Json(nullptr) : Json(r.framemd5)},
        {"timecodes", r.timecodes.empty() ? Json(nullptr) : Json(r.timecodes)},
        {"sound", SoundJson(r)},
        {"ltc", r.ltc ? Json{{"channel", r.ltc->channel},
                             {"checkedFrames", r.ltc->checked},
                             {"disagreeing", r.ltc->disagreeing},
                             {"worstFrames", r.ltc->worst},
                             {"serialOffsetMs", Round(r.ltc->offsetMs, 0.01)},
                             {"offsetFrom", r.ltc->offsetFrom}}
                      : Json(nullptr)},
        {"provenance", r.provenance.is_null() ? Json(nullptr) : r.provenance},
        {"quality", QualityJson(r)},
        {"conformance", r.conformance ? r.conformance->Json(r.policy) : Json(nullptr)}};
}

std::string ReportLine(const ClipReport& r) {
    const int64_t in = r.clip.in - r.handles;
    const int64_t out = r.clip.out + r.handles;
    std::string line = "clip ";
    line += r.clip.id > 0 ? std::to_string(r.clip.id) + " " : "";
    line += "\"" + r.clip.name + "\" " + Time(in, r) + "-" + Time(out, r) + " (" +
            std::to_string(out - in) + " frames): ";
    if (r.status == ClipStatus::kCaptured) {
        line += "captured " + std::to_string(r.frames) + " frames " + Time(*r.achievedIn, r) + "-" +
                Time(*r.achievedOut, r) + ", " + std::to_string(r.missing) + " missing, " +
                std::to_string(r.repeated) + " repeated, " + std::to_string(r.retries) +
                (r.retries == 1 ? " retry" : " retries") + SoundText(r) + " -> " + r.file;
        if (r.provenance.contains("labelling")) {
            line += "; " + r.provenance["labelling"].get<std::string>();
        }
        if (r.ltc) {
            const std::string offset = MillisText(r.ltc->offsetMs / 1000.0);
            line += ": " + std::to_string(r.ltc->disagreeing) + " of " +
                    std::to_string(r.ltc->checked) + " frames disagreed (serial offset " + offset +
                    (r.ltc->offsetFrom == "the LTC" ? ", measured against the LTC)"
                     : r.ltc->offsetFrom == "given" ? ", given)"
                                                    : ", calibrated)");
        }
        line += ConformanceText(r);
    } else {
        line += std::string(r.status == ClipStatus::kCancelled ? "CANCELLED" : "FAILED") +
                (r.retries > 0 ? " after " + std::to_string(r.retries) +
                                     (r.retries == 1 ? " retry" : " retries")
                               : "") +
                ": " + r.reason;
    }
    return line;
}

std::string QualityLine(const ClipReport& r) {
    if (!r.quality || r.status != ClipStatus::kCaptured) {
        return "";
    }
    const QualitySummary& q = *r.quality;
    std::string line = "QC";
    const int64_t sound = q.withSound ? q.soundFrames : q.frames;
    if (q.pictures < q.frames || sound < q.frames) {
        line += " covered " + std::to_string(std::min(q.pictures, sound)) + " of " +
                std::to_string(q.frames) + " frames (" +
                (q.skipped > 0 ? "it fell behind the capture and skipped the rest"
                               : "the rest was not measured") +
                ")";
    }
    line += ":";
    std::string flags;
    for (const QualityFlag& f : q.flags) {
        flags += (flags.empty() ? " " : "; ") + f.words;
    }
    line += flags.empty() ? " no flags" : flags;
    if (!q.error.empty()) {
        line += "; " + q.error;
    }
    return line;
}

}  // namespace capture
