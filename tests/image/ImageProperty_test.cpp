// Random valid packages, built and cut into download segments: the load blocks of each segment,
// replayed in order at segment * 16 + offset, give back exactly the bytes of its HEX file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "ImageRecords.h"
#include "ImageTestSupport.h"
#include "InfFile.h"
#include "SegmentCutter.h"

namespace {

using imagetest::CurrentDirGuard;
using imagetest::EnvGuard;
using imagetest::HexRecord;
using imagetest::HexSegment;
using imagetest::kHexEnd;
using imagetest::ScratchFolder;

using ByteMap = std::map<uint32_t, uint8_t>;

struct HexPlan {
    std::string strText;
    ByteMap bytes;  // what the file loads, later lines overwriting earlier ones
    uint16_t nStartSegment = 0;
    uint16_t nStartOffset = 0;
};

struct Random {
    std::mt19937 engine;
    uint32_t Between(uint32_t nLow, uint32_t nHigh) {
        return std::uniform_int_distribution<uint32_t>(nLow, nHigh)(engine);
    }
    bool Chance(double p) { return std::bernoulli_distribution(p)(engine); }
};

// Runs of data lines at random offsets, sometimes in a new segment, with gaps inside runs and
// now and then a long line; no line crosses the end of its segment.
HexPlan RandomHex(Random& random) {
    HexPlan plan;
    if (random.Chance(0.3)) {
        plan.strText += HexRecord(0x04, 0, {0, 0});  // linear address 0 changes nothing
    }
    uint16_t nSegment = 0;
    const uint32_t nRuns = random.Between(1, 6);
    for (uint32_t nRun = 0; nRun < nRuns; ++nRun) {
        if (random.Chance(0.5)) {
            nSegment = static_cast<uint16_t>(random.Between(0, 0xFFFF));
            plan.strText += HexSegment(nSegment);
        }
        uint32_t nOffset = random.Between(0, 0xFFF0);
        const uint32_t nLines = random.Between(1, 40);
        for (uint32_t nLine = 0; nLine < nLines && nOffset < 0x10000; ++nLine) {
            uint32_t nCount = random.Chance(0.05) ? random.Between(33, 255) : random.Between(1, 32);
            nCount = std::min(nCount, 0x10000 - nOffset);
            std::vector<uint8_t> data(nCount);
            for (uint8_t& b : data) {
                b = static_cast<uint8_t>(random.Between(0, 255));
            }
            plan.strText += HexRecord(0x00, static_cast<uint16_t>(nOffset), data);
            for (uint32_t i = 0; i < nCount; ++i) {
                plan.bytes[nSegment * 16u + nOffset + i] = data[i];
            }
            nOffset += nCount;
            if (random.Chance(0.2)) {
                nOffset += random.Between(1, 64);
            }
        }
    }
    if (random.Chance(0.5)) {
        plan.nStartSegment = static_cast<uint16_t>(random.Between(0, 0xFFFF));
        plan.nStartOffset = static_cast<uint16_t>(random.Between(0, 0xFFFF));
        plan.strText += HexRecord(
            0x03, 0,
            {static_cast<uint8_t>(plan.nStartSegment >> 8),
             static_cast<uint8_t>(plan.nStartSegment), static_cast<uint8_t>(plan.nStartOffset >> 8),
             static_cast<uint8_t>(plan.nStartOffset)});
    }
    plan.strText += kHexEnd;
    return plan;
}

class ImagePropertyTest : public ::testing::TestWithParam<uint32_t> {
  protected:
    ImagePropertyTest() : m_home("HOME", m_folder.Path().string()) {
        std::filesystem::current_path(m_folder.Path());
    }

