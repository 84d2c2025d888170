#include "HexFile.h"

#include <cstdio>
#include <cstring>

#include "ImageRecords.h"
#include "RegularFile.h"

namespace {

// Value of each character as a hex digit, 0xFF for characters that are none.
struct HexDigitTable {
    uint8_t value[256];
    constexpr HexDigitTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = 0xFF;
        }
        for (int c = 0; c < 10; ++c) {
            value['0' + c] = static_cast<uint8_t>(c);
        }
        for (int c = 0; c < 6; ++c) {
            value['A' + c] = static_cast<uint8_t>(10 + c);
            value['a' + c] = static_cast<uint8_t>(10 + c);
        }
    }
};
constexpr HexDigitTable kHexDigits;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// The position after the line end (CR, LF or CR LF) at or after p, or pEnd.
const char* PastLineEnd(const char* p, const char* pEnd) {
    while (p < pEnd && !IsLineEnd(*p)) {
        ++p;
    }
    if (p < pEnd) {
        p += (*p == '\r' && p + 1 < pEnd && p[1] == '\n') ? 2 : 1;
    }
    return p;
}

// Bytes of the heads that open a pair: an address record and a data record head.
constexpr size_t kPairHeads = ADDRESS_RECORD_SIZE + RECORD_HEAD_SIZE;
// The most data bytes one line can hold.
constexpr size_t kMaxLineData = 255;

}  // namespace

CHexFile::CHexFile(std::string fileName, uint8_t nFlags)
    : m_strFileName(std::move(fileName)), m_nFlags(nFlags) {}

uint8_t* CHexFile::BlockBuffer::Room(size_t nMore) {
    if (nMore > nCapacity - nSize) {
        const size_t nNeeded = nSize + nMore;
        const size_t nNew = nNeeded > 2 * nCapacity ? nNeeded : 2 * nCapacity;
        std::unique_ptr<uint8_t[]> pNew(new uint8_t[nNew]);
        if (nSize != 0) {
            std::memcpy(pNew.get(), pBytes.get(), nSize);
        }
        pBytes = std::move(pNew);
        nCapacity = nNew;
    }
    return pBytes.get() + nSize;
}

std::unique_ptr<uint8_t[]> CHexFile::Convert(uint32_t& nLength, const std::string& description) {
    m_strError.clear();
    // The file header goes first but needs the start address, known only at the end: its
    // place is kept and filled last.
    const size_t nHeaderLength =
        FILE_HEADER_DESCRIPTION_OFFSET + strnlen(description.c_str(), description.size()) + 1;
    BlockBuffer block;
    block.Room(nHeaderLength);
    block.nSize = nHeaderLength;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
    if (!ReadRecords(block, nStartSegment, nStartOffset)) {
        return nullptr;
    }
    uint32_t nRecord = 0;
    const std::unique_ptr<uint8_t[]> pEnd = MakeEndRecord(nRecord);
    std::memcpy(block.Room(nRecord), pEnd.get(), nRecord);
    block.nSize += nRecord;
    const std::unique_ptr<uint8_t[]> pHeader =
        MakeFileHeader(m_nFlags, nStartSegment, nStartOffset, description, nRecord);
    if (!pHeader || block.nSize > UINT32_MAX) {
        m_strError = m_strFileName + ": converted file too large";
        return nullptr;
    }
    std::memcpy(block.pBytes.get(), pHeader.get(), nRecord);
    nLength = static_cast<uint32_t>(block.nSize);
    return std::move(block.pBytes);
}

