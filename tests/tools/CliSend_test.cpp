// orvanta-cli send against the real orvanta-projector on a pseudo-terminal: what the projector
// receives must be, byte for byte, the segments that the cutter makes of the same package, and
// every attempt that cannot finish must end promptly with its result code and message.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <regex>

#include "PackageLoader.h"
#include "PackageSegments.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const char kCanceled[] = "Projector canceled connection.\n";

class CliSendTest : public testing::Test {
protected:
    // A package of one HEX file per entry of files, named in order, with descriptions.
    void WritePackage(const std::string& name, const std::vector<std::vector<Chunk>>& files,
                      StartAddress start = {}) {
        std::string script = "[Version]\nFlashWrite=Enable\n[DownloadFiles]\n", descriptions;
        for (size_t i = 0; i < files.size(); ++i) {
            const std::string hex = name + std::to_string(i + 1) + ".hex";
            m_dir.Write(hex, MakeHexText(files[i], start));
            script += "File=" + hex + "\n";
            descriptions += hex + "=Part " + std::to_string(i + 1) + "\n";
        }
        m_dir.Write(name + ".inf", script + "[FileDescription]\n" + descriptions);
    }

    // The segments that the cutter makes of the package, loaded as the tool loads it.
    std::vector<Bytes> CutterSegments(const std::string& package) {
        std::vector<Bytes> segments = PackageSegments(m_dir.Path(), package);
        EXPECT_FALSE(segments.empty()) << package << " does not load";
        return segments;
    }

    // Sends package to a projector started with args (the dump folder added); both must end.
    // With bTerminal the tool's stderr is a terminal.
    ToolResult Send(const std::string& package, std::vector<std::string> args,
                    std::map<std::string, std::string> env = {}, bool bTerminal = false) {
        std::filesystem::remove_all(m_dir / "dump");
        args.insert(args.end(), {"--dump", m_dir / "dump"});
        CToolProcess projector, cli;
        EXPECT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, args));
        env["HOME"] = m_dir / "home";
        EXPECT_TRUE(cli.Start(kCli, {"send", package, "--port", projector.ReadLine(30000)}, env,
                              m_dir.Path(), bTerminal));
        const ToolResult result = cli.Wait(120000);
        EXPECT_EQ(projector.Wait(30000).nExit, 0) << "the projector ends once the line is closed";
        m_summary = QJsonDocument::fromJson(
                        QByteArray::fromStdString(ReadText(m_dir / "dump/summary.json")))
                        .object();
        return result;
    }

    // The projector holds exactly the expected segments, no more.
    void ExpectDumped(const std::vector<Bytes>& expected) {
        for (size_t i = 0; i <= expected.size(); ++i) {
            const std::string path = m_dir / ("dump/segment-" + std::to_string(i + 1) + ".bin");
            EXPECT_EQ(ReadBytes(path), i < expected.size() ? expected[i] : Bytes{}) << path;
        }
    }

    // The run succeeded and the projector holds exactly the expected segments.
    void ExpectDelivered(const ToolResult& cli, const std::vector<Bytes>& expected) {
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        EXPECT_EQ(cli.err, "");
        EXPECT_TRUE(cli.out.ends_with("\nUpgrade successful!\n")) << cli.out;
        ExpectDumped(expected);
        EXPECT_TRUE(m_summary["complete"].toBool());
    }

    TempDir m_dir;
    QJsonObject m_summary;  // the projector's summary.json of the last run
};

// Several files (the middle one without data: a 13-byte segment, the last of two load
// blocks), and one file of exactly four packets: every segment arrives byte for byte and in
// package order, each file and the total said as it goes.
TEST_F(CliSendTest, PackagesArriveByteForByte) {
    const std::vector<std::vector<Chunk>> rows[] = {
        {{{0, 0, PatternBytes(129, 3)}},
         {},
         {{0x3000, 0x8000, PatternBytes(1000, 4)}, {0x3000, 0x9000, {5}}}},
        {{{0x0800, 0, PatternBytes(4 * 128 - 21, 6)}}},
    };
    for (const auto& files : rows) {
        SCOPED_TRACE(std::to_string(files.size()) + " files");
        WritePackage("p", files, {0xF000, 0x0123});
        const std::vector<Bytes> expected = CutterSegments("p.inf");
        ASSERT_EQ(expected.size(), files.size());
        const ToolResult cli = Send("p.inf", {});
        ExpectDelivered(cli, expected);
        size_t nAt = 0, nBytes = 0;
        int nPackets = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            const std::string line = "\nSending Part " + std::to_string(i + 1) + " (" +
                                     std::to_string(expected[i].size()) + " bytes)\n";
            nAt = cli.out.find(line, nAt);
            ASSERT_NE(nAt, std::string::npos) << line << cli.out;
            nBytes += expected[i].size();
            nPackets += int(expected[i].size() + 127) / 128;
        }
        const std::string sent = "\nSent " + std::to_string(expected.size()) +
                                 (expected.size() == 1 ? " file, " : " files, ") +
                                 std::to_string(nBytes) + " bytes in ";
        EXPECT_NE(cli.out.find(sent), std::string::npos) << sent << cli.out;
        EXPECT_EQ(m_summary["naks_sent"].toInt(), 0);
        EXPECT_EQ(m_summary["packets"].toInt(), nPackets);
        EXPECT_TRUE(std::regex_search(cli.out, std::regex(" bytes in 00:0\\d\n"))) << cli.out;
    }
}

