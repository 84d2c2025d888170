// The image bytes: their CRC, the check of a .bin image, and the cutter.
#include <gtest/gtest.h>

#include "Crc32.h"
#include "ImageCheck.h"
#include "SegmentCutter.h"
#include "TestSupport.h"

namespace {

using namespace orvtest;

// CCrc32 check values (the small images' own are in the table below and the builder's test),
// at an odd address: the eight-byte loads must not need an aligned one.
TEST(Crc32Test, CheckValues) {
    const std::pair<std::string, uint32_t> cases[] = {
        {"", 0}, {"123456789", 0xCBF43926u}, {std::string(256, '\xFF'), 0xFEA8A821u}};
    const CCrc32 crc;  // one object for all: every call starts afresh
    for (const auto& [text, nExpected] : cases) {
        const std::string odd = " " + text;
        const auto* pBytes = reinterpret_cast<const uint8_t*>(odd.data()) + 1;
        EXPECT_EQ(crc.Compute(pBytes, static_cast<uint32_t>(text.size())), nExpected) << text;
    }
}

Bytes Cat(std::initializer_list<Bytes> parts, bool bCrc = true) {
    Bytes image;
    for (const Bytes& part : parts) {
        image.insert(image.end(), part.begin(), part.end());
    }
    if (bCrc) {
        AppendCrcRecord(image);
    }
    return image;
}

// Every grammar rule broken once, each refused with its reason; valid images pass with
// their count of file blocks (an empty reason below).
TEST(ImageCheckTest, GrammarViolationsAndValidImages) {
    const Bytes H = Record(REC_IMAGE_HEADER, Bytes(6, 0));
    const Bytes F = Record(REC_FILE_HEADER, {2, 0, 0, 0, 0, 'a', 'b', 0});  // at 0xB
    const Bytes A = Record(REC_ADDRESS, {0, 1, 0, 0});                      // then at 0x18
    const Bytes D = Record(REC_DATA, {1, 2, 3});
    const Bytes E = Record(REC_FILE_END);
    Bytes badCrc = kWorkedImage;
    badCrc.back() ^= 0x80;
    Bytes pastEnd = H;
    AppendRecord(pastEnd, REC_FILE_HEADER, {2, 0, 0, 0, 0, 0}, 0x1000);
    const Bytes three = MakeImage({kWorkedFile, {4, 1, 2, "", {}}, {8, 0, 0, "c", {{1, 0, {}}}}});
    const struct {
        Bytes image;
        std::string reason;
        uint32_t nFiles = 0;
    } cases[] = {
        // clang-format off
        {kEmptyImage, ""}, {kWorkedImage, "", 1}, {three, "", 3},
        {{}, "the image is empty"},
        {{0, 6, 0}, "the image does not start with an image header record"},
        {Cat({F, E}), "the image does not start with an image header record"},
        {Cat({Record(0, Bytes(7, 0))}), "image header at offset 0x0 has length 7, expected 6"},
        {H, "the image ends at offset 0xB without a CRC record"},
        {badCrc, "CRC record holds 0x88F75F0B, the image's CRC-32 is 0x08F75F0B"},
        {Cat({kWorkedImage, {0}}, false), "1 byte follows the CRC record at offset 0x39"},
        {Cat({H, Record(5, Bytes(5, 0))}, false),
         "CRC record at offset 0xB has length 5, expected 4"},
        {pastEnd, "file header at offset 0xB runs past the end of the image"},
        {Cat({H, Record(1, {2, 0, 0, 0, 0}), E}),
         "file header at offset 0xB is shorter than 6 bytes"},
        {Cat({H, Record(1, {2, 0, 0, 0, 0, 'a'}), E}),
         "file header at offset 0xB has no NUL at the end of its description"},
        {Cat({H, Record(1, {2, 0, 0, 0, 0, 'a', 0, 'b', 0}), E}),
         "file header at offset 0xB has a NUL inside its description"},
        {Cat({H, F, Record(2, {0, 1, 0}), D, E}),
         "address record at offset 0x18 has length 3, expected 4"},
        {Cat({H, F, D, E}),
         "data record at offset 0x18 is not allowed inside the file block at offset 0xB"},
        {Cat({H, F, A, E}), "address record at offset 0x18 is not followed by a data record"},
        {Cat({H, F, A, D, D, E}),
         "data record at offset 0x29 is not allowed inside the file block at offset 0xB"},
        {Cat({H, F, Record(4, {0})}), "end record at offset 0x18 has length 1, expected 0"},
        {Cat({H, F}),
         "file block at offset 0xB has no end record before the CRC record at offset 0x18"},
        {Cat({H, F, F, E}),
         "file block at offset 0xB has no end record before the file header at offset 0x18"},
        {Cat({H, F, A}, false),
         "file block at offset 0xB has no end record before the end of the image"},
        {Cat({H, Record(6)}), "record of unknown type 6 at offset 0xB is not allowed"},
        {Cat({H, H}), "image header at offset 0xB is not allowed after offset 0"},
        {Cat({H, A, D}), "address record at offset 0xB stands outside a file block"},
        // clang-format on
    };
    for (const auto& c : cases) {
        const auto nSize = static_cast<uint32_t>(c.image.size());
        const auto pImage = ToBuffer(c.image);  // exactly sized: a read past it is caught
        std::string strReason = "stale";
        EXPECT_EQ(CheckImage(pImage.get(), nSize, strReason), c.reason.empty() ? 1 : 0) << c.reason;
        EXPECT_EQ(strReason, c.reason);
        if (c.reason.empty()) {
            EXPECT_EQ(CountFileBlocks(pImage.get(), nSize), c.nFiles);
        }
    }
}

Bytes Segment(const CSegmentCutter& cutter) {
    return Bytes(cutter.m_pSegment.get(), cutter.m_pSegment.get() + cutter.m_nSegmentLength);
}

TEST(SegmentCutterTest, AOneFileImageGivesItsSegmentAndStopsAtTheCrc) {
    CSegmentCutter cutter;
    cutter.SetImage(ToBuffer(kWorkedImage), 66);
    EXPECT_EQ(cutter.FindFileEnd(), 52u);
    ASSERT_EQ(cutter.PrepareNextSegment(), 1);
    EXPECT_EQ(Segment(cutter), (Bytes{0x06, 0,    0,    0,    0, 0x00, 0x01, 0, 0, 0x04, 0, 0, 0,
                                      0x12, 0x34, 0x56, 0x78, 0, 0,    0,    0, 0, 0,    0, 0}));
    EXPECT_EQ(cutter.m_nRemaining, 25u);
    EXPECT_EQ(cutter.m_strStatus, "Upgrading...");
    EXPECT_EQ(cutter.m_nImageOffset, 52u);  // on the end record
    cutter.ReleaseSegment();
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
    EXPECT_EQ(cutter.m_nImageOffset, 57u);  // on the CRC record

    cutter.SetImage(ToBuffer(kEmptyImage), 20);  // no file block: only the offset moves
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
    EXPECT_EQ(cutter.m_nImageOffset, 11u);
    EXPECT_EQ(cutter.m_strStatus, "Upgrading...");
}

// Files in image order, including one without data (13 bytes) and a load block at the end of
// a segment; then every prefix of the image: the cutter stays inside it and still gives every
// block that is whole (arbitrary bytes are the fuzz target's part).
TEST(SegmentCutterTest, SegmentsInImageOrderAndCutShortImages) {
    const std::vector<TestFile> files = {
        {FLAG_FILE | FLAG_FLASH_WRITE, 0x0010, 0x1234, "", {}},
        {FLAG_FLASH_WRITE, 0, 0, "a long description", {{0x1000, 0x0010, {1, 2}}}},
        {FLAG_RESET, 0, 0, "third", {{0, 0xFFF0, Bytes(16, 5)}, {0, 0, {}}, {0x2000, 4, {7}}}},
    };
    const Bytes image = MakeImage(files);
    std::vector<size_t> ends;  // image size from which each block is whole
    for (size_t i = 0, nEnd = 11; i < files.size(); ++i) {
        ends.push_back(nEnd += FileBlock(files[i]).size());
    }
    for (size_t nSize = 0; nSize <= image.size(); ++nSize) {
        CSegmentCutter cutter;
        cutter.SetImage(ToBuffer(Bytes(image.begin(), image.begin() + nSize)), nSize);
        for (size_t i = 0; i < files.size() && ends[i] <= nSize; ++i) {
            ASSERT_EQ(cutter.PrepareNextSegment(), 1) << nSize;
            EXPECT_EQ(Segment(cutter), ExpectedSegment(files[i]));
            EXPECT_EQ(cutter.m_strStatus, files[i].strDescription);
        }
        EXPECT_EQ(cutter.PrepareNextSegment(), 0) << nSize;
        EXPECT_LE(cutter.m_nImageOffset, nSize);
    }
}

}  // namespace
