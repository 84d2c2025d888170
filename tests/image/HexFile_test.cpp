#include "HexFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "ImageTestSupport.h"
#include "TestImages.h"

namespace {

using namespace imagetest;

// Reads a file block back strictly: file header, address/data pairs, end record, nothing else.
bool DecodeBlock(const uint8_t* p, uint32_t nSize, TestFile& file) {
    uint32_t n = 0;
    auto record = [&](uint8_t nType, uint32_t& nLength) {
        if (nSize - n < 5 || p[n] != nType) {
            return false;
        }
        nLength = GetU32(p + n + 1);
        return nLength <= nSize - n - 5;
    };
    uint32_t nLength = 0;
    if (!record(REC_FILE_HEADER, nLength) || nLength < 6 || p[n + 4 + nLength] != 0) {
        return false;
    }
    file.nFlags = p[n + 5];
    file.nStartOffset = GetU16(p + n + 6);
    file.nStartSegment = GetU16(p + n + 8);
    file.description.assign(reinterpret_cast<const char*>(p + n + 10), nLength - 6);
    n += 5 + nLength;
    while (record(REC_ADDRESS, nLength)) {
        TestPair pair{GetU16(p + n + 7), GetU16(p + n + 5), {}};
        n += 5 + nLength;
        if (nLength != 4 || !record(REC_DATA, nLength)) {
            return false;
        }
        pair.data.assign(p + n + 5, p + n + 5 + nLength);
        file.pairs.push_back(pair);
        n += 5 + nLength;
    }
    return record(REC_FILE_END, nLength) && nLength == 0 && n + 5 == nSize;
}

ImageBytes Seq(uint8_t nFirst, size_t nCount) {
    ImageBytes bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        bytes[i] = static_cast<uint8_t>(nFirst + i);
    }
    return bytes;
}

