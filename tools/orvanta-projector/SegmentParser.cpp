#include "SegmentParser.h"

#include <algorithm>

#include "ImageRecords.h"

namespace {

constexpr size_t kHeadSize = 5;
constexpr size_t kLoadHeadSize = 8;
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
    if (nLength < kHeadSize) {
        return Invalid(std::move(info), nLength, "shorter than the 5-byte segment head");
    }
    info.m_nFlags = pData[0];
    info.m_nStartOffset = GetU16(pData + 1);
    info.m_nStartSegment = GetU16(pData + 3);

    size_t nOffset = kHeadSize;
    for (;;) {
        if (nLength - nOffset < kLoadHeadSize) {
            return Invalid(std::move(info), nLength,
                           "no terminator: data ends inside a load block head at offset " +
                               std::to_string(nOffset));
        }
        const uint32_t nAddress = GetU32(pData + nOffset);
        const uint32_t nCount = GetU32(pData + nOffset + 4);
        nOffset += kLoadHeadSize;
        if (nAddress == 0 && nCount == 0) {
            break;
        }
        if (nCount > nLength - nOffset) {
            return Invalid(std::move(info), nLength,
                           "load block at offset " + std::to_string(nOffset - kLoadHeadSize) +
                               " claims " + std::to_string(nCount) + " bytes, " +
                               std::to_string(nLength - nOffset) + " follow");
        }
        info.m_loadBlocks.push_back({nAddress, nCount});
        nOffset += nCount;
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
