#include "PackageLoader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ImageTestSupport.h"
#include "InfFile.h"

namespace {

using imagetest::CurrentDirGuard;
using imagetest::EnvGuard;
using imagetest::HexRecord;
using imagetest::kHexEnd;
using imagetest::ScratchFolder;

const std::string kScript =
    "[Version]\r\nFlashWrite=Enable\r\nReset=Enable\r\n[DownloadFiles]\r\nFile=fw.hex\r\n";
const std::string kEmptyScript = "[Version]\r\nFlashWrite=Enable\r\n";
const std::string kNoFlashScript = "[Version]\r\nReset=Enable\r\n";
const std::string kMissingHexScript =
    "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=none.hex\r\n";

std::string Complemented(std::vector<uint8_t> image) {
    std::string file(image.size(), '\0');
    for (size_t i = 0; i < image.size(); ++i) {
        file[i] = static_cast<char>(0xFF - image[i]);
    }
    return file;
}

class PackageLoaderTest : public ::testing::Test {
  protected:
    PackageLoaderTest() : m_home("HOME", m_folder.Path().string()) {
        std::filesystem::current_path(m_folder.Path());
        m_folder.Write("fw.hex", HexRecord(0x00, 0x0100, {0x12, 0x34, 0x56, 0x78}) + kHexEnd);
    }

    // The image that kScript builds, as the loader should deliver it from a .bin as well.
    std::vector<uint8_t> BuiltImage(const std::string& script) {
        CInfFile inf(m_folder.Write("reference.inf", script));
        uint32_t nLength = 0;
        const auto pImage = inf.BuildImage(nLength);
        EXPECT_NE(pImage, nullptr) << inf.GetErrorDetail();
        return pImage ? std::vector<uint8_t>(pImage.get(), pImage.get() + nLength)
                      : std::vector<uint8_t>();
    }

