// Frame rate of the host's video format, and conversions between frame counts,
// hours/minutes/seconds/frames fields and packed BCD times (0xHHMMSSFF).
#pragma once

#include <atomic>
#include <cstdint>

#include "hostsupport/win_types.h"

// The host's video-format code of the latest call. Atomic because the host may call from
// several threads; relaxed, since the last store wins by design.
extern std::atomic<int32_t> g_nVideoFormat;

void SetVideoFormat(int nFormat);

// The rate for a given code; GetFrameRate() applies it to g_nVideoFormat.
double FrameRateOf(int nFormat);
double GetFrameRate();

void FramesToHmsf(int nFrames, BYTE* pH, BYTE* pM, BYTE* pS, BYTE* pF);
DWORD FramesToBcd(int nFrames);
int BcdToFrames(DWORD dwTime);
int TimeDataToFrames(DWORD dwTime, double rate);

// 24:00:00:00 less a deck time below zero, field by field in whole frames per second, as
// packed BCD; 0 when the magnitude is 24 hours or more.
DWORD ComplementToDay(DWORD dwMagnitude);

// One field value (0-255) as two BCD digits, kept to 8 bits, and back.
BYTE BinToBcd(unsigned v);
unsigned BcdToBin(BYTE b);
