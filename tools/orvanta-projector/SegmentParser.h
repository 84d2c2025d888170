// Reading one received download segment: u8 flags, u16 start offset, u16 start segment, load
// blocks of (u32 load address, u32 count, count bytes), then two u32 zeros, all little-endian.
// The segment arrives in 128-byte blocks, so the last block carries zero padding after the
// terminator; the segment's own length is known only from where the terminator stands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "DownloadSegment.h"

struct SegmentInfo {
    uint32_t m_nIndex = 0;  // 1 for the first segment of a run
    bool m_bValid = false;
    std::string m_strError;  // why the bytes are no segment; empty when valid
    uint8_t m_nFlags = 0;
    uint16_t m_nStartOffset = 0;
    uint16_t m_nStartSegment = 0;
    // Valid: the bytes up to and including the terminator. Invalid: every byte received.
    uint32_t m_nLength = 0;
    std::vector<LoadBlockInfo> m_loadBlocks;
    // Compared with the segment expected (--expect): 1 the same bytes, 0 not, -1 not compared.
    int m_nExact = -1;
};

// Parses the bytes of one transfer (the data of every accepted block, padding included).
// Never reads past nLength and trusts no count: a count that runs past the received bytes, a
// missing terminator, non-zero bytes after it or a whole block of padding make it invalid.
SegmentInfo ParseSegment(const uint8_t* pData, size_t nLength);
