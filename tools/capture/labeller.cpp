#include "tools/capture/labeller.h"

#include <algorithm>
#include <cmath>

namespace capture {

namespace {

// A read may be taken up to this much of a frame off its true moment (the line's and the
// host's scheduling) and still count as on the line.
constexpr double kSlack = 0.5;

}  // namespace

void PlayLine::Fit() {
    // Each read bounds p0 to [r, r + 1) with r = frames - fps * (t - t0). The bounds of all
    // reads meet in a narrow interval; its middle is the estimate. The outer tenth of the reads
    // each way is left out, so that a read taken late by the scheduler does not pull it.
    std::vector<double> r;
    r.reserve(m_Reads.size());
    for (const Read& x : m_Reads) {
        r.push_back(static_cast<double>(x.frames) - m_dFps * (x.t - m_dT0));
    }
    std::sort(r.begin(), r.end());
    const std::size_t trim = r.size() / 10;
    const double lower = r[r.size() - 1 - trim];
    const double upper = r[trim] + 1.0;
    m_dP0 = (lower + upper) / 2.0;
}

bool PlayLine::OnLine(const Read& x) const {
    const double p = Position(x.t);
    return p >= static_cast<double>(x.frames) - kSlack &&
           p <= static_cast<double>(x.frames) + 1.0 + kSlack;
}

ReadFit PlayLine::Add(double t, int64_t frames) {
    const Read read{t, frames};
    if (m_Reads.empty()) {
        m_dT0 = t;
    }
    if (m_Reads.size() < kMinReads || OnLine(read)) {
        // A read back on the line makes the ones off it outliers.
        m_Pending.clear();
        m_Reads.push_back(read);
        if (m_Reads.size() > kKeep) {
            m_Reads.pop_front();
        }
        Fit();
        return ReadFit::kAgrees;
    }
    m_Pending.push_back(read);
    if (m_Pending.size() < kBreakReads) {
        return ReadFit::kPending;
    }
    m_Break = BreakInfo{};
    m_Break.lastOnLine = m_Reads.back().frames;
    m_Break.lastOnLineAt = m_Reads.back().t;
    m_Break.firstAfter = m_Pending.front().frames;
    m_Break.firstAfterAt = m_Pending.front().t;
    // A tape that stopped holds a time next to the last one on the line; a break jumps.
    const auto [lo, hi] =
        std::minmax_element(m_Pending.begin(), m_Pending.end(),
                            [](const Read& a, const Read& b) { return a.frames < b.frames; });
    const int64_t step = m_Break.firstAfter - m_Break.lastOnLine;
    m_Break.stopped = lo->frames == hi->frames && step >= 0 && step <= 2;
    // The line runs on from the reads after the break.
    m_Reads.assign(m_Pending.begin(), m_Pending.end());
    m_Pending.clear();
    m_dT0 = m_Reads.front().t;
    Fit();
    return ReadFit::kBreak;
}

double PlayLine::Position(double t) const {
    return m_dP0 + m_dFps * (t - m_dT0);
}

int64_t PlayLine::Label(double t) const {
    return static_cast<int64_t>(std::floor(Position(t)));
}

double PlayLine::TimeOf(double position) const {
    return m_dT0 + (position - m_dP0) / m_dFps;
}

double CardClock::Arrival(double card, double arrival) {
    if (std::isnan(card)) {
        return arrival;
    }
    const double offset = arrival - card;
    if (!m_Offsets.empty() && (card <= m_dLastCard || std::fabs(offset - m_Offsets.back()) > 1.0)) {
        m_Offsets.clear();  // the card's clock started again, or is not one
    }
    m_dLastCard = card;
    m_Offsets.push_back(offset);
    if (m_Offsets.size() > kWindow) {
        m_Offsets.pop_front();
    }
    std::vector<double> sorted(m_Offsets.begin(), m_Offsets.end());
    const auto mid = sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2);
    std::nth_element(sorted.begin(), mid, sorted.end());
    return card + *mid;
}

Sequence::Verdict Sequence::Add(int64_t label) {
    if (label < m_nFrom) {
        return Verdict::kBefore;
    }
    if (m_nNext >= m_nTo) {
        return Verdict::kAfter;
    }
    if (label < m_nNext) {
        ++m_nRepeated;
        return Verdict::kRepeat;
    }
    if (label > m_nNext) {
        const bool atIn = m_nNext == m_nFrom;
        m_nMissing += std::min(label, m_nTo) - m_nNext;
        return atIn ? Verdict::kMissedIn : Verdict::kGap;
    }
    ++m_nNext;
    return m_nNext >= m_nTo ? Verdict::kKeepLast : Verdict::kKeep;
}

}  // namespace capture
