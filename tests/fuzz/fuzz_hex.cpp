// Fuzz target: any bytes as a HEX file's text, as they are and with every record-like line's
// checksum made right (so mutations reach the merging rules). A failure names the file; a
// block passes the image check, its pairs holding the data lines' bytes in text order, whole
// lines each, each pair starting at its first line's address.
#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "HexFile.h"
#include "ImageCheck.h"
#include "TestSupport.h"

namespace {

using namespace orvtest;

void Require(bool bHolds, const char* what, const std::string& detail = "") {
    if (!bHolds) {
        std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
        std::abort();
    }
}

int HexValue(char c) {
    const int n = c | 0x20;  // lower case
    return c >= '0' && c <= '9' ? c - '0' : n >= 'a' && n <= 'f' ? n - 'a' + 10 : -1;
}

// Each line holding a ':' read as the hex digit pairs after it: the bytes, and the offset in
// the text of the last pair.
std::vector<std::pair<Bytes, size_t>> Records(const std::string& text) {
    std::vector<std::pair<Bytes, size_t>> records;
    for (size_t nStart = 0, nEnd; nStart < text.size(); nStart = nEnd + 1) {
        nEnd = std::min(text.find_first_of("\r\n", nStart), text.size());
        size_t n = text.find(':', nStart);
        if (n >= nEnd) {
            continue;
        }
        for (records.emplace_back(); n + 2 < nEnd; n += 2) {
            if (HexValue(text[n + 1]) < 0 || HexValue(text[n + 2]) < 0) {
                break;
            }
            records.back().first.push_back(
                uint8_t(HexValue(text[n + 1]) * 16 + HexValue(text[n + 2])));
            records.back().second = n + 1;
        }
    }
    return records;
}

void ConvertAndCheck(const std::string& text) {
    static const TempDir dir;  // removed when the fuzzer exits
    CHexFile hex(dir.Write("input.hex", text), FLAG_FLASH_WRITE | FLAG_FILE);
    uint32_t nBlock = 0;
    const std::unique_ptr<uint8_t[]> pBlock = hex.Convert(nBlock, "fuzz");
    const std::string detail = hex.GetErrorDetail();
    Require(pBlock || detail.rfind(dir / "input.hex", 0) == 0, "failure names the file", detail);
    if (!pBlock) {
        return;
    }
    Bytes image = Record(REC_IMAGE_HEADER, Bytes(6, 0));
    image.insert(image.end(), pBlock.get(), pBlock.get() + nBlock);
    AppendCrcRecord(image);
    std::string strReason;
    Require(CheckImage(image.data(), uint32_t(image.size()), strReason) == 1, "valid", strReason);

    // The text converted: its records up to the end-of-file record are valid.
    std::vector<std::pair<uint32_t, Bytes>> lines;  // data lines: address as a pair stores it
    uint32_t nSegment = 0;
    for (const auto& [record, nLast] : Records(text)) {
        if (record[3] == 0x01) {
            break;
        }
        nSegment = record[3] == 0x02 ? uint32_t(record[4] << 8 | record[5]) : nSegment;
        if (record[3] == 0x00 && record[0] != 0) {
            lines.emplace_back(nSegment << 16 | uint32_t(record[1] << 8 | record[2]),
                               Bytes(record.begin() + 4, record.begin() + 4 + record[0]));
        }
    }
    size_t nLine = 0;
    for (uint32_t n = IMAGE_HEADER_RECORD_SIZE, nAddress = 0, nLength; image[n] != REC_CRC32;
         n += RECORD_HEAD_SIZE + nLength) {
        nLength = GetU32(&image[n + 1]);
        nAddress = image[n] == REC_ADDRESS ? GetU32(&image[n + 5]) : nAddress;
        if (image[n] == REC_DATA && nLength != 0) {
            Require(nLine < lines.size() && lines[nLine].first == nAddress, "pair at a line");
            Bytes joined;
            for (; joined.size() < nLength && nLine < lines.size(); ++nLine) {
                joined.insert(joined.end(), lines[nLine].second.begin(), lines[nLine].second.end());
            }
            Require(joined == Bytes(&image[n + 5], &image[n + 5] + nLength), "whole lines");
        }
    }
    Require(nLine == lines.size(), "every data line in a pair");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ConvertAndCheck(text);
    std::string repaired = text;
    for (const auto& [record, nLast] : Records(text)) {
        if (record.size() >= 5) {  // the checksum that makes the record's bytes sum to 0
            const auto nSum = uint8_t(-std::accumulate(record.begin(), record.end() - 1, 0));
            repaired[nLast] = "0123456789ABCDEF"[nSum >> 4];
            repaired[nLast + 1] = "0123456789ABCDEF"[nSum & 15];
        }
    }
    if (repaired != text) {
        ConvertAndCheck(repaired);
    }
    return 0;
}
