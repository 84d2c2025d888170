// orvanta-cli send against the real orvanta-projector on a pseudo-terminal: what the projector
// receives must be, byte for byte, the segments that the cutter makes of the same package, and
// every way an attempt can end must end with its result code and message, promptly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "CliTestPackages.h"
#include "PackageLoader.h"
#include "SegmentCutter.h"
#include "ToolRunner.h"

using namespace tooltest;

namespace {

const std::string kCli = ORVANTA_CLI_PATH;
const std::string kProjector = ORVANTA_PROJECTOR_PATH;

// Deadlines that only a hang reaches, sanitizers included.
constexpr int kRunTimeoutMs = 120000;
constexpr int kDeviceTimeoutMs = 30000;

const char kCanceled[] = "Projector canceled connection.";
const char kSerialFailed[] = "Serial failed";

// Makes a folder current and HOME point elsewhere for the life of the object.
class CLoadPlace {
public:
    CLoadPlace(const std::filesystem::path& folder, const std::string& home)
        : m_oldCwd(std::filesystem::current_path()) {
        const char* pHome = getenv("HOME");
        m_bHadHome = pHome != nullptr;
        m_oldHome = m_bHadHome ? pHome : "";
        setenv("HOME", home.c_str(), 1);
        std::filesystem::current_path(folder);
    }
    ~CLoadPlace() {
        std::error_code error;
        std::filesystem::current_path(m_oldCwd, error);
        if (m_bHadHome) {
            setenv("HOME", m_oldHome.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }

private:
    std::filesystem::path m_oldCwd;
    std::string m_oldHome;
    bool m_bHadHome = false;
};

// A pseudo-terminal whose device nobody answers on: a projector that is not in upgrade mode.
class CQuietLine {
public:
    CQuietLine() {
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_nMaster >= 0 && grantpt(m_nMaster) == 0 && unlockpt(m_nMaster) == 0) {
            m_strDevice = ptsname(m_nMaster);
        }
    }
    ~CQuietLine() {
        if (m_nMaster >= 0) {
            close(m_nMaster);
        }
    }
    const std::string& Device() const { return m_strDevice; }

private:
    int m_nMaster = -1;
    std::string m_strDevice;
};

struct SendRun {
    ToolResult cli;
    ToolResult projector;
    std::string dumpDir;
};

class CliSendTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(m_dir / "home"); }

    std::map<std::string, std::string> Env(std::map<std::string, std::string> extra = {}) const {
        extra["HOME"] = m_dir / "home";
        return extra;
    }

    // Runs the projector with projectorArgs (and a dump folder), sends package to it and
    // waits for both to end.
    SendRun Send(const std::string& package, const std::vector<std::string>& projectorArgs,
                 const std::map<std::string, std::string>& env = {}) {
        SendRun run;
        run.dumpDir = m_dir / "dump";
        std::vector<std::string> args{"--dump", run.dumpDir};
        args.insert(args.end(), projectorArgs.begin(), projectorArgs.end());
        CToolProcess projector;
        if (!projector.Start(kProjector, args, Env())) {
            ADD_FAILURE() << "cannot start " << kProjector;
            return run;
        }
        std::string device;
        if (!projector.ReadLine(device, kDeviceTimeoutMs)) {
            ADD_FAILURE() << "the projector named no device";
            return run;
        }
        run.cli = RunTool(kCli, {"send", package, "--port", device}, Env(env),
                          m_dir.Path().string(), kRunTimeoutMs);
        // The projector ends once the tool has closed the line.
        run.projector = projector.Wait(kDeviceTimeoutMs);
        EXPECT_FALSE(run.cli.bTimedOut) << "orvanta-cli did not end";
        EXPECT_FALSE(run.projector.bTimedOut) << "orvanta-projector did not end";
        return run;
    }

    // The segments that the cutter makes of the package, loaded as the tool loads it.
    std::vector<std::vector<uint8_t>> CutterSegments(const std::string& package) {
        CLoadPlace place(m_dir.Path(), m_dir / "home");
        LoadedPackage loaded;
        EXPECT_EQ(LoadPackage(package, loaded, true), RESULT_SUCCESS) << loaded.strDetail;
        CSegmentCutter cutter;
        cutter.SetImage(std::move(loaded.pImage), loaded.nSize);
        std::vector<std::vector<uint8_t>> segments;
        while (cutter.PrepareNextSegment() == 1) {
            segments.emplace_back(cutter.m_pSegment.get(),
                                  cutter.m_pSegment.get() + cutter.m_nSegmentLength);
        }
        return segments;
    }

