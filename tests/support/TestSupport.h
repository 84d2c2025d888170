// Shared helpers of the test suites (header only, namespace orvtest): real files in temporary
// folders, guards for the current directory and environment variables, Intel HEX text with
// correct checksums, and firmware images and download segments assembled record by record,
// independently of the builder, the converter and the cutter.
//
// Addresses are written segment first everywhere (Chunk, StartAddress, TestFile), as a
// technician reads "segment:offset"; the image and the segments store the offset first.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Crc32.h"
#include "ImageRecords.h"

namespace orvtest {

using Bytes = std::vector<uint8_t>;

// Writes bytes to path, creating its folders; replaces an existing file.
inline void WriteFile(const std::string& path, std::string_view bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The whole file; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Bytes ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return Bytes(text.begin(), text.end());
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvanta-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The full path of name (which may hold subfolders) inside the folder.
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    // Writes bytes to name inside the folder and returns the full path.
    std::string Write(const std::string& name, std::string_view bytes) const {
        WriteFile(*this / name, bytes);
        return *this / name;
    }

private:
    std::filesystem::path m_path;
};

// Restores the current directory on leaving the scope; optionally moves to folder first.
class CwdGuard {
public:
    CwdGuard() : m_saved(std::filesystem::current_path()) {}
    explicit CwdGuard(const std::filesystem::path& folder) : CwdGuard() {
        std::filesystem::current_path(folder);
    }
    ~CwdGuard() {
        std::error_code ec;
        std::filesystem::current_path(m_saved, ec);
    }
    CwdGuard(const CwdGuard&) = delete;
    CwdGuard& operator=(const CwdGuard&) = delete;

private:
    std::filesystem::path m_saved;
};

// Sets (or with nullopt removes) an environment variable for the scope, then restores it.
class EnvGuard {
public:
    EnvGuard(std::string name, const std::optional<std::string>& value) : m_name(std::move(name)) {
        if (const char* pOld = getenv(m_name.c_str())) {
            m_saved = pOld;
        }
        value ? setenv(m_name.c_str(), value->c_str(), 1) : unsetenv(m_name.c_str());
    }
    ~EnvGuard() {
        m_saved ? setenv(m_name.c_str(), m_saved->c_str(), 1) : unsetenv(m_name.c_str());
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

// nCount bytes of a pattern that depends on the seed, so that misplaced bytes show.
inline Bytes PatternBytes(size_t nCount, uint32_t nSeed) {
    Bytes bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + nSeed * 31 + i / 251) % 251);
    }
    return bytes;
}

// ---- Intel HEX text ----

// One record line ":LLAAAATT<data>CC": upper-case digits, a correct checksum, then lineEnd.
inline std::string HexRecord(uint8_t nType, uint16_t nAddress, const Bytes& data,
                             std::string_view lineEnd = "\r\n") {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string line = ":";
    uint8_t nSum = 0;
    auto put = [&](uint8_t b) {
        line += kDigits[b >> 4];
        line += kDigits[b & 0x0F];
        nSum = static_cast<uint8_t>(nSum + b);
    };
    put(static_cast<uint8_t>(data.size()));
    put(static_cast<uint8_t>(nAddress >> 8));
    put(static_cast<uint8_t>(nAddress));
    put(nType);
    std::for_each(data.begin(), data.end(), put);
    put(static_cast<uint8_t>(0x100 - nSum));
    return line.append(lineEnd);
}

inline const std::string kHexEnd = ":00000001FF\r\n";

// One contiguous run of data bytes at segment:offset; it must not pass offset 0xFFFF.
struct Chunk {
    uint16_t nSegment = 0;
    uint16_t nOffset = 0;
    Bytes data;
    bool operator==(const Chunk&) const = default;
};

struct StartAddress {
    uint16_t nSegment = 0;  // CS
    uint16_t nOffset = 0;   // IP
};

