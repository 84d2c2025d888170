#include "ImageSummary.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "Crc32.h"
#include "DownloadSegment.h"
#include "ImageRecords.h"
#include "SegmentCutter.h"

namespace {

FileBlockInfo DescribeSegment(const CSegmentCutter& cutter) {
    FileBlockInfo file;
    const uint8_t* pSegment = cutter.m_pSegment.get();
    const uint32_t nLength = cutter.m_nSegmentLength;
    file.strDescription = cutter.m_strStatus;
    file.nSegmentLength = nLength;
    if (pSegment == nullptr || nLength < SEGMENT_HEAD_SIZE + SEGMENT_TAIL_SIZE) {
        return file;
    }
    const SegmentHead head = ReadSegmentHead(pSegment);
    file.nFlags = head.nFlags;
    file.nStartOffset = head.nStartOffset;
    file.nStartSegment = head.nStartSegment;
    // Load blocks are walked by the segment's length, not up to a zero address, since a block
    // may itself start at 0000:0000.
    uint32_t nPos = SEGMENT_HEAD_SIZE;
    const uint32_t nEnd = nLength - SEGMENT_TAIL_SIZE;
    while (nEnd - nPos >= LOAD_BLOCK_HEAD_SIZE) {
        const LoadBlockInfo block = ReadLoadBlockHead(pSegment + nPos);
        if (block.nCount > nEnd - nPos - LOAD_BLOCK_HEAD_SIZE) {
            break;
        }
        file.loadBlocks.push_back(block);
        nPos += LOAD_BLOCK_HEAD_SIZE + block.nCount;
    }
    return file;
}

}  // namespace

ImageSummary SummarizeImage(const uint8_t* pImage, uint32_t nSize) {
    ImageSummary summary;
    summary.nImageSize = nSize;
    const CCrc32 crc;
    if (nSize >= CRC_RECORD_SIZE && pImage[nSize - CRC_RECORD_SIZE] == REC_CRC32 &&
        GetU32(pImage + nSize - CRC_RECORD_SIZE + 1) == 4) {
        summary.bHasCrcRecord = true;
        summary.nStoredCrc = GetU32(pImage + nSize - 4);
        summary.nComputedCrc = crc.Compute(pImage, nSize - CRC_RECORD_SIZE);
    } else {
        summary.nComputedCrc = crc.Compute(pImage, nSize);
    }

    auto pCopy = std::make_unique<uint8_t[]>(nSize);
    if (nSize > 0) {
        std::memcpy(pCopy.get(), pImage, nSize);
    }
    CSegmentCutter cutter;
    cutter.SetImage(std::move(pCopy), nSize);
    while (cutter.PrepareNextSegment() == 1) {
        summary.files.push_back(DescribeSegment(cutter));
        summary.nTotalSegmentBytes += cutter.m_nSegmentLength;
        cutter.ReleaseSegment();
    }
    return summary;
}

std::vector<std::string> FlagNames(uint8_t nFlags) {
    static const struct {
        uint8_t nBit;
        const char* pName;
    } names[] = {
        {FLAG_FLASH_WRITE, "FLASH_WRITE"},
        {FLAG_BOOTROM_WRITE, "BOOTROM_WRITE"},
        {FLAG_FILE, "FILE"},
        {FLAG_RESET, "RESET"},
    };
    std::vector<std::string> result;
    for (const auto& name : names) {
        if (nFlags & name.nBit) {
            result.emplace_back(name.pName);
        }
    }
    for (unsigned nBit = 0x10; nBit <= 0x80; nBit <<= 1) {
        if (nFlags & nBit) {
            char text[8];
            std::snprintf(text, sizeof text, "0x%02X", nBit);
            result.emplace_back(text);
        }
    }
    return result;
}

std::string FormatSegmentOffset(uint16_t nSegment, uint16_t nOffset) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X:%04X", nSegment, nOffset);
    return text;
}