    QJsonObject Summary(const SendRun& run) const {
        const std::vector<uint8_t> text = ReadBytes(run.dumpDir + "/summary.json");
        return QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(text.data()),
                                                  static_cast<qsizetype>(text.size())))
            .object();
    }

    // The run succeeded and the projector holds exactly the expected segments.
    void ExpectDelivered(const SendRun& run, const std::vector<std::vector<uint8_t>>& expected) {
        EXPECT_EQ(run.cli.nExit, 0) << run.cli.err;
        EXPECT_EQ(run.cli.err, "");
        const std::vector<std::string> lines = Lines(run.cli.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "Upgrade successful!");
        for (size_t i = 0; i < expected.size(); ++i) {
            const std::string path = run.dumpDir + "/segment-" + std::to_string(i + 1) + ".bin";
            EXPECT_EQ(ReadBytes(path), expected[i]) << path;
        }
        EXPECT_FALSE(std::filesystem::exists(run.dumpDir + "/segment-" +
                                             std::to_string(expected.size() + 1) + ".bin"));
        EXPECT_TRUE(Summary(run)["complete"].toBool());
    }

    // A package of one HEX file holding chunks, with a description and flags from the script.
    void WriteOneFilePackage(const std::string& name, const std::vector<HexChunk>& chunks,
                             StartAddress start = {}) {
        WriteFile(m_dir / (name + ".inf"),
                  "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=" + name +
                      ".hex\n[FileDescription]\n" + name + ".hex=Firmware " + name + "\n");
        WriteFile(m_dir / (name + ".hex"), MakeHexText(chunks, start));
    }

    CTempDir m_dir;
};

TEST_F(CliSendTest, OneFileArrivesByteForByte) {
    const std::vector<HexChunk> chunks = {{0x0000, 0x0100, PatternBytes(300, 1)},
                                          {0x1000, 0x0010, PatternBytes(77, 2)}};
    WriteOneFilePackage("one", chunks, {0xF000, 0x0123});
    const std::vector<std::vector<uint8_t>> expected = CutterSegments("one.inf");
    ASSERT_EQ(expected.size(), 1u);
    // The cutter's segment is also the one worked out from the HEX file by hand.
    EXPECT_EQ(expected[0], ExpectedSegment(0x06, {0xF000, 0x0123}, chunks));

    const SendRun run = Send("one.inf", {});
    ExpectDelivered(run, expected);
    const std::vector<std::string> lines = Lines(run.cli.out);
    const std::string sending =
        "Sending Firmware one (" + std::to_string(expected[0].size()) + " bytes)";
    EXPECT_NE(std::find(lines.begin(), lines.end(), sending), lines.end()) << run.cli.out;
    EXPECT_NE(run.cli.out.find("Sent 1 file, " + std::to_string(expected[0].size()) + " bytes"),
              std::string::npos)
        << run.cli.out;
}

TEST_F(CliSendTest, SeveralFilesArriveInPackageOrder) {
    WriteFile(m_dir / "three.inf",
              "[Version]\nFlashWrite=Enable\nBootROMWrite=Enable\nReset=Enable\n"
              "[DownloadFiles]\nExecuteFile=a.hex\nFile=b.hex\nFile=c.hex\n"
              "[FileDescription]\na.hex=Loader\nc.hex=Fonts\n");
    WriteFile(m_dir / "a.hex", MakeHexText({{0, 0, PatternBytes(129, 3)}}));
    WriteFile(m_dir / "b.hex", MakeHexText({}));  // a file without data: a 13-byte segment
    WriteFile(m_dir / "c.hex", MakeHexText({{0x3000, 0x8000, PatternBytes(1000, 4)},
                                            {0x3000, 0x9000, PatternBytes(5, 5)}}));
    const std::vector<std::vector<uint8_t>> expected = CutterSegments("three.inf");
    ASSERT_EQ(expected.size(), 3u);
    EXPECT_EQ(expected[1].size(), 13u);

    const SendRun run = Send("three.inf", {});
    ExpectDelivered(run, expected);
    // One line per file as it starts, in order.
    const std::vector<std::string> starts = {
        "Sending Loader (" + std::to_string(expected[0].size()) + " bytes)",
        "Sending Upgrading... (13 bytes)",
        "Sending Fonts (" + std::to_string(expected[2].size()) + " bytes)",
    };
    size_t nPos = 0;
    for (const std::string& line : starts) {
        nPos = run.cli.out.find(line + "\n", nPos);
        ASSERT_NE(nPos, std::string::npos) << line << "\n" << run.cli.out;
    }
}

