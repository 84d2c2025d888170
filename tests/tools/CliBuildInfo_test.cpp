// orvanta-cli build and info run as the real program on packages written into temporary
// folders: the image written wherever OUT is, what info reports, and how failures are told.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <optional>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const char kInfCorrupt[] = "The inf file is corrupt. Please try another file.";
// The image of the two-file package below: header 11 and CRC 9; per file its header (11 +
// description), an address and data pair per load block (14 + count) and the end record (5).
const int kTwoFileImageSize = 11 + (11 + 11 + 14 + 20 + 14 + 40 + 5) + (11 + 12 + 14 + 300 + 5) + 9;

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class CliTest : public testing::Test {
protected:
    // Runs the tool in cwd (the test's folder when empty) with a home of its own, so that no
    // upload folder there takes part, and without serial ports, so that `send` without a port
    // never picks a real adapter of the machine.
    ToolResult Cli(const std::vector<std::string>& args, const std::string& cwd = {},
                   const std::string& program = kCli) {
        return RunTool(program, args, {{"HOME", m_dir / "home"}, {"ORVANTA_TEST_PORTS", ""}},
                       cwd.empty() ? m_dir.Path().string() : cwd);
    }

    // The one-file package in pkg/: one file, 12 34 56 78 at 0000:0100.
    void WriteOneFilePackage() {
        WritePackage(m_dir, "pkg/firmware.inf", {{"main.hex", "", kWorkedFile.loads}});
    }

    TempDir m_dir;
};

// Started in another folder: the HEX file is found beside the script, OUT where the tool runs.
TEST_F(CliTest, BuildWritesTheComplementedImageAndReadsItBack) {
    WriteOneFilePackage();
    m_dir.Write("empty.inf", "[Version]\nFlashWrite=Enable\n");
    m_dir.Write("elsewhere/.keep", "");
    for (const auto& [pPackage, image] :
         {std::pair{"../pkg/firmware.inf", kWorkedImage}, {"../empty.inf", kEmptyImage}}) {
        SCOPED_TRACE(pPackage);
        const ToolResult built = Cli({"build", pPackage, "-o", "out.bin"}, m_dir / "elsewhere");
        EXPECT_EQ(built.nExit, 0) << built.err;
        EXPECT_EQ(built.out + built.err, "");
        EXPECT_EQ(ReadBytes(m_dir / "elsewhere/out.bin"), Complemented(image));
        // The .bin is a package too: built again, it gives the same bytes.
        EXPECT_EQ(Cli({"build", "elsewhere/out.bin", "--output=again.bin"}).nExit, 0);
        EXPECT_EQ(ReadBytes(m_dir / "again.bin"), Complemented(image));
    }
}

// A boot loader with two load blocks and a start address, then the main program: every fact
// of each file block, as the documented fields.
TEST_F(CliTest, InfoJsonDescribesEachFileBlock) {
    m_dir.Write("two.inf",
                "[Version]\nFlashWrite=Enable\nReset=Enable\n"
                "[DownloadFiles]\nExecuteFile=boot.hex\nFile=main.hex,ignored\n"
                "[FileDescription]\nboot.hex=Boot loader\nmain.hex=Main program\n");
    m_dir.Write("boot.hex", MakeHexText({{0, 0x0100, PatternBytes(20, 1)},
                                         {0x1000, 0x0010, PatternBytes(40, 2)}},
                                        StartAddress{0x1234, 0x0010}));
    m_dir.Write("main.hex", MakeHexText({{0x2000, 0, PatternBytes(300, 3)}}));
    const ToolResult result = Cli({"info", "--json", "two.inf"});
    ASSERT_EQ(result.nExit, 0) << result.err;
    const QJsonObject root =
        QJsonDocument::fromJson(QByteArray::fromStdString(result.out)).object();
    EXPECT_EQ(root["schemaVersion"].toInt(), 2);
    EXPECT_EQ(root["kind"].toString(), "inf");
    EXPECT_FALSE(root["nothingToSend"].toBool());
    EXPECT_EQ(root["imageSize"].toInt(), kTwoFileImageSize);
    EXPECT_EQ(root["totalSegmentBytes"].toInt(), 89 + 321);
    const QJsonObject crc = root["crc"].toObject();
    EXPECT_TRUE(crc["match"].toBool());
    EXPECT_EQ(crc["stored"].toInteger(), crc["computed"].toInteger());
    const QJsonArray files = root["files"].toArray();
    ASSERT_EQ(files.size(), 2);
    const QJsonObject boot = files[0].toObject(), main = files[1].toObject();
    EXPECT_EQ(boot["description"].toString(), "Boot loader");
    EXPECT_EQ(boot["flags"].toInt(), 0x02);
    EXPECT_EQ(boot["flagNames"].toArray(), QJsonArray({"FLASH_WRITE"}));
    EXPECT_EQ(boot["start"].toString(), "1234:0010");
    EXPECT_EQ(boot["startSegment"].toInt(), 0x1234);
    EXPECT_EQ(boot["startOffset"].toInt(), 0x0010);
    EXPECT_EQ(boot["segmentLength"].toInt(), 89);
    const QJsonArray blocks = boot["loadBlocks"].toArray();
    ASSERT_EQ(blocks.size(), 2);
    EXPECT_EQ(
        blocks[1].toObject(),
        QJsonObject(
            {{"address", "1000:0010"}, {"segment", 0x1000}, {"offset", 0x0010}, {"count", 40}}));
    EXPECT_EQ(main["flagNames"].toArray(), QJsonArray({"FLASH_WRITE", "FILE", "RESET"}));
    EXPECT_EQ(main["segmentLength"].toInt(), 321);
}

