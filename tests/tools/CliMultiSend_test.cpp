// orvanta-cli send with several ports at once, against several real orvanta-projectors on
// pseudo-terminals: every port ends with its own result, messages and line of the closing
// table, a clean projector receives its segments byte for byte whatever the others do, and
// the exit status combines the results as documented.
#include <gtest/gtest.h>
#include <signal.h>

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

class CliMultiSendTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.Write("big1.hex", MakeHexText({{0, 0, PatternBytes(4000, 9)}}));
        m_dir.Write("big2.hex", MakeHexText({{0x2000, 0x10, PatternBytes(300, 4)}}));
        m_dir.Write("big.inf",
                    "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=big1.hex\n"
                    "File=big2.hex\n[FileDescription]\nbig1.hex=Part 1\n");
        m_expected = PackageSegments(m_dir.Path(), "big.inf");
        ASSERT_EQ(m_expected.size(), 2u);
    }

    // Starts one projector per entry of faults (its options; dump folder dump-N added, N counting
    // every projector of the test) and returns their devices.
    std::vector<std::string> StartProjectors(const std::vector<std::vector<std::string>>& faults) {
        std::vector<std::string> devices;
        for (size_t i = 0; i < faults.size(); ++i) {
            std::vector<std::string> args = faults[i];
            const std::string dump = "dump-" + std::to_string(m_projectors.size() + 1);
            args.insert(args.end(), {"--dump", m_dir / dump});
            m_projectors.push_back(std::make_unique<CToolProcess>());
            EXPECT_TRUE(m_projectors.back()->Start(ORVANTA_PROJECTOR_PATH, args));
            devices.push_back(m_projectors.back()->ReadLine(30000));
        }
        return devices;
    }

    // Whether projector N, once it has ended, calls its run complete.
    bool Complete(size_t n) {
        EXPECT_EQ(m_projectors[n - 1]->Wait(30000).nExit, 0);
        const std::string summary = m_dir / ("dump-" + std::to_string(n) + "/summary.json");
        return QJsonDocument::fromJson(QByteArray::fromStdString(ReadText(summary)))
            .object()["complete"]
            .toBool();
    }

    // Whether projector N holds exactly the package's segments, no more.
    bool Delivered(size_t n) {
        for (size_t i = 0; i <= m_expected.size(); ++i) {
            const std::string path = m_dir / ("dump-" + std::to_string(n) + "/segment-" +
                                              std::to_string(i + 1) + ".bin");
            if (ReadBytes(path) != (i < m_expected.size() ? m_expected[i] : Bytes{})) {
                return false;
            }
        }
        return true;
    }

    static bool Matches(const std::string& text, const std::string& pattern) {
        return std::regex_search(text, std::regex(pattern));
    }

    TempDir m_dir;
    std::vector<Bytes> m_expected;
    std::vector<std::unique_ptr<CToolProcess>> m_projectors;
};

