// orvanta-cli send to several ports at once and as scripts and fleets meet it, against real
// orvanta-projectors on pseudo-terminals: every port ends with its own result, messages and line
// of the closing table, a clean projector receives its segments byte for byte whatever the
// others do, the exit status combines the results; every JSON event names its port; port names
// are judged before anything opens; the wait for the first request is bounded.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <regex>
#include <sstream>

#include "PackageSegments.h"
#include "Ser2net.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;

bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_search(text, std::regex(pattern));
}

class CliFleetTest : public testing::Test {
protected:
    void SetUp() override {
        WritePackage(m_dir, "big.inf",
                     {{"big1.hex", "Main program", {{0, 0, PatternBytes(4000, 9)}}},
                      {"big2.hex", "", {{0x2000, 0x10, PatternBytes(300, 4)}}}});
        m_expected = PackageSegments(m_dir.Path(), "big.inf");
        ASSERT_EQ(m_expected.size(), 2u);
    }

    // Starts one projector per entry of faults (its options; dump folder dump-N added) and
    // returns their devices.
    std::vector<std::string> StartProjectors(const std::vector<std::vector<std::string>>& faults) {
        std::vector<std::string> devices;
        for (size_t i = 0; i < faults.size(); ++i) {
            std::vector<std::string> args = faults[i];
            args.insert(args.end(), {"--dump", m_dir / ("dump-" + std::to_string(i + 1))});
            m_projectors.push_back(std::make_unique<CSimulatedProjector>(args));
            devices.push_back(m_projectors.back()->m_device);
        }
        return devices;
    }

    // Whether projector N, once it has ended, calls its run complete.
    bool Complete(size_t n) {
        EXPECT_EQ(m_projectors[n - 1]->Wait(30000).nExit, 0);
        return DumpSummary(m_dir / ("dump-" + std::to_string(n)))["complete"].toBool();
    }

    bool Delivered(size_t n) { return Dumped(m_dir / ("dump-" + std::to_string(n)), m_expected); }

    ToolResult Cli(const std::vector<std::string>& args,
                   std::map<std::string, std::string> env = {}) {
        env["HOME"] = m_dir / "home";
        env["ORVANTA_TEST_PORTS"] = "";
        return RunTool(kCli, args, env, m_dir.Path().string(), 120000);
    }

    TempDir m_dir;
    std::vector<Bytes> m_expected;
    std::vector<std::unique_ptr<CSimulatedProjector>> m_projectors;
};

// Two projectors at once: one clean, one that refuses every block. Each ends on its own, every
// line names its port, the table gives each port's result; the run reports "some failed".
TEST_F(CliFleetTest, EachPortEndsWithItsOwnResult) {
    const std::vector<std::string> ports = StartProjectors({{}, {"--nak-all"}});
    const ToolResult cli = Cli({"send", "big.inf", "-p", ports[0], "--port=" + ports[1]});
    EXPECT_EQ(cli.nExit, 10) << cli.out << cli.err;
    EXPECT_TRUE(Complete(1));
    EXPECT_FALSE(Complete(2));
    EXPECT_TRUE(Delivered(1));

    const std::string first = std::to_string(m_expected[0].size());
    const std::string expected[] = {
        ports[0] + ": Sending Main program \\(" + first + " bytes\\)\n[^]*" + ports[0] +
            ": Upgrade successful!\n",
        ports[1] + ": Stopped after 0 of ",
        // The closing table, as the quiet run shows it alone.
        "\nPORT +RESULT +TIME +RESENT\n" + ports[0] + " +Upgrade successful! [^\n]*\n" + ports[1] +
            " +Projector canceled connection\\. ",
    };
    for (const std::string& pattern : expected) {
        EXPECT_TRUE(Matches(cli.out, pattern)) << pattern << "\n" << cli.out;
    }
    EXPECT_EQ(cli.err, ports[1] + ": Projector canceled connection.\n" + ports[1] +
                           ": the projector refused block 1 of file 1 (Main program) 11 times; "
                           "check the cable and the baud rate\n");
}

