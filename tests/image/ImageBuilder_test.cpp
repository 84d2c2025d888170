#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "InfFile.h"
#include "SegmentCutter.h"
#include "TestSupport.h"

namespace {

using namespace orvtest;
using Files = std::vector<std::pair<int, std::string>>;       // flags, description
using Segments = std::vector<std::pair<Bytes, std::string>>;  // segment, description

// Real packages in a temporary folder that is current, with the upload folder "upload" in it
// (there only when a test makes it).
class ImageBuilderTest : public ::testing::Test {
protected:
    // The built image (empty on failure, with the detail in m_strDetail).
    Bytes Build(const std::string& script, const std::string& name = "package.inf") {
        CInfFile inf(m_dir.Write(name, script), m_dir / "upload");
        uint32_t nLength = 0xDEADBEEF;
        const auto pImage = inf.BuildImage(nLength);
        m_strDetail = inf.GetErrorDetail();
        m_readFiles = inf.GetReadFiles();
        EXPECT_TRUE(pImage || nLength == 0) << nLength;
        return pImage ? Bytes(pImage.get(), pImage.get() + nLength) : Bytes();
    }
    // Each segment the cutter makes of the image built from script, with its description.
    Segments Cut(const std::string& script, const std::string& name = "package.inf") {
        const Bytes image = Build(script, name);
        Segments segments;
        CSegmentCutter cutter;
        cutter.SetImage(ToBuffer(image), static_cast<uint32_t>(image.size()));
        while (cutter.PrepareNextSegment() == 1) {
            const uint8_t* p = cutter.m_pSegment.get();
            segments.emplace_back(Bytes(p, p + cutter.m_nSegmentLength), cutter.m_strStatus);
        }
        return segments;
    }
    Files FilesOf(const std::string& script, const std::string& name = "package.inf") {
        Files files;
        for (const auto& [segment, description] : Cut(script, name)) {
            files.emplace_back(segment[0], description);
        }
        return files;
    }

