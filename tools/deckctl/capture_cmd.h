// `deckctl capture`: logged clips captured from one deck and one input into files, and
// `deckctl capture --calibrate`, which measures the capture offset that labelling needs.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/hostkit/module.h"

namespace deckctl {

struct CaptureOptions {
    int port = 1;
    std::string rate;  // empty: the clips' own rate, or 25
    std::string input;
    std::string inputFormat;
    std::string audioInput;  // the sound from a device of its own
    std::string audioInputFormat;
    std::string folder = ".";
    std::string log;
    std::string csv;
    std::string clips;  // ids: "3,5-7"
    std::string in;
    std::string out;
    std::string name;
    std::string reel;
    double preroll = 5.0;
    int handles = 0;
    int retries = 2;
    std::string calibrationFile;
    std::optional<double> offsetMs;
    bool calibrate = false;
    bool audio = false;      // an input without sound is refused
    int ltcChannel = 0;      // frames labelled from LTC on this channel (from 1); 0: serial time
    bool noQuality = false;  // no quality check of the picture and sound
    bool check = false;      // each file checked with MediaConch against `policy` (ours if "")
    std::string policy;
    std::string at = "00:00:30:00";
    double seconds = 4.0;
};

CLI::App* AddCapture(CLI::App& app, CaptureOptions& options);

// Runs the capture or the calibration; the exit status (0 only when every clip was captured
// whole, and conforms when checked, or the calibration was measured and stored).
int RunCapture(const hostkit::Module& module, const CaptureOptions& options, bool json,
               std::ostream& out);

}  // namespace deckctl
