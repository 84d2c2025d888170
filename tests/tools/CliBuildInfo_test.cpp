// orvanta-cli build and info, and the exit statuses and messages of every command, run as the
// real program on packages written into temporary folders.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <string>
#include <vector>

#include "BinFile.h"
#include "CliTestPackages.h"
#include "ImageCheck.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

const std::string kCli = ORVANTA_CLI_PATH;

// The worked image of one file (flags 0x06, start 0:0, "Upgrading...", 12 34 56 78 at
// 0000:0100): 66 bytes.
const std::vector<uint8_t> kWorkedImage = {
    0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // image header
    0x01, 0x12, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00,        // file header
    'U',  'p',  'g',  'r',  'a',  'd',  'i',  'n',  'g',  '.',  '.',
    '.',  0x00, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,  // address 0000:0100
    0x03, 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78,              // data
    0x04, 0x00, 0x00, 0x00, 0x00,                                      // end
    0x05, 0x04, 0x00, 0x00, 0x00, 0x0B, 0x5F, 0xF7, 0x08,              // CRC-32
};

// Every test runs the tool with a home of its own, so no upload folder there takes part.
class CliTest : public ::testing::Test {
protected:
    ToolResult Cli(const std::vector<std::string>& args, const std::string& cwd = {}) {
        return RunTool(kCli, args, {{"HOME", m_dir / "home"}},
                       cwd.empty() ? m_dir.Path().string() : cwd);
    }

    // The worked one-file package in folder pkg/.
    void WriteWorkedPackage() {
        WriteFile(m_dir / "pkg/firmware.inf",
                  "[Version]\r\nFlashWrite=Enable\r\n[DownloadFiles]\r\nFile=main.hex\r\n");
        WriteFile(m_dir / "pkg/main.hex", MakeHexText({{0, 0x0100, {0x12, 0x34, 0x56, 0x78}}}));
    }

    // Two files: a boot loader with two load blocks and a start address, then the main
    // program; Reset on the last one.
    void WriteTwoFilePackage() {
        WriteFile(m_dir / "two.inf",
                  "[Version]\nFlashWrite=Enable\nReset=Enable\n"
                  "[DownloadFiles]\nExecuteFile=boot.hex\nFile=main.hex,ignored\n"
                  "[FileDescription]\nboot.hex=Boot loader\nmain.hex=Main program\n");
        WriteFile(m_dir / "boot.hex", MakeHexText({{0x0000, 0x0100, PatternBytes(20, 1)},
                                                   {0x1000, 0x0010, PatternBytes(40, 2)}},
                                                  StartAddress{0x1234, 0x0010}));
        WriteFile(m_dir / "main.hex", MakeHexText({{0x2000, 0x0000, PatternBytes(300, 3)}}));
    }

    CTempDir m_dir;
};

std::vector<uint8_t> Complemented(std::vector<uint8_t> bytes) {
    for (uint8_t& nByte : bytes) {
        nByte = static_cast<uint8_t>(0xFF - nByte);
    }
    return bytes;
}

TEST_F(CliTest, BuildWritesTheComplementedImageFromAnotherFolder) {
    WriteWorkedPackage();
    WriteFile(m_dir / "elsewhere/.keep", "");
    // Started in elsewhere/: the package's HEX file is found beside the script, and OUT
    // lands where the tool was started.
    const ToolResult result =
        Cli({"build", "../pkg/firmware.inf", "-o", "out.bin"}, m_dir / "elsewhere");
    ASSERT_EQ(result.nExit, 0) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");

    const std::vector<uint8_t> written = ReadBytes(m_dir / "elsewhere/out.bin");
    ASSERT_EQ(written.size(), kWorkedImage.size());
    const std::vector<uint8_t> head(written.begin(), written.begin() + 11);
    EXPECT_EQ(head, (std::vector<uint8_t>{0xFF, 0xF9, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                          0xFF, 0xFF}));
    const std::vector<uint8_t> image = Complemented(written);
    EXPECT_EQ(image, kWorkedImage);
    std::string strReason;
    EXPECT_EQ(CheckImage(image.data(), static_cast<uint32_t>(image.size()), strReason), 1)
        << strReason;
}

