// The reply parsers and frame builders of the deck link, and the deck object's reading of
// replies the input supplies. Each check is an independent statement of what a parse gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "deck/vtr_device.h"
#include "deck/wire.h"
#include "fake_port.h"
#include "fuzz_input.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_wire: %s\n", what);
        std::abort();
    }
}

void Parsers(fuzzing::Input& in) {
    // Exact-size heap copies, so a read or write past the end is caught.
    std::unique_ptr<BYTE[]> digits(new BYTE[8]);
    for (int i = 0; i < 8; ++i) {
        digits[i] = in.Byte();
    }
    BYTE raw[8];
    std::memcpy(raw, digits.get(), 8);
    const DWORD t = wire::DecodeTimeDigits(digits.get());
    for (int i = 0; i < 8; ++i) {
        Check(((t >> (28 - 4 * i)) & 0xF) == (raw[i] & 0xFu), "time digit misplaced");
        Check(digits[i] == (raw[i] & 0xFu), "time digit not masked in place");
    }

    const BYTE sys = in.Byte();
    Check(wire::VideoSystemFromByte(sys) == ((sys & 1) ? 4 : 1), "video system");

    std::unique_ptr<BYTE[]> status(new BYTE[10]);
    for (int i = 0; i < 10; ++i) {
        status[i] = in.Byte();
    }
    const UINT code = in.Word();
    const int bit = wire::TestStatusBit(status.get(), code);
    if ((code >> 8) > 9) {
        Check(bit == -1, "status byte index past 9 not refused");
    } else {
        const unsigned n = code & 0x1Fu;
        const int want = n < 8 ? (status[code >> 8] & (1 << n)) : 0;
        Check(bit == want, "status bit");
    }

    const int speed = static_cast<int>(in.Word());
    BYTE digit = 0xFF;
    const bool inTable = wire::VarSpeedDigit(speed, &digit);
    Check(inTable == (((static_cast<unsigned>(speed) + 4u) & 0xFFu) < 9), "var-speed range");
    Check(!inTable || (digit >= '0' && digit <= '8'), "var-speed digit");
    const BYTE sc = wire::SpeedCommand(speed, (speed & 1) != 0);
    Check(sc == 0x3D || sc == 0x3E || sc == 0x4D || sc == 0x4E, "speed command");

    const BYTE h = in.Byte(), m = in.Byte(), s = in.Byte(), f = in.Byte();
    const uint8_t shape = in.Byte();
    const bool signedForm = shape & 1;
    std::unique_ptr<BYTE[]> block(new BYTE[wire::kCueBlockMax]);
    const std::size_t len = wire::BuildCueBlock(h, m, s, f, signedForm, shape & 2, block.get());
    Check(len == (signedForm ? 10u : 9u), "cue block length");
    Check(block[len - 1] == wire::kCueEnd, "cue block end");
    Check(!signedForm || block[1] == ((shape & 2) ? wire::kSignPositive : wire::kSignNegative),
          "cue sign");
}

// The deck object's sense, time read and video-system read over input-chosen replies.
void DeckReplies(fuzzing::Input& in) {
    testing_support::FakePort fake;
    fake.responder = [&in](const uint8_t*, int) { return in.Bytes(in.Byte() % 12u); };
    CVtrDevice dev(fake);
    if (!dev.Open(5)) {
        return;
    }
    for (int i = 0; i < 4 && !in.Empty(); ++i) {
        switch (in.Byte() % 4) {
            case 0:
                dev.SenseStatus();
                break;
            case 1: {
                const int sys = dev.SenseVideoSystem();
                Check(sys == 0 || sys == 1 || sys == 4, "sensed video system");
                break;
            }
            case 2: {
                const DWORD t = dev.ReadTime();
                Check(dev.VideoSystem() != 0 || t == 0, "time read without a video system");
                break;
            }
            default:
                dev.Cue(in.Byte(), in.Byte(), in.Byte(), in.Byte(), in.Byte() & 1);
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::Input in(data, size);
    Parsers(in);
    DeckReplies(in);
    return 0;
}
