#include "SegmentParser.h"

#include <algorithm>

#include "DownloadSegment.h"

namespace {

constexpr size_t kBlockSize = 128;

SegmentInfo Invalid(SegmentInfo info, size_t nLength, std::string strError) {
    info.m_bValid = false;
    info.m_nLength = static_cast<uint32_t>(nLength);
    info.m_strError = std::move(strError);
    return info;
}

}  // namespace

SegmentInfo ParseSegment(const uint8_t* pData, size_t nLength) {
    SegmentInfo info;
    if (nLength < SEGMENT_HEAD_SIZE) {
        return Invalid(std::move(info), nLength, "shorter than the 5-byte segment head");
    }
    const SegmentHead head = ReadSegmentHead(pData);
    info.m_nFlags = head.nFlags;
    info.m_nStartOffset = head.nStartOffset;
    info.m_nStartSegment = head.nStartSegment;

    size_t nOffset = SEGMENT_HEAD_SIZE;
    for (;;) {
        if (nLength - nOffset < LOAD_BLOCK_HEAD_SIZE) {
            return Invalid(std::move(info), nLength,
                           "no terminator: data ends inside a load block head at offset " +
                               std::to_string(nOffset));
        }
        const LoadBlockInfo block = ReadLoadBlockHead(pData + nOffset);
        nOffset += LOAD_BLOCK_HEAD_SIZE;
        if (block.LooksLikeTail()) {
            break;
        }
        if (block.nCount > nLength - nOffset) {
            return Invalid(std::move(info), nLength,
                           "load block at offset " +
                               std::to_string(nOffset - LOAD_BLOCK_HEAD_SIZE) + " claims " +
                               std::to_string(block.nCount) + " bytes, " +
                               std::to_string(nLength - nOffset) + " follow");
        }
        info.m_loadBlocks.push_back(block);
        nOffset += block.nCount;
    }

    const size_t nPadding = nLength - nOffset;
    if (nPadding >= kBlockSize) {
        return Invalid(std::move(info), nLength,
                       std::to_string(nPadding) + " bytes follow the terminator");
    }
    if (!std::all_of(pData + nOffset, pData + nLength, [](uint8_t b) { return b == 0; })) {
        return Invalid(std::move(info), nLength, "non-zero bytes follow the terminator");
    }
    info.m_bValid = true;
    info.m_nLength = static_cast<uint32_t>(nOffset);
    return info;
}
