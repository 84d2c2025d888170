#include "HexFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

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

// White space inside a line: the line ends (CR, LF) are not.
bool IsSpaceInLine(char c) {
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
static_assert(CHexFile::WORK_ROOM == kPairHeads + kMaxLineData);
const char kLineTooShort[] = "line too short";

// A growing block starts with room for an ordinary file (16 data bytes cost 44 characters)
// of this much text at most; files of scattered tiny lines grow it.
constexpr size_t kMaxFirstReserve = 8u * 1024 * 1024;

}  // namespace

CHexFile::CHexFile(std::string fileName, uint8_t nFlags)
    : m_strFileName(std::move(fileName)), m_nFlags(nFlags) {}

uint8_t* CHexFile::BlockBuffer::Room(size_t nMore) {
    if (nMore > nCapacity - nSize) {
        if (bFixed) {
            return nullptr;
        }
        const size_t nNeeded = nSize + nMore;
        const size_t nNew = nNeeded > 2 * nCapacity ? nNeeded : 2 * nCapacity;
        std::unique_ptr<uint8_t[]> pNew(new uint8_t[nNew]);
        if (nSize != 0) {
            std::memcpy(pNew.get(), pBytes, nSize);
        }
        pOwned = std::move(pNew);
        pBytes = pOwned.get();
        nCapacity = nNew;
    }
    return pBytes + nSize;
}

std::unique_ptr<uint8_t[]> CHexFile::Convert(uint32_t& nLength, const std::string& description) {
    BlockBuffer block;
    if (!Run(block, UINT32_MAX, "converted file too large", nLength, description)) {
        return nullptr;
    }
    return std::move(block.pOwned);
}

int CHexFile::ConvertInto(uint8_t* pOut, uint32_t nLimit, const std::string& limitReason,
                          uint32_t& nLength, const std::string& description) {
    BlockBuffer block;
    block.pBytes = pOut;
    block.nCapacity = size_t{nLimit} + WORK_ROOM;
    block.bFixed = true;
    return Run(block, nLimit, limitReason, nLength, description);
}

int CHexFile::Run(BlockBuffer& block, uint64_t nLimit, const std::string& limitReason,
                  uint32_t& nLength, const std::string& description) {
    m_strError.clear();
    m_bOpened = true;
    // The file header goes first but needs the start address, known only at the end: its
    // place is kept and filled last.
    const size_t nDescription = strnlen(description.c_str(), description.size());
    const size_t nHeaderLength = FILE_HEADER_DESCRIPTION_OFFSET + nDescription + 1;
    if (nHeaderLength + END_RECORD_SIZE > nLimit || block.Room(nHeaderLength) == nullptr) {
        m_strError = m_strFileName + ": " + limitReason;
        return 0;
    }
    block.nSize = nHeaderLength;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
    if (!ReadRecords(block, nLimit, limitReason, nStartSegment, nStartOffset)) {
        return 0;
    }
    // ReadRecords left room for the end record within the limit.
    MakeEndRecord(block.Room(END_RECORD_SIZE));
    block.nSize += END_RECORD_SIZE;
    MakeFileHeader(block.pBytes, m_nFlags, nStartSegment, nStartOffset, description.c_str(),
                   nDescription);
    nLength = static_cast<uint32_t>(block.nSize);
    return 1;
}

