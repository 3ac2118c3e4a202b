// Reads a fuzzer's input from the front, one field at a time; past the end every read is 0,
// so a short input is still a whole, if quiet, run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzing {

class Input {
  public:
    Input(const uint8_t* data, std::size_t size) : m_Data(data), m_Size(size) {}

    bool Empty() const { return m_Pos >= m_Size; }
    uint8_t Byte() { return m_Pos < m_Size ? m_Data[m_Pos++] : 0; }
    uint32_t Word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= uint32_t{Byte()} << (8 * i);  // little-endian, as the records are
        }
        return v;
    }
    std::vector<uint8_t> Bytes(std::size_t n) {
        std::vector<uint8_t> out;
        for (std::size_t i = 0; i < n && !Empty(); ++i) {
            out.push_back(Byte());
        }
        return out;
    }

  private:
    const uint8_t* m_Data;
    std::size_t m_Size;
    std::size_t m_Pos = 0;
};

}  // namespace fuzzing
