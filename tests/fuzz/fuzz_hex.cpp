// Fuzz target: any bytes as the text of a HEX file. A conversion either fails with a detail, or
// gives a file block that, framed as an image, passes the image check and cuts into exactly
// one segment carrying the block's data bytes. Each input is converted twice: as it is, and
// with the checksum of every record-like line made right, so that mutations reach the
// merging rules instead of stopping at the checksum.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Crc32.h"
#include "HexFile.h"
#include "ImageCheck.h"
#include "ImageRecords.h"
#include "SegmentCutter.h"

namespace {

// A private folder for the input file, removed when the fuzzer exits.
const std::string& InputPath() {
    static const std::string path = [] {
        std::string folder =
            (std::filesystem::temp_directory_path() / "orvanta-fuzz-hex-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        static const std::string kept = folder;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(kept, ec);
        });
        return folder + "/input.hex";
    }();
    return path;
}

void Require(bool bHolds, const char* what, const std::string& detail = "") {
    if (!bHolds) {
        std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
        return (c | 0x20) - 'a' + 10;
    }
    return -1;
}

// Rewrites the last two digits of every line that is ':' and an even number (10 or more) of
// hex digits so that the line's checksum holds. Returns whether anything changed.
bool RepairChecksums(std::string& text) {
    bool bChanged = false;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find_first_of("\r\n", nStart);
        if (nEnd == std::string::npos) {
            nEnd = text.size();
        }
        const size_t nColon = text.find_first_not_of(" \t", nStart);
        size_t nDigits = 0;
        unsigned nSum = 0;
        if (nColon < nEnd && text[nColon] == ':') {
            size_t n = nColon + 1;
            while (n + 1 < nEnd && HexValue(text[n]) >= 0 && HexValue(text[n + 1]) >= 0) {
                nSum += static_cast<unsigned>(HexValue(text[n]) * 16 + HexValue(text[n + 1]));
                n += 2;
                nDigits += 2;
            }
            if (nDigits >= 10) {
                const unsigned nLast =
                    static_cast<unsigned>(HexValue(text[n - 2]) * 16 + HexValue(text[n - 1]));
                const unsigned nRight = (0x100 - ((nSum - nLast) & 0xFF)) & 0xFF;
                static const char kDigits[] = "0123456789ABCDEF";
                if (nRight != nLast) {
                    text[n - 2] = kDigits[nRight >> 4];
                    text[n - 1] = kDigits[nRight & 0x0F];
                    bChanged = true;
                }
            }
        }
        nStart = nEnd + 1;
    }
    return bChanged;
}

// What a converted text must hold, read the plain way from a text known to convert: the
// data bytes of all data lines in text order, and for the first byte of each line its load
// address as an address record stores it (segment in the high half, offset in the low).
struct Expected {
    std::vector<uint8_t> bytes;
    std::map<size_t, uint32_t> lineStarts;
};

Expected ReadExpected(const std::string& text) {
    Expected expected;
    uint32_t nSegment = 0;
    size_t nStart = 0;
    while (nStart < text.size()) {
        size_t nEnd = text.find_first_of("\r\n", nStart);
        nEnd = nEnd == std::string::npos ? text.size() : nEnd;
        const size_t nColon = text.find(':', nStart);
        if (nColon < nEnd) {
            std::vector<uint8_t> record;
            for (size_t n = nColon + 1; n + 1 < nEnd && HexValue(text[n]) >= 0; n += 2) {
                record.push_back(
                    static_cast<uint8_t>(HexValue(text[n]) * 16 + HexValue(text[n + 1])));
            }
            const uint32_t nOffset = static_cast<uint32_t>(record[1] << 8 | record[2]);
            if (record[3] == 0x01) {
                break;
            }
            if (record[3] == 0x02) {
                nSegment = static_cast<uint32_t>(record[4] << 8 | record[5]);
            }
            if (record[3] == 0x00 && record[0] != 0) {
                expected.lineStarts.emplace(expected.bytes.size(), nSegment << 16 | nOffset);
                expected.bytes.insert(expected.bytes.end(), record.begin() + 4,
                                      record.begin() + 4 + record[0]);
            }
        }
        nStart = nEnd + 1;
    }
    return expected;
}

