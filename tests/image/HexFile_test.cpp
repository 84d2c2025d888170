#include "HexFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

namespace {

using namespace orvtest;

std::string Data(uint16_t nOffset, const Bytes& bytes, std::string_view lineEnd = "\r\n") {
    return HexRecord(0x00, nOffset, bytes, lineEnd);
}

// Converts text with flags 0x06; the block, or nothing with the detail in strDetail.
Bytes Convert(const TempDir& dir, const std::string& text, std::string& strDetail,
              const std::string& description = "File one") {
    CHexFile hex(dir.Write("case.hex", text), FLAG_FILE | FLAG_FLASH_WRITE);
    uint32_t nLength = 12345;
    const auto pBlock = hex.Convert(nLength, description);
    strDetail = hex.GetErrorDetail();
    EXPECT_EQ(nLength == 12345, !pBlock) << "nLength set exactly on success";
    return pBlock ? Bytes(pBlock.get(), pBlock.get() + nLength) : Bytes();
}

TEST(HexFileTest, TwoSegmentsAndAStartAddressGiveTheExactBlock) {
    TempDir dir;
    std::string detail;
    // clang-format off
    const Bytes expected = {
        0x01, 0x12, 0, 0, 0, 0x06, 0x34, 0x12, 0x00, 0x00,  // file header, start 0000:1234
        'U', 'p', 'g', 'r', 'a', 'd', 'i', 'n', 'g', '.', '.', '.', 0x00,
        0x02, 0x04, 0, 0, 0, 0x00, 0x01, 0x00, 0x00, 0x03, 0x08, 0, 0, 0,  // 0000:0100, 8 bytes
        0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0,
        0x02, 0x04, 0, 0, 0, 0x00, 0x00, 0x00, 0x10, 0x03, 0x02, 0, 0, 0, 0xAA, 0xBB,  // 1000:0000
        0x04, 0x00, 0, 0, 0};
    // clang-format on
    EXPECT_EQ(Convert(dir,
                      ":0401000012345678E7\r\n:040104009ABCDEF0D3\r\n:020000021000EC\r\n"
                      ":02000000AABB99\r\n:0400000300001234B3\r\n:00000001FF\r\n",
                      detail, "Upgrading..."),
              expected);
}

// Merging and new-pair rules; the text forms accepted (blank lines, white space and lower
// case; 255-byte lines; linear address 0); sparse one-byte lines that need more block than
// text (the block grows). A text that is no complete HEX file gives no block and a detail
// naming the file, the line and the reason. Last, how a line may end.
TEST(HexFileTest, ConversionRulesAndFailures) {
    const std::string data = Data(0, {1, 2}) + Data(2, {3, 4});
    const std::vector<Chunk> joined = {{0, 0, {1, 2, 3, 4}}};
    auto blanks = [](const char* eol) {
        return Data(0, {1, 2}, eol) + eol + " \t" + eol + Data(2, {3, 4}, eol) + ":00000001FF" +
               eol;
    };
    std::string sparse;
    std::vector<Chunk> sparseChunks;
    for (uint16_t i = 0; i < 3000; ++i) {
        sparseChunks.push_back({0, static_cast<uint16_t>(i * 3), {static_cast<uint8_t>(i)}});
        sparse += Data(sparseChunks.back().nOffset, sparseChunks.back().data, "\n");
    }
    const std::string seg = HexRecord(2, 0, {0x10, 0}), eof = kHexEnd, bare = ":00000001FF";
    const std::string d12 = Data(0, {1, 2});
    const std::vector<Chunk> d12Only = {{0, 0, {1, 2}}};
    const struct {
        std::string text;
        std::vector<Chunk> pairs;
        StartAddress start = {};
        std::string reason = {};  // after the file name; none when the conversion succeeds
    } cases[] = {
        // clang-format off
        {eof, {}},
        {Data(0, {1, 2, 3}) + Data(3, {4, 5}) + eof, {{0, 0, {1, 2, 3, 4, 5}}}},
        {Data(0, {1, 2}) + Data(0x10, {3}) + eof, {{0, 0, {1, 2}}, {0, 0x10, {3}}}},
        {Data(0, {1, 2, 3}) + Data(1, {4}) + eof, {{0, 0, {1, 2, 3}}, {0, 1, {4}}}},
        {seg + Data(0, {1, 2}) + seg + Data(2, {3}) + eof, {{0x1000, 0, {1, 2}}, {0x1000, 2, {3}}}},
        {Data(0xFFF0, Bytes(16, 7)) + Data(0, {9}) + eof, {{0, 0xFFF0, Bytes(16, 7)}, {0, 0, {9}}}},
        {Data(0xFFFC, Bytes(8, 7)) + Data(4, {9}) + eof, {{0, 0xFFFC, Bytes(8, 7)}, {0, 4, {9}}}},
        {Data(0x10, {}) + Data(0x10, {7}) + eof, {{0, 0x10, {7}}}},  // empty line opens a run
        {Data(0, {1, 2}) + HexRecord(4, 0, {0, 0}) + Data(2, {3, 4}) + eof, joined},  // linear address 0
        {Data(0, {1, 2}) + HexRecord(5, 0, {1}) + HexRecord(0xFF, 0, {}) + Data(2, {3, 4}) + eof,
         joined},
        {HexRecord(3, 0, {0, 1, 0, 2}) + data + HexRecord(3, 0, {0x12, 0x34, 0x56, 0x78}) + eof, joined,
         {0x1234, 0x5678}},  // the later start address counts
        {":02000000abcd86\r\n" + eof, {{0, 0, {0xAB, 0xCD}}}},  // lower case
        {Data(0x100, PatternBytes(255, 1)) + eof, {{0, 0x100, PatternBytes(255, 1)}}},  // the longest line
        {blanks("\r\n"), joined}, {blanks("\n"), joined}, {blanks("\r"), joined},
        {" \t" + Data(0, {1, 2}, " \t\r\n") + Data(2, {3, 4}, "\t \n") + eof, joined},  // white space
        {eof + "garbage\r\n", {}},  // never read
        {sparse + eof, sparseChunks},  // the block outgrows the text
        {"", {}, {}, ": no end-of-file record"}, {data, {}, {}, ": no end-of-file record"},
        {Data(0, {1}) + ":0100010002FD\r\n" + eof, {}, {}, " line 2: checksum mismatch"},
        {data + "00000001FF\r\n", {}, {}, " line 3: missing ':'"},
        {":000000\r\n", {}, {}, " line 1: line too short"},
        {":0400000011FF\r\n", {}, {}, " line 1: line too short"},
        {"\n\r\n\r:0G000001FF\r\n", {}, {}, " line 4: invalid hex digit"},
        {std::string(":000000\0" "1FF\r\n", 13), {}, {}, " line 1: invalid hex digit"},
        {":02000000AABB99:00000001FF\r\n", {}, {}, " line 1: a second record runs into the line"},
        {data + HexRecord(4, 0, {0, 1}) + eof, {}, {},
         " line 3: extended linear address 0x0001 not supported"},
        {HexRecord(2, 0, {0x10}) + eof, {}, {},
         " line 1: extended segment address record needs 2 data bytes"},
        {HexRecord(3, 0, {0, 1}) + eof, {}, {},
         " line 1: start segment address record needs 4 data bytes"},
        // After the end-of-file record nothing is read; after another record's checksum the
        // rest of the line is ignored unless a ':' shows that a second record ran into it.
        {d12 + bare + "\x1A", d12Only},                       // DOS end-of-file mark on the line
        {d12 + bare + "\r\n\x1A", d12Only},                   // ... or below it
        {d12 + bare + std::string(300, '\0'), d12Only},       // NUL padding
        {d12 + bare + ":junk\r\n:0100000001FE\r\n", d12Only},  // text, even records
        {d12 + bare, d12Only},                                // no line end at all
        {Data(0, {1, 2}, " ; note: see below\r\n") + bare, {}, {}, " line 1: a second record runs into the line"},
        {Data(0, {1, 2}, " ; note\r\n") + bare + "\r\n", d12Only},
        {Data(0, {1, 2}, "\x1A\r\n") + bare, d12Only},  // control characters ignored
        {Data(0, {1, 2}, "\xFF\xFE\r\n") + bare, d12Only},
        {Data(0, {1, 2}, " :0100000001FE\r\n") + bare, {}, {}, " line 1: a second record runs into the line"},
        {d12 + HexRecord(2, 0, {0, 3}, "") + bare + "\r\n", {}, {}, " line 2: a second record runs into the line"},
        {":020000000102FC:\r\n" + bare, {}, {}, " line 1: checksum mismatch"},  // checked first
        {d12 + HexRecord(4, 0, {0}) + bare, {}, {}, " line 2: extended linear address record needs 2 data bytes"},
        {d12 + HexRecord(4, 0, {0, 0, 0}) + bare, {}, {}, " line 2: extended linear address record needs 2 data bytes"},
        // clang-format on
    };
    TempDir dir;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        const TestFile file = {0x06, c.start.nSegment, c.start.nOffset, "File one", c.pairs};
        std::string detail;
        EXPECT_EQ(Convert(dir, c.text, detail), c.reason.empty() ? FileBlock(file) : Bytes())
            << "case " << i;
        EXPECT_EQ(detail, c.reason.empty() ? "" : dir / "case.hex" + c.reason) << "case " << i;
    }
}