    ScratchFolder m_folder;
    CurrentDirGuard m_cwd;
    EnvGuard m_home;
};

TEST_F(PackageLoaderTest, ResultCodesByNameAndContents) {
    const std::vector<uint8_t> image = BuiltImage(kScript);
    const std::vector<uint8_t> emptyImage = BuiltImage(kEmptyScript);
    ASSERT_EQ(emptyImage.size(), 20u);
    std::vector<uint8_t> badCrc = image;
    badCrc.back() ^= 0x01;
    std::vector<uint8_t> cut = image;
    cut.resize(image.size() - 9);  // no CRC record

    struct Case {
        const char* name;
        std::string contents;  // "" with bCreate false: the file does not exist
        bool bCreate;
        bool bRequireFiles;
        int nResult;
        bool bInf;
    };
    const Case cases[] = {
        {"FIRMWARE.INF", kScript, true, true, RESULT_SUCCESS, true},
        {"firmware.Inf", kScript, true, true, RESULT_SUCCESS, true},
        {"setupinf", kScript, true, true, RESULT_SUCCESS, true},
        {"inf", kScript, true, true, RESULT_SUCCESS, true},
        {"image.bin", Complemented(image), true, true, RESULT_SUCCESS, false},
        {"IMAGE.BIN", Complemented(image), true, true, RESULT_SUCCESS, false},
        {"setupbin", Complemented(image), true, true, RESULT_SUCCESS, false},
        {"missing.inf", "", false, true, RESULT_FILE_NOT_FOUND, false},
        {"missing.bin", "", false, true, RESULT_FILE_NOT_FOUND, false},
        {"package.hex", kScript, true, true, RESULT_INVALID_INPUT, false},
        {"in", kScript, true, true, RESULT_INVALID_INPUT, false},
        {"n", kScript, true, true, RESULT_INVALID_INPUT, false},
        {"package.infx", kScript, true, true, RESULT_INVALID_INPUT, false},
        {"random.bin", "not an image at all", true, true, RESULT_INVALID_INPUT, false},
        {"empty.bin", "", true, true, RESULT_INVALID_INPUT, false},
        {"badcrc.bin", Complemented(badCrc), true, true, RESULT_INVALID_INPUT, false},
        {"cut.bin", Complemented(cut), true, true, RESULT_INVALID_INPUT, false},
        {"plain.bin", std::string(image.begin(), image.end()), true, true, RESULT_INVALID_INPUT,
         false},
        {"noflash.inf", kNoFlashScript, true, true, RESULT_INF_CORRUPT, true},
        {"nohex.inf", kMissingHexScript, true, true, RESULT_INF_CORRUPT, true},
        {"emptyfile.inf", "", true, true, RESULT_INF_CORRUPT, true},
        {"nofiles.inf", kEmptyScript, true, true, RESULT_INF_CORRUPT, true},
        {"nofiles2.inf", kEmptyScript, true, false, RESULT_SUCCESS, true},
        {"nofiles.bin", Complemented(emptyImage), true, true, RESULT_INVALID_INPUT, false},
        {"nofiles2.bin", Complemented(emptyImage), true, false, RESULT_SUCCESS, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            c.bCreate ? m_folder.Write(c.name, c.contents) : m_folder.File(c.name);
        LoadedPackage package;
        package.strDetail = "stale";
        const int nResult = LoadPackage(path, package, c.bRequireFiles);
        EXPECT_EQ(nResult, c.nResult) << package.strDetail;
        if (nResult == RESULT_SUCCESS) {
            ASSERT_NE(package.pImage, nullptr);
            EXPECT_EQ(package.bInf, c.bInf);
            EXPECT_TRUE(package.strDetail.empty());
            const std::vector<uint8_t> loaded(package.pImage.get(),
                                              package.pImage.get() + package.nSize);
            EXPECT_EQ(loaded, c.bRequireFiles ? image : emptyImage);
        } else {
            EXPECT_EQ(package.pImage, nullptr);
            EXPECT_EQ(package.nSize, 0u);
            EXPECT_NE(package.strDetail.find_first_not_of(" "), std::string::npos);
            EXPECT_EQ(package.strDetail.find('\n'), std::string::npos);
        }
        if (nResult != RESULT_SUCCESS) {
            // Every detail names the package, or for a HEX file the HEX file.
            const bool bNamesFile = package.strDetail.find(c.name) != std::string::npos ||
                                    package.strDetail.find("none.hex") != std::string::npos;
            EXPECT_TRUE(bNamesFile) << package.strDetail;
        }
    }
}

TEST_F(PackageLoaderTest, FoldersAreNotPackages) {
    std::filesystem::create_directories(m_folder.Path() / "folder.inf");
    std::filesystem::create_directories(m_folder.Path() / "folder.bin");
    for (const char* name : {"folder.inf", "folder.bin"}) {
        SCOPED_TRACE(name);
        LoadedPackage package;
        EXPECT_EQ(LoadPackage(m_folder.File(name), package), RESULT_FILE_NOT_FOUND);
        EXPECT_NE(package.strDetail.find(name), std::string::npos);
    }
}

TEST_F(PackageLoaderTest, RelativePathsResolveAgainstTheCurrentDirectory) {
    m_folder.Write("pkg/fw.hex", HexRecord(0x00, 0x0100, {0x12, 0x34, 0x56, 0x78}) + kHexEnd);
    m_folder.Write("pkg/relative.inf", kScript);
    std::filesystem::remove(m_folder.Path() / "fw.hex");
    std::filesystem::current_path(m_folder.Path() / "pkg");
    LoadedPackage package;
    EXPECT_EQ(LoadPackage("relative.inf", package), RESULT_SUCCESS) << package.strDetail;
    EXPECT_TRUE(package.bInf);
    EXPECT_EQ(LoadPackage("../pkg/relative.inf", package), RESULT_SUCCESS) << package.strDetail;
}

}  // namespace