// With -q nothing is said while the ports run: only each failed port's text and detail line
// and the closing table.
TEST_F(CliFleetTest, QuietSaysOnlyTheResults) {
    const std::vector<std::string> ports = StartProjectors({{}, {"--nak-all"}});
    const ToolResult cli = Cli({"send", "big.inf", "-q", "-p", ports[0], "-p", ports[1]});
    EXPECT_EQ(cli.nExit, 10);
    EXPECT_TRUE(
        Matches(cli.out, "^PORT +RESULT +TIME +RESENT\n" + ports[0] +
                             " +Upgrade successful! +\\d\\d:\\d\\d +0\n" + ports[1] +
                             " +Projector canceled connection\\. +\\d\\d:\\d\\d +[1-9]\\d*\n$"))
        << cli.out;
    EXPECT_TRUE(Matches(cli.err, "^" + ports[1] + ": Projector canceled connection\\.\n" +
                                     ports[1] + ": the projector refused [^\n]+\n$"))
        << cli.err;
    EXPECT_TRUE(Delivered(1));
}

// The combined exit status: 0 when all succeed, the common result when all fail alike, the
// usage status for a port given twice or a trace asked of several.
TEST_F(CliFleetTest, ExitStatusCombinesTheResults) {
    const std::vector<std::string> clean = StartProjectors({{}, {}});
    const struct {
        std::vector<std::string> args;
        int nExit;
        std::string err;  // a pattern that must be found
    } rows[] = {
        {{"-p", clean[0], "-p", clean[1]}, 0, "^$"},
        {{"-p", "/nonexistent/a", "-p", "/nonexistent/b"},
         5,
         "/nonexistent/a: Port already open \\(by another application\\) or does not exist!\n"},
        {{"-p", "/nonexistent/a", "-p", "/nonexistent/a"}, 64, "port /nonexistent/a given twice"},
        {{"-p", "/nonexistent/a", "-p", "/nonexistent/b", "-v"}, 64, "-v traces a single port"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args{"send", "big.inf"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const ToolResult cli = Cli(args);
        EXPECT_EQ(cli.nExit, row.nExit) << cli.out << cli.err;
        EXPECT_TRUE(Matches(cli.err, row.err)) << cli.err;
    }
    EXPECT_TRUE(Delivered(1) && Delivered(2));
}

// Ctrl+C while every projector is still awaited stops every attempt: status 130, each port
// cancelled in the table.
TEST_F(CliFleetTest, InterruptStopsEveryAttempt) {
    CPty quiet1, quiet2;
    CToolProcess cli;
    ASSERT_TRUE(cli.Start(kCli,
                          {"send", "big.inf", "-p", quiet1.m_strDevice, "-p", quiet2.m_strDevice},
                          {{"HOME", m_dir / "home"}}, m_dir.Path()));
    EXPECT_EQ(cli.ReadLine(30000), quiet1.m_strDevice + ": Waiting for the projector's request");
    EXPECT_EQ(cli.ReadLine(30000), quiet2.m_strDevice + ": Waiting for the projector's request");
    kill(cli.Pid(), SIGINT);
    const ToolResult result = cli.Wait(30000);
    EXPECT_EQ(result.nExit, 130);
    EXPECT_EQ(result.err, "Cancelled\n");
    for (const std::string& port : {quiet1.m_strDevice, quiet2.m_strDevice}) {
        EXPECT_TRUE(Matches(result.out, "\n" + port + " +Cancelled +00:0\\d +0\n")) << result.out;
    }
}

// The wait limit on a terminal, where the progress is redrawn in place: one port's live line,
// several ports' board. Each attempt ends with result 6 and its detail, on the terminal.
TEST_F(CliFleetTest, TheWaitLimitEndsTheLiveViews) {
    CPty quiet1, quiet2;
    const std::string detail = "no request from the projector within 1 s\n";
    const struct {
        std::vector<std::string> ports;
        std::string err;  // a pattern for the terminal's text
        std::string out;  // and for stdout
    } rows[] = {
        {{quiet1.m_strDevice}, "Projector canceled connection\\.\n" + detail + "$", "^$"},
        {{quiet1.m_strDevice, quiet2.m_strDevice},
         // Each port's detail above the board, whose last drawing shows both results.
         quiet1.m_strDevice + ": " + detail + "[^]*" + quiet2.m_strDevice + ": " + detail +
             "[^]*\r" + quiet1.m_strDevice +
             " +Projector canceled connection\\. +00:0\\d\x1b\\[K\n\r" + quiet2.m_strDevice +
             " +Projector canceled connection\\. +00:0\\d\x1b\\[K\n$",
         "^PORT +RESULT +TIME +RESENT\n" + quiet1.m_strDevice +
             " +Projector canceled connection\\. +00:0\\d +0\n" + quiet2.m_strDevice +
             " +Projector canceled connection\\. +00:0\\d +0\n$"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.ports.size()) + " ports");
        std::vector<std::string> args = {"send", "big.inf", "--wait-timeout", "1"};
        for (const std::string& port : row.ports) {
            args.insert(args.end(), {"-p", port});
        }
        CToolProcess cli;
        ASSERT_TRUE(cli.Start(kCli, args, {{"HOME", m_dir / "home"}}, m_dir.Path(), true));
        ToolResult result = cli.Wait(60000);
        result.err =
            std::regex_replace(result.err, std::regex("\r\n"), "\n");  // a terminal's line ends
        EXPECT_EQ(result.nExit, 6);
        EXPECT_TRUE(Matches(result.err, row.err)) << result.err;
        EXPECT_TRUE(Matches(result.out, row.out)) << result.out;
    }
}

// Every line is an event naming one of the ports given; each port's events start with start
// (unless the package did not load) and end with its one done, which carries the result.
TEST_F(CliFleetTest, EveryJsonEventNamesItsPort) {
    const std::string device = StartProjectors({{}})[0];
    const std::string absent = "/dev/orvanta-no-such-port";
    const struct {
        const char* pPackage;
        std::vector<std::string> ports;
        int nExit;
        const char* pFirst;  // each port's first event
    } rows[] = {
        {"big.inf", {device}, 0, "start"},
        {"missing.inf", {absent, "COM7", "tcp://projector.example:4001"}, 1, "done"},
        {"big.inf", {absent, "COM7"}, 5, "start"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"send", row.pPackage, "--json"};
        for (const std::string& port : row.ports) {
            args.insert(args.end(), {"-p", port});
        }
        SCOPED_TRACE(std::string(row.pPackage) + " to " + std::to_string(row.ports.size()));
        const ToolResult result = Cli(args);
        EXPECT_EQ(result.nExit, row.nExit) << result.err;
        std::map<std::string, std::vector<QJsonObject>> events;  // by port
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);) {
            const QJsonObject event =
                QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            EXPECT_TRUE(event["port"].isString()) << line;
            events[event["port"].toString().toStdString()].push_back(event);
        }
        ASSERT_EQ(events.size(), row.ports.size()) << result.out;
        for (const std::string& port : row.ports) {
            const std::vector<QJsonObject>& list = events[port];
            ASSERT_FALSE(list.empty()) << port;
            EXPECT_EQ(list.front()["event"].toString(), row.pFirst) << port;
            EXPECT_EQ(std::count_if(list.begin(), list.end(),
                                    [](const QJsonObject& e) { return e["event"] == "done"; }),
                      1);
            EXPECT_EQ(list.back()["event"].toString(), "done") << port;
            EXPECT_EQ(list.back()["result"].toInt(), row.nExit) << port;
        }
    }
}