void ConvertAndCheck(const std::string& text);

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    ConvertAndCheck(text);
    if (RepairChecksums(text)) {
        ConvertAndCheck(text);
    }
    return 0;
}

namespace {

void ConvertAndCheck(const std::string& text) {
    const size_t size = text.size();
    const std::string& path = InputPath();
    FILE* file = std::fopen(path.c_str(), "wb");
    Require(file != nullptr, "input file writable");
    Require(std::fwrite(text.data(), 1, size, file) == size, "input written");
    std::fclose(file);

    CHexFile hex(path, FLAG_FLASH_WRITE | FLAG_FILE);
    uint32_t nBlock = 0;
    const std::unique_ptr<uint8_t[]> pBlock = hex.Convert(nBlock, "fuzz");
    if (!pBlock) {
        Require(hex.GetErrorDetail().rfind(path, 0) == 0, "failure names the file",
                hex.GetErrorDetail());
        return;
    }

    std::vector<uint8_t> image(IMAGE_HEADER_RECORD_SIZE, 0);
    image[1] = 6;
    image.insert(image.end(), pBlock.get(), pBlock.get() + nBlock);
    const uint32_t nCrc = CCrc32().Compute(image.data(), static_cast<uint32_t>(image.size()));
    image.insert(image.end(), {REC_CRC32, 4, 0, 0, 0, 0, 0, 0, 0});
    PutU32(&image[image.size() - 4], nCrc);
    const auto nSize = static_cast<uint32_t>(image.size());
    std::string strReason;
    Require(CheckImage(image.data(), nSize, strReason) == 1, "block passes the check", strReason);
    Require(CountFileBlocks(image.data(), nSize) == 1, "one file block");

    // The data records hold every data byte in text order, and each pair starts where a line
    // starts, at that line's address.
    const Expected expected = ReadExpected(text);
    std::vector<uint8_t> bytes;
    uint32_t nPairAddress = 0;
    for (uint32_t n = IMAGE_HEADER_RECORD_SIZE; image[n] != REC_CRC32;
         n += RECORD_HEAD_SIZE + GetU32(&image[n + 1])) {
        if (image[n] == REC_ADDRESS) {
            nPairAddress = GetU32(&image[n + 5]);
        } else if (image[n] == REC_DATA && GetU32(&image[n + 1]) != 0) {
            const auto start = expected.lineStarts.find(bytes.size());
            Require(start != expected.lineStarts.end() && start->second == nPairAddress,
                    "a pair starts at a line's address");
            bytes.insert(bytes.end(), &image[n + 5], &image[n + 5] + GetU32(&image[n + 1]));
        }
    }
    Require(bytes == expected.bytes, "data bytes in text order");
    const uint64_t nData = bytes.size();

    CSegmentCutter cutter;
    std::unique_ptr<uint8_t[]> pImage(new uint8_t[nSize]);
    std::copy(image.begin(), image.end(), pImage.get());
    cutter.SetImage(std::move(pImage), nSize);
    Require(cutter.PrepareNextSegment() == 1, "one segment");
    Require(cutter.m_strStatus == "fuzz", "description shown");
    // The block holds a 15-byte file header, 14 bytes per pair besides its data, a 5-byte end
    // record; the segment 5 bytes of header, 8 per load block besides its data, 8 of zeros.
    const uint64_t nPairs = (nBlock - 20 - nData) / 14;
    Require(cutter.m_nSegmentLength == 13 + 8 * nPairs + nData, "segment length");
    Require(cutter.PrepareNextSegment() == 0, "only one segment");
}

}  // namespace
