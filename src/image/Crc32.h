// CCrc32: the standard CRC-32 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF, final
// complement), the checksum stored in an image's CRC record. Computed through the 256-entry
// table of the algorithm, built once at compile time and shared by every object, so making an
// object costs nothing; every Compute call starts afresh.
//
// Whole images are long, so Compute takes eight bytes a step ("slicing by eight") through seven
// further tables derived from that one; the result is the same as taking one byte a step
// through it, which Compute still does for the last bytes.
#pragma once

#include <cstdint>

class CCrc32 {
public:
    CCrc32() = default;
    virtual ~CCrc32() = default;

    // CRC-32 of nCount bytes at pData; 0 for no bytes.
    uint32_t Compute(const uint8_t* pData, uint32_t nCount) const;
};