// HEX text loading the chunks in order: a type 02 line whenever the segment differs from the
// one before (0 at first), data lines of up to nPerLine bytes, the start address when given,
// the end-of-file line; CR LF line ends.
inline std::string MakeHexText(const std::vector<Chunk>& chunks,
                               std::optional<StartAddress> start = {}, size_t nPerLine = 16) {
    std::string text;
    uint16_t nSegment = 0;
    for (const Chunk& chunk : chunks) {
        if (chunk.nSegment != nSegment) {
            nSegment = chunk.nSegment;
            text += HexRecord(0x02, 0, {uint8_t(nSegment >> 8), uint8_t(nSegment)});
        }
        for (size_t nPos = 0; nPos < chunk.data.size(); nPos += nPerLine) {
            const auto first = chunk.data.begin() + static_cast<std::ptrdiff_t>(nPos);
            const size_t nCount = std::min(nPerLine, chunk.data.size() - nPos);
            text += HexRecord(0x00, static_cast<uint16_t>(chunk.nOffset + nPos),
                              Bytes(first, first + static_cast<std::ptrdiff_t>(nCount)));
        }
    }
    if (start) {
        text += HexRecord(0x03, 0,
                          {uint8_t(start->nSegment >> 8), uint8_t(start->nSegment),
                           uint8_t(start->nOffset >> 8), uint8_t(start->nOffset)});
    }
    return text + kHexEnd;
}

// One file of a package: its HEX file's name (beside the script), its description (none when
// empty) and what it loads.
struct PackageFile {
    std::string name;
    std::string description;
    std::vector<Chunk> chunks;
};

// Writes an INF package into dir: the script `name` (FlashWrite on, one File entry per file, in
// order) and its HEX files beside it; returns the script's path.
inline std::string WritePackage(const TempDir& dir, const std::string& name,
                                const std::vector<PackageFile>& files,
                                std::optional<StartAddress> start = {}) {
    const std::filesystem::path folder = std::filesystem::path(name).parent_path();
    std::string script = "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\n", descriptions;
    for (const PackageFile& file : files) {
        dir.Write((folder / file.name).string(), MakeHexText(file.chunks, start));
        script += "File=" + file.name + "\r\n";
        if (!file.description.empty()) {
            descriptions += file.name + "=" + file.description + "\r\n";
        }
    }
    return dir.Write(
        name, descriptions.empty() ? script : script + "[FileDescription]\r\n" + descriptions);
}

// ---- Firmware images and download segments ----

inline void AppendU16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void AppendU32(Bytes& out, uint32_t v) {
    AppendU16(out, static_cast<uint16_t>(v));
    AppendU16(out, static_cast<uint16_t>(v >> 16));
}

// A record whose length field says nLength, whatever the payload holds (for broken images).
inline void AppendRecord(Bytes& out, uint8_t nType, const Bytes& payload, uint32_t nLength) {
    out.push_back(nType);
    AppendU32(out, nLength);
    out.insert(out.end(), payload.begin(), payload.end());
}

// One record with the payload's own length.
inline Bytes Record(uint8_t nType, const Bytes& payload = {}) {
    Bytes out;
    AppendRecord(out, nType, payload, static_cast<uint32_t>(payload.size()));
    return out;
}

// One package file as an image holds it: a file block of these address/data pairs.
struct TestFile {
    uint8_t nFlags = FLAG_FILE | FLAG_FLASH_WRITE;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
    std::string strDescription;
    std::vector<Chunk> loads;
};

// File header, one address and one data record per load, end record.
inline Bytes FileBlock(const TestFile& file) {
    Bytes header = {file.nFlags};
    AppendU16(header, file.nStartOffset);
    AppendU16(header, file.nStartSegment);
    header.insert(header.end(), file.strDescription.begin(), file.strDescription.end());
    header.push_back(0);
    Bytes out = Record(REC_FILE_HEADER, header);
    for (const Chunk& load : file.loads) {
        Bytes address;
        AppendU16(address, load.nOffset);
        AppendU16(address, load.nSegment);
        AppendRecord(out, REC_ADDRESS, address, 4);
        AppendRecord(out, REC_DATA, load.data, static_cast<uint32_t>(load.data.size()));
    }
    AppendRecord(out, REC_FILE_END, {}, 0);
    return out;
}

