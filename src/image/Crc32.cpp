#include "Crc32.h"

CCrc32::CCrc32() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        }
        m_table[i] = c;
    }
}

uint32_t CCrc32::Compute(const uint8_t* pData, uint32_t nCount) const {
    uint32_t c = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < nCount; ++i) {
        c = (c >> 8) ^ m_table[(c ^ pData[i]) & 0xFF];
    }
    return c ^ 0xFFFFFFFFu;
}