// A package that cannot be loaded gives every command the same status, the message the wizard
// shows and a detail line naming the file and the reason (the loader's results are the image
// library's part).
TEST_F(CliTest, APackageThatCannotBeLoaded) {
    std::string hex = MakeHexText({{0, 0, PatternBytes(64, 4)}});
    hex[hex.find(":", hex.find(":", 1) + 1) + 9] ^= 1;  // a data digit of line 3
    m_dir.Write("badsum.hex", hex);
    m_dir.Write("badsum.inf", "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=badsum.hex\n");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"send", "badsum.inf", "--port", "/nonexistent/tty"},
          {"build", "badsum.inf", "-o", "out.bin"},
          {"info", "badsum.inf"},
          {"info", "--json", "badsum.inf"}}) {
        SCOPED_TRACE(command[0]);
        const ToolResult result = Cli(command);
        EXPECT_EQ(result.nExit, 3) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err,
                  std::string(kInfCorrupt) + "\nbadsum.hex line 3: checksum mismatch\n");
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir / "out.bin"));
}

// orvanta-cli is one program: copied alone into a folder of its own it runs every command
// (`send` here finds no port to use).
TEST_F(CliTest, TheProgramAloneRunsEveryCommand) {
    WriteOneFilePackage();
    const std::string alone = m_dir / "alone/bin/orvanta-cli";
    std::filesystem::create_directories(m_dir / "alone/bin");
    std::filesystem::copy_file(kCli, alone);
    const ToolResult built = Cli({"build", "pkg/firmware.inf", "-o", "out.bin"}, {}, alone);
    EXPECT_EQ(built.nExit, 0) << built.err;
    EXPECT_EQ(ReadBytes(m_dir / "out.bin"), Complemented(kWorkedImage));
    const ToolResult info = Cli({"info", "pkg/firmware.inf"}, {}, alone);
    EXPECT_EQ(info.nExit, 0) << info.err;
    EXPECT_NE(info.out.find("Image size:"), std::string::npos);
    const ToolResult ports = Cli({"ports"}, {}, alone);
    EXPECT_EQ(ports.nExit, 0) << ports.err;
    EXPECT_EQ(ports.out, "No serial port found.\n");
    const ToolResult send = Cli({"send", "pkg/firmware.inf"}, {}, alone);
    EXPECT_EQ(send.nExit, 64);
    EXPECT_NE(send.err.find("no USB serial adapter found"), std::string::npos) << send.err;
}