    ScratchFolder m_folder;
    CurrentDirGuard m_cwd;
    EnvGuard m_home;
};

TEST_P(ImagePropertyTest, SegmentsGiveBackTheHexBytes) {
    Random random{std::mt19937(GetParam())};
    const bool bFlash = random.Chance(0.7);
    const bool bBootRom = random.Chance(0.3);
    const bool bReset = random.Chance(0.5);
    std::string script = "[Version]\r\nFlashWrite=" + std::string(bFlash ? "Enable" : "Disable") +
                         "\r\n" + (bBootRom ? "BootROMWrite=Enable\r\n" : "") +
                         (bReset ? "Reset=Enable\r\n" : "") + "[DownloadFiles]\r\n";
    std::string descriptions = "[FileDescription]\r\n";

    const uint32_t nFiles = random.Between(1, 4);
    std::vector<HexPlan> plans;
    std::vector<uint8_t> flags;
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < nFiles; ++i) {
        const std::string name = "f" + std::to_string(i) + ".hex";
        plans.push_back(RandomHex(random));
        m_folder.Write(name, plans.back().strText);
        const bool bFileKey = random.Chance(0.5);
        script += (bFileKey ? "File=" : "ExecuteFile=") + name + "\r\n";
        uint8_t nFlags =
            static_cast<uint8_t>((bFlash ? FLAG_FLASH_WRITE : 0) |
                                 (bBootRom ? FLAG_BOOTROM_WRITE : 0) | (bFileKey ? FLAG_FILE : 0));
        if (bReset && i + 1 == nFiles) {
            nFlags |= FLAG_RESET;
        }
        flags.push_back(nFlags);
        if (random.Chance(0.5)) {
            texts.push_back("File " + std::to_string(i) + " of the package");
            descriptions += name + "=" + texts.back() + "\r\n";
        } else {
            texts.push_back("Upgrading...");
        }
    }

    CInfFile inf(m_folder.Write("package.inf", script + descriptions));
    uint32_t nLength = 0;
    std::unique_ptr<uint8_t[]> pImage = inf.BuildImage(nLength);
    ASSERT_NE(pImage, nullptr) << inf.GetErrorDetail();
    CSegmentCutter cutter;
    cutter.SetImage(std::move(pImage), nLength);

    for (uint32_t i = 0; i < nFiles; ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        ASSERT_EQ(cutter.PrepareNextSegment(), 1);
        const uint8_t* pSegment = cutter.m_pSegment.get();
        const uint32_t nSegmentLength = cutter.m_nSegmentLength;
        ASSERT_GE(nSegmentLength, 13u);
        EXPECT_EQ(pSegment[0], flags[i]);
        EXPECT_EQ(GetU16(pSegment + 1), plans[i].nStartOffset);
        EXPECT_EQ(GetU16(pSegment + 3), plans[i].nStartSegment);
        EXPECT_EQ(cutter.m_strStatus, texts[i]);

        ByteMap loaded;
        uint32_t nPos = 5;
        while (nPos < nSegmentLength - 8) {
            ASSERT_LE(nPos + 8, nSegmentLength - 8);
            const uint32_t nAddress = GetU32(pSegment + nPos);
            const uint32_t nCount = GetU32(pSegment + nPos + 4);
            nPos += 8;
            ASSERT_LE(nCount, nSegmentLength - 8 - nPos);
            const uint32_t nBase = (nAddress >> 16) * 16u + (nAddress & 0xFFFF);
            for (uint32_t k = 0; k < nCount; ++k) {
                loaded[nBase + k] = pSegment[nPos + k];
            }
            nPos += nCount;
        }
        EXPECT_EQ(nPos, nSegmentLength - 8);
        EXPECT_EQ(GetU32(pSegment + nSegmentLength - 8), 0u);
        EXPECT_EQ(GetU32(pSegment + nSegmentLength - 4), 0u);
        EXPECT_TRUE(loaded == plans[i].bytes);
        cutter.ReleaseSegment();
    }
    EXPECT_EQ(cutter.PrepareNextSegment(), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, ImagePropertyTest, ::testing::Range(1u, 25u));

}  // namespace