// Three projectors at once: one clean, one that refuses every fifth packet, one that hangs
// up. Each ends on its own; the run reports "some failed".
TEST_F(CliMultiSendTest, EachPortEndsWithItsOwnResult) {
    const std::vector<std::string> ports =
        StartProjectors({{}, {"--nak-every", "5"}, {"--hangup-after", "3"}});
    const ToolResult cli =
        RunTool(kCli, {"send", "big.inf", "-p", ports[0], "--port", ports[1], "--port=" + ports[2]},
                {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
    EXPECT_EQ(cli.nExit, 10) << cli.out << cli.err;

    for (size_t n = 1; n <= 3; ++n) {
        EXPECT_EQ(Complete(n), n <= 2) << "projector " << n;
    }
    EXPECT_TRUE(Delivered(1) && Delivered(2));

    // Every line names its port; the table gives each port's result and resends.
    const std::string sp = " +", time = "\\d\\d:\\d\\d";
    const std::string first = std::to_string(m_expected[0].size());
    const std::string total = std::to_string(m_expected[0].size() + m_expected[1].size());
    const struct {
        std::string out, err;  // patterns that must be found
    } expected[] = {
        {ports[0] + ": Sending Part 1 \\(" + first + " bytes\\)\n[^]*" + ports[0] +
             ": Upgrade successful!\n[^]*\n" + ports[0] + sp + "Upgrade successful!" + sp + time +
             sp + "0\n",
         ""},
        {ports[1] + ": Sent 2 files, " + total + " bytes in " + time +
             ", \\d+ blocks resent\n[^]*\n" + ports[1] + sp + "Upgrade successful!" + sp + time +
             sp + "[1-9]\\d*\n",
         ""},
        {"\n" + ports[2] + sp + "Serial failed" + sp + time + sp + "0\n",
         ports[2] + ": Serial failed\n" + ports[2] + ": " + ports[2] +
             " went away or stopped answering"},
    };
    for (const auto& port : expected) {
        EXPECT_TRUE(Matches(cli.out, port.out)) << port.out << "\n" << cli.out;
        EXPECT_TRUE(Matches(cli.err, port.err)) << port.err << "\n" << cli.err;
    }
    EXPECT_TRUE(Matches(cli.out, "\nPORT +RESULT +TIME +RESENT\n")) << cli.out;
    EXPECT_FALSE(Matches(cli.err,
                         "(^|\n)/dev/pts/\\d+: /dev/pts/\\d+ went away[^\n]*\n[^]*"
                         "(^|\n)/dev/pts/\\d+: /dev/pts/\\d+ went away"))
        << "one hang-up, one detail line";
}

// The combined exit status: 0 when all succeed, the common result when all fail alike, the
// usage status for a port given twice.
TEST_F(CliMultiSendTest, ExitStatusCombinesTheResults) {
    const std::vector<std::string> clean = StartProjectors({{}, {}});
    const struct {
        std::vector<std::string> ports;
        int nExit;
        std::string err;  // a pattern that must be found
    } rows[] = {
        {clean, 0, "^$"},
        {{"/nonexistent/a", "/nonexistent/b"},
         5,
         "/nonexistent/a: Port already open \\(by another application\\) or does not exist!\n"},
        {{"/nonexistent/a", "/nonexistent/a"}, 64, "port /nonexistent/a given twice"},
        {{"/nonexistent/a", "/nonexistent/b", "-v"}, 64, "-v traces a single port"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args{"send", "big.inf"};
        for (const std::string& port : row.ports) {
            if (port.starts_with("/")) {
                args.insert(args.end(), {"-p", port});
            } else {
                args.push_back(port);
            }
        }
        const ToolResult cli = RunTool(kCli, args, {{"HOME", m_dir / "home"}}, m_dir.Path());
        EXPECT_EQ(cli.nExit, row.nExit) << cli.out << cli.err;
        EXPECT_TRUE(Matches(cli.err, row.err)) << cli.err;
    }
    EXPECT_TRUE(Delivered(1) && Delivered(2));
}

// Ctrl+C while every projector is still awaited stops every attempt: status 130, each port
// cancelled in the table.
TEST_F(CliMultiSendTest, InterruptStopsEveryAttempt) {
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

// A projector that never asks, past its wait limit, beside a clean one: -q says only the
// failure and the table; on a terminal the board ends each port's line with its result.
TEST_F(CliMultiSendTest, QuietAndBoardShowEachPortsEnd) {
    CPty quiet;
    const std::string silent = quiet.m_strDevice;
    const std::string timedOut = silent + ": Projector canceled connection.\n" + silent +
                                 ": no request from the projector within 1 s\n";
    const std::string table =
        "PORT +RESULT +TIME +RESENT\n.+ +Upgrade successful! +\\d\\d:\\d\\d +0\n" + silent +
        " +Projector canceled connection. +00:0\\d +0\n$";
    const struct {
        bool bTerminal;
        std::vector<std::string> extra;
        std::string out, err;  // patterns for all of stdout, and one that stderr must hold
    } rows[] = {
        {false, {"-q"}, "^" + table, "^" + timedOut + "$"},
        {true,
         {},
         "^" + table,
         "\r/dev/pts/\\d+ +Upgrade successful!  00:0\\d\x1b\\[K\n\r" + silent +
             " +Projector canceled connection.  00:0\\d\x1b\\[K\n$"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.bTerminal ? "terminal" : "-q");
        const std::string clean = StartProjectors({{}}).back();
        std::vector<std::string> args = {"send", "big.inf",        "-p", clean, "-p",
                                         silent, "--wait-timeout", "1"};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        CToolProcess cli;
        ASSERT_TRUE(cli.Start(kCli, args, {{"HOME", m_dir / "home"}}, m_dir.Path(), row.bTerminal));
        ToolResult result = cli.Wait(60000);
        // The terminal ends each line with a carriage return too.
        result.err = std::regex_replace(result.err, std::regex("\r\n"), "\n");
        EXPECT_EQ(result.nExit, 10) << result.err;
        EXPECT_TRUE(Matches(result.out, row.out)) << result.out;
        EXPECT_TRUE(Matches(result.err, row.err)) << result.err;
        EXPECT_TRUE(Matches(result.err, timedOut.substr(timedOut.find('\n') + 1)));
        EXPECT_TRUE(Complete(m_projectors.size()) && Delivered(m_projectors.size()));
    }
}

}  // namespace
