#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Crc32.h"
#include "ImageRecords.h"
#include "ImageTestSupport.h"
#include "InfFile.h"

namespace {

using imagetest::CurrentDirGuard;
using imagetest::EnvGuard;
using imagetest::FileHeaders;
using imagetest::HexRecord;
using imagetest::HexSegment;
using imagetest::kHexEnd;
using imagetest::ScratchFolder;

struct Built {
    std::unique_ptr<uint8_t[]> pImage;
    uint32_t nLength = 0;
    std::string strDetail;

    std::vector<uint8_t> Bytes() const {
        return pImage ? std::vector<uint8_t>(pImage.get(), pImage.get() + nLength)
                      : std::vector<uint8_t>();
    }
    std::vector<uint8_t> Flags() const {
        std::vector<uint8_t> flags;
        for (const auto& header : FileHeaders(pImage.get(), nLength)) {
            flags.push_back(header.nFlags);
        }
        return flags;
    }
};

// The package folder is the current directory and HOME has no upload folder, as when a user
// picks a package and no upload folder exists.
class ImageBuilderTest : public ::testing::Test {
  protected:
    ImageBuilderTest() : m_home("HOME", m_folder.Path().string()) {
        std::filesystem::current_path(m_folder.Path());
        m_folder.Write("one.hex", ":0401000012345678E7\r\n" + kHexEnd);
        m_folder.Write("two.hex", HexRecord(0x00, 0x0200, {0xAA, 0xBB}) + kHexEnd);
    }

    Built Build(const std::string& script, const std::string& name = "package.inf") {
        Built built;
        built.nLength = 0xDEADBEEF;
        CInfFile inf(m_folder.Write(name, script));
        built.pImage = inf.BuildImage(built.nLength);
        built.strDetail = inf.GetErrorDetail();
        return built;
    }