TEST_F(CliSendTest, SegmentBoundariesAndBlockNumbers) {
    struct Case {
        const char* pName;
        size_t nDataBytes;
        uint64_t nPackets;  // blocks the projector receives without faults
    };
    const Case cases[] = {
        // 21 bytes of segment framing + 491 = 512: four full blocks, no padded one.
        {"exact", 4 * 128 - 21, 4},
        // Over 256 blocks: block numbers wrap past 255 to 0 and on.
        {"wrap", 40000, (40000 + 21 + 127) / 128},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.pName);
        WriteOneFilePackage(test.pName, {{0x0800, 0x0000, PatternBytes(test.nDataBytes, 6)}});
        const std::vector<std::vector<uint8_t>> expected =
            CutterSegments(std::string(test.pName) + ".inf");
        ASSERT_EQ(expected.size(), 1u);
        ASSERT_EQ(expected[0].size(), test.nDataBytes + 21);

        const SendRun run = Send(std::string(test.pName) + ".inf", {});
        ExpectDelivered(run, expected);
        EXPECT_EQ(Summary(run)["packets"].toInteger(), static_cast<qint64>(test.nPackets));
        std::filesystem::remove_all(run.dumpDir);
    }
}

TEST_F(CliSendTest, RefusedPacketsAreSentAgain) {
    WriteOneFilePackage("naks", {{0, 0, PatternBytes(3000, 7)}});
    WriteFile(m_dir / "naks2.hex", MakeHexText({{0x10, 0x20, PatternBytes(700, 8)}}));
    WriteFile(m_dir / "naks.inf",
              "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=naks.hex\nFile=naks2.hex\n");
    const std::vector<std::vector<uint8_t>> expected = CutterSegments("naks.inf");
    ASSERT_EQ(expected.size(), 2u);

    const SendRun run = Send("naks.inf", {"--nak-every", "5"});
    ExpectDelivered(run, expected);
    EXPECT_GT(Summary(run)["naks_sent"].toInteger(), 0);
}

TEST_F(CliSendTest, AnAttemptThatCannotFinishEndsWithItsResult) {
    WriteOneFilePackage("big", {{0, 0, PatternBytes(4000, 9)}});
    struct Case {
        const char* pName;
        std::vector<std::string> projectorArgs;
        std::map<std::string, std::string> env;
        int nExit;
        const char* pMessage;
        size_t nErrLines;  // the message of the port failure, then the result's text
    };
    const Case cases[] = {
        {"nakAll", {"--nak-all"}, {}, 6, kCanceled, 1},
        {"silent", {"--silent-after", "3"}, {{"ORVANTA_SILENCE_MS", "1500"}}, 6, kCanceled, 1},
        {"hangUp", {"--hangup-after", "3"}, {}, 5, kSerialFailed, 2},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.pName);
        const SendRun run = Send("big.inf", test.projectorArgs, test.env);
        EXPECT_EQ(run.cli.nExit, test.nExit) << run.cli.err;
        const std::vector<std::string> lines = Lines(run.cli.err);
        ASSERT_EQ(lines.size(), test.nErrLines) << run.cli.err;
        EXPECT_EQ(lines.back(), test.pMessage);
        EXPECT_EQ(run.cli.out.find("Upgrade successful!"), std::string::npos);
        EXPECT_NE(run.cli.out.find("Stopped after "), std::string::npos) << run.cli.out;
        std::filesystem::remove_all(run.dumpDir);
    }
}

