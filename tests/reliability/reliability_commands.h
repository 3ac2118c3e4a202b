// The host command numbers the reliability tests walk through.
#pragma once

#include <set>

namespace reliability {

// Every command Main carries out.
inline const std::set<int> kSupported = {1,  5,  6,  7,  8,  9,  10, 16, 17, 18,
                                         19, 24, 25, 29, 30, 33, 44, 47, 53};
// Those that need a connected deck.
constexpr int kDeckCommands[] = {7, 8, 9, 10, 16, 17, 18, 24, 25, 29, 30, 33, 44, 47, 53};

}  // namespace reliability
