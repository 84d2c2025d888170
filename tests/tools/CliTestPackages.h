// Firmware packages for the command-line tests, written by the test itself: Intel HEX text
// with correct checksums, and the download segment that such a HEX file must become, worked
// out independently of the image code.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tooltest {

// One contiguous run of data bytes at segment:offset (segment in 16-byte paragraphs). The run
// must not pass offset 0xFFFF.
struct HexChunk {
    uint16_t nSegment = 0;
    uint16_t nOffset = 0;
    std::vector<uint8_t> data;
};

struct StartAddress {
    uint16_t nSegment = 0;  // CS
    uint16_t nOffset = 0;   // IP
};

// ":LLAAAATT<data>CC" with its checksum and a CR LF line end.
inline std::string HexRecord(uint8_t nType, uint16_t nAddress, const std::vector<uint8_t>& data) {
    std::string line = ":";
    uint8_t nSum = 0;
    auto put = [&line, &nSum](uint8_t nByte) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", nByte);
        line += text;
        nSum = static_cast<uint8_t>(nSum + nByte);
    };
    put(static_cast<uint8_t>(data.size()));
    put(static_cast<uint8_t>(nAddress >> 8));
    put(static_cast<uint8_t>(nAddress));
    put(nType);
    for (uint8_t nByte : data) {
        put(nByte);
    }
    char text[3];
    std::snprintf(text, sizeof text, "%02X", static_cast<uint8_t>(-nSum));
    return line + text + "\r\n";
}

// HEX text loading the chunks in order: an extended segment address line whenever the segment
// changes, data lines of up to nPerLine bytes, the start address when given, the end line.
inline std::string MakeHexText(const std::vector<HexChunk>& chunks,
                               std::optional<StartAddress> start = {}, size_t nPerLine = 16) {
    std::string text;
    uint16_t nSegment = 0;
    for (const HexChunk& chunk : chunks) {
        assert(chunk.nOffset + chunk.data.size() <= 0x10000);
        if (chunk.nSegment != nSegment) {
            nSegment = chunk.nSegment;
            text += HexRecord(
                2, 0, {static_cast<uint8_t>(nSegment >> 8), static_cast<uint8_t>(nSegment)});
        }
        for (size_t nPos = 0; nPos < chunk.data.size(); nPos += nPerLine) {
            const size_t nCount = std::min(nPerLine, chunk.data.size() - nPos);
            text += HexRecord(0, static_cast<uint16_t>(chunk.nOffset + nPos),
                              std::vector<uint8_t>(chunk.data.begin() + nPos,
                                                   chunk.data.begin() + nPos + nCount));
        }
    }
    if (start) {
        text += HexRecord(
            3, 0,
            {static_cast<uint8_t>(start->nSegment >> 8), static_cast<uint8_t>(start->nSegment),
             static_cast<uint8_t>(start->nOffset >> 8), static_cast<uint8_t>(start->nOffset)});
    }
    return text + HexRecord(1, 0, {});
}

// nCount bytes of a pattern that depends on seed, so that misplaced bytes show.
inline std::vector<uint8_t> PatternBytes(size_t nCount, uint32_t nSeed) {
    std::vector<uint8_t> bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + nSeed * 31 + (i / 251)) % 251);
    }
    return bytes;
}

inline void AppendU16(std::vector<uint8_t>& bytes, uint16_t nValue) {
    bytes.push_back(static_cast<uint8_t>(nValue));
    bytes.push_back(static_cast<uint8_t>(nValue >> 8));
}

inline void AppendU32(std::vector<uint8_t>& bytes, uint32_t nValue) {
    AppendU16(bytes, static_cast<uint16_t>(nValue));
    AppendU16(bytes, static_cast<uint16_t>(nValue >> 16));
}

// The download segment of a HEX file made by MakeHexText from chunks that do not continue one
// another: flags, start offset, start segment, one load block per chunk, eight zero bytes.
inline std::vector<uint8_t> ExpectedSegment(uint8_t nFlags, StartAddress start,
                                            const std::vector<HexChunk>& chunks) {
    std::vector<uint8_t> segment{nFlags};
    AppendU16(segment, start.nOffset);
    AppendU16(segment, start.nSegment);
    for (const HexChunk& chunk : chunks) {
        AppendU32(segment, (static_cast<uint32_t>(chunk.nSegment) << 16) | chunk.nOffset);
        AppendU32(segment, static_cast<uint32_t>(chunk.data.size()));
        segment.insert(segment.end(), chunk.data.begin(), chunk.data.end());
    }
    AppendU32(segment, 0);
    AppendU32(segment, 0);
    return segment;
}

}  // namespace tooltest
