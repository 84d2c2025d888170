// Fuzz target: any bytes as an image read from a .bin file. The check must stay inside the
// bytes and the cutter must be safe on any of them; whatever it cuts must be well-formed
// segments, and for an image that passes the check the segments carry every data byte. Each
// input also runs with its last nine bytes made a correct CRC record, so that mutations of
// the records reach the valid images instead of stopping at the CRC.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Crc32.h"
#include "ImageCheck.h"
#include "ImageRecords.h"
#include "SegmentCutter.h"

namespace {

void Require(bool bHolds, const char* what) {
    if (!bHolds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Sum of the load block counts of one segment; aborts unless the load blocks fill the space
// between the five header bytes and the two zero words exactly.
uint64_t LoadBytes(const uint8_t* pSegment, uint32_t nLength) {
    Require(nLength >= 13, "segment holds header and terminator");
    Require(GetU32(pSegment + nLength - 8) == 0 && GetU32(pSegment + nLength - 4) == 0,
            "segment ends with two zero words");
    const uint32_t nBlocksEnd = nLength - 8;
    uint64_t nBytes = 0;
    uint32_t n = 5;
    while (n < nBlocksEnd) {
        Require(nBlocksEnd - n >= 8, "load block head inside the segment");
        const uint32_t nCount = GetU32(pSegment + n + 4);
        Require(nCount <= nBlocksEnd - n - 8, "load block bytes inside the segment");
        nBytes += nCount;
        n += 8 + nCount;
    }
    return nBytes;
}

void CheckAndCut(const uint8_t* data, size_t size);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckAndCut(data, size);
    if (size >= IMAGE_HEADER_RECORD_SIZE + CRC_RECORD_SIZE) {
        std::vector<uint8_t> repaired(data, data + size);
        const uint32_t nCrcAt = static_cast<uint32_t>(size - CRC_RECORD_SIZE);
        repaired[nCrcAt] = REC_CRC32;
        PutU32(&repaired[nCrcAt + 1], 4);
        PutU32(&repaired[nCrcAt + 5], CCrc32().Compute(repaired.data(), nCrcAt));
        if (!std::equal(repaired.begin(), repaired.end(), data)) {
            CheckAndCut(repaired.data(), repaired.size());
        }
    }
    return 0;
}

namespace {

void CheckAndCut(const uint8_t* data, size_t size) {
    const auto nSize = static_cast<uint32_t>(size);
    std::string strReason;
    const int bValid = CheckImage(data, nSize, strReason);
    Require(bValid == 1 ? strReason.empty() : !strReason.empty(), "a reason exactly on failure");

    // An exactly sized copy, so a read past the image is caught.
    std::unique_ptr<uint8_t[]> pImage(new uint8_t[size]);
    if (size != 0) {
        std::memcpy(pImage.get(), data, size);
    }
    CSegmentCutter cutter;
    cutter.SetImage(std::move(pImage), nSize);
    uint64_t nLoadBytes = 0;
    uint32_t nSegments = 0;
    uint32_t nLastOffset = 0;
    while (cutter.PrepareNextSegment() == 1) {
        Require(nSegments == 0 || cutter.m_nImageOffset > nLastOffset, "the cutter moves on");
        Require(cutter.m_nImageOffset < nSize, "offset inside the image");
        nLastOffset = cutter.m_nImageOffset;
        Require(cutter.m_nRemaining == cutter.m_nSegmentLength, "remaining is the whole segment");
        nLoadBytes += LoadBytes(cutter.m_pSegment.get(), cutter.m_nSegmentLength);
        cutter.ReleaseSegment();
        ++nSegments;
    }
    Require(cutter.m_nImageOffset <= nSize, "offset at most the image size");

    if (bValid == 1) {
        uint64_t nDataBytes = 0;
        for (uint32_t n = 0; data[n] != REC_CRC32; n += RECORD_HEAD_SIZE + GetU32(data + n + 1)) {
            nDataBytes += data[n] == REC_DATA ? GetU32(data + n + 1) : 0;
        }
        Require(nLoadBytes == nDataBytes, "segments carry every data byte");
        Require(nSegments == CountFileBlocks(data, nSize), "one segment per file block");
        Require(cutter.m_nImageOffset == nSize - CRC_RECORD_SIZE, "cutting ends on the CRC record");
    }
}

}  // namespace
