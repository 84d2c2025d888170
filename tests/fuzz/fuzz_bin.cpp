// Fuzz target: any bytes as a .bin image, as they are and with the last nine made a correct
// CRC record (so mutations reach valid images). The check gives a reason exactly when it
// refuses; the cutter cuts only well-formed segments, for a valid image one per file block,
// carrying every data byte; neither reads outside the bytes.
#include <cstdio>
#include <cstdlib>

#include "ImageCheck.h"
#include "SegmentCutter.h"
#include "TestSupport.h"

namespace {

void Require(bool bHolds, const char* what) {
    if (!bHolds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void CheckAndCut(const orvtest::Bytes& image) {
    const auto nSize = static_cast<uint32_t>(image.size());
    auto pImage = orvtest::ToBuffer(image);  // exactly sized: a read past it is caught
    std::string strReason;
    const bool bValid = CheckImage(pImage.get(), nSize, strReason) == 1;
    Require(bValid == strReason.empty(), "a reason exactly on failure");
    CSegmentCutter cutter;
    cutter.SetImage(std::move(pImage), nSize);
    uint64_t nLoadBytes = 0;
    uint32_t nSegments = 0;
    for (uint32_t nLast = 0; cutter.PrepareNextSegment() == 1; ++nSegments) {
        Require(cutter.m_nImageOffset < nSize && (nSegments == 0 || cutter.m_nImageOffset > nLast),
                "the cutter moves on inside the image");
        nLast = cutter.m_nImageOffset;
        const uint8_t* p = cutter.m_pSegment.get();
        const uint32_t nEnd = cutter.m_nSegmentLength - 8;  // where the two zero words start
        Require(cutter.m_nSegmentLength >= 13 && cutter.m_nRemaining == cutter.m_nSegmentLength &&
                    GetU32(p + nEnd) == 0 && GetU32(p + nEnd + 4) == 0,
                "a whole segment: header, load blocks, two zero words");
        uint32_t n = 5;
        for (; n + 8 <= nEnd; n += 8 + GetU32(p + n + 4)) {
            Require(GetU32(p + n + 4) <= nEnd - n - 8, "load block inside the segment");
            nLoadBytes += GetU32(p + n + 4);
        }
        Require(n == nEnd, "load blocks fill the segment");
        cutter.ReleaseSegment();
    }
    Require(cutter.m_nImageOffset <= nSize, "offset at most the image size");
    if (bValid) {
        uint64_t nDataBytes = 0;
        for (uint32_t n = 0; image[n] != REC_CRC32; n += RECORD_HEAD_SIZE + GetU32(&image[n + 1])) {
            nDataBytes += image[n] == REC_DATA ? GetU32(&image[n + 1]) : 0;
        }
        Require(nLoadBytes == nDataBytes && nSegments == CountFileBlocks(image.data(), nSize),
                "one segment per file block, carrying every data byte");
        Require(cutter.m_nImageOffset == nSize - CRC_RECORD_SIZE, "cutting ends on the CRC record");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orvtest::Bytes image(data, data + size);
    CheckAndCut(image);
    if (size >= IMAGE_HEADER_RECORD_SIZE + CRC_RECORD_SIZE) {
        image.resize(size - CRC_RECORD_SIZE);
        orvtest::AppendCrcRecord(image);
        CheckAndCut(image);
    }
    return 0;
}
