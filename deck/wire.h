// Pure builders and parsers of the deck's wire frames; no I/O, so tests can check them byte by
// byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostsupport/win_types.h"

namespace wire {

constexpr BYTE kAck = 0x0A;
constexpr BYTE kNak = 0x0B;

constexpr BYTE kStatusFirst = 0xD7;   // 5 status bytes back
constexpr BYTE kStatusSecond = 0xB0;  // 5 more
constexpr BYTE kVideoSystem1 = 0xDE;  // then kVideoSystem2; replies 0x0A, system byte
constexpr BYTE kVideoSystem2 = 0xC1;
constexpr BYTE kTimeRequest = 0xA0;
constexpr BYTE kCueCommand = 0xDF;
constexpr BYTE kCueFirst = 0x93;
constexpr BYTE kCueEnd = 0x40;
constexpr BYTE kSignPositive = 0xA1;
constexpr BYTE kSignNegative = 0xA2;
constexpr BYTE kVarSpeedForward = 0xB5;
constexpr BYTE kVarSpeedReverse = 0xB6;

constexpr int kStatusReplyLen = 5;
constexpr int kTimeReplyLen1 = 8;  // video system 1: eight digits
constexpr int kTimeReplyLen4 = 9;  // video system 4: sign, then eight digits
constexpr std::size_t kCueBlockMax = 10;

// Video-system code from the data byte of the video-system reply: 4 if bit 0 is set, else 1.
int VideoSystemFromByte(BYTE b);

// Eight reply digits (low nibbles only) to a packed BCD value; masks the digits in place.
DWORD DecodeTimeDigits(BYTE* digits);

// The block that follows 0xDF 0x93 in a cue: d1..d8 then 0x40 (9 bytes), or with video
// system 4 the sign after d1 (10 bytes). Returns the block length.
std::size_t BuildCueBlock(BYTE h, BYTE m, BYTE s, BYTE f, bool signedForm, bool positive,
                          BYTE* block);

// The variable-speed digit for speed -4..+4; false when the speed has no table entry.
bool VarSpeedDigit(int speed, BYTE* digit);

// Single-byte speed command for the low byte of a speed: forward 0x3D (1..79) or 0x3E,
// reverse 0x4D or 0x4E.
BYTE SpeedCommand(int speed, bool forward);

// Status-bit test over ten status bytes: 0, the bit's mask, or -1 for a byte index above 9.
int TestStatusBit(const BYTE* status, UINT nCode);

}  // namespace wire
