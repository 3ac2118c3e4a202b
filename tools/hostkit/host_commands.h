// What every host of ours shares with the module and with each other: the command numbers
// and pending flags under the names our hosts use, taken from the module's own header; the
// time-out every exchange of the module waits at most; and the folder our tools keep their
// data in.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "deck/vtr_device.h"
#include "plugin/commands.h"

namespace hostkit {

namespace command {
inline constexpr int kIdentify = commands::kIdentify;
inline constexpr int kConnect = commands::kConnect;
inline constexpr int kDisconnect = commands::kDisconnect;
inline constexpr int kCue = commands::kCue;              // to nPosition
inline constexpr int kCueOffset = commands::kCueOffset;  // to nPosition - nCueOffset
inline constexpr int kPlay = commands::kCommand3A;       // the deck's 0x3A
inline constexpr int kPoll = commands::kPoll;
inline constexpr int kServo = commands::kStatus17;    // whether the servo locked, as the result
inline constexpr int kPlaying = commands::kStatus18;  // whether it plays, into bAnswer18
inline constexpr int kPosition = commands::kPosition;
inline constexpr int kCueDone = commands::kStatus29;  // whether the cue ended, into bAnswer29
inline constexpr int kStandby = commands::kStatus33;  // the status test, as the result
inline constexpr int kVideoSystem = commands::kVideoSystem;
inline constexpr int kSpeed = commands::kSpeed;
inline constexpr int kVarSpeed = commands::kVarSpeed;
}  // namespace command

namespace pending {
inline constexpr uint32_t kStop = commands::kPendingStop;
inline constexpr uint32_t kPause = commands::kPending4B;  // the deck's 0x4B
inline constexpr uint32_t kCue = commands::kPendingCue;
inline constexpr uint32_t kStandby = commands::kPending2A;  // the deck's 0x2A
}  // namespace pending

// A reply later than this is not waited for: after a call that failed for it, the next call
// waits it out, so that the late reply is not read as its own answer.
inline constexpr std::chrono::milliseconds kLineTimeout{CVtrDevice::kTimeoutMs};

// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500: the clip log and the capture offsets.
std::string DataFolder();

}  // namespace hostkit