// OUT of every kind: a pipe (through /dev/stdout or -) and a FIFO get the whole image, far more
// than a pipe holds at once; a regular OUT is replaced whole or, when writing fails (a file
// size limit here), left as it was with no temporary file behind.
TEST_F(CliTest, BuildWritesPipesFifosAndReplacesFilesWhole) {
    std::vector<Chunk> chunks;
    for (uint16_t n = 0; n < 4; ++n) {
        chunks.push_back({static_cast<uint16_t>(n * 0x1000), 0, PatternBytes(0xFFF0, n)});
    }
    m_dir.Write("big/firmware.inf",
                "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=big.hex\n");
    m_dir.Write("big/big.hex", MakeHexText(chunks));
    const ToolResult reference = Cli({"build", "big/firmware.inf", "-o", "ref.bin"});
    ASSERT_EQ(reference.nExit, 0) << reference.err;
    const std::string image = ReadText(m_dir / "ref.bin");
    ASSERT_GT(image.size(), 4 * 0xFFF0u);

    for (const char* pOut : {"/dev/stdout", "-"}) {  // "-" is stdout, not a file named "-"
        const ToolResult piped = Cli({"build", "big/firmware.inf", "-o", pOut});
        EXPECT_EQ(piped.nExit, 0) << piped.err;
        EXPECT_TRUE(piped.out == image) << pOut << ": " << piped.out.size() << " bytes";
    }

    ASSERT_EQ(mkfifo((m_dir / "fifo").c_str(), 0600), 0);
    // A FIFO nobody reads yet is refused at once (73), so the build is tried again until the
    // reader started in the background has opened it.
    const std::string shell =
        "cat fifo > copy.bin & for i in $(seq 200); do \"$0\" build big/firmware.inf -o fifo "
        "2>err; s=$?; [ $s = 73 ] || break; sleep 0.05; done; "
        "[ $s = 73 ] && kill $!; wait; cat err >&2; rm err; exit $s";
    const ToolResult fifo =
        RunTool("/bin/sh", {"-c", shell, kCli}, {{"HOME", m_dir / "home"}}, m_dir.Path().string());
    EXPECT_EQ(fifo.nExit, 0) << fifo.err;
    EXPECT_TRUE(ReadText(m_dir / "copy.bin") == image);

    m_dir.Write("out.bin", "the old image");
    chmod((m_dir / "out.bin").c_str(), 0640);
    const std::string limited =
        "ulimit -f 16; trap '' XFSZ; exec \"$0\" build "
        "big/firmware.inf -o out.bin";
    const ToolResult failed = RunTool("/bin/sh", {"-c", limited, kCli}, {{"HOME", m_dir / "home"}},
                                      m_dir.Path().string());
    EXPECT_EQ(failed.nExit, 73);
    EXPECT_NE(failed.err.find("out.bin: cannot be written (File too large)"), std::string::npos)
        << failed.err;
    EXPECT_EQ(ReadText(m_dir / "out.bin"), "the old image");
    const ToolResult replaced = Cli({"build", "big/firmware.inf", "-o", "out.bin"});
    EXPECT_EQ(replaced.nExit, 0) << replaced.err;
    EXPECT_TRUE(ReadText(m_dir / "out.bin") == image);
    EXPECT_EQ(std::filesystem::status(m_dir / "out.bin").permissions(),
              std::filesystem::perms(0640));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Path()), {}), 5)
        << "big, ref.bin, fifo, copy.bin, out.bin and nothing else";
}

// A new OUT gets the permission bits a new file gets under the umask, as any program's output.
TEST_F(CliTest, ANewImageFollowsTheUmask) {
    WriteOneFilePackage();
    for (const auto& [pMask, nMode] : {std::pair{"022", 0644}, {"077", 0600}, {"002", 0664}}) {
        SCOPED_TRACE(pMask);
        std::filesystem::remove(m_dir / "new.bin");
        const ToolResult built =
            RunTool("/bin/sh",
                    {"-c", "umask $1; exec \"$0\" build pkg/firmware.inf -o new.bin", kCli, pMask},
                    {{"HOME", m_dir / "home"}}, m_dir.Path().string());
        EXPECT_EQ(built.nExit, 0) << built.err;
        EXPECT_EQ(std::filesystem::status(m_dir / "new.bin").permissions(),
                  std::filesystem::perms(nMode));
    }
}