TEST_F(CliTest, BuildOfItsOwnBinGivesTheSameBytes) {
    WriteTwoFilePackage();
    ASSERT_EQ(Cli({"build", "two.inf", "-o", "first.bin"}).nExit, 0);
    const ToolResult again = Cli({"build", m_dir / "first.bin", "--output=second.bin"});
    ASSERT_EQ(again.nExit, 0) << again.err;
    const std::vector<uint8_t> first = ReadBytes(m_dir / "first.bin");
    EXPECT_GT(first.size(), 20u);
    EXPECT_EQ(ReadBytes(m_dir / "second.bin"), first);
}

TEST_F(CliTest, AnImageWithoutFilesIsBuiltButHasNothingToSend) {
    WriteFile(m_dir / "empty.inf", "[Version]\nFlashWrite=Enable\n");
    const ToolResult build = Cli({"build", "empty.inf", "-o", "empty.bin"});
    ASSERT_EQ(build.nExit, 0) << build.err;
    EXPECT_EQ(Complemented(ReadBytes(m_dir / "empty.bin")),
              (std::vector<uint8_t>{0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x00, 0x05, 0x04, 0x00, 0x00, 0x00, 0xAB, 0xC1, 0x99, 0x66}));

    for (const char* pPackage : {"empty.inf", "empty.bin"}) {
        const ToolResult info = Cli({"info", pPackage});
        EXPECT_EQ(info.nExit, 0) << pPackage << ": " << info.err;
        EXPECT_NE(info.out.find("Image size:  20 bytes"), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("no file blocks: nothing to send"), std::string::npos) << info.out;
    }
}

TEST_F(CliTest, InfoListsEachFileBlock) {
    WriteTwoFilePackage();
    const ToolResult result = Cli({"info", "two.inf"});
    ASSERT_EQ(result.nExit, 0) << result.err;
    const std::vector<std::string> expected = {
        "Image size:  ",  // the exact size is the builder's; the JSON test checks the sum
        "CRC-32:      stored 0x",
        "File 1: Boot loader",
        "  Flags:          0x02 FLASH_WRITE",
        "  Start:          1234:0010",
        "  Segment length: 89 bytes",
        "  Load blocks:    2",
        "    0000:0100  20 bytes",
        "    1000:0010  40 bytes",
        "File 2: Main program",
        "  Flags:          0x0E FLASH_WRITE FILE RESET",
        "  Start:          0000:0000",
        "  Segment length: 321 bytes",
        "  Load blocks:    1",
        "    2000:0000  300 bytes",
    };
    size_t nPos = 0;
    for (const std::string& line : expected) {
        const size_t nFound = result.out.find(line, nPos);
        ASSERT_NE(nFound, std::string::npos) << "missing or out of order: " << line << "\n"
                                             << result.out;
        nPos = nFound + line.size();
    }
    EXPECT_NE(result.out.find(", match\n"), std::string::npos) << result.out;
}

