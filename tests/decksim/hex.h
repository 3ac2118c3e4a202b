// Wire bytes written as "D7 0A ..." in the test tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace decksim::test {

std::vector<uint8_t> Bytes(const std::string& hex);
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace decksim::test
