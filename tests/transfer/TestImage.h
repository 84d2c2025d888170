// Firmware images built record by record for the transfer tests, and the download segments
// the projector must receive for them, written out independently of the cutter.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ImageRecords.h"

struct TestLoad {
    uint32_t nAddress = 0;
    std::vector<uint8_t> data;
};

struct TestFile {
    uint8_t nFlags = FLAG_FILE | FLAG_FLASH_WRITE;
    uint16_t nStartOffset = 0;
    uint16_t nStartSegment = 0;
    std::string description;
    std::vector<TestLoad> loads;
};

inline void AppendRecord(std::vector<uint8_t>& image, uint8_t nType,
                         const std::vector<uint8_t>& payload) {
    uint8_t head[RECORD_HEAD_SIZE] = {nType};
    PutU32(&head[1], static_cast<uint32_t>(payload.size()));
    image.insert(image.end(), head, head + RECORD_HEAD_SIZE);
    image.insert(image.end(), payload.begin(), payload.end());
}

inline void AppendU16(std::vector<uint8_t>& bytes, uint16_t v) {
    bytes.push_back(static_cast<uint8_t>(v));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
}

inline void AppendU32(std::vector<uint8_t>& bytes, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<uint8_t>(v >> shift));
    }
}

// Image header, one file block per file, CRC record (its value is not checked by the cutter).
inline std::vector<uint8_t> BuildTestImage(const std::vector<TestFile>& files) {
    std::vector<uint8_t> image;
    AppendRecord(image, REC_IMAGE_HEADER, {0x02, 0x03, 0x00, 0x00, 0x00, 0x00});
    for (const TestFile& file : files) {
        std::vector<uint8_t> header{file.nFlags};
        AppendU16(header, file.nStartOffset);
        AppendU16(header, file.nStartSegment);
        header.insert(header.end(), file.description.begin(), file.description.end());
        header.push_back(0);
        AppendRecord(image, REC_FILE_HEADER, header);
        for (const TestLoad& load : file.loads) {
            std::vector<uint8_t> address;
            AppendU32(address, load.nAddress);
            AppendRecord(image, REC_ADDRESS, address);
            AppendRecord(image, REC_DATA, load.data);
        }
        AppendRecord(image, REC_FILE_END, {});
    }
    AppendRecord(image, REC_CRC32, {0x12, 0x34, 0x56, 0x78});
    return image;
}

inline std::vector<uint8_t> ExpectedSegment(const TestFile& file) {
    std::vector<uint8_t> segment{file.nFlags};
    AppendU16(segment, file.nStartOffset);
    AppendU16(segment, file.nStartSegment);
    for (const TestLoad& load : file.loads) {
        AppendU32(segment, load.nAddress);
        AppendU32(segment, static_cast<uint32_t>(load.data.size()));
        segment.insert(segment.end(), load.data.begin(), load.data.end());
    }
    segment.insert(segment.end(), 8, 0);
    return segment;
}

inline std::vector<uint8_t> PatternBytes(size_t nCount, uint8_t nSeed) {
    std::vector<uint8_t> bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        bytes[i] = static_cast<uint8_t>(nSeed + i * 7 + (i >> 8));
    }
    return bytes;
}

// A file with one load block whose segment is exactly nSegmentLength bytes (at least 21).
inline TestFile FileWithSegmentLength(uint32_t nSegmentLength, std::string description = "Main",
                                      uint8_t nSeed = 1) {
    TestFile file;
    file.description = std::move(description);
    file.loads.push_back({0x00100000, PatternBytes(nSegmentLength - 21, nSeed)});
    return file;
}

inline std::unique_ptr<uint8_t[]> ImageBuffer(const std::vector<uint8_t>& image) {
    auto pImage = std::make_unique<uint8_t[]>(image.size());
    std::memcpy(pImage.get(), image.data(), image.size());
    return pImage;
}

// CRC-16/MODBUS bit by bit (reflected 0xA001, initial 0xFFFF, no final XOR).
inline uint16_t ReferenceModbusCrc(const uint8_t* pData, size_t nLength) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < nLength; ++i) {
        crc ^= pData[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}