int CHexFile::ReadRecords(BlockBuffer& block, uint16_t& nStartSegment, uint16_t& nStartOffset) {
    nStartSegment = 0;
    nStartOffset = 0;
    // The whole text in one read; released when the body is done.
    std::string text;
    std::string strReason;
    if (!ReadRegularFile(m_strFileName, UINT32_MAX, text, strReason)) {
        m_strError = m_strFileName + ": " + strReason;
        return 0;
    }
    // Ordinary files need well under half their text size (16 data bytes cost 44 characters);
    // sparse files with tiny lines need more, and the buffer grows for them.
    block.Room(text.size() / 2 + kPairHeads + kMaxLineData);

    uint16_t nSegment = 0;     // from the last extended segment address line
    uint16_t nRunSegment = 0;  // of the last address record, moved on at a segment's end
    uint16_t nExpected = 0;    // offset at which the next data line continues the open run
    bool bAddressWritten = false;
    bool bDataOpen = false;
    size_t nCountSlot = 0;  // block index of the open data record's length field
    uint32_t nDataCount = 0;
    auto closeData = [&] {
        if (bDataOpen) {
            PutU32(&block.pBytes[nCountSlot], nDataCount);
            bDataOpen = false;
        }
    };
    auto fail = [&](uint32_t nLine, const char* pszReason) {
        m_strError = m_strFileName + " line " + std::to_string(nLine) + ": " + pszReason;
        return 0;
    };

    const char* p = text.data();
    const char* const pEnd = p + text.size();
    HexLine line;
    uint32_t nLine = 0;
    while (p < pEnd) {
        ++nLine;
        // A data line that continues the open run puts its bytes right at the end of the
        // block; any other line leaves room before them for the heads of a new pair. Only a
        // gap or an overlap in the offsets, seen after parsing, moves the bytes.
        const bool bMayContinue = bAddressWritten && nSegment == nRunSegment;
        uint8_t* const pRoom = block.Room(kPairHeads + kMaxLineData);
        line.pData = bMayContinue ? pRoom : pRoom + kPairHeads;
        const char* pszReason = nullptr;
        if (!ParseLine(p, pEnd, line, pszReason)) {
            return fail(nLine, pszReason);
        }
        if (line.bBlank) {
            continue;
        }
        switch (line.nType) {
            case 0x00: {
                const uint16_t o = line.nOffset;
                const uint32_t n = line.nCount;
                if (bMayContinue && o == nExpected) {
                    block.nSize += n;
                } else {
                    if (bMayContinue) {
                        std::memmove(pRoom + kPairHeads, pRoom, n);
                    }
                    closeData();
                    pRoom[0] = REC_ADDRESS;
                    PutU32(&pRoom[1], 4);
                    PutU16(&pRoom[5], o);
                    PutU16(&pRoom[7], nSegment);
                    pRoom[ADDRESS_RECORD_SIZE] = REC_DATA;
                    nCountSlot = block.nSize + ADDRESS_RECORD_SIZE + 1;
                    block.nSize += kPairHeads + n;
                    bAddressWritten = true;
                    bDataOpen = true;
                    nDataCount = 0;
                    nRunSegment = nSegment;
                }
                // Data reaching the segment's last offset end the run: the next line starts a
                // new pair in the same segment, since offsets wrap within a segment.
                if (uint32_t{o} + n > 0xFFFF) {
                    nRunSegment = static_cast<uint16_t>(nRunSegment + 0x1000);
                }
                nExpected = static_cast<uint16_t>(o + n);
                nDataCount += n;
                if (block.nSize > UINT32_MAX - 0x10000) {
                    return fail(nLine, "converted file too large");
                }
                break;
            }
            case 0x01:
                closeData();
                return 1;
            case 0x02:
                if (line.nCount != 2) {
                    return fail(nLine, "extended segment address record needs 2 data bytes");
                }
                nSegment = static_cast<uint16_t>(line.pData[0] << 8 | line.pData[1]);
                bAddressWritten = false;
                break;
            case 0x03:
                if (line.nCount != 4) {
                    return fail(nLine, "start segment address record needs 4 data bytes");
                }
                nStartSegment = static_cast<uint16_t>(line.pData[0] << 8 | line.pData[1]);
                nStartOffset = static_cast<uint16_t>(line.pData[2] << 8 | line.pData[3]);
                break;
            case 0x04: {
                if (line.nCount != 2) {
                    return fail(nLine, "extended linear address record needs 2 data bytes");
                }
                // Only the lowest 64 KiB fit segmented addressing; data above would land at
                // the wrong address.
                const unsigned nUpper = static_cast<unsigned>(line.pData[0] << 8 | line.pData[1]);
                if (nUpper != 0) {
                    char reason[64];
                    std::snprintf(reason, sizeof reason,
                                  "extended linear address 0x%04X not supported", nUpper);
                    return fail(nLine, reason);
                }
                break;
            }
            default:
                break;  // start linear address and any later type carry nothing for the image
        }
    }
    m_strError = m_strFileName + ": no end-of-file record";
    return 0;
}

