// The capture offsets measured so far, per deck, input and rate, in one JSON file:
// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/capture.json, replaced whole on each change.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace capture {

struct CalibrationEntry {
    std::string deck;   // DeckControl::Name()
    std::string input;  // the input's URL as given
    std::string rate;   // the rate it was measured at
    double offsetMs = 0;
    double spreadMs = 0;
    int frames = 0;
    std::string measured;  // UTC, ISO 8601
};

class CalibrationStore {
  public:
    static std::string DefaultPath();

    // A missing file is an empty store; a file that is not one is refused in words.
    bool Load(const std::string& path, std::string* error);
    std::optional<CalibrationEntry> Find(const std::string& deck, const std::string& input,
                                         const std::string& rate) const;
    // Adds the entry, replacing one for the same deck, input and rate, to the file as it is
    // now (other writers' entries kept), and writes it.
    bool Put(const CalibrationEntry& entry, std::string* error);
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
    std::vector<CalibrationEntry> m_Entries;
};

// The moment now as a calibration stamps it.
std::string UtcNow();

}  // namespace capture