int CHexFile::ReadRecords(BlockBuffer& block, uint64_t nLimit, const std::string& limitReason,
                          uint16_t& nStartSegment, uint16_t& nStartOffset) {
    nStartSegment = 0;
    nStartOffset = 0;
    CRegularFile file;
    std::string strReason;
    std::string_view text;
    if (!file.Open(m_strFileName, strReason)) {
        m_bOpened = false;
        m_strError = m_strFileName + ": " + strReason;
        return 0;
    }
    if (!file.Map(MAX_HEX_TEXT, text, strReason)) {
        m_strError = m_strFileName + ": " + strReason;
        return 0;
    }
    const bool bCut = file.Size() > text.size();
    if (!block.bFixed) {
        block.Room(std::min(text.size() / 2, kMaxFirstReserve) + kPairHeads + kMaxLineData);
    }

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
    const std::string cutReason =
        "no end-of-file record in the first " + std::to_string(MAX_HEX_TEXT) + " bytes";
    const char* p = text.data();
    const char* const pEnd = p + text.size();
    auto fail = [&](uint32_t nLine, const char* pszReason) {
        m_strError = m_strFileName + " line " + std::to_string(nLine) + ": " + pszReason;
        return 0;
    };

    HexLine line;
    uint32_t nLine = 0;
    while (p < pEnd) {
        ++nLine;
        // A data line that continues the open run puts its bytes right at the end of the
        // block; any other line leaves room before them for the heads of a new pair. Only a
        // gap or an overlap in the offsets, seen after parsing, moves the bytes.
        const bool bMayContinue = bAddressWritten && nSegment == nRunSegment;
        uint8_t* const pRoom = block.Room(kPairHeads + kMaxLineData);
        if (pRoom == nullptr) {
            return fail(nLine, limitReason.c_str());
        }
        line.pData = bMayContinue ? pRoom : pRoom + kPairHeads;
        const char* pszReason = nullptr;
        if (!ParseLine(p, pEnd, line, pszReason)) {
            // A line cut short by the end of what was read may be whole in the file.
            const bool bAtCut =
                bCut && pszReason == kLineTooShort && std::find_if(p, pEnd, IsLineEnd) == pEnd;
            return fail(nLine, bAtCut ? cutReason.c_str() : pszReason);
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
                // The end record must still fit: a block that cannot fit is refused at once.
                if (block.nSize + END_RECORD_SIZE > nLimit) {
                    return fail(nLine, limitReason.c_str());
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
    m_strError = m_strFileName + ": " + (bCut ? cutReason : "no end-of-file record");
    return 0;
}

int CHexFile::ParseLine(const char*& p, const char* pEnd, HexLine& line, const char*& pszReason) {
    // One pass over the line: the fields are read where the record format puts them, and
    // only a failure looks further to tell the reason.
    const char* q = p;
    while (q < pEnd && IsSpaceInLine(*q)) {
        ++q;
    }
    line.bBlank = q == pEnd || IsLineEnd(*q);
    if (line.bBlank) {
        p = PastLineEnd(q, pEnd);
        return 1;
    }
    auto fail = [&](const char* pszWhy) {
        pszReason = pszWhy;
        return 0;
    };
    // A pair that cannot be read is missing when the line ends after a few more digits.
    auto badPair = [&] {
        const char* r = q;
        while (r < pEnd && kHexDigits.value[static_cast<uint8_t>(*r)] <= 0x0F) {
            ++r;
        }
        while (r < pEnd && IsSpaceInLine(*r)) {
            ++r;
        }
        return fail(r == pEnd || IsLineEnd(*r) ? kLineTooShort : "invalid hex digit");
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
    if (((nSum + nChecksum) & 0xFF) != 0) {
        return fail("checksum mismatch");
    }
    // Nothing after the end-of-file record is read. Elsewhere the rest of the line is
    // ignored, unless another record has run into it.
    if (line.nType == 0x01) {
        p = q;
        return 1;
    }
    const char* const pLineEnd = std::find_if(q, pEnd, IsLineEnd);
    if (std::find(q, pLineEnd, ':') != pLineEnd) {
        return fail("a second record runs into the line");
    }
    p = PastLineEnd(pLineEnd, pEnd);
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

void CHexFile::MakeFileHeader(uint8_t* pRecord, uint8_t nFlags, uint16_t nStartSegment,
                              uint16_t nStartOffset, const char* pDescription, size_t n) {
    const size_t nLength = FILE_HEADER_DESCRIPTION_OFFSET + n + 1;
    pRecord[0] = REC_FILE_HEADER;
    PutU32(&pRecord[1], static_cast<uint32_t>(nLength - RECORD_HEAD_SIZE));
    pRecord[5] = nFlags;
    PutU16(&pRecord[6], nStartOffset);
    PutU16(&pRecord[8], nStartSegment);
    std::memcpy(&pRecord[FILE_HEADER_DESCRIPTION_OFFSET], pDescription, n);
    pRecord[nLength - 1] = 0;
}

void CHexFile::MakeEndRecord(uint8_t* pRecord) {
    pRecord[0] = REC_FILE_END;
    PutU32(&pRecord[1], 0);
}
