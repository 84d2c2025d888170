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

void AppendU32(std::vector<uint8_t>& body, uint32_t v) {
    uint8_t bytes[4];
    PutU32(bytes, v);
    body.insert(body.end(), bytes, bytes + 4);
}

}  // namespace

CHexFile::CHexFile(std::string fileName, uint8_t nFlags)
    : m_strFileName(std::move(fileName)), m_nFlags(nFlags) {}

std::unique_ptr<uint8_t[]> CHexFile::Convert(uint32_t& nLength, const std::string& description) {
    m_strError.clear();
    std::vector<uint8_t> body;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
    if (!ReadRecords(body, nStartSegment, nStartOffset)) {
        return nullptr;
    }
    uint32_t nHeaderLength = 0;
    uint32_t nEndLength = 0;
    std::unique_ptr<uint8_t[]> pHeader =
        MakeFileHeader(m_nFlags, nStartSegment, nStartOffset, description, nHeaderLength);
    std::unique_ptr<uint8_t[]> pEnd = MakeEndRecord(nEndLength);
    const uint64_t nTotal = uint64_t{nHeaderLength} + body.size() + nEndLength;
    if (!pHeader || nTotal > UINT32_MAX) {
        m_strError = m_strFileName + ": converted file too large";
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> pBlock(new uint8_t[nTotal]);
    std::memcpy(pBlock.get(), pHeader.get(), nHeaderLength);
    if (!body.empty()) {
        std::memcpy(pBlock.get() + nHeaderLength, body.data(), body.size());
    }
    std::memcpy(pBlock.get() + nHeaderLength + body.size(), pEnd.get(), nEndLength);
    nLength = static_cast<uint32_t>(nTotal);
    return pBlock;
}

int CHexFile::ReadRecords(std::vector<uint8_t>& body, uint16_t& nStartSegment,
                          uint16_t& nStartOffset) {
    nStartSegment = 0;
    nStartOffset = 0;
    // The whole text in one read; released when the body is done.
    std::string text;
    std::string strReason;
    if (!ReadRegularFile(m_strFileName, UINT32_MAX, text, strReason)) {
        m_strError = m_strFileName + ": " + strReason;
        return 0;
    }
    const auto nTextSize = static_cast<uint32_t>(text.size());
    // Ordinary files need well under half their text size (16 data bytes cost 44 characters);
    // sparse files with tiny lines need more, and the vector grows for them.
    body.reserve(nTextSize / 2 + 64);

    uint16_t nSegment = 0;     // from the last extended segment address line
    uint16_t nRunSegment = 0;  // of the last address record, moved on at a segment's end
    uint16_t nExpected = 0;    // offset at which the next data line continues the open run
    bool bAddressWritten = false;
    bool bDataOpen = false;
    size_t nCountSlot = 0;  // body index of the open data record's length field
    uint32_t nDataCount = 0;
    auto closeData = [&] {
        if (bDataOpen) {
            PutU32(&body[nCountSlot], nDataCount);
            bDataOpen = false;
        }
    };
    auto fail = [&](uint32_t nLine, const char* pszReason) {
        m_strError = m_strFileName + " line " + std::to_string(nLine) + ": " + pszReason;
        return 0;
    };

    const char* p = text.data();
    const char* const pEnd = p + nTextSize;
    HexLine line;
    uint32_t nLine = 0;
    while (p < pEnd) {
        ++nLine;
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
                if (!bAddressWritten || nSegment != nRunSegment || o != nExpected) {
                    closeData();
                    const uint8_t address[ADDRESS_RECORD_SIZE] = {
                        REC_ADDRESS,
                        4,
                        0,
                        0,
                        0,
                        static_cast<uint8_t>(o),
                        static_cast<uint8_t>(o >> 8),
                        static_cast<uint8_t>(nSegment),
                        static_cast<uint8_t>(nSegment >> 8)};
                    body.insert(body.end(), address, address + ADDRESS_RECORD_SIZE);
                    bAddressWritten = true;
                    nRunSegment = nSegment;
                    nExpected = o;
                }
                if (!bDataOpen) {
                    body.push_back(REC_DATA);
                    nCountSlot = body.size();
                    AppendU32(body, 0);
                    bDataOpen = true;
                    nDataCount = 0;
                }
                body.insert(body.end(), line.data, line.data + n);
                // Data reaching the segment's last offset end the run: the next line starts a
                // new pair in the same segment, since offsets wrap within a segment.
                if (uint32_t{o} + n > 0xFFFF) {
                    nRunSegment = static_cast<uint16_t>(nRunSegment + 0x1000);
                }
                nExpected = static_cast<uint16_t>(o + n);
                nDataCount += n;
                if (body.size() > UINT32_MAX - 0x10000) {
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
                nSegment = static_cast<uint16_t>(line.data[0] << 8 | line.data[1]);
                bAddressWritten = false;
                break;
            case 0x03:
                if (line.nCount != 4) {
                    return fail(nLine, "start segment address record needs 4 data bytes");
                }
                nStartSegment = static_cast<uint16_t>(line.data[0] << 8 | line.data[1]);
                nStartOffset = static_cast<uint16_t>(line.data[2] << 8 | line.data[3]);
                break;
            case 0x04: {
                if (line.nCount != 2) {
                    return fail(nLine, "extended linear address record needs 2 data bytes");
                }
                // Only the lowest 64 KiB fit segmented addressing; data above would land at
                // the wrong address.
                const unsigned nUpper = static_cast<unsigned>(line.data[0] << 8 | line.data[1]);
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
        if (!pair(line.data[i])) {
            return badPair();
        }
        nSum += line.data[i];
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