    ScratchFolder m_folder;
    CurrentDirGuard m_cwd;
    EnvGuard m_home;
};

// 16-byte data lines filling segments 0x0000, 0x1000, ... from offset 0 with nBytes in all,
// each segment opened by an extended segment address record.
std::string SegmentedHex(uint32_t nBytes) {
    std::string text;
    for (uint32_t nDone = 0, nSegment = 0; nDone < nBytes; ++nSegment) {
        text += HexSegment(static_cast<uint16_t>(nSegment * 0x1000));
        for (uint32_t nOffset = 0; nOffset < 0x10000 && nDone < nBytes;) {
            const uint32_t nCount = std::min<uint32_t>(16, nBytes - nDone);
            std::vector<uint8_t> data(nCount);
            for (uint32_t i = 0; i < nCount; ++i) {
                data[i] = static_cast<uint8_t>((nDone + i) * 7 + nSegment);
            }
            text += HexRecord(0x00, static_cast<uint16_t>(nOffset), data);
            nOffset += nCount;
            nDone += nCount;
        }
    }
    return text + kHexEnd;
}

TEST_F(ImageBuilderTest, FlagsFollowVersionAndEntries) {
    const std::string entries = "[DownloadFiles]\r\nExecuteFile=one.hex\r\nFile=two.hex\r\n";
    struct Case {
        const char* name;
        std::string script;
        std::vector<uint8_t> flags;
    };
    const Case cases[] = {
        {"flash and reset",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n" + entries,
         {0x02, 0x0E}},
        {"flash disabled",
         "[Version]\r\nFlashWrite=Disable\r\nReset=Enable\r\n" + entries,
         {0x00, 0x0C}},
        {"boot ROM, any case",
         "[version]\r\nflashwrite=enable\r\nBOOTROMWRITE=ENABLE\r\n" + entries,
         {0x03, 0x07}},
        {"Enabled is not Enable",
         "[Version]\r\nFlashWrite=Enabled\r\nBootROMWrite = Enable \r\n" + entries,
         {0x01, 0x05}},
        {"quoted Enable", "[Version]\r\nFlashWrite=\"Enable\"\r\n" + entries, {0x02, 0x06}},
        {"reset disabled",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Disable\r\n" + entries,
         {0x02, 0x06}},
        {"single entry gets the reset",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\nfile=one.hex\r\n",
         {0x0E}},
        {"mixed-case File and another key",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\nFiLe=one.hex\r\n"
         "Other=two.hex\r\n",
         {0x06, 0x0A}},
        {"blank and comment lines keep the list going",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\n"
         "ExecuteFile=one.hex\r\n\r\n; second file\r\nFile=two.hex\r\n",
         {0x02, 0x0E}},
        {"further fields are ignored",
         "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nExecuteFile=one.hex, "
         "missing.hex, x\r\n",
         {0x02}},
        {"a line without = ends the list",
         "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\n"
         "ExecuteFile=one.hex\r\nnote\r\nFile=missing.hex\r\n",
         {0x0A}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Built built = Build(c.script);
        ASSERT_NE(built.pImage, nullptr) << built.strDetail;
        EXPECT_EQ(built.Flags(), c.flags);
    }
}

TEST_F(ImageBuilderTest, DescriptionsComeFromFileDescription) {
    m_folder.Write("three.hex", kHexEnd);
    m_folder.Write("four.hex", kHexEnd);
    const Built built = Build(
        "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=one.hex\r\n"
        "ExecuteFile=two.hex\r\nExecuteFile=three.hex\r\nExecuteFile=four.hex\r\n"
        "[FileDescription]\r\nONE.hex=Boot loader\r\nTWO.HEX = \"Main, rev B\"\r\nthree.hex=\r\n");
    ASSERT_NE(built.pImage, nullptr) << built.strDetail;
    const auto headers = FileHeaders(built.pImage.get(), built.nLength);
    ASSERT_EQ(headers.size(), 4u);
    EXPECT_EQ(headers[0].strDescription, "Boot loader");
    EXPECT_EQ(headers[1].strDescription, "Main,rev B");
    EXPECT_EQ(headers[2].strDescription, "");
    EXPECT_EQ(headers[2].nLengthField, 6u);
    EXPECT_EQ(headers[3].strDescription, "Upgrading...");
    EXPECT_EQ(headers[3].nLengthField, 18u);
}

TEST_F(ImageBuilderTest, WorkedImageIsByteExact) {
    const Built built =
        Build("[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=one.hex\r\n");
    ASSERT_NE(built.pImage, nullptr) << built.strDetail;
    std::vector<uint8_t> expected = {0x00, 0x06, 0, 0, 0, 0,    0, 0, 0, 0, 0,
                                     0x01, 0x12, 0, 0, 0, 0x06, 0, 0, 0, 0};
    const std::string description = "Upgrading...";
    expected.insert(expected.end(), description.begin(), description.end());
    const std::vector<uint8_t> rest = {0x00, 0x02, 0x04, 0,    0,    0,   0x00, 0x01, 0x00,
                                       0x00, 0x03, 0x04, 0,    0,    0,   0x12, 0x34, 0x56,
                                       0x78, 0x04, 0x00, 0,    0,    0,   0x05, 0x04, 0,
                                       0,    0,    0x0B, 0x5F, 0xF7, 0x08};
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(built.nLength, 66u);
    EXPECT_EQ(built.Bytes(), expected);
}

TEST_F(ImageBuilderTest, NoDownloadFilesGivesTheEmptyImage) {
    const Built built = Build("[Version]\r\nFlashWrite=Disable\r\n[FileDescription]\r\n");
    ASSERT_NE(built.pImage, nullptr) << built.strDetail;
    const std::vector<uint8_t> expected = {0x00, 0x06, 0,    0, 0, 0, 0,    0,    0,    0,
                                           0,    0x05, 0x04, 0, 0, 0, 0xAB, 0xC1, 0x99, 0x66};
    EXPECT_EQ(built.Bytes(), expected);
}

TEST_F(ImageBuilderTest, CrcRecordCoversEverythingBeforeIt) {
    const std::string script =
        "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\n"
        "ExecuteFile=one.hex\r\nFile=two.hex\r\n[FileDescription]\r\none.hex=First\r\n";
    const Built built = Build(script);
    ASSERT_NE(built.pImage, nullptr) << built.strDetail;
    ASSERT_GT(built.nLength, CRC_RECORD_SIZE);
    const uint8_t* pCrc = built.pImage.get() + built.nLength - CRC_RECORD_SIZE;
    EXPECT_EQ(pCrc[0], REC_CRC32);
    EXPECT_EQ(GetU32(pCrc + 1), 4u);
    EXPECT_EQ(GetU32(pCrc + 5),
              CCrc32().Compute(built.pImage.get(), built.nLength - CRC_RECORD_SIZE));
    EXPECT_EQ(Build(script).Bytes(), built.Bytes());
}

TEST_F(ImageBuilderTest, RelativeNamesResolveInTheUploadFolder) {
    const std::string upload = (m_folder.Path() / "upload").string();
    m_folder.Write("upload/only-here.hex", HexRecord(0x00, 0, {1, 2, 3}) + kHexEnd);
    const Built built =
        Build("[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=only-here.hex\r\n",
              "pkg/package.inf");
    ASSERT_NE(built.pImage, nullptr) << built.strDetail;
    EXPECT_EQ(built.Flags(), std::vector<uint8_t>{0x06});
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), upload));
}

