// The firmware image: one byte buffer holding a stream of typed, length-prefixed records.
//
// Every record starts with a five-byte head (u8 type, u32 payload length, little-endian) and
// the next record follows at offset + 5 + length. An image is one image header record, then one
// file block per package file (file header, address/data pairs, end record), then the CRC-32
// record. The constants here are shared by everything that builds, reads, checks or cuts an
// image; the helpers read and write little-endian fields at a byte pointer.
#pragma once

#include <cstdint>

enum : uint8_t {
    REC_IMAGE_HEADER = 0,
    REC_FILE_HEADER = 1,
    REC_ADDRESS = 2,
    REC_DATA = 3,
    REC_FILE_END = 4,
    REC_CRC32 = 5,
};

// File flags, byte 5 of every file header record and byte 0 of every download segment.
enum : uint8_t {
    FLAG_BOOTROM_WRITE = 0x01,
    FLAG_FLASH_WRITE = 0x02,
    FLAG_FILE = 0x04,
    FLAG_RESET = 0x08,
};

// Capacity of an image built from an INF package, its CRC record included.
inline constexpr uint32_t IMAGE_BUFFER_SIZE = 0x100000;

// Bytes of a record's head: type and length.
inline constexpr uint32_t RECORD_HEAD_SIZE = 5;
// Fixed sizes of the records the builder writes.
inline constexpr uint32_t IMAGE_HEADER_RECORD_SIZE = 11;
inline constexpr uint32_t CRC_RECORD_SIZE = 9;
inline constexpr uint32_t ADDRESS_RECORD_SIZE = 9;
inline constexpr uint32_t END_RECORD_SIZE = 5;
// Offset of the description inside a file header record.
inline constexpr uint32_t FILE_HEADER_DESCRIPTION_OFFSET = 10;

inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