// A name that can name no port is a usage error before anything opens (no JSON, nothing
// connected); socket:// is raw TCP; --baud with raw TCP warns once, whatever the number of
// such ports.
TEST_F(CliFleetTest, PortNamesAreJudgedBeforeAnythingOpens) {
    CPty pty;
    sockaddr_in address;
    uint16_t nPort1 = 0, nPort2 = 0;  // bound but not listening: connections are refused
    const int fd1 = LoopbackSocket(-1, address, nPort1), fd2 = LoopbackSocket(-1, address, nPort2);
    const std::string closed1 = "127.0.0.1:" + std::to_string(nPort1);
    const std::string raw1 = "socket://" + closed1;
    const std::string raw2 = "tcp://127.0.0.1:" + std::to_string(nPort2);
    const std::string warning = "orvanta-cli: warning: --baud does not apply to ";
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        int nExit;
        std::string shown;  // the start of stderr
    } rows[] = {
        {{"-p", pty.m_strDevice, "-p", "http://x:1"},
         {},
         64,
         "orvanta-cli: unknown scheme http:// in http://x:1"},
        {{}, {{"ORVANTA_PORT", "COM0"}}, 64, "orvanta-cli: ORVANTA_PORT: COM0 names no port"},
        {{"-p", raw1}, {}, 5, ""},
        {{"-p", raw1, "-p", raw2, "-b", "115200", "-p", pty.m_strDevice, "--wait-timeout", "1"},
         {},
         10,
         warning + raw1 + ", " + raw2 + ": over raw TCP the server's own line rate applies\n"},
        {{"-p", "rfc2217://" + closed1, "-b", "57600"}, {}, 5, ""},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"send", "big.inf", "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        SCOPED_TRACE(row.shown);
        const ToolResult result = Cli(args, row.env);
        EXPECT_EQ(result.nExit, row.nExit) << result.err;
        EXPECT_TRUE(result.err.starts_with(row.shown)) << result.err;
        EXPECT_EQ(result.err.find(warning, 1), std::string::npos) << "one warning at most";
        if (row.nExit == 64) {
            EXPECT_EQ(result.out, "");
            EXPECT_TRUE(result.err.ends_with("\nTry 'orvanta-cli --help'\n")) << result.err;
        } else {
            // Accepted, tried, and refused by the network, not by the command line.
            EXPECT_NE(result.out.find(closed1 + ": connection refused"), std::string::npos)
                << result.out;
        }
    }
    close(fd1);
    close(fd2);
}

