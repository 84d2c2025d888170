#include "SegmentCutter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "TestImages.h"

namespace {

using namespace imagetest;

// Gives the cutter an exactly sized copy, so any read past the image trips the sanitizer.
void Load(CSegmentCutter& cutter, const ImageBytes& image) {
    std::unique_ptr<uint8_t[]> pImage(new uint8_t[image.size()]);
    if (!image.empty()) {
        std::memcpy(pImage.get(), image.data(), image.size());
    }
    cutter.SetImage(std::move(pImage), static_cast<uint32_t>(image.size()));
}

ImageBytes Segment(const CSegmentCutter& cutter) {
    return ImageBytes(cutter.m_pSegment.get(), cutter.m_pSegment.get() + cutter.m_nSegmentLength);
}

TEST(SegmentCutterTest, WorkedImageGivesThe25ByteSegment) {
    CSegmentCutter cutter;
    Load(cutter, kWorkedImage);
    EXPECT_EQ(cutter.FindFileEnd(), 52u);
    EXPECT_EQ(cutter.m_nImageOffset, 0u);
    ASSERT_EQ(cutter.PrepareNextSegment(), 1);
    const ImageBytes expected = {0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                                 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(Segment(cutter), expected);
    EXPECT_EQ(cutter.m_nRemaining, 25u);
    EXPECT_EQ(cutter.m_strStatus, "Upgrading...");
    EXPECT_EQ(cutter.m_nImageOffset, 52u);  // on the end record
    cutter.ReleaseSegment();
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
    EXPECT_EQ(cutter.m_nImageOffset, 57u);  // on the CRC record
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
}

TEST(SegmentCutterTest, ImageWithoutFilesTouchesNothingButTheOffset) {
    CSegmentCutter cutter;
    Load(cutter, kEmptyImage);
    cutter.m_nRemaining = 7;
    cutter.m_nSegmentLength = 8;
    cutter.m_strStatus = "before";
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
    EXPECT_EQ(cutter.m_nImageOffset, 11u);
    EXPECT_FALSE(cutter.m_pSegment);
    EXPECT_EQ(cutter.m_nRemaining, 7u);
    EXPECT_EQ(cutter.m_nSegmentLength, 8u);
    EXPECT_EQ(cutter.m_strStatus, "before");
}

TEST(SegmentCutterTest, FilesBecomeSegmentsInImageOrder) {
    const std::vector<TestFile> files = {
        {FLAG_FILE | FLAG_FLASH_WRITE, 0x1234, 0x0010, "", {}},  // no data: 13 bytes
        {FLAG_FLASH_WRITE,
         0,
         0,
         "a long description of the second file",
         {{0x1000, 0x0010, {1, 2}}}},
        {FLAG_RESET, 0, 0, "third", {{0, 0xFFF0, ImageBytes(16, 5)}, {0, 0, {}}, {0x2000, 4, {7}}}},
    };
    CSegmentCutter cutter;
    Load(cutter, MakeImage(files));
    for (const TestFile& file : files) {
        SCOPED_TRACE(file.description);
        ASSERT_EQ(cutter.PrepareNextSegment(), 1);
        EXPECT_EQ(Segment(cutter), ExpectedSegment(file));
        EXPECT_EQ(cutter.m_strStatus, file.description);
    }
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);

    // The same block with an empty or a long description sends the same bytes.
    Load(cutter, MakeImage({{2, 0, 0, "", files[1].pairs}}));
    ASSERT_EQ(cutter.PrepareNextSegment(), 1);
    const ImageBytes segment = Segment(cutter);
    EXPECT_EQ(segment, ExpectedSegment(files[1]));
    EXPECT_EQ(ImageBytes(segment.begin() + 5, segment.begin() + 9),
              ImageBytes({0x10, 0x00, 0x00, 0x10}));  // segment 0x1000, offset 0x0010
    Load(cutter, MakeImage({files[0]}));
    ASSERT_EQ(cutter.PrepareNextSegment(), 1);
    EXPECT_EQ(cutter.m_nSegmentLength, 13u);
}

// Images that break the grammar: every prefix of a valid image, and lengths that run far out.
// The cutter must stay inside the image and still give every block that is whole.
TEST(SegmentCutterTest, BrokenImagesNeverReadOutside) {
    const std::vector<TestFile> files = {kWorkedFile, {1, 0, 0, "b", {{0, 0, {1, 2, 3}}}}};
    const ImageBytes image = MakeImage(files);
    const uint32_t nSecondEnd = static_cast<uint32_t>(image.size()) - CRC_RECORD_SIZE - 5;
    for (size_t nSize = 0; nSize <= image.size(); ++nSize) {
        SCOPED_TRACE(nSize);
        CSegmentCutter cutter;
        Load(cutter, ImageBytes(image.begin(), image.begin() + static_cast<long>(nSize)));
        const size_t nWhole = (nSize >= 57 ? 1 : 0) + (nSize >= nSecondEnd + 5 ? 1 : 0);
        for (size_t i = 0; i < nWhole; ++i) {
            ASSERT_EQ(cutter.PrepareNextSegment(), 1);
            EXPECT_EQ(Segment(cutter), ExpectedSegment(files[i]));
        }
        EXPECT_EQ(cutter.PrepareNextSegment(), 0);
        EXPECT_LE(cutter.m_nImageOffset, nSize);
    }
    for (size_t at : {1u, 12u, 35u, 44u, 53u}) {  // the length fields of each record
        SCOPED_TRACE(at);
        ImageBytes broken = image;
        broken[at + 3] = 0xFF;
        CSegmentCutter cutter;
        Load(cutter, broken);
        while (cutter.PrepareNextSegment() == 1) {
            EXPECT_LE(cutter.m_nSegmentLength, broken.size());
        }
        EXPECT_LE(cutter.m_nImageOffset, broken.size());
    }
}

}  // namespace