// Each way an attempt ends early gives its result, the message and one detail line saying
// what happened and where.
TEST_F(CliSendTest, AnAttemptThatCannotFinishEndsWithItsResult) {
    WritePackage("big", {{{0, 0, PatternBytes(4000, 9)}}});
    const std::string readFailed = "A problem occured while trying to read from the Com Port: 5\n";
    const std::string writeFailed = "A problem occured while trying to write to the Com Port: 5\n";
    const struct {
        std::vector<std::string> args;
        int nExit;
        std::string err;  // a regular expression for the whole of stderr
    } rows[] = {
        {{"--nak-all"},
         6,
         std::string(kCanceled) + "the projector refused block 1 of file 1 \\(Part 1\\) 11 "
                                  "times; check the cable and the baud rate\n"},
        // A hang-up gives one message: the reader's, or the writer's when a write fails first.
        {{"--hangup-after", "3"},
         5,
         "(" + readFailed + "|" + writeFailed +
             ")Serial failed\n/dev/pts/\\d+ went away or stopped answering \\(Input/output "
             "error\\); check the cable and the projector's power\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0]);
        const ToolResult cli = Send("big.inf", row.args);
        EXPECT_EQ(cli.nExit, row.nExit);
        EXPECT_TRUE(std::regex_match(cli.err, std::regex(row.err))) << cli.err;
        EXPECT_NE(cli.out.find("\nStopped after "), std::string::npos) << cli.out;
        EXPECT_FALSE(m_summary["complete"].toBool());
    }
}

// A port that cannot be had is refused with result 5, the fixed open message and a detail line
// naming the device, the cause and the next step.
TEST_F(CliSendTest, APortThatCannotBeOpenedNamesTheCause) {
    WritePackage("one", {{{0, 0, {1, 2, 3}}}});
    chmod(m_dir.Path().c_str(), 0755);  // for the unprivileged run
    const std::string kOpenFailed =
        "Port already open \\(by another application\\) or does not exist!\nSerial failed\n";
    CPty quiet;
    CToolProcess holder;  // holds the line with a lock, waiting for a request that never comes
    ASSERT_TRUE(holder.Start(kCli, {"send", "one.inf", "--port", quiet.m_strDevice},
                             {{"HOME", m_dir / "home"}}, m_dir.Path()));
    ASSERT_EQ(holder.ReadLine(30000), "Waiting for the projector's request");
    CPty held;
    CToolProcess cat;  // holds the line open without a lock
    ASSERT_TRUE(cat.Start("/bin/sh", {"-c", "echo ready; exec cat < " + held.m_strDevice}));
    ASSERT_EQ(cat.ReadLine(30000), "ready");
    CPty denied;  // a line of group dialout, which the unprivileged user is not in
    const struct group* pDialout = getgrnam("dialout");
    ASSERT_NE(pDialout, nullptr);
    ASSERT_EQ(chown(denied.m_strDevice.c_str(), 0, pDialout->gr_gid), 0);
    ASSERT_EQ(chmod(denied.m_strDevice.c_str(), 0660), 0);
    CPty marked;  // marked exclusive by an opener that is gone, as a sender killed by SIGKILL
    const int nMarker = open(marked.m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(ioctl(nMarker, TIOCEXCL), 0);
    close(nMarker);
    ASSERT_EQ(chmod(marked.m_strDevice.c_str(), 0666), 0);
    const struct {
        bool bUnprivileged;  // run as nobody, outside every group
        std::string port;
        std::string err;  // a regular expression
    } rows[] = {
        {false, "/dev/orvanta-no-such-port",
         kOpenFailed + "/dev/orvanta-no-such-port: no such device \\(No such file or "
                       "directory\\); serial devices present: .+\n"},
        {false, "COM99", kOpenFailed + "/dev/ttyS98: no such device .+\n"},
        {false, "/dev/null",
         "Error setting Com port status!\nSerial failed\n/dev/null is not a serial line\n"},
        {false, quiet.m_strDevice,
         kOpenFailed + quiet.m_strDevice + ": in use by PID " + std::to_string(holder.Pid()) +
             " \\(orvanta-cli\\); close it and try again\n"},
        {false, held.m_strDevice,
         kOpenFailed + held.m_strDevice + ": held open by PID " + std::to_string(cat.Pid()) +
             " \\(cat\\), which would take the projector's answers; close it and try again\n"},
        {true, denied.m_strDevice,
         kOpenFailed + denied.m_strDevice +
             ": permission denied; the device belongs to group dialout: add yourself with "
             "`sudo adduser \\$USER dialout`, then log in again\n"},
        {true, marked.m_strDevice,
         kOpenFailed + marked.m_strDevice +
             ": marked for exclusive use, but nothing holds it \\(no lock, and no process .+ "
             "restart the program that made it\\), or clear the mark as root: sudo python3 -c "
             "'.+\"" +
             marked.m_strDevice + "\".+termios\\.TIOCNXCL\\)'\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.port);
        std::vector<std::string> words = {kCli, "send", "one.inf", "--port", row.port};
        if (row.bUnprivileged) {
            words.insert(words.begin(), {"--reuid=nobody", "--regid=nogroup", "--clear-groups"});
        }
        const ToolResult cli = RunTool(row.bUnprivileged ? "/usr/bin/setpriv" : kCli,
                                       {words.begin() + (row.bUnprivileged ? 0 : 1), words.end()},
                                       {{"HOME", m_dir / "home"}}, m_dir.Path());
        EXPECT_EQ(cli.nExit, 5);
        EXPECT_EQ(cli.out, "");
        EXPECT_TRUE(std::regex_match(cli.err, std::regex(row.err))) << cli.err;
    }
    kill(holder.Pid(), SIGINT);
    EXPECT_EQ(holder.Wait(30000).nExit, 130);
}

// Losing stdout (`| head -1`) does not stop the upgrade: the projector gets every file.
TEST_F(CliSendTest, AClosedOutputDoesNotStopTheUpgrade) {
    WritePackage("p", {{{0, 0, PatternBytes(3000, 11)}}, {{{0x10, 0, PatternBytes(500, 12)}}}});
    const std::vector<Bytes> expected = CutterSegments("p.inf");
    std::filesystem::remove_all(m_dir / "dump");
    CToolProcess projector;
    ASSERT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, {"--dump", m_dir / "dump"}));
    const std::string device = projector.ReadLine(30000);
    const ToolResult run = RunTool(
        "/bin/bash",
        {"-c", "\"$0\" send p.inf --port \"$1\" | head -1; exit ${PIPESTATUS[0]}", kCli, device},
        {{"HOME", m_dir / "home"}}, m_dir.Path());
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(run.out, "Waiting for the projector's request\n");
    EXPECT_EQ(projector.Wait(30000).nExit, 0);
    ExpectDumped(expected);
}

// On a terminal the progress is one line, redrawn; the result still goes to stdout.
TEST_F(CliSendTest, OnATerminalOneLineIsRedrawn) {
    WritePackage("live", {{{0, 0, PatternBytes(2000, 10)}}});
    const ToolResult cli = Send("live.inf", {}, {}, true);
    EXPECT_EQ(cli.nExit, 0) << cli.err;
    EXPECT_EQ(cli.out, "Upgrade successful!\n");
    EXPECT_NE(cli.err.find("\rPart 1"), std::string::npos) << cli.err;
    EXPECT_NE(cli.err.find("100%  2021 of 2021 bytes"), std::string::npos) << cli.err;
    EXPECT_EQ(cli.err.find("Sending "), std::string::npos) << cli.err;
}

// A projector that never asks: Ctrl-C, and a terminal that goes away, cancel and let the port
// go; a wait limit ends the attempt too.
TEST_F(CliSendTest, WaitingForTheFirstRequestEnds) {
    WritePackage("one", {{{0, 0, {1, 2, 3}}}});
    CPty quiet;
    for (const int nSignal : {SIGINT, SIGHUP}) {
        SCOPED_TRACE(nSignal);
        CToolProcess cli;
        ASSERT_TRUE(cli.Start(kCli, {"send", "one.inf", "--port", quiet.m_strDevice},
                              {{"HOME", m_dir / "home"}}, m_dir.Path()));
        EXPECT_EQ(cli.ReadLine(30000), "Waiting for the projector's request");
        kill(cli.Pid(), nSignal);
        const ToolResult cancelled = cli.Wait(30000);
        EXPECT_EQ(cancelled.nExit, 128 + nSignal);
        EXPECT_EQ(cancelled.err, "Cancelled\n");
    }
    const ToolResult limited =
        RunTool(kCli, {"send", "one.inf", "--port", quiet.m_strDevice, "--wait-timeout", "1"},
                {{"HOME", m_dir / "home"}}, m_dir.Path());
    EXPECT_EQ(limited.nExit, 6);
    EXPECT_EQ(limited.err, kCanceled + std::string("no request from the projector within 1 s\n"));
}

}  // namespace
