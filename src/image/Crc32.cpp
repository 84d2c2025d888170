#include "Crc32.h"

#include <array>
#include <cstddef>

#include "ImageRecords.h"

namespace {

constexpr uint32_t POLYNOMIAL = 0xEDB88320u;

using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

// Table k gives the CRC effect of a byte followed by k zero bytes, so eight table lookups
// advance the CRC by eight bytes at once.
constexpr SliceTables MakeSliceTables() {
    SliceTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) ? (c >> 1) ^ POLYNOMIAL : c >> 1;
        }
        tables[0][i] = c;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t c = tables[k - 1][i];
            tables[k][i] = (c >> 8) ^ tables[0][c & 0xFF];
        }
    }
    return tables;
}

constexpr SliceTables kSlices = MakeSliceTables();

static_assert(kSlices[0][1] == 0x77073096u && kSlices[0][255] == 0x2D02EF8Du);

}  // namespace

uint32_t CCrc32::Compute(const uint8_t* pData, uint32_t nCount) const {
    uint32_t c = 0xFFFFFFFFu;
    uint32_t i = 0;
    for (; nCount - i >= 8; i += 8) {
        const uint32_t nLow = GetU32(pData + i) ^ c;
        const uint32_t nHigh = GetU32(pData + i + 4);
        c = kSlices[7][nLow & 0xFF] ^ kSlices[6][(nLow >> 8) & 0xFF] ^
            kSlices[5][(nLow >> 16) & 0xFF] ^ kSlices[4][nLow >> 24] ^ kSlices[3][nHigh & 0xFF] ^
            kSlices[2][(nHigh >> 8) & 0xFF] ^ kSlices[1][(nHigh >> 16) & 0xFF] ^
            kSlices[0][nHigh >> 24];
    }
    for (; i < nCount; ++i) {
        c = (c >> 8) ^ kSlices[0][(c ^ pData[i]) & 0xFF];
    }
    return c ^ 0xFFFFFFFFu;
}
