#include "hex.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace decksim::test {

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> out;
    std::istringstream in(hex);
    for (std::string t; in >> t;) {
        size_t used = 0;
        const unsigned long v = std::stoul(t, &used, 16);
        if (used != t.size() || v > 0xFF) {
            throw std::invalid_argument("bad hex byte: " + t);
        }
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

}  // namespace decksim::test
