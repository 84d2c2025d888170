#include "ModbusCrc.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> MakeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t nCrc = static_cast<uint16_t>(n);
        for (int nBit = 0; nBit < 8; ++nBit) {
            nCrc = (nCrc & 1) ? static_cast<uint16_t>((nCrc >> 1) ^ 0xA001) : (nCrc >> 1);
        }
        table[n] = nCrc;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = MakeTable();

}  // namespace

uint16_t ModbusCrc16(const uint8_t* pData, size_t nLength) {
    uint16_t nCrc = 0xFFFF;
    for (size_t i = 0; i < nLength; ++i) {
        nCrc = static_cast<uint16_t>((nCrc >> 8) ^ kTable[(nCrc ^ pData[i]) & 0xFF]);
    }
    return nCrc;
}