TEST_F(ImageBuilderTest, FailuresGiveNoImageAndNameTheFile) {
    m_folder.Write("bad.hex", ":0401000012345678E8\r\n" + kHexEnd);
    m_folder.Write("cut.hex", ":0401000012345678E7\r\n");
    const std::string version = "[Version]\r\nFlashWrite=Enable\r\n";
    struct Case {
        const char* name;
        std::string script;
        std::vector<std::string> detailParts;
    };
    const Case cases[] = {
        {"no FlashWrite",
         "[Version]\r\nReset=Enable\r\n[DownloadFiles]\r\nFile=one.hex\r\n",
         {"package.inf", "FlashWrite"}},
        {"no Version section", "[DownloadFiles]\r\nFile=one.hex\r\n", {"package.inf"}},
        {"FlashWrite in another section", "[Other]\r\nFlashWrite=Enable\r\n", {"FlashWrite"}},
        {"a missing HEX file after a good one",
         version + "[DownloadFiles]\r\nExecuteFile=one.hex\r\nFile=missing.hex\r\n",
         {"missing.hex"}},
        {"a HEX line with a wrong checksum",
         version + "[DownloadFiles]\r\nFile=bad.hex\r\n",
         {"bad.hex", "line 1"}},
        {"a HEX file without its end record",
         version + "[DownloadFiles]\r\nFile=cut.hex\r\n",
         {"cut.hex"}},
        {"first line of DownloadFiles is no entry",
         version + "[DownloadFiles]\r\n[FileDescription]\r\n",
         {"package.inf line 4"}},
        {"DownloadFiles header as the last line", version + "[DownloadFiles]\r\n", {"package.inf"}},
        {"an entry with an empty name",
         version + "[DownloadFiles]\r\nFile=\r\n",
         {"package.inf line 4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Built built = Build(c.script);
        EXPECT_EQ(built.pImage, nullptr);
        EXPECT_EQ(built.nLength, 0u);
        for (const std::string& part : c.detailParts) {
            EXPECT_NE(built.strDetail.find(part), std::string::npos) << built.strDetail;
        }
    }

    // A FIFO or a device named as a HEX file fails at once instead of blocking the build.
    ASSERT_EQ(mkfifo(m_folder.File("pipe.hex").c_str(), 0600), 0);
    for (const char* name : {"pipe.hex", "/dev/null", "."}) {
        SCOPED_TRACE(name);
        const Built built = Build(version + "[DownloadFiles]\r\nFile=" + name + "\r\n");
        EXPECT_EQ(built.pImage, nullptr);
        EXPECT_NE(built.strDetail.find(name), std::string::npos) << built.strDetail;
    }

    CInfFile missing(m_folder.File("missing.inf"));
    uint32_t nLength = 7;
    EXPECT_EQ(missing.BuildImage(nLength), nullptr);
    EXPECT_NE(missing.GetErrorDetail().find("missing.inf"), std::string::npos);
}

// One file of 16 segments: image = 11 header + 23 file header + 16 x 14 pair heads + data
// + 5 end + 9 CRC, so 1048304 data bytes fill IMAGE_BUFFER_SIZE exactly.
TEST_F(ImageBuilderTest, ImageMayFillButNeverExceedItsCapacity) {
    const uint32_t nFitting = IMAGE_BUFFER_SIZE - 48 - 16 * 14;
    const std::string script =
        "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=big.hex\r\n";

    m_folder.Write("big.hex", SegmentedHex(nFitting));
    const Built full = Build(script);
    ASSERT_NE(full.pImage, nullptr) << full.strDetail;
    EXPECT_EQ(full.nLength, IMAGE_BUFFER_SIZE);

    m_folder.Write("big.hex", SegmentedHex(nFitting + 1));
    const Built over = Build(script);
    EXPECT_EQ(over.pImage, nullptr);
    EXPECT_NE(over.strDetail.find("big.hex"), std::string::npos) << over.strDetail;
    EXPECT_NE(over.strDetail.find("exceed"), std::string::npos) << over.strDetail;
}

}  // namespace