int CHexFile::ParseLine(const char*& p, const char* pEnd, HexLine& line, const char*& pszReason) {
    // One pass over the line: the fields are read where the record format puts them, and
    // only a failure looks further to tell the reason and find the line's end.
    const char* q = p;
    while (q < pEnd && IsBlank(*q)) {
        ++q;
    }
    line.bBlank = q == pEnd || IsLineEnd(*q);
    if (line.bBlank) {
        p = PastLineEnd(q, pEnd);
        return 1;
    }
    auto fail = [&](const char* pszWhy) {
        pszReason = pszWhy;
        p = PastLineEnd(q, pEnd);
        return 0;
    };
    // A pair that cannot be read is missing when the line ends after a few more digits.
    auto badPair = [&] {
        const char* r = q;
        while (r < pEnd && kHexDigits.value[static_cast<uint8_t>(*r)] <= 0x0F) {
            ++r;
        }
        while (r < pEnd && IsBlank(*r)) {
            ++r;
        }
        return fail(r == pEnd || IsLineEnd(*r) ? "line too short" : "invalid hex digit");
    };
    auto pair = [&](uint8_t& nByte) {
        if (pEnd - q < 2 || !HexByte(q, nByte)) {
            return false;
        }
        q += 2;
        return true;
    };

    if (*q != ':') {
        return fail("missing ':'");
    }
    ++q;
    uint8_t nChecksum = 0;
    if (!pair(line.nCount)) {
        return badPair();
    }
    if (pEnd - q < 4 || !HexWord(q, line.nOffset)) {
        return badPair();
    }
    q += 4;
    if (!pair(line.nType)) {
        return badPair();
    }
    unsigned nSum = line.nCount + (line.nOffset >> 8) + (line.nOffset & 0xFF) + line.nType;
    for (unsigned i = 0; i < line.nCount; ++i) {
        if (!pair(line.pData[i])) {
            return badPair();
        }
        nSum += line.pData[i];
    }
    if (!pair(nChecksum)) {
        return badPair();
    }
    while (q < pEnd && IsBlank(*q)) {
        ++q;
    }
    // Anything else after the checksum means the line is not what its count says, for
    // example two records run together after a lost line end.
    if (q < pEnd && !IsLineEnd(*q)) {
        return fail("unexpected text after the checksum");
    }
    if (((nSum + nChecksum) & 0xFF) != 0) {
        return fail("checksum mismatch");
    }
    p = PastLineEnd(q, pEnd);
    return 1;
}

int CHexFile::HexByte(const char* p, uint8_t& nByte) {
    const uint8_t nHigh = kHexDigits.value[static_cast<uint8_t>(p[0])];
    const uint8_t nLow = kHexDigits.value[static_cast<uint8_t>(p[1])];
    if ((nHigh | nLow) > 0x0F) {
        return 0;
    }
    nByte = static_cast<uint8_t>(nHigh << 4 | nLow);
    return 1;
}

int CHexFile::HexWord(const char* p, uint16_t& nWord) {
    uint8_t nHigh = 0;
    uint8_t nLow = 0;
    if (!HexByte(p, nHigh) || !HexByte(p + 2, nLow)) {
        return 0;
    }
    nWord = static_cast<uint16_t>(nHigh << 8 | nLow);
    return 1;
}

std::unique_ptr<uint8_t[]> CHexFile::MakeFileHeader(uint8_t nFlags, uint16_t nStartSegment,
                                                    uint16_t nStartOffset,
                                                    const std::string& description,
                                                    uint32_t& nLength) {
    // The description is NUL-terminated text: it ends at its first NUL, if any.
    const size_t n = strnlen(description.c_str(), description.size());
    if (n > UINT32_MAX - FILE_HEADER_DESCRIPTION_OFFSET - 1) {
        return nullptr;
    }
    nLength = static_cast<uint32_t>(FILE_HEADER_DESCRIPTION_OFFSET + n + 1);
    std::unique_ptr<uint8_t[]> pRecord(new uint8_t[nLength]);
    pRecord[0] = REC_FILE_HEADER;
    PutU32(&pRecord[1], nLength - RECORD_HEAD_SIZE);
    pRecord[5] = nFlags;
    PutU16(&pRecord[6], nStartOffset);
    PutU16(&pRecord[8], nStartSegment);
    std::memcpy(&pRecord[FILE_HEADER_DESCRIPTION_OFFSET], description.data(), n);
    pRecord[nLength - 1] = 0;
    return pRecord;
}

std::unique_ptr<uint8_t[]> CHexFile::MakeEndRecord(uint32_t& nLength) {
    nLength = END_RECORD_SIZE;
    std::unique_ptr<uint8_t[]> pRecord(new uint8_t[END_RECORD_SIZE]);
    pRecord[0] = REC_FILE_END;
    PutU32(&pRecord[1], 0);
    return pRecord;
}