TEST_F(CliTest, InfoJsonCarriesTheSameFacts) {
    WriteTwoFilePackage();
    const ToolResult result = Cli({"info", "--json", "two.inf"});
    ASSERT_EQ(result.nExit, 0) << result.err;
    QJsonParseError error{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(result.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << result.out;
    const QJsonObject root = document.object();

    EXPECT_EQ(root["kind"].toString(), "inf");
    EXPECT_FALSE(root["nothingToSend"].toBool());
    const QJsonObject crc = root["crc"].toObject();
    EXPECT_TRUE(crc["match"].toBool());
    EXPECT_EQ(crc["stored"].toInteger(), crc["computed"].toInteger());

    const QJsonArray files = root["files"].toArray();
    ASSERT_EQ(files.size(), 2);
    const QJsonObject boot = files[0].toObject();
    EXPECT_EQ(boot["description"].toString(), "Boot loader");
    EXPECT_EQ(boot["flags"].toInt(), 0x02);
    EXPECT_EQ(boot["flagNames"].toArray(), QJsonArray({"FLASH_WRITE"}));
    EXPECT_EQ(boot["start"].toString(), "1234:0010");
    EXPECT_EQ(boot["startSegment"].toInt(), 0x1234);
    EXPECT_EQ(boot["startOffset"].toInt(), 0x0010);
    EXPECT_EQ(boot["segmentLength"].toInteger(), 89);
    const QJsonArray bootBlocks = boot["loadBlocks"].toArray();
    ASSERT_EQ(bootBlocks.size(), 2);
    EXPECT_EQ(bootBlocks[1].toObject()["address"].toString(), "1000:0010");
    EXPECT_EQ(bootBlocks[1].toObject()["segment"].toInt(), 0x1000);
    EXPECT_EQ(bootBlocks[1].toObject()["offset"].toInt(), 0x0010);
    EXPECT_EQ(bootBlocks[1].toObject()["count"].toInteger(), 40);

    const QJsonObject main = files[1].toObject();
    EXPECT_EQ(main["flagNames"].toArray(), QJsonArray({"FLASH_WRITE", "FILE", "RESET"}));
    EXPECT_EQ(main["segmentLength"].toInteger(), 321);
    EXPECT_EQ(root["totalSegmentBytes"].toInteger(), 89 + 321);

    // The image: header 11, CRC 9, and per file its header (11 + description), one address
    // and data pair per load block (14 + count) and the end record (5).
    const int nExpectedSize = 11 + (11 + 11 + 14 + 20 + 14 + 40 + 5) + (11 + 12 + 14 + 300 + 5) + 9;
    EXPECT_EQ(root["imageSize"].toInteger(), nExpectedSize);
}

// A package that cannot be loaded gives the same status and message for every command.
struct LoadFailureCase {
    const char* pName;
    const char* pPackage;
    int nExit;
    const char* pMessage;
    const char* pDetail;  // part of the detail line
};

class CliLoadFailureTest : public CliTest, public ::testing::WithParamInterface<LoadFailureCase> {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_dir / "home");
        WriteFile(m_dir / "package.hex", MakeHexText({{0, 0, {1, 2, 3}}}));
        WriteFile(m_dir / "badsum.inf",
                  "[Version]\nFlashWrite=Enable\n[DownloadFiles]\n"
                  "File=badsum.hex\n");
        std::string hex = MakeHexText({{0, 0, PatternBytes(64, 4)}});
        const size_t nLine3 = hex.find(":", hex.find(":", hex.find(":") + 1) + 1);
        hex[nLine3 + 9] = hex[nLine3 + 9] == '0' ? '1' : '0';  // first data digit of line 3
        WriteFile(m_dir / "badsum.hex", hex);
        WriteFile(m_dir / "noflash.inf", "[Version]\nReset=Enable\n[DownloadFiles]\nFile=a.hex\n");
        WriteFile(m_dir / "a.hex", MakeHexText({{0, 0, {1}}}));
        WriteFile(m_dir / "nohex.inf",
                  "[Version]\nFlashWrite=Enable\n[DownloadFiles]\n"
                  "File=missing.hex\n");
        WriteFile(m_dir / "bad.bin", std::string(kWorkedImage.size() - 3, '\xFF'));
        std::vector<uint8_t> flipped = Complemented(kWorkedImage);
        flipped[40] ^= 0x01;  // a data byte: the CRC no longer matches
        WriteFile(m_dir / "crc.bin", std::string(flipped.begin(), flipped.end()));
    }
};

