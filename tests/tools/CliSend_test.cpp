// orvanta-cli send to one port against the real orvanta-projector on a pseudo-terminal: what
// the projector receives must be, byte for byte, the segments that the cutter makes of the same
// package; every attempt that cannot finish ends promptly with its result code and message; the
// text, --json and -v forms of the same run; the port taken when none is given.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <regex>
#include <sstream>

#include "PackageSegments.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;
const char kOpenFailed[] =
    "Port already open \\(by another application\\) or does not exist!\nSerial failed\n";
const char* const kNames[] = {"Boot loader", "Main program", "Lamp controller"};

// Every stdout line as a JSON object; a line that is not one fails the test.
std::vector<QJsonObject> Events(const std::string& out) {
    EXPECT_TRUE(out.empty() || out.ends_with('\n')) << "unended last line: " << out;
    std::vector<QJsonObject> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
        EXPECT_TRUE(error.error == QJsonParseError::NoError && doc.isObject()) << line;
        events.push_back(doc.object());
    }
    return events;
}

std::string Kind(const QJsonObject& event) {
    return event["event"].toString().toStdString();
}

class CliSendTest : public testing::Test {
protected:
    // A package of one HEX file per entry of files, each described by a name of kNames.
    void WriteFiles(const std::string& name, const std::vector<std::vector<Chunk>>& files,
                    StartAddress start = {}) {
        std::vector<PackageFile> package;
        for (size_t i = 0; i < files.size(); ++i) {
            package.push_back({name + std::to_string(i + 1) + ".hex", kNames[i], files[i]});
        }
        WritePackage(m_dir, name + ".inf", package, start);
    }

    // The segments that the cutter makes of the package, loaded as the tool loads it.
    std::vector<Bytes> CutterSegments(const std::string& package) {
        std::vector<Bytes> segments = PackageSegments(m_dir.Path(), package);
        EXPECT_FALSE(segments.empty()) << package << " does not load";
        return segments;
    }

    // Sends package with cliArgs to a projector started with args (the dump folder added); both
    // must end. cliArgs ending in "--no-port" give no port: the projector's device is then the
    // one USB adapter present. With bTerminal the tool's stderr is a terminal.
    ToolResult Send(const std::string& package, std::vector<std::string> args,
                    std::vector<std::string> cliArgs = {},
                    std::map<std::string, std::string> env = {}, bool bTerminal = false) {
        std::filesystem::remove_all(m_dir / "dump");
        args.insert(args.end(), {"--dump", m_dir / "dump"});
        CSimulatedProjector projector(args);
        m_device = projector.m_device;
        if (cliArgs.empty() || cliArgs.back() != "--no-port") {
            cliArgs.insert(cliArgs.end(), {"--port", m_device});
        } else {  // found as the one USB adapter present
            cliArgs.pop_back();
            std::filesystem::remove_all(m_dir / "by-id");
            std::filesystem::create_directories(m_dir / "by-id");
            std::filesystem::create_symlink(m_device, m_dir / "by-id/usb-Acme_Serial-if00-port0");
            env["ORVANTA_TEST_PORTS"] = m_device + ":/dev/null";
            env["ORVANTA_TEST_BY_ID_DIR"] = m_dir / "by-id";
        }
        cliArgs.insert(cliArgs.begin(), {"send", package});
        env["HOME"] = m_dir / "home";
        CToolProcess cli;
        EXPECT_TRUE(cli.Start(kCli, cliArgs, env, m_dir.Path(), bTerminal));
        const ToolResult result = cli.Wait(120000);
        EXPECT_EQ(projector.Wait(30000).nExit, 0) << "the projector ends once the line is closed";
        m_summary = DumpSummary(m_dir / "dump");
        return result;
    }