// Text from a package reaches the terminal escaped: control characters in descriptions and
// file names show as \x1b, in info and in failure details; details name the package by the
// path given.
TEST_F(CliTest, PackageTextIsEscapedAndNamedAsGiven) {
    m_dir.Write("pkg/esc.inf",
                "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=main.hex\n"
                "[FileDescription]\nmain.hex=Boot\x1b[2J\x07loader\n");
    m_dir.Write("pkg/main.hex", MakeHexText(kWorkedFile.loads));
    const ToolResult info = Cli({"info", "pkg/esc.inf"});
    EXPECT_EQ(info.nExit, 0) << info.err;
    EXPECT_NE(info.out.find("File 1: Boot\\x1b[2J\\x07loader\n"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find('\x1b'), std::string::npos);

    m_dir.Write("pkg/bad.inf",
                "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=a\x1b[2J.hex\n");
    m_dir.Write("pkg/none.inf", "[Other]\n");
    const std::pair<const char*, const char*> rows[] = {
        {"pkg/bad.inf", "\na\\x1b[2J.hex: cannot be opened (No such file or directory)\n"},
        {"pkg/none.inf", "\npkg/none.inf: no [Version] section\n"},
    };
    for (const auto& [pPackage, pDetail] : rows) {
        const ToolResult result = Cli({"build", pPackage, "-o", "out.bin"});
        EXPECT_EQ(result.nExit, 3) << pPackage;
        EXPECT_NE(result.err.find(pDetail), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
    }
}

// info --json carries a description as text whatever its bytes: control characters escaped
// (never raw in the output), UTF-8 as it is, and other 8-bit text read as Latin-1, so that the
// output always parses.
TEST_F(CliTest, InfoJsonCarriesAnyDescriptionAsText) {
    m_dir.Write("pkg/main.hex", MakeHexText(kWorkedFile.loads));
    const std::pair<std::string, std::string> rows[] = {
        {"Boot\x1b[2J\x07\tloader", "Boot\x1b[2J\x07\tloader"},
        {"Caf\xc3\xa9 \"v2\" C:\\fw \xe2\x82\xac", "Caf\xc3\xa9 \"v2\" C:\\fw \xe2\x82\xac"},
        {"Caf\xe9 \xb5s", "Caf\xc3\xa9 \xc2\xb5s"},
        // A surrogate's UTF-8 form is no UTF-8: the bytes are Latin-1.
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
    };
    for (const auto& [description, expected] : rows) {
        SCOPED_TRACE(description);
        m_dir.Write("pkg/d.inf",
                    "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=main.hex\n"
                    "[FileDescription]\nmain.hex=" +
                        description + "\n");
        const ToolResult info = Cli({"info", "--json", "pkg/d.inf"});
        ASSERT_EQ(info.nExit, 0) << info.err;
        EXPECT_TRUE(std::none_of(info.out.begin(), info.out.end(), [](char c) {
            return c != '\n' && uint8_t(c) < 0x20;
        })) << info.out;
        QJsonParseError error;
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray::fromStdString(info.out), &error);
        ASSERT_EQ(error.error, QJsonParseError::NoError) << info.out;
        EXPECT_EQ(document["files"][0]["description"].toString().toUtf8().toStdString(), expected);
    }
}

// The load block's byte count of the one file of `info --json` output, or -1.
int LoadCount(const std::string& json) {
    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    const QJsonArray blocks = root["files"][0]["loadBlocks"].toArray();
    return blocks.isEmpty() ? -1 : blocks[0]["count"].toInt(-1);
}

// Which main.hex a script reads: beside it, or in the upload folder that --upload-dir,
// ORVANTA_UPLOAD_DIR or $HOME/upload names (in that order; empty turns it off). The copies
// differ in length, so the load block's count tells them apart.
TEST_F(CliTest, TheUploadFolderIsChosenAndCanBeTurnedOff) {
    m_dir.Write("pkg/firmware.inf",
                "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=main.hex\n");
    m_dir.Write("pkg/main.hex", MakeHexText({{0, 0, PatternBytes(4, 1)}}));
    m_dir.Write("home/upload/main.hex", MakeHexText({{0, 0, PatternBytes(5, 1)}}));
    m_dir.Write("other/main.hex", MakeHexText({{0, 0, PatternBytes(6, 1)}}));
    const std::optional<std::string> unset;
    const struct {
        std::vector<std::string> extra;
        std::optional<std::string> env;  // ORVANTA_UPLOAD_DIR
        int nCount;
    } rows[] = {
        {{}, unset, 5},
        {{"--upload-dir="}, unset, 4},
        {{}, "", 4},
        {{}, "other", 6},
        {{"--upload-dir", ""}, "other", 4},
        {{"--upload-dir", "other"}, "", 6},
        {{"--upload-dir", "pkg"}, unset, 4},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"info", "pkg/firmware.inf", "--json"};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        std::map<std::string, std::string> env = {{"HOME", m_dir / "home"}};
        if (row.env) {
            env["ORVANTA_UPLOAD_DIR"] = *row.env;
        }
        SCOPED_TRACE(args.back() + " env " + row.env.value_or("unset"));
        const ToolResult info = RunTool(kCli, args, env, m_dir.Path().string());
        EXPECT_EQ(info.nExit, 0) << info.err;
        EXPECT_EQ(LoadCount(info.out), row.nCount) << info.out;
    }
    const ToolResult missing =
        RunTool(kCli, {"build", "pkg/firmware.inf", "-o", "x.bin"},
                {{"HOME", m_dir / "home"}, {"ORVANTA_UPLOAD_DIR", "gone"}}, m_dir.Path().string());
    EXPECT_EQ(missing.nExit, 64);
    EXPECT_TRUE(missing.err.starts_with(
        "orvanta-cli: ORVANTA_UPLOAD_DIR gone: No such file or directory\n"))
        << missing.err;
    EXPECT_FALSE(std::filesystem::exists(m_dir / "x.bin"));
}