    TempDir m_dir;
    CwdGuard m_cwd{m_dir.Path()};
    std::string m_strDetail;
    std::vector<std::string> m_readFiles;
};

// The byte-exact images; flags from [Version] and the entry keys, the reset on the last file
// only, descriptions from [FileDescription] ("Upgrading..." without one), where the list of
// entries ends, relative HEX names resolving in the upload folder when that exists, and the
// files each build read, by their absolute paths.
TEST_F(ImageBuilderTest, ImagesFlagsAndDescriptions) {
    m_dir.Write("one.hex", ":0401000012345678E7\r\n" + kHexEnd);
    m_dir.Write("two.hex", HexRecord(0, 0x0200, {0xAA, 0xBB}) + kHexEnd);
    EXPECT_EQ(Build("[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=one.hex\r\n"),
              kWorkedImage);
    EXPECT_EQ(Build("[Version]\nFlashWrite=Disable\n[FileDescription]\n"), kEmptyImage);
    const std::string d = "[DownloadFiles]\n",
                      on = "[Version]\nFlashWrite=Enable\nReset=Enable\n" + d;
    const std::string files = "ExecuteFile=one.hex\nFile=two.hex\n", up = "Upgrading...";
    const std::string both = on + files + "[FileDescription]\n";
    // clang-format off
    const std::pair<std::string, Files> cases[] = {
        {on + files, {{0x02, up}, {0x0E, up}}},
        {"[Version]\nFlashWrite=Disable\nReset=Enable\n" + d + files, {{0x00, up}, {0x0C, up}}},
        {"[version]\nflashwrite=enable\nBOOTROMWRITE=ENABLE\n" + d + files, {{3, up}, {7, up}}},
        {"[Version]\nFlashWrite=Enabled\nBootROMWrite = Enable \n" + d + files, {{1, up}, {5, up}}},
        {"[Version]\nFlashWrite=\"Enable\"\n" + d + files, {{0x02, up}, {0x06, up}}},
        {on + "FiLe=one.hex\nOther=two.hex\n", {{0x06, up}, {0x0A, up}}},
        {on + "ExecuteFile=one.hex\n\n; c\nFile=two.hex, x.hex\n", {{0x02, up}, {0x0E, up}}},
        {on + "ExecuteFile=one.hex\nnote\nFile=missing.hex\n", {{0x0A, up}}},
        {both + "ONE.hex=Boot\nTWO.HEX = \"A, B\"\n", {{0x02, "Boot"}, {0x0E, "A,B"}}},
        {both + "one.hex=\n", {{0x02, ""}, {0x0E, up}}},
    };
    // clang-format on
    for (const auto& [script, expected] : cases) {
        EXPECT_EQ(FilesOf(script), expected) << script << m_strDetail;
    }
    m_dir.Write("upload/up.hex", HexRecord(0, 0, {1, 2, 3}) + kHexEnd);
    EXPECT_EQ(m_readFiles, (std::vector<std::string>{m_dir / "package.inf", m_dir / "one.hex",
                                                     m_dir / "two.hex"}));
    EXPECT_EQ(FilesOf("[Version]\nFlashWrite=Enable\n" + d + "File=up.hex\n", "p/a.inf"),
              (Files{{0x06, up}}));
    EXPECT_EQ(m_readFiles, (std::vector<std::string>{m_dir / "p/a.inf", m_dir / "upload/up.hex"}));
}

// No image, and a detail that names the file at fault: the script, a HEX file, a device
// (which must not block the build), or an image over capacity. One file of 16 segments
// takes 48 + 16 * 14 bytes besides its data, so nFitting data bytes fill the image exactly.
TEST_F(ImageBuilderTest, FailuresNameTheFile) {
    const uint32_t nFitting = IMAGE_BUFFER_SIZE - 48 - 16 * 14;
    std::vector<Chunk> big;
    for (uint16_t n = 0; n < 16; ++n) {
        big.push_back({static_cast<uint16_t>(n * 0x1000), 0, Bytes(n < 15 ? 0x10000 : 0, 0x5A)});
    }
    big.back().data.resize(nFitting - 15 * 0x10000, 0xA5);
    m_dir.Write("full.hex", MakeHexText(big));
    big.back().data.push_back(1);
    const std::string over = MakeHexText(big);
    m_dir.Write("over.hex", over);
    // The conversion stops at the line that crosses the capacity: the last data line.
    const std::string nLastDataLine =
        std::to_string(std::count(over.begin(), over.end(), '\n') - 1);
    m_dir.Write("one.hex", kHexEnd);
    m_dir.Write("bad.hex", ":0401000012345678E8\r\n" + kHexEnd);
    m_dir.Write("cut.hex", ":0401000012345678E7\r\n");
    const std::string files = "[Version]\nFlashWrite=Enable\n[DownloadFiles]\n";
    EXPECT_EQ(Build(files + "File=full.hex\n").size(), IMAGE_BUFFER_SIZE) << m_strDetail;
    // clang-format off
    const std::pair<std::string, std::string> cases[] = {
        {"[Version]\nReset=Enable\n[DownloadFiles]\nFile=one.hex\n", "FlashWrite"},
        {"[DownloadFiles]\nFile=one.hex\n", "package.inf"},
        {"[Other]\nFlashWrite=Enable\n", "package.inf: no [Version] section"},
        {"[Version]\nReset=Enable\n", "package.inf: no FlashWrite key in section [Version]"},
        {"[Version]\nFlashWrite=Enable", "package.inf line 2: the last line has no line end"},
        {files + "ExecuteFile=one.hex\nFile=missing.hex\n", "missing.hex"},
        {files + "File=bad.hex\n", "bad.hex line 1"}, {files + "File=cut.hex\n", "cut.hex"},
        {files + "[FileDescription]\n", "package.inf line 4"}, {files, "package.inf"},
        {files + "File=\n", "package.inf line 4"}, {files + "File=/dev/null\n", "/dev/null"},
        {files + "File=over.hex\n", "over.hex line " + nLastDataLine + ": the image would exceed its capacity of 1048576 bytes"},
        {files + "File=full.hex\nFile=one.hex\n", "one.hex: the image would exceed its capacity"},
    };
    // clang-format on
    for (const auto& [script, part] : cases) {
        EXPECT_TRUE(Build(script).empty()) << script;
        EXPECT_NE(m_strDetail.find(part), std::string::npos) << m_strDetail;
    }
    // A HEX file not found while the upload folder was current: the detail names the folder.
    std::filesystem::create_directories(m_dir / "upload");
    EXPECT_TRUE(Build(files + "File=one.hex\n").empty());
    EXPECT_EQ(m_strDetail, "one.hex: cannot be opened (No such file or directory) (looked for in " +
                               m_dir / "upload)");
}

// Random valid packages, built and cut: the load blocks of each segment, replayed in order at
// segment * 16 + offset, give back exactly the bytes of its HEX file (later bytes win).
TEST_F(ImageBuilderTest, PropertySegmentsGiveBackTheHexBytes) {
    using ByteMap = std::map<uint32_t, uint8_t>;
    for (uint32_t nSeed = 1; nSeed <= 40; ++nSeed) {
        std::mt19937 engine(nSeed);
        auto random = [&](uint32_t nLow, uint32_t nHigh) {
            return std::uniform_int_distribution<uint32_t>(nLow, nHigh)(engine);
        };
        std::string script = "[Version]\nFlashWrite=Enable\n[DownloadFiles]\n";
        std::vector<ByteMap> files(random(1, 4));
        for (size_t i = 0; i < files.size(); ++i) {
            ByteMap& bytes = files[i];
            std::vector<Chunk> chunks(random(1, 6));  // anywhere, overlapping now and then
            for (Chunk& chunk : chunks) {
                chunk.nSegment = static_cast<uint16_t>(random(0, 3) ? random(0, 0xFFFF) : 0);
                chunk.nOffset = static_cast<uint16_t>(random(0, 0xFFF0));
                chunk.data = PatternBytes(random(1, std::min(0x10000u - chunk.nOffset, 2000u)),
                                          random(0, 99));
                for (uint32_t k = 0; k < chunk.data.size(); ++k) {
                    bytes[chunk.nSegment * 16u + chunk.nOffset + k] = chunk.data[k];
                }
            }
            m_dir.Write("f" + std::to_string(i) + ".hex",
                        MakeHexText(chunks, {}, random(0, 3) ? random(1, 32) : random(33, 255)));
            script += "File=f" + std::to_string(i) + ".hex\n";
        }
        const auto segments = Cut(script);
        ASSERT_EQ(segments.size(), files.size()) << "seed " << nSeed << " " << m_strDetail;
        for (size_t i = 0; i < files.size(); ++i) {
            const uint8_t* p = segments[i].first.data();
            const uint32_t nEnd = static_cast<uint32_t>(segments[i].first.size()) - 8;  // zeros
            ByteMap loaded;
            uint32_t nPos = 5;
            for (uint32_t nCount = 0; nPos + 8 <= nEnd; nPos += 8 + nCount) {
                const uint32_t nBase = GetU16(p + nPos + 2) * 16u + GetU16(p + nPos);
                nCount = GetU32(p + nPos + 4);
                ASSERT_LE(nCount, nEnd - nPos - 8);
                for (uint32_t k = 0; k < nCount; ++k) {
                    loaded[nBase + k] = p[nPos + 8 + k];
                }
            }
            EXPECT_EQ(nPos, nEnd);
            EXPECT_EQ(GetU32(p + nEnd) | GetU32(p + nEnd + 4), 0u);
            EXPECT_TRUE(loaded == files[i]) << "seed " << nSeed << ", file " << i;
        }
    }
}

}  // namespace
