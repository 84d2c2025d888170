// Image bytes for the image tests, assembled record by record independently of the builder and
// the converter, and the download segment that each file should become.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Crc32.h"
#include "ImageRecords.h"

namespace imagetest {

using ImageBytes = std::vector<uint8_t>;

struct TestPair {
    uint16_t nSegment = 0;
    uint16_t nOffset = 0;
    ImageBytes data;
    bool operator==(const TestPair&) const = default;
};

struct TestFile {
    uint8_t nFlags = 0;
    uint16_t nStartOffset = 0;
    uint16_t nStartSegment = 0;
    std::string description;
    std::vector<TestPair> pairs;
};

inline void AppendU16(ImageBytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void AppendU32(ImageBytes& out, uint32_t v) {
    AppendU16(out, static_cast<uint16_t>(v));
    AppendU16(out, static_cast<uint16_t>(v >> 16));
}

// A record whose length field says nLength, whatever the payload holds.
inline void AppendRecord(ImageBytes& out, uint8_t nType, const ImageBytes& payload,
                         uint32_t nLength) {
    out.push_back(nType);
    AppendU32(out, nLength);
    out.insert(out.end(), payload.begin(), payload.end());
}

inline void AppendRecord(ImageBytes& out, uint8_t nType, const ImageBytes& payload = {}) {
    AppendRecord(out, nType, payload, static_cast<uint32_t>(payload.size()));
}

inline ImageBytes ImageHeader() {
    ImageBytes out;
    AppendRecord(out, REC_IMAGE_HEADER, ImageBytes(6, 0));
    return out;
}

inline ImageBytes FileHeaderPayload(const TestFile& file) {
    ImageBytes payload = {file.nFlags};
    AppendU16(payload, file.nStartOffset);
    AppendU16(payload, file.nStartSegment);
    payload.insert(payload.end(), file.description.begin(), file.description.end());
    payload.push_back(0);
    return payload;
}

inline void AppendFileBlock(ImageBytes& out, const TestFile& file) {
    AppendRecord(out, REC_FILE_HEADER, FileHeaderPayload(file));
    for (const TestPair& pair : file.pairs) {
        ImageBytes address;
        AppendU16(address, pair.nOffset);
        AppendU16(address, pair.nSegment);
        AppendRecord(out, REC_ADDRESS, address);
        AppendRecord(out, REC_DATA, pair.data);
    }
    AppendRecord(out, REC_FILE_END);
}

inline void AppendCrc(ImageBytes& image) {
    const uint32_t nCrc = CCrc32().Compute(image.data(), static_cast<uint32_t>(image.size()));
    ImageBytes payload;
    AppendU32(payload, nCrc);
    AppendRecord(image, REC_CRC32, payload);
}

inline ImageBytes MakeImage(const std::vector<TestFile>& files) {
    ImageBytes image = ImageHeader();
    for (const TestFile& file : files) {
        AppendFileBlock(image, file);
    }
    AppendCrc(image);
    return image;
}

// The segment a file block becomes: flags, start, load blocks, two zero words.
inline ImageBytes ExpectedSegment(const TestFile& file) {
    ImageBytes segment = {file.nFlags};
    AppendU16(segment, file.nStartOffset);
    AppendU16(segment, file.nStartSegment);
    for (const TestPair& pair : file.pairs) {
        AppendU16(segment, pair.nOffset);
        AppendU16(segment, pair.nSegment);
        AppendU32(segment, static_cast<uint32_t>(pair.data.size()));
        segment.insert(segment.end(), pair.data.begin(), pair.data.end());
    }
    segment.insert(segment.end(), 8, 0);
    return segment;
}

// The image of no file blocks, byte for byte.
inline const ImageBytes kEmptyImage = {0x00, 0x06, 0, 0, 0, 0, 0,    0,    0,    0,
                                       0,    0x05, 4, 0, 0, 0, 0xAB, 0xC1, 0x99, 0x66};

// The worked image: one file, flags 0x06, start 0:0, "Upgrading...", 12 34 56 78 at 0000:0100.
inline const ImageBytes kWorkedImage = {
    0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // image header
    0x01, 0x12, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00,        // file header
    'U',  'p',  'g',  'r',  'a',  'd',  'i',  'n',  'g',  '.',  '.',
    '.',  0x00, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // address record
    0x03, 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78,              // data record
    0x04, 0x00, 0x00, 0x00, 0x00,                                      // end record
    0x05, 0x04, 0x00, 0x00, 0x00, 0x0B, 0x5F, 0xF7, 0x08,              // CRC record
};

inline const TestFile kWorkedFile = {
    0x06, 0, 0, "Upgrading...", {{0, 0x0100, {0x12, 0x34, 0x56, 0x78}}}};

}  // namespace imagetest