// Appends the CRC record of everything in image so far.
inline void AppendCrcRecord(Bytes& image) {
    Bytes payload;
    AppendU32(payload, CCrc32().Compute(image.data(), static_cast<uint32_t>(image.size())));
    AppendRecord(image, REC_CRC32, payload, 4);
}

// A whole valid image: image header (six zero bytes), one file block per file, CRC record.
inline Bytes MakeImage(const std::vector<TestFile>& files) {
    Bytes image = Record(REC_IMAGE_HEADER, Bytes(6, 0));
    for (const TestFile& file : files) {
        const Bytes block = FileBlock(file);
        image.insert(image.end(), block.begin(), block.end());
    }
    AppendCrcRecord(image);
    return image;
}

// The download segment a file block becomes: flags, start offset and segment, one load block
// (offset, segment, u32 count, data) per load, two zero words.
inline Bytes ExpectedSegment(const TestFile& file) {
    Bytes segment = {file.nFlags};
    AppendU16(segment, file.nStartOffset);
    AppendU16(segment, file.nStartSegment);
    for (const Chunk& load : file.loads) {
        AppendU16(segment, load.nOffset);
        AppendU16(segment, load.nSegment);
        AppendU32(segment, static_cast<uint32_t>(load.data.size()));
        segment.insert(segment.end(), load.data.begin(), load.data.end());
    }
    segment.insert(segment.end(), 8, 0);
    return segment;
}

// An exactly sized heap copy, so that a read past the end trips the address sanitizer.
inline std::unique_ptr<uint8_t[]> ToBuffer(const Bytes& bytes) {
    auto pBuffer = std::make_unique<uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), pBuffer.get());
    return pBuffer;
}

// Bytes with every bit inverted: an image as a .bin file holds it, and back.
inline Bytes Complemented(Bytes bytes) {
    std::transform(bytes.begin(), bytes.end(), bytes.begin(),
                   [](uint8_t b) { return uint8_t(~b); });
    return bytes;
}

// A packet as the projector checks it: SOH, the block number and its complement, the data
// zero-padded to 128 bytes, and their CRC-16/MODBUS worked out bit by bit (reflected 0xA001,
// initial 0xFFFF, no final XOR), low byte first.
inline Bytes Packet(uint8_t nBlock, Bytes data) {
    data.resize(128, 0);
    uint16_t nCrc = 0xFFFF;
    for (uint8_t b : data) {
        nCrc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            nCrc = (nCrc & 1) ? uint16_t((nCrc >> 1) ^ 0xA001) : uint16_t(nCrc >> 1);
        }
    }
    data.insert(data.begin(), {0x01, nBlock, uint8_t(~nBlock)});
    data.insert(data.end(), {uint8_t(nCrc), uint8_t(nCrc >> 8)});
    return data;
}

// The image of no file blocks, byte for byte (20 bytes).
inline const Bytes kEmptyImage = {0x00, 0x06, 0, 0, 0, 0, 0,    0,    0,    0,
                                  0,    0x05, 4, 0, 0, 0, 0xAB, 0xC1, 0x99, 0x66};

// The image of one small file (66 bytes): one file, flags 0x06, start 0:0, "Upgrading...", the
// bytes 12 34 56 78 at 0000:0100.
inline const Bytes kWorkedImage = {
    0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // image header
    0x01, 0x12, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00,        // file header
    'U',  'p',  'g',  'r',  'a',  'd',  'i',  'n',  'g',  '.',  '.',
    '.',  0x00, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // address record
    0x03, 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78,              // data record
    0x04, 0x00, 0x00, 0x00, 0x00,                                      // end record
    0x05, 0x04, 0x00, 0x00, 0x00, 0x0B, 0x5F, 0xF7, 0x08,              // CRC record
};

// The file of that image.
inline const TestFile kWorkedFile = {
    0x06, 0, 0, "Upgrading...", {{0, 0x0100, {0x12, 0x34, 0x56, 0x78}}}};

}  // namespace orvtest
