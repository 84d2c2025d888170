#include "ImageCheck.h"

#include <gtest/gtest.h>

#include "TestImages.h"

namespace {

using namespace imagetest;

ImageBytes Cat(std::initializer_list<ImageBytes> parts, bool bCrc = true) {
    ImageBytes image;
    for (const ImageBytes& part : parts) {
        image.insert(image.end(), part.begin(), part.end());
    }
    if (bCrc) {
        AppendCrc(image);
    }
    return image;
}

ImageBytes Rec(uint8_t nType, const ImageBytes& payload = {}) {
    ImageBytes out;
    AppendRecord(out, nType, payload);
    return out;
}

TEST(ImageCheckTest, BrokenImagesAreRefusedWithTheReason) {
    const ImageBytes H = ImageHeader();
    const ImageBytes F = Rec(REC_FILE_HEADER, {2, 0, 0, 0, 0, 'a', 'b', 0});  // at 0xB
    const ImageBytes A = Rec(REC_ADDRESS, {0, 1, 0, 0});                      // then at 0x18
    const ImageBytes D = Rec(REC_DATA, {1, 2, 3});
    const ImageBytes E = Rec(REC_FILE_END);
    ImageBytes badCrc = kWorkedImage;
    badCrc.back() ^= 0x80;
    ImageBytes pastEnd = H;
    AppendRecord(pastEnd, REC_FILE_HEADER, {2, 0, 0, 0, 0, 0}, 0x1000);
    const struct {
        const char* name;
        ImageBytes image;
        std::string reason;
    } cases[] = {
        {"empty", {}, "the image is empty"},
        {"shorter than a record head",
         {0, 6, 0},
         "the image does not start with an image header record"},
        {"file header first", Cat({F, E}), "the image does not start with an image header record"},
        {"image header of 7", Cat({Rec(REC_IMAGE_HEADER, ImageBytes(7, 0))}),
         "image header at offset 0x0 has length 7, expected 6"},
        {"no CRC record", H, "the image ends at offset 0xB without a CRC record"},
        {"wrong CRC", badCrc, "CRC record holds 0x88F75F0B, the image's CRC-32 is 0x08F75F0B"},
        {"bytes after the CRC record", Cat({kWorkedImage, {0}}, false),
         "1 bytes follow the CRC record at offset 0x39"},
        {"CRC record of 5", Cat({H, Rec(REC_CRC32, ImageBytes(5, 0))}, false),
         "CRC record at offset 0xB has length 5, expected 4"},
        {"length past the end", pastEnd,
         "file header at offset 0xB runs past the end of the image"},
        {"file header of 5", Cat({H, Rec(REC_FILE_HEADER, {2, 0, 0, 0, 0}), E}),
         "file header at offset 0xB is shorter than 6 bytes"},
        {"description without NUL", Cat({H, Rec(REC_FILE_HEADER, {2, 0, 0, 0, 0, 'a'}), E}),
         "file header at offset 0xB has no NUL at the end of its description"},
        {"NUL inside the description",
         Cat({H, Rec(REC_FILE_HEADER, {2, 0, 0, 0, 0, 'a', 0, 'b', 0}), E}),
         "file header at offset 0xB has a NUL inside its description"},
        {"address record of 3", Cat({H, F, Rec(REC_ADDRESS, {0, 1, 0}), D, E}),
         "address record at offset 0x18 has length 3, expected 4"},
        {"data without address", Cat({H, F, D, E}),
         "data record at offset 0x18 is not allowed inside the file block at offset 0xB"},
        {"address without data", Cat({H, F, A, E}),
         "address record at offset 0x18 is not followed by a data record"},
        {"two data after one address", Cat({H, F, A, D, D, E}),
         "data record at offset 0x29 is not allowed inside the file block at offset 0xB"},
        {"end record of 1", Cat({H, F, Rec(REC_FILE_END, {0})}),
         "end record at offset 0x18 has length 1, expected 0"},
        {"block without end, then CRC", Cat({H, F}),
         "file block at offset 0xB has no end record before the CRC record at offset 0x18"},
        {"block without end, then block", Cat({H, F, F, E}),
         "file block at offset 0xB has no end record before the file header at offset 0x18"},
        {"block cut short", Cat({H, F, A}, false),
         "file block at offset 0xB has no end record before the end of the image"},
        {"unknown type", Cat({H, Rec(6)}), "record of unknown type 6 at offset 0xB is not allowed"},
        {"second image header", Cat({H, H}),
         "image header at offset 0xB is not allowed after offset 0"},
        {"pair outside a block", Cat({H, A, D}),
         "address record at offset 0xB stands outside a file block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // An exactly sized copy, so a read past the end is caught by the address sanitizer.
        std::unique_ptr<uint8_t[]> pImage(new uint8_t[c.image.size()]);
        std::copy(c.image.begin(), c.image.end(), pImage.get());
        std::string strReason;
        EXPECT_EQ(CheckImage(pImage.get(), static_cast<uint32_t>(c.image.size()), strReason), 0);
        EXPECT_EQ(strReason, c.reason);
    }
}

TEST(ImageCheckTest, WellFormedImagesPass) {
    const std::vector<TestFile> three = {
        kWorkedFile,
        {FLAG_FILE, 0x10, 0x20, "", {}},
        {FLAG_RESET, 0, 0, "third", {{0x1000, 0, {}}, {0x1000, 0x10, {9, 9}}}},
    };
    const struct {
        const char* name;
        ImageBytes image;
        uint32_t nFiles;
    } cases[] = {
        {"20-byte empty image", kEmptyImage, 0},
        {"66-byte worked image", kWorkedImage, 1},
        {"three files, empty description and empty data", MakeImage(three), 3},
    };
    // The test images themselves match the byte-exact images.
    EXPECT_EQ(MakeImage({}), kEmptyImage);
    EXPECT_EQ(MakeImage({kWorkedFile}), kWorkedImage);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string strReason = "stale";
        const auto nSize = static_cast<uint32_t>(c.image.size());
        EXPECT_EQ(CheckImage(c.image.data(), nSize, strReason), 1) << strReason;
        EXPECT_EQ(CountFileBlocks(c.image.data(), nSize), c.nFiles);
    }
}

}  // namespace
