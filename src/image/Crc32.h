// CCrc32: the standard CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// complement), the checksum stored in an image's CRC record. Computed through a 256-entry table
// that the constructor fills; every Compute call starts afresh.
//
// Whole images are long, so Compute takes eight bytes a step ("slicing by eight") through seven
// further tables derived from the same one at compile time; the result is the same as taking
// one byte a step through m_table, which it still does for the last bytes.
#pragma once

#include <cstdint>

class CCrc32 {
public:
    CCrc32();
    virtual ~CCrc32() = default;

    // CRC-32 of nCount bytes at pData; 0 for no bytes.
    uint32_t Compute(const uint8_t* pData, uint32_t nCount) const;

private:
    uint32_t m_table[256];
};