TEST_P(CliLoadFailureTest, EveryCommandEndsWithTheResultCodeAndItsMessage) {
    const LoadFailureCase& param = GetParam();
    const std::vector<std::vector<std::string>> commands = {
        {"build", param.pPackage, "-o", "out.bin"},
        {"info", param.pPackage},
        {"info", "--json", param.pPackage},
        {"send", param.pPackage, "--port", "/nonexistent/tty"},
    };
    for (const std::vector<std::string>& command : commands) {
        SCOPED_TRACE(command.front());
        const ToolResult result = Cli(command);
        EXPECT_EQ(result.nExit, param.nExit) << result.err;
        EXPECT_EQ(result.out, "");
        const std::vector<std::string> lines = Lines(result.err);
        ASSERT_EQ(lines.size(), 2u) << result.err;
        EXPECT_EQ(lines[0], param.pMessage);
        EXPECT_NE(lines[1].find(param.pDetail), std::string::npos) << lines[1];
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out.bin"));
}

const char kNotFound[] = "File not found. Please check the path and filename.";
const char kNotValid[] = "The input file is not valid.";
const char kInfCorrupt[] = "The inf file is corrupt. Please try another file.";

INSTANTIATE_TEST_SUITE_P(
    Packages, CliLoadFailureTest,
    ::testing::Values(LoadFailureCase{"missing", "nothere.inf", 1, kNotFound, "nothere.inf"},
                      LoadFailureCase{"missingFolder", "nodir/x.inf", 1, kNotFound, "x.inf"},
                      LoadFailureCase{"folder", "home", 1, kNotFound, "home"},
                      LoadFailureCase{"hexPackage", "package.hex", 2, kNotValid, "package.hex"},
                      LoadFailureCase{"truncatedBin", "bad.bin", 2, kNotValid, "bad.bin"},
                      LoadFailureCase{"crcBin", "crc.bin", 2, kNotValid, "crc.bin"},
                      LoadFailureCase{"badHexLine", "badsum.inf", 3, kInfCorrupt,
                                      "badsum.hex line 3"},
                      LoadFailureCase{"noFlashWrite", "noflash.inf", 3, kInfCorrupt, "noflash.inf"},
                      LoadFailureCase{"missingHex", "nohex.inf", 3, kInfCorrupt, "missing.hex"}),
    [](const auto& info) { return std::string(info.param.pName); });

TEST_F(CliTest, SendRefusesAnImageWithoutFilesBeforeOpeningThePort) {
    WriteFile(m_dir / "empty.inf", "[Version]\nFlashWrite=Enable\n");
    ASSERT_EQ(Cli({"build", "empty.inf", "-o", "empty.bin"}).nExit, 0);
    // The port does not exist: only the package check can have decided these results.
    const struct {
        const char* pPackage;
        int nExit;
        const char* pMessage;
    } cases[] = {{"empty.inf", 3, kInfCorrupt}, {"empty.bin", 2, kNotValid}};
    for (const auto& test : cases) {
        const ToolResult result = Cli({"send", test.pPackage, "--port", "/nonexistent/tty"});
        EXPECT_EQ(result.nExit, test.nExit) << result.err;
        const std::vector<std::string> lines = Lines(result.err);
        ASSERT_EQ(lines.size(), 2u) << result.err;
        EXPECT_EQ(lines[0], test.pMessage);
        EXPECT_NE(lines[1].find(test.pPackage), std::string::npos) << lines[1];
    }
}

TEST_F(CliTest, BuildReportsAnOutputThatCannotBeWritten) {
    WriteWorkedPackage();
    const ToolResult result = Cli({"build", "pkg/firmware.inf", "-o", "no/such/folder/out.bin"});
    EXPECT_EQ(result.nExit, 73);
    EXPECT_NE(result.err.find("cannot write"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("out.bin"), std::string::npos) << result.err;
}

TEST_F(CliTest, WrongUsageShowsTheUsageOnStderr) {
    WriteWorkedPackage();
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"build"},
        {"build", "pkg/firmware.inf"},
        {"build", "pkg/firmware.inf", "-o"},
        {"build", "pkg/firmware.inf", "pkg/firmware.inf", "-o", "x.bin"},
        {"info"},
        {"info", "pkg/firmware.inf", "--xml"},
        {"info", "pkg/firmware.inf", "--json=yes"},
        {"send", "pkg/firmware.inf"},
        {"send", "pkg/firmware.inf", "--port", ""},
        {"send", "pkg/firmware.inf", "--port", "COM1", "--baud", "fast"},
        {"send", "pkg/firmware.inf", "--port", "COM1", "--baud", "-5"},
        {"send", "pkg/firmware.inf", "--port", "COM1", "--wait-timeout", "0"},
    };
    for (const std::vector<std::string>& args : cases) {
        std::string joined;
        for (const std::string& arg : args) {
            joined += " '" + arg + "'";
        }
        SCOPED_TRACE(joined);
        const ToolResult result = Cli(args);
        EXPECT_EQ(result.nExit, 64);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("orvanta-cli: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find("Usage:"), std::string::npos) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "x.bin"));
}

TEST_F(CliTest, HelpGoesToStdout) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, std::vector<std::string>{"send", "-h"}}) {
        const ToolResult result = Cli(args);
        EXPECT_EQ(result.nExit, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_NE(result.out.find("orvanta-cli send PACKAGE --port PORT"), std::string::npos);
    }
}

}  // namespace
