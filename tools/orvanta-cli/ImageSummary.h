// What `info` and `send` tell about an image: its size, its CRC record against the CRC-32 of
// the bytes before it, and for each file block the download segment that the cutter makes of
// it (flags, start address, load blocks, length) with the description shown while it is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DownloadSegment.h"

struct FileBlockInfo {
    std::string strDescription;
    uint8_t nFlags = 0;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
    std::vector<LoadBlockInfo> loadBlocks;
    uint32_t nSegmentLength = 0;  // bytes of the download segment
};

struct ImageSummary {
    uint32_t nImageSize = 0;
    bool bHasCrcRecord = false;  // the image ends in a CRC record
    uint32_t nStoredCrc = 0;     // its value (0 without one)
    uint32_t nComputedCrc = 0;   // CRC-32 of the bytes before it (of all bytes without one)
    std::vector<FileBlockInfo> files;
    uint64_t nTotalSegmentBytes = 0;  // sum of the segment lengths

    bool CrcMatches() const { return bHasCrcRecord && nStoredCrc == nComputedCrc; }
};

// Summarises the nSize bytes at pImage (not kept). The segments come from CSegmentCutter on a
// copy, so an image that breaks the record grammar lists the file blocks before the break.
ImageSummary SummarizeImage(const uint8_t* pImage, uint32_t nSize);

// The names of the set flags in the order FLASH_WRITE, BOOTROM_WRITE, FILE, RESET; any other
// set bit as its hex value ("0x40").
std::vector<std::string> FlagNames(uint8_t nFlags);

// "SSSS:OOOO" in upper-case hex.
std::string FormatSegmentOffset(uint16_t nSegment, uint16_t nOffset);