// The wait for the first request that `start` reports: without a limit when stdin is a
// terminal (someone can press Ctrl+C), 600 s when it is not; --wait-timeout 0 restores the
// endless wait, any other number is taken as given. The port is a pseudo-terminal that never
// asks, so each run is ended by the test after its first line.
TEST_F(CliFleetTest, UnattendedRunsDoNotWaitForEver) {
    CPty line, keyboard;
    const struct {
        bool bTerminal;  // stdin a terminal, else /dev/null
        std::vector<std::string> extra;
        int nSeconds;  // 0: null
    } rows[] = {
        {true, {}, 0},
        {false, {}, 600},
        {false, {"--wait-timeout", "0"}, 0},
        {true, {"--wait-timeout", "7"}, 7},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.bTerminal ? "terminal" : "no terminal") +
                     (row.extra.empty() ? "" : " " + row.extra.back()));
        std::vector<std::string> args = {"-c",      "exec \"$0\" \"$@\" < \"$STDIN_PATH\"",
                                         kCli,      "send",
                                         "big.inf", "--json",
                                         "-p",      line.m_strDevice};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        CToolProcess cli;
        ASSERT_TRUE(cli.Start("/bin/sh", args,
                              {{"HOME", m_dir / "home"},
                               {"STDIN_PATH", row.bTerminal ? keyboard.m_strDevice : "/dev/null"}},
                              m_dir.Path().string()));
        const QJsonObject start =
            QJsonDocument::fromJson(QByteArray::fromStdString(cli.ReadLine(30000))).object();
        EXPECT_EQ(start["event"].toString(), "start");
        EXPECT_TRUE(start.contains("waitTimeoutSeconds"));
        EXPECT_EQ(start["waitTimeoutSeconds"].toInt(-1), row.nSeconds == 0 ? -1 : row.nSeconds);
        EXPECT_EQ(start["waitTimeoutSeconds"].isNull(), row.nSeconds == 0);
    }
}

}  // namespace
