#include "SegmentCutter.h"

#include <cstring>
#include <vector>

#include "DownloadSegment.h"
#include "ImageRecords.h"

void CSegmentCutter::SetImage(SharedImage pImage, uint32_t nImageSize) {
    m_pImage = std::move(pImage);
    m_nImageSize = m_pImage ? nImageSize : 0;
    m_nImageOffset = 0;
    ReleaseSegment();
}

void CSegmentCutter::Clear() {
    SetImage(nullptr, 0);
}

void CSegmentCutter::ReleaseSegment() {
    m_pSegment.reset();
    m_nRemaining = 0;
}

bool CSegmentCutter::RecordAt(uint32_t nOffset, uint8_t& nType, uint32_t& nLength) const {
    if (!m_pImage || nOffset >= m_nImageSize || m_nImageSize - nOffset < RECORD_HEAD_SIZE) {
        return false;
    }
    nType = m_pImage[nOffset];
    nLength = GetU32(&m_pImage[nOffset + 1]);
    return nLength <= m_nImageSize - nOffset - RECORD_HEAD_SIZE;
}

uint32_t CSegmentCutter::FindFileEnd() const {
    uint32_t nOffset = m_nImageOffset;
    uint8_t nType = 0;
    uint32_t nLength = 0;
    while (RecordAt(nOffset, nType, nLength)) {
        if (nType == REC_FILE_END) {
            return nOffset;
        }
        nOffset += RECORD_HEAD_SIZE + nLength;
    }
    return m_nImageSize;
}

int CSegmentCutter::PrepareNextSegment() {
    uint8_t nType = 0;
    uint32_t nLength = 0;
    // Find the next file header, stopping at the CRC record or where the image breaks.
    while (true) {
        if (!RecordAt(m_nImageOffset, nType, nLength) || nType == REC_CRC32) {
            return 0;
        }
        if (nType == REC_FILE_HEADER) {
            break;
        }
        m_nImageOffset += RECORD_HEAD_SIZE + nLength;
    }
    if (nLength < FILE_HEADER_DESCRIPTION_OFFSET - RECORD_HEAD_SIZE + 1) {
        return 0;  // too short to hold flags, start address and a NUL
    }
    const uint32_t nHeader = m_nImageOffset;
    const uint32_t nEnd = FindFileEnd();
    if (nEnd >= m_nImageSize) {
        return 0;  // a file block without an end record is never sent
    }

    // An address record without its data record still sends a load block with count 0.
    std::vector<uint8_t> segment;
    segment.reserve(nEnd - nHeader + 2);
    segment.insert(segment.end(), &m_pImage[nHeader + 5], &m_pImage[nHeader + 10]);

    const char* pDescription = reinterpret_cast<const char*>(&m_pImage[nHeader + 10]);
    const size_t nMaxDescription = nLength - (FILE_HEADER_DESCRIPTION_OFFSET - RECORD_HEAD_SIZE);
    m_strStatus.assign(pDescription, strnlen(pDescription, nMaxDescription));

    size_t nCountSlot = 0;
    bool bHaveSlot = false;
    m_nImageOffset = nHeader + RECORD_HEAD_SIZE + nLength;
    while (m_nImageOffset < nEnd) {
        RecordAt(m_nImageOffset, nType, nLength);  // inside [nHeader, nEnd]: always whole
        const uint8_t* pPayload = &m_pImage[m_nImageOffset + RECORD_HEAD_SIZE];
        if (nType == REC_ADDRESS && nLength >= 4) {
            segment.insert(segment.end(), pPayload, pPayload + 4);
            nCountSlot = segment.size();
            segment.insert(segment.end(), 4, 0);
            bHaveSlot = true;
        } else if (nType == REC_DATA && bHaveSlot) {
            PutU32(&segment[nCountSlot], nLength);
            segment.insert(segment.end(), pPayload, pPayload + nLength);
            bHaveSlot = false;
        }
        m_nImageOffset += RECORD_HEAD_SIZE + nLength;
    }
    segment.insert(segment.end(), SEGMENT_TAIL_SIZE, 0);

    m_pSegment = std::make_unique<uint8_t[]>(segment.size());
    std::memcpy(m_pSegment.get(), segment.data(), segment.size());
    m_nSegmentLength = static_cast<uint32_t>(segment.size());
    m_nRemaining = m_nSegmentLength;
    return 1;
}