std::string Data(uint16_t nOffset, const ImageBytes& bytes) {
    return HexRecord(0x00, nOffset, bytes);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

TEST(HexFileTest, WorkedExampleByteForByte) {
    ScratchFolder folder;
    const std::string path =
        folder.Write("main.hex",
                     ":0401000012345678E7\r\n:040104009ABCDEF0D3\r\n:020000021000EC\r\n"
                     ":02000000AABB99\r\n:0400000300001234B3\r\n:00000001FF\r\n");
    CHexFile hex(path, 0x06);
    uint32_t nLength = 0;
    const auto pBlock = hex.Convert(nLength, "Upgrading...");
    ASSERT_TRUE(pBlock) << hex.GetErrorDetail();
    ImageBytes expected = {0x01, 0x12, 0, 0, 0, 0x06, 0x34, 0x12, 0x00, 0x00};
    const std::string text = "Upgrading...";
    expected.insert(expected.end(), text.begin(), text.end());
    const ImageBytes rest = {0x00, 0x02, 0x04, 0, 0,    0,    0x00, 0x01, 0x00, 0x00, 0x03,
                             0x08, 0,    0,    0, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE,
                             0xF0, 0x02, 0x04, 0, 0,    0,    0x00, 0x00, 0x00, 0x10, 0x03,
                             0x02, 0,    0,    0, 0xAA, 0xBB, 0x04, 0x00, 0,    0,    0};
    expected.insert(expected.end(), rest.begin(), rest.end());
    ASSERT_EQ(expected.size(), 66u);
    EXPECT_EQ(ImageBytes(pBlock.get(), pBlock.get() + nLength), expected);
}

struct HexCase {
    const char* name;
    std::string text;
    std::vector<TestPair> pairs;
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
};

const std::string kData = Data(0, {1, 2}) + Data(2, {3, 4});

TEST(HexFileTest, ConversionRules) {
    const std::string kBlankCrLf = Data(0, {1, 2}) + "\r\n  \t\r\n" + Data(2, {3, 4}) + kHexEnd;
    std::string lowerCase = Data(0, {0xAB, 0xCD}) + kHexEnd;
    std::transform(lowerCase.begin(), lowerCase.end(), lowerCase.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const HexCase cases[] = {
        {"only end of file", kHexEnd, {}},
        {"continuing lines merge",
         Data(0, Seq(0, 4)) + Data(4, Seq(4, 4)) + Data(8, Seq(8, 2)) + kHexEnd,
         {{0, 0, Seq(0, 10)}}},
        {"gap starts a new pair",
         Data(0, {1, 2}) + Data(0x10, {3}) + kHexEnd,
         {{0, 0, {1, 2}}, {0, 0x10, {3}}}},
        {"overlap starts a new pair",
         Data(0, {1, 2, 3}) + Data(1, {4}) + kHexEnd,
         {{0, 0, {1, 2, 3}}, {0, 1, {4}}}},
        {"every segment line starts a new pair",
         HexSegment(0x1000) + Data(0, {1, 2}) + HexSegment(0x1000) + Data(2, {3}) + kHexEnd,
         {{0x1000, 0, {1, 2}}, {0x1000, 2, {3}}}},
        {"segment end then offset 0",
         Data(0xFFF0, Seq(0, 16)) + Data(0, {9}) + kHexEnd,
         {{0, 0xFFF0, Seq(0, 16)}, {0, 0, {9}}}},
        {"line crossing the segment end stays whole",
         Data(0xFFFC, Seq(0, 8)) + Data(4, {9}) + kHexEnd,
         {{0, 0xFFFC, Seq(0, 8)}, {0, 4, {9}}}},
        {"empty data line opens the run",
         Data(0x10, {}) + Data(0x10, {7}) + kHexEnd,
         {{0, 0x10, {7}}}},
        {"linear address 0 passed over",
         Data(0, {1}) + HexRecord(0x04, 0, {0, 0}) + Data(1, {2}) + kHexEnd,
         {{0, 0, {1, 2}}}},
        {"types from 05 up passed over",
         Data(0, {1}) + HexRecord(0x05, 0, {0, 0, 1, 0}) + HexRecord(0xFF, 0, {}) + Data(1, {2}) +
             kHexEnd,
         {{0, 0, {1, 2}}}},
        {"start segment address, the later counts",
         HexRecord(0x03, 0, {0, 1, 0, 2}) + kData + HexRecord(0x03, 0, {0x12, 0x34, 0x56, 0x78}) +
             kHexEnd,
         {{0, 0, {1, 2, 3, 4}}},
         0x1234,
         0x5678},
        {"lower-case digits", lowerCase, {{0, 0, {0xAB, 0xCD}}}},
        {"255-byte line", Data(0x100, Seq(0, 255)) + kHexEnd, {{0, 0x100, Seq(0, 255)}}},
        {"blank lines, CR LF", kBlankCrLf, {{0, 0, {1, 2, 3, 4}}}},
        {"blank lines, LF", Replace(kBlankCrLf, "\r\n", "\n"), {{0, 0, {1, 2, 3, 4}}}},
        {"blank lines, CR", Replace(kBlankCrLf, "\r\n", "\r"), {{0, 0, {1, 2, 3, 4}}}},
        {"white space around a record",
         " \t" + Replace(kData, "\r\n", " \t\r\n") + kHexEnd,
         {{0, 0, {1, 2, 3, 4}}}},
        {"lines after end of file never read", kHexEnd + "garbage\r\n", {}},
    };
    ScratchFolder folder;
    for (const HexCase& c : cases) {
        SCOPED_TRACE(c.name);
        CHexFile hex(folder.Write("case.hex", c.text), FLAG_FLASH_WRITE);
        uint32_t nLength = 0;
        const auto pBlock = hex.Convert(nLength, "File one");
        ASSERT_TRUE(pBlock) << hex.GetErrorDetail();
        TestFile file;
        ASSERT_TRUE(DecodeBlock(pBlock.get(), nLength, file));
        EXPECT_EQ(file.nFlags, FLAG_FLASH_WRITE);
        EXPECT_EQ(file.description, "File one");
        EXPECT_EQ(file.nStartSegment, c.nStartSegment);
        EXPECT_EQ(file.nStartOffset, c.nStartOffset);
        EXPECT_EQ(file.pairs, c.pairs);
    }
}

// A text that is not a complete HEX file gives no block and says where and why.
TEST(HexFileTest, FailuresNameTheLineAndTheReason) {
    const struct {
        std::string text;
        std::string detail;  // after the file name
    } cases[] = {
        {"", ": no end-of-file record"},
        {kData, ": no end-of-file record"},
        {Data(0, {1}) + ":0100010002FD\r\n" + kHexEnd,
         " line 2: checksum mismatch"},  // FC is right
        {kData + "00000001FF\r\n", " line 3: missing ':'"},
        {":000000\r\n", " line 1: line too short"},
        {":0400000011FF\r\n", " line 1: line too short"},
        {"\n\r\n\r:0G000001FF\r\n", " line 4: invalid hex digit"},
        {std::string(":000000\0"
                     "1FF\r\n",
                     13),
         " line 1: invalid hex digit"},
        {":00000001FF:00000001FF\r\n", " line 1: unexpected text after the checksum"},
        {kData + HexRecord(0x04, 0, {0, 1}) + kHexEnd,
         " line 3: extended linear address 0x0001 not supported"},
        {HexRecord(0x02, 0, {0x10}) + kHexEnd,
         " line 1: extended segment address record needs 2 data bytes"},
        {HexRecord(0x03, 0, {0, 1}) + kHexEnd,
         " line 1: start segment address record needs 4 data bytes"},
    };
    ScratchFolder folder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.detail);
        const std::string path = folder.Write("case.hex", c.text);
        CHexFile hex(path, 0);
        uint32_t nLength = 12345;
        EXPECT_FALSE(hex.Convert(nLength, "x"));
        EXPECT_EQ(nLength, 12345u);
        EXPECT_EQ(hex.GetErrorDetail(), path + c.detail);
    }
}

// Scattered one-byte lines need more body than their text; the body must grow, not overflow.
TEST(HexFileTest, SparseDataLargerThanItsText) {
    std::string text;
    std::vector<TestPair> expected;
    for (uint16_t i = 0; i < 3000; ++i) {
        const uint16_t nOffset = static_cast<uint16_t>(i * 3);
        text += Replace(Data(nOffset, {static_cast<uint8_t>(i)}), "\r\n", "\n");
        expected.push_back({0, nOffset, {static_cast<uint8_t>(i)}});
    }
    ScratchFolder folder;
    CHexFile hex(folder.Write("sparse.hex", text + kHexEnd), 0);
    uint32_t nLength = 0;
    const auto pBlock = hex.Convert(nLength, "");
    ASSERT_TRUE(pBlock) << hex.GetErrorDetail();
    EXPECT_GT(nLength, text.size());
    TestFile file;
    ASSERT_TRUE(DecodeBlock(pBlock.get(), nLength, file));
    EXPECT_EQ(file.pairs, expected);
}

TEST(HexFileTest, UnreadableFileGivesNoBlock) {
    ScratchFolder folder;
    for (const std::string& path : {folder.File("missing.hex"), folder.Path().string()}) {
        SCOPED_TRACE(path);
        CHexFile hex(path, 0);
        uint32_t nLength = 77;
        EXPECT_FALSE(hex.Convert(nLength, "x"));
        EXPECT_EQ(nLength, 77u);
        EXPECT_EQ(hex.GetErrorDetail().rfind(path + ": ", 0), 0u) << hex.GetErrorDetail();
    }
}

}  // namespace
