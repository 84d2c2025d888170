#include "PackageLoader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "BinFile.h"
#include "ImageRecords.h"
#include "TestSupport.h"

namespace {

using namespace orvtest;

// Result codes by name and contents: the name rules, special files refused before anything
// reads them (a FIFO must not block; a folder opens but cannot be read), a .bin that must be
// a checked image, an image without files (refused unless allowed). Script
// details are the builder's part, the same failures through orvanta-cli the tools' part.
TEST(PackageLoaderTest, ResultCodesByNameAndContents) {
    TempDir dir;
    EnvGuard home("HOME", dir.Path().string());
    CwdGuard cwd(dir.Path());
    dir.Write("fw.hex", HexRecord(0, 0x0100, {0x12, 0x34, 0x56, 0x78}) + kHexEnd);
    const std::string inf = "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=fw.hex\n";
    const std::string noFiles = "[Version]\nFlashWrite=Enable\n";
    Bytes image = kWorkedImage, none = kEmptyImage;  // .bin round trip: written here, read below
    ASSERT_EQ(CBinFile(dir / "nofiles.bin").WriteImage(none.data(), 20), 1);
    ASSERT_EQ(CBinFile(dir.Write("IMAGE.BIN", std::string(99, 'x'))).WriteImage(image.data(), 66),
              1);
    EXPECT_EQ(image, Complemented(kWorkedImage));  // left complemented, as the file holds it
    const std::string worked = ReadText(dir / "IMAGE.BIN"), empty = ReadText(dir / "nofiles.bin");
    std::filesystem::create_directories(dir.Path() / "folder.bin");
    ASSERT_EQ(mkfifo((dir / "pipe.inf").c_str(), 0600), 0);
    const struct {
        const char* name;
        std::optional<std::string> contents;  // none: not written here
        int nResult;  // 0 success, 1 cannot be opened, 2 not a valid input, 3 INF gives no image
        bool bRequireFiles = true;
    } cases[] = {
        // clang-format off
        {"FIRMWARE.INF", inf, 0}, {"setupinf", inf, 0}, {"IMAGE.BIN", {}, 0},
        {"setupbin", worked, 0}, {"nofiles2.inf", noFiles, 0, false}, {"x.bin", empty, 0, false},
        {"missing.inf", {}, 1}, {"pipe.inf", {}, 1}, {"folder.bin", {}, 1}, {"setup.infx", inf, 2},
        {"empty.bin", "", 2}, {"cut.bin", worked.substr(0, 57), 2}, {"nofiles.bin", {}, 2},
        {"plain.bin", std::string(kWorkedImage.begin(), kWorkedImage.end()), 2},
        {"nofiles.inf", noFiles, 3},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string path = c.contents ? dir.Write(c.name, *c.contents) : dir / c.name;
        LoadedPackage package;
        package.strDetail = "stale";
        EXPECT_EQ(LoadPackage(path, package, c.bRequireFiles), c.nResult) << c.name;
        if (c.nResult == LOAD_OK) {
            EXPECT_EQ(package.bInf, c.contents == inf || c.contents == noFiles) << c.name;
            EXPECT_EQ(package.strDetail, "");
            EXPECT_EQ(Bytes(package.pImage.get(), package.pImage.get() + package.nSize),
                      c.bRequireFiles ? kWorkedImage : kEmptyImage);
        } else {
            EXPECT_EQ(package.pImage, nullptr);
            EXPECT_EQ(package.nSize, 0u);
            EXPECT_NE(package.strDetail.find(c.name), std::string::npos) << package.strDetail;
            EXPECT_EQ(package.strDetail.find('\n'), std::string::npos);
        }
    }
    LoadedPackage package;  // a relative path resolves against the current directory
    EXPECT_EQ(LoadPackage("FIRMWARE.INF", package), LOAD_OK) << package.strDetail;

    // Images larger than any image can be are refused by their size before they are read
    // (sparse files, nothing written; huge HEX files are the HEX reader's part).
    const std::string limit = " bytes, more than the limit of " + std::to_string(IMAGE_BUFFER_SIZE);
    const std::pair<std::string, uint64_t> huge[] = {{"huge.bin", uint64_t{2} << 30},
                                                     {"over.bin", IMAGE_BUFFER_SIZE + 1}};
    for (const auto& [name, nSize] : huge) {
        dir.Write(name, "");
        std::filesystem::resize_file(dir / name, nSize);
        EXPECT_EQ(LoadPackage(name, package), LOAD_FILE_NOT_FOUND);
        EXPECT_EQ(package.strDetail,
                  name + ": cannot be read (" + std::to_string(nSize) + limit + ")");
    }
}

}  // namespace