// Files far larger than any image fail without being read whole: only the first
// MAX_HEX_TEXT bytes are ever looked at (the files are sparse, made by resizing).
TEST(HexFileTest, HugeFilesFailAtTheirFirstBadLineOrAtTheReadLimit) {
    TempDir dir;
    const uint64_t nHuge = uint64_t{2} << 30;
    const std::string lines = Data(0, {1, 2}) + Data(2, {3});
    const std::string limit = std::to_string(CHexFile::MAX_HEX_TEXT);
    const struct {
        std::string text;  // at the start of the file; zeros follow
        uint64_t nSize;
        std::string reason;
    } cases[] = {
        {"", nHuge, " line 1: missing ':'"},
        {lines, nHuge, " line 3: missing ':'"},
        {lines + ":", nHuge, " line 3: invalid hex digit"},  // NUL is no line end
        // A line cut short by the end of the file, or by the read limit, where it might go on.
        {lines + "\n\n:02", lines.size() + 5, " line 5: line too short"},
        {lines + std::string(CHexFile::MAX_HEX_TEXT, '\n'), CHexFile::MAX_HEX_TEXT + 1,
         ": no end-of-file record in the first " + limit + " bytes"},
        {lines + std::string(CHexFile::MAX_HEX_TEXT - lines.size() - 3, '\n') + ":02",
         CHexFile::MAX_HEX_TEXT + 1000,
         " line " + std::to_string(CHexFile::MAX_HEX_TEXT - lines.size() - 3 + 3) +
             ": no end-of-file record in the first " + limit + " bytes"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string path = dir.Write("huge.hex", cases[i].text);
        std::filesystem::resize_file(path, cases[i].nSize);
        CHexFile hex(path, 0);
        uint32_t nLength = 0;
        EXPECT_FALSE(hex.Convert(nLength, "d")) << "case " << i;
        EXPECT_EQ(hex.GetErrorDetail(), path + cases[i].reason) << "case " << i;
    }
}

}  // namespace
