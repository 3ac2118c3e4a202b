#include "deck/wire.h"

namespace wire {

namespace {

// Indexed by speed + 4. Speed 0 is '0'; '1'..'4' are the speeds below it, '5'..'8' above.
constexpr BYTE kVarSpeedTable[9] = {'1', '2', '3', '4', '0', '5', '6', '7', '8'};

BYTE AsciiDigit(unsigned value) {
    return static_cast<BYTE>(0x30u | value);
}

}  // namespace

int VideoSystemFromByte(BYTE b) {
    return (b & 0x01) != 0 ? 4 : 1;
}

DWORD DecodeTimeDigits(BYTE* digits) {
    DWORD value = 0;
    for (int i = 0; i < 8; ++i) {
        digits[i] = static_cast<BYTE>(digits[i] & 0x0F);
        value = (value << 4) | digits[i];
    }
    return value;
}

std::size_t BuildCueBlock(BYTE h, BYTE m, BYTE s, BYTE f, bool signedForm, bool positive,
                          BYTE* block) {
    const BYTE digits[8] = {AsciiDigit(h / 10u), AsciiDigit(h % 10u), AsciiDigit(m / 10u),
                            AsciiDigit(m % 10u), AsciiDigit(s / 10u), AsciiDigit(s % 10u),
                            AsciiDigit(f / 10u), AsciiDigit(f % 10u)};
    std::size_t n = 0;
    block[n++] = digits[0];
    // The signed form puts the sign between the two hours digits, unlike the time reply.
    if (signedForm) {
        block[n++] = positive ? kSignPositive : kSignNegative;
    }
    for (int i = 1; i < 8; ++i) {
        block[n++] = digits[i];
    }
    block[n++] = kCueEnd;
    return n;
}

bool VarSpeedDigit(int speed, BYTE* digit) {
    // The index is an 8-bit sum, as the deck protocol has always computed it; only indexes
    // past the table are refused.
    const unsigned index = (static_cast<unsigned>(speed) + 4u) & 0xFFu;
    if (index >= sizeof kVarSpeedTable) {
        return false;
    }
    *digit = kVarSpeedTable[index];
    return true;
}

BYTE SpeedCommand(int speed, bool forward) {
    const unsigned b = static_cast<unsigned>(speed) & 0xFFu;
    const bool slow = b >= 1 && b <= 79;
    if (forward) {
        return slow ? 0x3D : 0x3E;
    }
    return slow ? 0x4D : 0x4E;
}

int TestStatusBit(const BYTE* status, UINT nCode) {
    const UINT index = nCode >> 8;
    if (index > 9) {
        return -1;
    }
    const unsigned mask = (1u << (nCode & 0x1Fu)) & 0xFFu;
    return static_cast<int>(status[index] & mask);
}

}  // namespace wire
