// The layout of a download segment, as the cutter makes it and the projector reads it: the
// head (u8 flags, u16 start offset, u16 start segment), load blocks of (u32 load address with
// the segment in 16-byte paragraphs high and the offset low, u32 count, count bytes), then the
// tail, two u32 zeros. Little-endian, unpadded. Readers here trust no count: the caller
// checks each against the bytes that follow.
#pragma once

#include <cstdint>

#include "ImageRecords.h"

inline constexpr uint32_t SEGMENT_HEAD_SIZE = 5;
inline constexpr uint32_t LOAD_BLOCK_HEAD_SIZE = 8;
inline constexpr uint32_t SEGMENT_TAIL_SIZE = 8;

struct SegmentHead {
    uint8_t nFlags = 0;
    uint16_t nStartOffset = 0;
    uint16_t nStartSegment = 0;
};

struct LoadBlockInfo {
    uint16_t nSegment = 0;  // in 16-byte paragraphs
    uint16_t nOffset = 0;
    uint32_t nCount = 0;  // data bytes after the block's head, as stored

    // A head of all zeros reads like the tail (a load block at 0000:0000 with no bytes, which
    // the cutter makes for an address record without data, looks the same).
    bool LooksLikeTail() const { return nSegment == 0 && nOffset == 0 && nCount == 0; }
};

// The head at pData, which must hold SEGMENT_HEAD_SIZE bytes.
inline SegmentHead ReadSegmentHead(const uint8_t* pData) {
    return {pData[0], GetU16(pData + 1), GetU16(pData + 3)};
}

// The load block head at pData, which must hold LOAD_BLOCK_HEAD_SIZE bytes.
inline LoadBlockInfo ReadLoadBlockHead(const uint8_t* pData) {
    const uint32_t nAddress = GetU32(pData);
    return {static_cast<uint16_t>(nAddress >> 16), static_cast<uint16_t>(nAddress & 0xFFFF),
            GetU32(pData + 4)};
}
