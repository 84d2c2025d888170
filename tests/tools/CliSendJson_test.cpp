// orvanta-cli send --json, -v and -q against the real orvanta-projector, and the port taken
// when none is given. Every stdout line of --json is parsed; the stream is checked for its
// order, its resend events, and `done` last, on success and on each kind of failure.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <regex>
#include <sstream>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;

class CliSendJsonTest : public testing::Test {
protected:
    void SetUp() override {
        // Two files: 6000 bytes (47 packets) and 300 bytes.
        std::string script =
            "[Version]\nFlashWrite=Enable\n[DownloadFiles]\nFile=a.hex\n"
            "File=b.hex\n[FileDescription]\na.hex=Main\nb.hex=Tail\n";
        m_dir.Write("p.inf", script);
        m_dir.Write("a.hex", MakeHexText({{0x0800, 0, PatternBytes(6000, 1)}}));
        m_dir.Write("b.hex", MakeHexText({{0x1000, 0, PatternBytes(300, 2)}}));
    }

    // Runs send with args against a projector started with projectorArgs; with bPortOption the
    // projector's device is given with -p, else it is found through env's test hooks.
    ToolResult Send(std::vector<std::string> args, const std::vector<std::string>& projectorArgs,
                    std::map<std::string, std::string> env = {}, bool bPortOption = true) {
        CToolProcess projector, cli;
        EXPECT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, projectorArgs));
        const std::string device = projector.ReadLine(30000);
        if (bPortOption) {
            args.insert(args.end(), {"-p", device});
        } else {
            std::filesystem::remove_all(m_dir / "by-id");
            std::filesystem::create_directories(m_dir / "by-id");
            std::filesystem::create_symlink(device, m_dir / "by-id/usb-Acme_Serial-if00-port0");
            env["ORVANTA_TEST_PORTS"] = device + ":/dev/null";
            env["ORVANTA_TEST_BY_ID_DIR"] = m_dir / "by-id";
        }
        env["HOME"] = m_dir / "home";
        args.insert(args.begin(), {"send", "p.inf"});
        EXPECT_TRUE(cli.Start(kCli, args, env, m_dir.Path()));
        const ToolResult result = cli.Wait(60000);
        m_device = device;
        projector.Wait(10000);
        return result;
    }

    // Every stdout line as a JSON object; a line that is not one fails the test.
    static std::vector<QJsonObject> Events(const std::string& out) {
        EXPECT_TRUE(out.empty() || out.ends_with('\n')) << "unended last line: " << out;
        std::vector<QJsonObject> events;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            QJsonParseError error;
            const QJsonDocument doc =
                QJsonDocument::fromJson(QByteArray::fromStdString(line), &error);
            EXPECT_TRUE(error.error == QJsonParseError::NoError && doc.isObject()) << line;
            EXPECT_TRUE(doc.object()["event"].isString()) << line;
            events.push_back(doc.object());
        }
        return events;
    }

    static std::string Kind(const QJsonObject& event) {
        return event["event"].toString().toStdString();
    }

    TempDir m_dir;
    std::string m_device;
};

// Refused blocks: start, waiting, file 1, ..., file 2, ..., done; each refusal a resend event
// with cause NAK naming its file and block; progress at most about ten a second.
TEST_F(CliSendJsonTest, EventStreamOfARunWithRefusedBlocks) {
    const ToolResult result = Send({"--json"}, {"--nak-every", "10", "--baud", "115200"});
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
}

// Failures still end the stream with done, result and detail: a port that does not exist (its
// message first), and silence after a few blocks.
TEST_F(CliSendJsonTest, FailuresEndWithDone) {
    const std::map<std::string, std::string> env = {{"HOME", m_dir / "home"},
                                                    {"ORVANTA_SILENCE_MS", "1000"}};
    const struct {
        std::vector<std::string> args;  // none: against a projector that falls silent
        int nResult;
        const char* pEvents;  // the kinds in order, file, progress and resend events left out
    } rows[] = {
        {{"-p", "/dev/orvanta-no-such-port"}, 5, "start message done"},
        {{}, 6, "start waiting done"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pEvents + std::string(" ") + std::to_string(row.nResult));
        std::vector<std::string> args = {"send", "p.inf", "--json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const ToolResult result = row.args.empty() ? Send({"--json"}, {"--silent-after", "3"}, env)
                                                   : RunTool(kCli, args, env, m_dir.Path(), 30000);
        EXPECT_EQ(result.nExit, row.nResult) << result.err;
        const std::vector<QJsonObject> events = Events(result.out);
        ASSERT_FALSE(events.empty());
        std::string kinds;
        for (const QJsonObject& event : events) {
            const std::string kind = Kind(event);
            if (kind != "progress" && kind != "file" && kind != "resend") {
                kinds += (kinds.empty() ? "" : " ") + kind;
            }
        }
        EXPECT_EQ(kinds, row.pEvents);
        EXPECT_EQ(events.back()["result"].toInt(), row.nResult);
        EXPECT_EQ(events.back()["text"].toString(),
                  row.nResult == 5 ? "Serial failed" : "Projector canceled connection.");
        EXPECT_TRUE(events.back()["detail"].isString());
    }
}

// -v says what it set against latency and traces the protocol on stderr with millisecond times; -q
// prints the result alone; with no -p the one USB adapter present is taken and named.
TEST_F(CliSendJsonTest, TraceQuietAndTheChosenPort) {
    const ToolResult traced = Send({"-v"}, {"--nak-every", "10"});
    EXPECT_EQ(traced.nExit, 0) << traced.err;
    const std::regex line(R"( *\d+ ms  (<- C \(request for the next file\)|<- ACK|<- NAK|)"
                          R"(-> block \d+ of file \d|-> EOT of file \d|)"
                          R"(-> resend block \d+ of file \d \(NAK\)))");
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
    EXPECT_GT(nLines, 47u + 3u + 2u * 3u);
    EXPECT_NE(traced.err.find("-> resend block 10 of file 1 (NAK)\n"), std::string::npos);
    EXPECT_TRUE(traced.out.ends_with("Upgrade successful!\n")) << traced.out;

    const ToolResult quiet = Send({"-q"}, {});
    EXPECT_EQ(quiet.nExit, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "Upgrade successful!\n");
    EXPECT_EQ(quiet.err, "");

    const ToolResult told = Send({}, {}, {}, false);
    EXPECT_EQ(told.nExit, 0) << told.err;
    EXPECT_TRUE(
        told.err.starts_with("orvanta-cli: using " + m_device + ", the only USB serial adapter\n"))
        << told.err;

    // No adapter at all, or ORVANTA_PORT naming one: usage error before anything is opened,
    // or that port.
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
