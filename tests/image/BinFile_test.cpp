#include "BinFile.h"

#include <gtest/gtest.h>

#include <iterator>

#include "ImageTestSupport.h"
#include "TestImages.h"

namespace {

using namespace imagetest;

ImageBytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return ImageBytes(std::istreambuf_iterator<char>(in), {});
}

TEST(BinFileTest, WriteThenReadGivesTheImageBack) {
    ScratchFolder folder;
    const std::string path = folder.File("out.bin");
    ImageBytes buffer = kWorkedImage;
    CBinFile writer(path);
    ASSERT_EQ(writer.WriteImage(buffer.data(), static_cast<uint32_t>(buffer.size())), 1);

    // The caller's buffer is left complemented: it equals the file, and complementing it once
    // more restores the image.
    const ImageBytes file = FileBytes(path);
    EXPECT_EQ(buffer, file);
    EXPECT_EQ(ImageBytes(file.begin(), file.begin() + 11),
              ImageBytes({0xFF, 0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(CBinFile::Complement(buffer.data(), static_cast<uint32_t>(buffer.size())), 66u);
    EXPECT_EQ(buffer, kWorkedImage);

    uint32_t nLength = 0;
    CBinFile reader(path);
    const auto pImage = reader.ReadImage(nLength);
    ASSERT_TRUE(pImage) << reader.GetErrorDetail();
    EXPECT_EQ(ImageBytes(pImage.get(), pImage.get() + nLength), kWorkedImage);
}

TEST(BinFileTest, ReadUndoesTheComplement) {
    ScratchFolder folder;
    const struct {
        std::string contents;
        ImageBytes image;
    } cases[] = {
        {std::string(300, '\xFF'), ImageBytes(300, 0x00)},
        {"", {}},
        {std::string("\x0F\xF0\x00", 3), {0xF0, 0x0F, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contents.size());
        CBinFile bin(folder.Write("in.bin", c.contents));
        uint32_t nLength = 99;
        const auto pImage = bin.ReadImage(nLength);
        ASSERT_TRUE(pImage);  // an empty file is an empty image, not a failure
        EXPECT_EQ(ImageBytes(pImage.get(), pImage.get() + nLength), c.image);
    }
}

TEST(BinFileTest, ReadFailuresGiveNoImageAndLengthZero) {
    ScratchFolder folder;
    for (const std::string& path : {folder.File("missing.bin"), folder.Path().string()}) {
        SCOPED_TRACE(path);
        CBinFile bin(path);
        uint32_t nLength = 99;
        EXPECT_FALSE(bin.ReadImage(nLength));
        EXPECT_EQ(nLength, 0u);
        EXPECT_EQ(bin.GetErrorDetail().rfind(path + ": ", 0), 0u) << bin.GetErrorDetail();
    }
}

// Both a failed open and a write that fails after the open leave the buffer as it was.
TEST(BinFileTest, FailedWriteLeavesTheBufferAlone) {
    ScratchFolder folder;
    std::vector<std::string> paths = {folder.File("no/such/folder/out.bin")};
    if (std::filesystem::exists("/dev/full")) {
        paths.push_back("/dev/full");  // opens, then every write fails: the disk is full
    }
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ImageBytes buffer = kEmptyImage;
        CBinFile bin(path);
        EXPECT_EQ(bin.WriteImage(buffer.data(), static_cast<uint32_t>(buffer.size())), 0);
        EXPECT_EQ(buffer, kEmptyImage);
        EXPECT_EQ(bin.GetErrorDetail().rfind(path + ": ", 0), 0u) << bin.GetErrorDetail();
    }
}

TEST(BinFileTest, WriteReplacesALongerFile) {
    ScratchFolder folder;
    const std::string path = folder.Write("out.bin", std::string(1000, 'x'));
    ImageBytes buffer = kEmptyImage;
    ASSERT_EQ(CBinFile(path).WriteImage(buffer.data(), static_cast<uint32_t>(buffer.size())), 1);
    EXPECT_EQ(FileBytes(path), buffer);
    EXPECT_EQ(FileBytes(path).size(), 20u);
}

}  // namespace