TEST_F(CliSendTest, APortThatDoesNotExistIsReportedOnce) {
    WriteOneFilePackage("one", {{0, 0, {1, 2, 3}}});
    for (const char* pPort : {"/dev/orvanta-no-such-port", "COM99"}) {
        SCOPED_TRACE(pPort);
        const ToolResult result =
            RunTool(kCli, {"send", "one.inf", "--port", pPort}, Env(), m_dir.Path().string());
        EXPECT_EQ(result.nExit, 5);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(
            Lines(result.err),
            (std::vector<std::string>{
                "Port already open (by another application) or does not exist!", kSerialFailed}));
    }
}

TEST_F(CliSendTest, WaitingForTheFirstRequestCanBeLimited) {
    WriteOneFilePackage("one", {{0, 0, {1, 2, 3}}});
    CQuietLine line;
    ASSERT_FALSE(line.Device().empty());
    const ToolResult result =
        RunTool(kCli, {"send", "one.inf", "--port", line.Device(), "--wait-timeout", "1"}, Env(),
                m_dir.Path().string(), kRunTimeoutMs);
    EXPECT_FALSE(result.bTimedOut);
    EXPECT_EQ(result.nExit, 6);
    EXPECT_EQ(Lines(result.err),
              (std::vector<std::string>{kCanceled, "no request from the projector within 1 s"}));
}

TEST_F(CliSendTest, CtrlCClosesThePortAndCancels) {
    WriteOneFilePackage("one", {{0, 0, {1, 2, 3}}});
    CQuietLine line;
    ASSERT_FALSE(line.Device().empty());
    CToolProcess cli;
    ASSERT_TRUE(cli.Start(kCli, {"send", "one.inf", "--port", line.Device()}, Env(),
                          m_dir.Path().string()));
    std::string first;
    ASSERT_TRUE(cli.ReadLine(first, kRunTimeoutMs));
    EXPECT_EQ(first, "Waiting for the projector's request");
    kill(cli.Pid(), SIGINT);
    const ToolResult result = cli.Wait(kRunTimeoutMs);
    EXPECT_FALSE(result.bTimedOut);
    EXPECT_EQ(result.nExit, 130);
    EXPECT_EQ(Lines(result.err), std::vector<std::string>{"Cancelled"});

    // The port was let go: the next attempt can open it.
    const ToolResult again =
        RunTool(kCli, {"send", "one.inf", "--port", line.Device(), "--wait-timeout", "1"}, Env(),
                m_dir.Path().string(), kRunTimeoutMs);
    EXPECT_EQ(again.nExit, 6) << again.err;
}

TEST_F(CliSendTest, OnATerminalOneLineIsRedrawn) {
    WriteOneFilePackage("live", {{0, 0, PatternBytes(2000, 10)}});
    const std::vector<std::vector<uint8_t>> expected = CutterSegments("live.inf");
    SendRun run;
    run.dumpDir = m_dir / "dump";
    CToolProcess projector;
    ASSERT_TRUE(projector.Start(kProjector, {"--dump", run.dumpDir}, Env()));
    std::string device;
    ASSERT_TRUE(projector.ReadLine(device, kDeviceTimeoutMs));
    CToolProcess cli;
    ASSERT_TRUE(cli.Start(kCli, {"send", "live.inf", "--port", device}, Env(),
                          m_dir.Path().string(), true));
    run.cli = cli.Wait(kRunTimeoutMs);
    run.projector = projector.Wait(kDeviceTimeoutMs);
    EXPECT_EQ(run.cli.nExit, 0) << run.cli.err;
    // stderr is the terminal: the progress line is drawn there with carriage returns and
    // ends at 100 %; the result still goes to stdout.
    EXPECT_NE(run.cli.err.find("\rFirmware live"), std::string::npos) << run.cli.err;
    EXPECT_NE(run.cli.err.find("100%  " + std::to_string(expected[0].size()) + " of " +
                               std::to_string(expected[0].size()) + " bytes"),
              std::string::npos)
        << run.cli.err;
    EXPECT_EQ(run.cli.err.find("Sending "), std::string::npos);
    EXPECT_EQ(Lines(run.cli.out), std::vector<std::string>{"Upgrade successful!"});
    EXPECT_EQ(ReadBytes(run.dumpDir + "/segment-1.bin"), expected[0]);
}

}  // namespace