    TempDir m_dir;
    std::string m_device;   // the projector's of the last run
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
        WriteFiles("p", files, {0xF000, 0x0123});
        const std::vector<Bytes> expected = CutterSegments("p.inf");
        ASSERT_EQ(expected.size(), files.size());
        const ToolResult cli = Send("p.inf", {});
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        EXPECT_EQ(cli.err, "");
        EXPECT_TRUE(cli.out.ends_with("\nUpgrade successful!\n")) << cli.out;
        EXPECT_TRUE(Dumped(m_dir / "dump", expected));
        EXPECT_TRUE(m_summary["complete"].toBool());
        size_t nAt = 0, nBytes = 0;
        int nPackets = 0;
        for (size_t i = 0; i < expected.size(); ++i) {
            const std::string line = "\nSending " + std::string(kNames[i]) + " (" +
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

// A projector that hangs up mid-file: result 5, one message (the reader's, or the writer's when
// a write fails first) and one detail line saying what happened and where.
TEST_F(CliSendTest, AHangUpEndsTheAttemptWithItsResult) {
    WriteFiles("big", {{{0, 0, PatternBytes(4000, 9)}}});
    const ToolResult cli = Send("big.inf", {"--hangup-after", "3"});
    EXPECT_EQ(cli.nExit, 5);
    const std::string problem =
        "A problem occured while trying to (read from|write to) the Com "
        "Port: 5\nSerial failed\n/dev/pts/\\d+ went away or stopped "
        "answering \\(Input/output error\\); check the cable and the "
        "projector's power\n";
    EXPECT_TRUE(std::regex_match(cli.err, std::regex(problem))) << cli.err;
    EXPECT_NE(cli.out.find("\nStopped after "), std::string::npos) << cli.out;
    EXPECT_FALSE(m_summary["complete"].toBool());
}

// A port that cannot be had is refused with result 5, the fixed open message and a detail line
// naming the device, the cause and the next step.
TEST_F(CliSendTest, APortThatCannotBeOpenedNamesTheCause) {
    WriteFiles("one", {{{0, 0, {1, 2, 3}}}});
    CPty quiet;
    CToolProcess holder;  // holds the line with a lock, waiting for a request that never comes
    ASSERT_TRUE(holder.Start(kCli, {"send", "one.inf", "--port", quiet.m_strDevice},
                             {{"HOME", m_dir / "home"}}, m_dir.Path()));
    ASSERT_EQ(holder.ReadLine(30000), "Waiting for the projector's request");
    CPty held;
    CToolProcess cat;  // holds the line open without a lock
    ASSERT_TRUE(cat.Start("/bin/sh", {"-c", "echo ready; exec cat < " + held.m_strDevice}));
    ASSERT_EQ(cat.ReadLine(30000), "ready");
    const std::pair<std::string, std::string> rows[] = {
        {"/dev/orvanta-no-such-port",
         kOpenFailed + std::string("/dev/orvanta-no-such-port: no such device \\(No such file or "
                                   "directory\\); serial devices present: .+\n")},
        {"COM99", kOpenFailed + std::string("/dev/ttyS98: no such device .+\n")},
        {"/dev/null",
         "Error setting Com port status!\nSerial failed\n/dev/null is not a serial line\n"},
        {quiet.m_strDevice, kOpenFailed + quiet.m_strDevice + ": in use by PID " +
                                std::to_string(holder.Pid()) +
                                " \\(orvanta-cli\\); close it and try again\n"},
        {held.m_strDevice, kOpenFailed + held.m_strDevice + ": held open by PID " +
                               std::to_string(cat.Pid()) +
                               " \\(cat\\), which would take the projector's answers; close it "
                               "and try again\n"},
    };
    for (const auto& [port, err] : rows) {
        SCOPED_TRACE(port);
        const ToolResult cli = RunTool(kCli, {"send", "one.inf", "--port", port},
                                       {{"HOME", m_dir / "home"}}, m_dir.Path());
        EXPECT_EQ(cli.nExit, 5);
        EXPECT_EQ(cli.out, "");
        EXPECT_TRUE(std::regex_match(cli.err, std::regex(err))) << cli.err;
    }
    kill(holder.Pid(), SIGINT);
    EXPECT_EQ(holder.Wait(30000).nExit, 130);
}

// Run as nobody, outside every group: a device of group dialout, and one marked for exclusive
// use by an opener that is gone (a sender killed by SIGKILL), each named with the way out.
TEST_F(CliSendTest, DeviceRightsAreNamedToAnotherUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root: the devices are given away with chown and the tool is run "
                        "as nobody with setpriv";
    }
    WriteFiles("one", {{{0, 0, {1, 2, 3}}}});
    chmod(m_dir.Path().c_str(), 0755);
    CPty denied;
    const struct group* pDialout = getgrnam("dialout");
    ASSERT_NE(pDialout, nullptr);
    ASSERT_EQ(chown(denied.m_strDevice.c_str(), 0, pDialout->gr_gid), 0);
    ASSERT_EQ(chmod(denied.m_strDevice.c_str(), 0660), 0);
    CPty marked;
    const int nMarker = open(marked.m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(ioctl(nMarker, TIOCEXCL), 0);
    close(nMarker);
    ASSERT_EQ(chmod(marked.m_strDevice.c_str(), 0666), 0);
    const std::pair<std::string, std::string> rows[] = {
        {denied.m_strDevice,
         kOpenFailed + denied.m_strDevice +
             ": permission denied; the device belongs to group dialout: add yourself with "
             "`sudo adduser \\$USER dialout`, then log in again\n"},
        {marked.m_strDevice, kOpenFailed + marked.m_strDevice +
                                 ": marked for exclusive use, but nothing holds it .+ clear the "
                                 "mark as root: .+\"" +
                                 marked.m_strDevice + "\".+TIOCNXCL\\)'\n"},
    };
    for (const auto& [port, err] : rows) {
        SCOPED_TRACE(port);
        const ToolResult cli = RunTool("/usr/bin/setpriv",
                                       {"--reuid=nobody", "--regid=nogroup", "--clear-groups", kCli,
                                        "send", "one.inf", "--port", port},
                                       {{"HOME", m_dir / "home"}}, m_dir.Path());
        EXPECT_EQ(cli.nExit, 5);
        EXPECT_TRUE(std::regex_match(cli.err, std::regex(err))) << cli.err;
    }
}

// Losing stdout (`| head -1`) does not stop the upgrade: the projector gets every file.
TEST_F(CliSendTest, AClosedOutputDoesNotStopTheUpgrade) {
    WriteFiles("p", {{{0, 0, PatternBytes(3000, 11)}}, {{{0x10, 0, PatternBytes(500, 12)}}}});
    const std::vector<Bytes> expected = CutterSegments("p.inf");
    CSimulatedProjector projector({"--dump", m_dir / "dump"});
    const ToolResult run =
        RunTool("/bin/bash",
                {"-c", "\"$0\" send p.inf --port \"$1\" | head -1; exit ${PIPESTATUS[0]}", kCli,
                 projector.m_device},
                {{"HOME", m_dir / "home"}}, m_dir.Path());
    EXPECT_EQ(run.nExit, 0) << run.err;
    EXPECT_EQ(run.out, "Waiting for the projector's request\n");
    EXPECT_EQ(projector.Wait(30000).nExit, 0);
    EXPECT_TRUE(Dumped(m_dir / "dump", expected));
}

// On a terminal the progress is one line, redrawn; the result still goes to stdout.
TEST_F(CliSendTest, OnATerminalOneLineIsRedrawn) {
    WriteFiles("live", {{{0, 0, PatternBytes(2000, 10)}}});
    const ToolResult cli = Send("live.inf", {}, {}, {}, true);
    EXPECT_EQ(cli.nExit, 0) << cli.err;
    EXPECT_EQ(cli.out, "Upgrade successful!\n");
    EXPECT_NE(cli.err.find("\rBoot loader"), std::string::npos) << cli.err;
    EXPECT_NE(cli.err.find("100%  2021 of 2021 bytes"), std::string::npos) << cli.err;
    EXPECT_EQ(cli.err.find("Sending "), std::string::npos) << cli.err;
}

// A projector that never asks: Ctrl-C, and a terminal that goes away, cancel and let the port
// go, in text and in --json, whose last line is still `done`.
TEST_F(CliSendTest, WaitingForTheFirstRequestEnds) {
    WriteFiles("one", {{{0, 0, {1, 2, 3}}}});
    CPty quiet;
    const struct {
        int nSignal;
        bool bJson;
    } rows[] = {{SIGINT, false}, {SIGHUP, false}, {SIGINT, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.nSignal) + (row.bJson ? " json" : ""));
        std::vector<std::string> args = {"send", "one.inf", "--port", quiet.m_strDevice};
        if (row.bJson) {
            args.push_back("--json");
        }
        CToolProcess cli;
        ASSERT_TRUE(cli.Start(kCli, args, {{"HOME", m_dir / "home"}}, m_dir.Path()));
        std::string line = cli.ReadLine(30000);
        if (row.bJson) {
            line = cli.ReadLine(30000);  // after start: the port is open
            EXPECT_NE(line.find("\"event\":\"waiting\""), std::string::npos) << line;
        } else {
            EXPECT_EQ(line, "Waiting for the projector's request");
        }
        kill(cli.Pid(), row.nSignal);
        const ToolResult cancelled = cli.Wait(30000);
        EXPECT_EQ(cancelled.nExit, 128 + row.nSignal);
        if (row.bJson) {
            const std::vector<QJsonObject> events = Events(cancelled.out);
            ASSERT_EQ(events.size(), 1u) << cancelled.out;
            EXPECT_EQ(Kind(events.back()), "done");
            EXPECT_EQ(events.back()["result"].toInt(), 130);
            EXPECT_EQ(events.back()["cause"].toString(), "cancelled");
            EXPECT_EQ(events.back()["text"].toString(), "Cancelled");
        } else {
            EXPECT_EQ(cancelled.err, "Cancelled\n");
        }
    }
}

// Refused blocks in --json: start, waiting, file 1, ..., file 2, ..., done; each refusal a
// resend event with cause NAK naming its file and block; progress at most about ten a second.
TEST_F(CliSendTest, JsonEventStreamOfARunWithRefusedBlocks) {
    WritePackage(m_dir, "p.inf",
                 {{"a.hex", "Main", {{0x0800, 0, PatternBytes(6000, 1)}}},
                  {"b.hex", "Tail", {{0x1000, 0, PatternBytes(300, 2)}}}});
    const ToolResult result = Send("p.inf", {"--nak-every", "10", "--baud", "115200"}, {"--json"});
    EXPECT_EQ(result.nExit, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::vector<QJsonObject> events = Events(result.out);
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(Kind(events[0]), "start");
    EXPECT_EQ(events[0]["schemaVersion"].toInt(), 2);
    EXPECT_EQ(events[0]["files"].toInt(), 2);
    // Each segment: flags and start (5), one load block (8 + count), terminator (8).
    EXPECT_EQ(events[0]["totalBytes"].toInt(), (21 + 6000) + (21 + 300));
    EXPECT_EQ(events[0]["baud"].toInt(), 115200);
    EXPECT_EQ(Kind(events[1]), "waiting");
    EXPECT_EQ(Kind(events.back()), "done");
    EXPECT_EQ(events.back()["result"].toInt(), 0);
    EXPECT_EQ(events.back()["text"].toString(), "Upgrade successful!");
    EXPECT_TRUE(events.back()["detail"].isNull());
    EXPECT_EQ(events.back()["bytesSent"].toInt(), events[0]["totalBytes"].toInt());

    int nFile = 0, nResends = 0, nProgress = 0;
    qint64 nLastProgressMs = -1000, nLastMs = 0;
    for (size_t i = 2; i + 1 < events.size(); ++i) {
        const QJsonObject& event = events[i];
        EXPECT_EQ(event["port"].toString().toStdString(), m_device);
        EXPECT_GE(event["ms"].toInteger(), nLastMs);
        nLastMs = event["ms"].toInteger();
        const std::string kind = Kind(event);
        if (kind == "file") {
            EXPECT_EQ(event["index"].toInt(), ++nFile);
            EXPECT_EQ(event["description"].toString(), nFile == 1 ? "Main" : "Tail");
            EXPECT_GT(event["segmentBytes"].toInt(), nFile == 1 ? 6000 : 300);
        } else if (kind == "resend") {
            ++nResends;
            EXPECT_EQ(event["cause"].toString(), "NAK");
            EXPECT_EQ(event["file"].toInt(), nFile);
            EXPECT_GE(event["block"].toInt(), 1);
        } else if (kind == "progress") {
            ++nProgress;
            EXPECT_GE(event["ms"].toInteger() - nLastProgressMs, 90);
            nLastProgressMs = event["ms"].toInteger();
            EXPECT_LE(event["bytesSent"].toInt(), event["totalBytes"].toInt());
        } else {
            ADD_FAILURE() << "unexpected event " << kind;
        }
    }
    EXPECT_EQ(nFile, 2);
    EXPECT_GE(nProgress, 3) << "a paced run of about a second";
    EXPECT_GE(nResends, 4);
    EXPECT_EQ(events.back()["resent"].toInt(), nResends);

    // A port that does not exist: its message first, then done with result and detail.
    const ToolResult absent =
        RunTool(kCli, {"send", "p.inf", "--json", "-p", "/dev/orvanta-no-such-port"},
                {{"HOME", m_dir / "home"}}, m_dir.Path(), 30000);
    EXPECT_EQ(absent.nExit, 5);
    const std::vector<QJsonObject> failed = Events(absent.out);
    ASSERT_EQ(failed.size(), 3u) << absent.out;
    EXPECT_EQ(Kind(failed[0]) + " " + Kind(failed[1]) + " " + Kind(failed[2]),
              "start message done");
    EXPECT_EQ(failed[2]["result"].toInt(), 5);
    EXPECT_EQ(failed[2]["text"].toString(), "Serial failed");
    EXPECT_TRUE(failed[2]["detail"].toString().startsWith("/dev/orvanta-no-such-port: "));
}

// -v says what it set against latency and traces the protocol on stderr with millisecond times;
// with no -p the one USB adapter present is taken and named, none is a usage error, and
// ORVANTA_PORT names the port.
TEST_F(CliSendTest, TraceAndTheChosenPort) {
    WriteFiles("p", {{{0x0800, 0, PatternBytes(3000, 1)}}, {{{0x1000, 0, PatternBytes(300, 2)}}}});
    const ToolResult traced = Send("p.inf", {}, {"-v"});
    EXPECT_EQ(traced.nExit, 0) << traced.err;
    const std::regex line(R"( *\d+ ms  (<- C \(request for the next file\)|<- ACK|)"
                          R"(-> block \d+ of file \d|-> EOT of file \d))");
    // First what was done about latency: a pseudo-terminal offers neither setting.
    const std::string latency = "orvanta-cli: " + m_device +
                                ": no low-latency mode (Inappropriate ioctl for device); no "
                                "latency timer\n";
    EXPECT_TRUE(traced.err.starts_with(latency)) << traced.err;
    size_t nLines = 0;
    std::istringstream lines(traced.err.substr(std::min(latency.size(), traced.err.size())));
    for (std::string text; std::getline(lines, text); ++nLines) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
    EXPECT_GE(nLines, (1 + 2 * 24 + 2) + (1 + 2 * 3 + 2)) << "a request, blocks and EOT per file";
    EXPECT_TRUE(traced.out.ends_with("Upgrade successful!\n")) << traced.out;

    const ToolResult told = Send("p.inf", {}, {"--no-port"});
    EXPECT_EQ(told.nExit, 0) << told.err;
    EXPECT_TRUE(
        told.err.starts_with("orvanta-cli: using " + m_device + ", the only USB serial adapter\n"))
        << told.err;

    const ToolResult none =
        RunTool(kCli, {"send", "p.inf", "--json"},
                {{"HOME", m_dir / "home"}, {"ORVANTA_TEST_PORTS", ""}}, m_dir.Path(), 30000);
    EXPECT_EQ(none.nExit, 64);
    EXPECT_EQ(none.out, "");
    EXPECT_NE(none.err.find("no USB serial adapter found"), std::string::npos) << none.err;
    const ToolResult named =
        RunTool(kCli, {"send", "p.inf", "--json"},
                {{"HOME", m_dir / "home"}, {"ORVANTA_PORT", "/dev/orvanta-no-such-port"}},
                m_dir.Path(), 30000);
    EXPECT_EQ(named.nExit, 5);
    EXPECT_NE(named.out.find("\"port\":\"/dev/orvanta-no-such-port\""), std::string::npos);
}

}  // namespace
