#include "tools/decksim/responder.h"

#include "deck/wire.h"

namespace decksim {

namespace {

constexpr uint8_t kPlay = 0x3A;
constexpr uint8_t kStop = 0x3F;
constexpr uint8_t kPause = 0x4B;
constexpr uint8_t kStandby = 0x2A;
constexpr uint8_t kShuttleFwd = 0x3D;
constexpr uint8_t kWindFwd = 0x3E;
constexpr uint8_t kShuttleRev = 0x4D;
constexpr uint8_t kWindRev = 0x4E;

constexpr uint8_t kSystem1Byte = 0x00;
constexpr uint8_t kSystem4Byte = 0x01;  // bit 0 tells system 4

// Above 30 fps the time reply counts frame pairs, and the second frame of a pair is flagged
// in bit 7 of the frames' tens character (0xB0 | tens in place of 0x30 | tens). Flags of a
// frame go with its frames digits, and a host reading the digits keeps each character's low
// four bits, so the flag never reaches the time it decodes. A flag inside the digits (in the
// packed time's tens bits, which the host's position conversion masks) would still reach the
// host's complement of a time below zero, which reads the digits whole: set in the seconds'
// tens, it would put a negative time 80 seconds off.
constexpr uint8_t kSecondOfPair = 0x80;
constexpr std::size_t kFramesTens = 6;  // of the eight digits

bool IsDigit(uint8_t b) {
    return (b & 0xF0) == 0x30 && (b & 0x0F) <= 9;
}

// Variable-speed digit to a signed step: '1'..'4' are -4..-1, '0' is 0, '5'..'8' are +1..+4.
bool VarStep(uint8_t digit, int* step) {
    if (digit == '0') {
        *step = 0;
    } else if (digit >= '1' && digit <= '4') {
        *step = digit - '1' - 4;
    } else if (digit >= '5' && digit <= '8') {
        *step = digit - '4';
    } else {
        return false;
    }
    return true;
}

Reply One(uint8_t b, const char* name) {
    Reply r;
    r.bytes.push_back(b);
    r.name = name;
    return r;
}

}  // namespace

const char* FaultName(FaultKind kind) {
    switch (kind) {
        case FaultKind::kNone:
            return "none";
        case FaultKind::kSilent:
            return "silent";
        case FaultKind::kNak:
            return "nak";
        case FaultKind::kShort:
            return "short";
        case FaultKind::kGarbage:
            return "garbage";
        case FaultKind::kLate:
            return "late";
        case FaultKind::kRandom:
            return "random";
    }
    return "?";
}

Responder::Responder(DeckModel& deck, uint32_t seed) : m_Deck(deck), m_Random(seed) {}

Reply Responder::Feed(uint8_t in, Clock::time_point now) {
    if (m_State != State::kIdle && now - m_LastByte > kFrameGap) {
        m_State = State::kIdle;
    }
    m_LastByte = now;

    Reply r;
    switch (m_Fault.kind) {
        case FaultKind::kSilent:
            // A deaf deck neither hears nor obeys.
            m_State = State::kIdle;
            r.name = "ignored";
            break;
        case FaultKind::kNak:
            m_State = State::kIdle;
            r = One(wire::kNak, "refused");
            break;
        case FaultKind::kShort:
            r = Answer(in, now);
            if (!r.bytes.empty()) {
                r.bytes.pop_back();
            }
            break;
        case FaultKind::kGarbage:
            r = Answer(in, now);
            for (auto& b : r.bytes) {
                // Never the right byte by chance, so every garbled reply is wrong.
                const uint8_t g = RandomByte();
                b = g == b ? static_cast<uint8_t>(~g) : g;
            }
            break;
        case FaultKind::kLate:
            r = Answer(in, now);
            // Replies that go out on time say nothing of the fault in the trace.
            if (r.bytes.empty() || ++m_nLateTurn < m_Fault.every) {
                return r;
            }
            m_nLateTurn = 0;
            r.delay = m_Fault.delay;
            break;
        case FaultKind::kRandom: {
            const char* name = Answer(in, now).name;
            r.bytes.clear();
            for (int i = 0; i < m_Fault.count; ++i) {
                r.bytes.push_back(RandomByte());
            }
            r.name = name;
            r.fault = FaultKind::kRandom;
            m_Fault = Fault{};
            return r;
        }
        case FaultKind::kNone:
            return Answer(in, now);
    }
    r.fault = m_Fault.kind;
    return r;
}

Reply Responder::Answer(uint8_t in, Clock::time_point now) {
    return m_State == State::kIdle ? Command(in, now) : Continue(in, now);
}

// A byte inside a frame: the video-system request's second, the cue's, the speed's digit.
Reply Responder::Continue(uint8_t in, Clock::time_point now) {
    switch (m_State) {
        case State::kVideoSystem:
            m_State = State::kIdle;
            if (in != wire::kVideoSystem2) {
                return One(wire::kNak, "video-system-bad");
            }
            return One(m_Deck.VideoSystem() == 4 ? kSystem4Byte : kSystem1Byte, "video-system");
        case State::kCueFirst:
            if (in != wire::kCueFirst) {
                m_State = State::kIdle;
                return One(wire::kNak, "cue-bad");
            }
            m_State = State::kCueBlock;
            m_nDigits = 0;
            m_bSigned = false;
            m_bNegative = false;
            return One(wire::kAck, "cue");
        case State::kCueBlock:
            return CueByte(in, now);
        case State::kVarDigit: {
            m_State = State::kIdle;
            int step = 0;
            if (!VarStep(in, &step)) {
                return One(wire::kNak, "var-digit-bad");
            }
            m_Deck.VarSpeed(m_bVarForward, step, now);
            return One(wire::kAck, "var-digit");
        }
        case State::kIdle:
            break;
    }
    return Command(in, now);
}

// A byte that starts a frame.
Reply Responder::Command(uint8_t in, Clock::time_point now) {
    Reply r;
    switch (in) {
        case wire::kStatusFirst:
        case wire::kStatusSecond: {
            const auto s = m_Deck.Status(now);
            const int first = in == wire::kStatusFirst ? 0 : 5;
            r.bytes.assign(s.begin() + first, s.begin() + first + wire::kStatusReplyLen);
            r.name = in == wire::kStatusFirst ? "status-1" : "status-2";
            return r;
        }
        case wire::kTimeRequest:
            TimeReply(now, &r.bytes);
            r.name = "time";
            return r;
        case wire::kVideoSystem1:
            m_State = State::kVideoSystem;
            return One(wire::kAck, "video-system");
        case wire::kCueCommand:
            m_State = State::kCueFirst;
            return One(wire::kAck, "cue");
        case wire::kVarSpeedForward:
        case wire::kVarSpeedReverse:
            m_State = State::kVarDigit;
            m_bVarForward = in == wire::kVarSpeedForward;
            return One(wire::kAck, m_bVarForward ? "var-fwd" : "var-rev");
        case kPlay:
            m_Deck.Play(now);
            return One(wire::kAck, "play");
        case kStop:
            m_Deck.Stop(now);
            return One(wire::kAck, "stop");
        case kPause:
            m_Deck.Pause(now);
            return One(wire::kAck, "pause");
        case kStandby:
            m_Deck.Standby(now);
            return One(wire::kAck, "standby");
        case kShuttleFwd:
        case kWindFwd:
        case kShuttleRev:
        case kWindRev: {
            const bool forward = in == kShuttleFwd || in == kWindFwd;
            const bool fast = in == kWindFwd || in == kWindRev;
            m_Deck.Shuttle(forward, fast, now);
            static const char* const kNames[2][2] = {{"shuttle-rev", "wind-rev"},
                                                     {"shuttle-fwd", "wind-fwd"}};
            return One(wire::kAck, kNames[forward][fast]);
        }
        default:
            return One(wire::kNak, "unknown");
    }
}

Reply Responder::CueByte(uint8_t in, Clock::time_point now) {
    // The block is d1, [sign], d2..d8, 0x40; the sign is taken in either video system so a
    // host that has not sensed the system still cues.
    const bool signAllowed = m_nDigits == 1 && !m_bSigned;
    if (IsDigit(in) && m_nDigits < 8) {
        m_Digits[m_nDigits++] = in & 0x0F;
        return One(wire::kAck, "cue-digit");
    }
    if (signAllowed && (in == wire::kSignPositive || in == wire::kSignNegative)) {
        m_bSigned = true;
        m_bNegative = in == wire::kSignNegative;
        return One(wire::kAck, "cue-sign");
    }
    m_State = State::kIdle;
    if (in != wire::kCueEnd || m_nDigits != 8) {
        return One(wire::kNak, "cue-bad");
    }
    const int h = m_Digits[0] * 10 + m_Digits[1];
    const int m = m_Digits[2] * 10 + m_Digits[3];
    const int s = m_Digits[4] * 10 + m_Digits[5];
    const int f = m_Digits[6] * 10 + m_Digits[7];
    const TimeBase& base = m_Deck.Base();
    // Above 30 fps the frames are a pair's label, and the cue goes to the pair's first frame.
    const int res = hostkit::Resolution(base);
    const int64_t labels = ((int64_t{h} * 60 + m) * 60 + s) * base.whole + int64_t{f} * res;
    if (h > 23 || m > 59 || s > 59 || f >= base.whole / res ||
        !hostkit::LabelExists(labels, base)) {
        // A target no tape holds (drop frame skips some labels): refuse it rather than wind
        // to a made-up place.
        return One(wire::kNak, "cue-bad");
    }
    const int64_t target = hostkit::LabelsToFrames(labels, base);
    m_Deck.Cue(m_Deck.TapeOfLabel(m_bNegative ? -target : target), now);
    return One(wire::kAck, "cue-end");
}

void Responder::TimeReply(Clock::time_point now, std::vector<uint8_t>* out) {
    int64_t n = m_Deck.LabelFrames(now);
    const TimeBase& base = m_Deck.Base();
    if (m_Deck.VideoSystem() == 4) {
        out->push_back(n < 0 ? wire::kSignNegative : wire::kSignPositive);
    } else if (n < 0) {
        // An unsigned counter shows the time before zero from 24 h down.
        n += hostkit::DayFrames(base);
    }
    // A pair starts on an even frame, below zero too, so that the label sent is the one of
    // the pair's earlier frame and a host reading it is never ahead of the tape. Drop frame
    // skips labels in fours, so the pair's labels differ by one as well.
    const int res = hostkit::Resolution(base);
    const int64_t first = n - ((n % res) + res) % res;
    int64_t labels = hostkit::FramesToLabels(first, base);
    labels = (labels < 0 ? -labels : labels) / res;
    const int fps = base.whole / res;
    const int64_t secs = labels / fps;
    const int fields[4] = {static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                           static_cast<int>(secs % 60), static_cast<int>(labels % fps)};
    const std::size_t start = out->size();
    for (int v : fields) {
        out->push_back(static_cast<uint8_t>(0x30 | (v / 10)));
        out->push_back(static_cast<uint8_t>(0x30 | (v % 10)));
    }
    if (first != n) {
        (*out)[start + kFramesTens] |= kSecondOfPair;
    }
}

}  // namespace decksim