// OUT that is a file the build reads, by its name, through a symbolic or hard link, or as
// stdout appending to it: refused with both paths named, the input untouched, nothing else
// written. A terminal as stdout (a real pseudo-terminal) is refused before anything is read.
TEST_F(CliTest, BuildNeverWritesOverItsInputsOrOntoATerminal) {
    WriteOneFilePackage();
    const std::string script = ReadText(m_dir / "pkg/firmware.inf");
    const std::string hex = ReadText(m_dir / "pkg/main.hex");
    std::filesystem::create_symlink("pkg/firmware.inf", m_dir / "link.inf");
    std::filesystem::create_hard_link(m_dir / "pkg/main.hex", m_dir / "hex-hard");
    m_dir.Write("image.bin", Text(Complemented(kWorkedImage)));
    const struct {
        std::string package;
        std::string out;  // "-": stdout appending to the HEX file
        std::string input;
    } rows[] = {
        {"pkg/firmware.inf", "pkg/firmware.inf", "the package " + m_dir / "pkg/firmware.inf"},
        {"pkg/firmware.inf", "pkg/main.hex", "the HEX file " + m_dir / "pkg/main.hex"},
        {"pkg/firmware.inf", "link.inf", "the package " + m_dir / "pkg/firmware.inf"},
        {"pkg/firmware.inf", "hex-hard", "the HEX file " + m_dir / "pkg/main.hex"},
        {"image.bin", "image.bin", "the package " + m_dir / "image.bin"},
        {"pkg/firmware.inf", "-", "the HEX file " + m_dir / "pkg/main.hex"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.package + " -o " + row.out);
        const ToolResult refused =
            row.out == "-" ? RunTool("/bin/sh",
                                     {"-c", "exec \"$0\" build \"$1\" -o - >> pkg/main.hex", kCli,
                                      row.package},
                                     {{"HOME", m_dir / "home"}}, m_dir.Path().string())
                           : Cli({"build", row.package, "-o", row.out});
        EXPECT_EQ(refused.nExit, 73);
        const std::string outName = row.out == "-" ? "stdout" : m_dir / row.out;
        EXPECT_EQ(refused.err, "orvanta-cli: cannot write " + outName + "\n" + outName +
                                   " is the same file as " + row.input + "; nothing was written\n");
        EXPECT_EQ(ReadText(m_dir / "pkg/firmware.inf"), script);
        EXPECT_EQ(ReadText(m_dir / "pkg/main.hex"), hex);
        EXPECT_EQ(ReadText(m_dir / "image.bin"), Text(Complemented(kWorkedImage)));
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir / "pkg"), {}), 2)
        << "no temporary file left beside the package";

    CPty terminal;
    ASSERT_FALSE(terminal.m_strDevice.empty());
    for (const char* pOut : {"-", "/dev/stdout"}) {
        SCOPED_TRACE(pOut);
        const ToolResult onTerminal =
            RunTool("/bin/sh",
                    {"-c", "exec \"$0\" build pkg/firmware.inf -o \"$2\" > \"$1\"", kCli,
                     terminal.m_strDevice, pOut},
                    {{"HOME", m_dir / "home"}}, m_dir.Path().string());
        EXPECT_EQ(onTerminal.nExit, 64);
        EXPECT_TRUE(onTerminal.err.starts_with("orvanta-cli: -o " + std::string(pOut) +
                                               " would write the binary image onto the "
                                               "terminal; redirect stdout"))
            << onTerminal.err;
    }
    fcntl(terminal.m_nMaster, F_SETFL, O_NONBLOCK);
    char byte = 0;
    EXPECT_LE(read(terminal.m_nMaster, &byte, 1), 0) << "nothing reached the terminal";
}

}  // namespace
