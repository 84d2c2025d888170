// orvanta-cli send on a bad line, every end a real process: the sample package to
// orvanta-projector making stray answers and damaged blocks, to peers that are no projector
// (a flood, random bytes, servers of the wrong kind for the scheme) and to a projector that
// falls silent. Success must mean that the projector holds every file byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "PackageSegments.h"
#include "Ser2net.h"
#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
const std::string kCli = ORVANTA_CLI_PATH;

class CliBadLineTest : public testing::Test {
protected:
    void SetUp() override {
        for (const auto& entry :
             std::filesystem::directory_iterator(ORVANTA_SOURCE_DIR "/examples/projector-fw")) {
            std::filesystem::copy(entry.path(), m_dir.Path() / entry.path().filename());
        }
        m_segments = PackageSegments(m_dir.Path(), "projector.inf");
        ASSERT_EQ(m_segments.size(), 3u);
        for (const Bytes& segment : m_segments) {
            m_blocks.push_back(static_cast<uint32_t>((segment.size() + 127) / 128));
        }
    }

    // Sends the package to the projector started with args; both must end. The summary
    // is kept in m_summary.
    ToolResult SendToProjector(std::vector<std::string> args,
                               std::vector<std::string> cliArgs = {}) {
        std::filesystem::remove_all(m_dir / "dump");
        args.insert(args.end(), {"--dump", m_dir / "dump", "--expect", m_dir / "projector.inf"});
        CSimulatedProjector projector(args);
        const ToolResult cli = Send(projector.m_device, std::move(cliArgs));
        EXPECT_EQ(projector.Wait(30000).nExit, 0);
        m_summary = DumpSummary(m_dir / "dump");
        return cli;
    }

    ToolResult Send(const std::string& port, std::vector<std::string> cliArgs = {}) {
        std::vector<std::string> args = {"send", "projector.inf", "--port", port};
        args.insert(args.end(), cliArgs.begin(), cliArgs.end());
        return RunTool(kCli, args, {{"HOME", m_dir / "home"}}, m_dir.Path(), 120000);
    }

    TempDir m_dir;
    std::vector<Bytes> m_segments;
    std::vector<uint32_t> m_blocks;  // blocks of each file
    QJsonObject m_summary;
};

// A pseudo-terminal whose far end writes what make() gives, over and over, until the object
// goes: a peer that is no projector.
class CChatteringPeer {
public:
    explicit CChatteringPeer(std::function<uint8_t()> make) {
        fcntl(m_pty.m_nMaster, F_SETFL, fcntl(m_pty.m_nMaster, F_GETFL) | O_NONBLOCK);
        m_thread = std::thread([this, make = std::move(make)] {
            while (!m_bStop) {
                uint8_t bytes[64];
                for (uint8_t& nByte : bytes) {
                    nByte = make();
                }
                if (write(m_pty.m_nMaster, bytes, sizeof bytes) < 0) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                // What the sender writes is read, so a slow sender meets the chatter and
                // never a full line.
                uint8_t sent[512];
                while (read(m_pty.m_nMaster, sent, sizeof sent) > 0) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~CChatteringPeer() {
        m_bStop = true;
        m_thread.join();
    }
    const std::string& Device() const { return m_pty.m_strDevice; }

private:
    CPty m_pty;
    std::atomic<bool> m_bStop = false;
    std::thread m_thread;
};

// Stray answers and damaged blocks at the places that made false successes and needless
// failures, on the real line (the sender's own test has each case in detail): the upgrade is
// exact every time. Packets are counted from 1 over the whole run.
TEST_F(CliBadLineTest, StrayAnswersAndDamagedBlocksStillDeliverExactly) {
    const uint32_t nLast1 = m_blocks[0];
    const uint32_t nTotal = m_blocks[0] + m_blocks[1] + m_blocks[2];
    const std::string last1 = "1:" + std::to_string(nLast1);
    const struct {
        const char* pName;
        std::vector<std::string> args;
    } rows[] = {
        {"stray NAK, then the last block of file 1 damaged",
         {"--stray-at", std::to_string(nLast1 - 1) + ":nak", "--damage-at", last1}},
        {"stray ACK at the last block of file 1", {"--stray-at", std::to_string(nLast1) + ":ack"}},
        {"garbage and a stray NAK near the last file's end",
         {"--stray-at",
          std::to_string(nTotal - 1) + ":garbage," + std::to_string(nTotal) + ":nak"}},
        {"two stray ACKs in a row, then a damaged block",
         {"--stray-at", "5:ack,6:ack", "--damage-at", "1:6"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pName);
        const ToolResult cli = SendToProjector(row.args);
        EXPECT_EQ(cli.nExit, 0) << cli.err;
        EXPECT_TRUE(cli.out.ends_with("Upgrade successful!\n")) << cli.out;
        EXPECT_TRUE(m_summary["exact"].toBool()) << ReadText(m_dir / "dump/summary.json");
    }
}

// What is no projector never passes: each ends with result 6 and a line saying what to check.
TEST_F(CliBadLineTest, PeersThatAreNoProjectorNeverPass) {
    std::mt19937 random(7);
    bool bFloodAck = false;
    const struct {
        const char* pName;
        std::function<uint8_t()> make;
        const char* pDetail;
    } peers[] = {
        {"flood of C and ACK", [&] { return (bFloodAck = !bFloodAck) ? uint8_t(0x06) : 'C'; },
         " unexpected bytes from the projector since block "},
        {"random bytes", [&] { return static_cast<uint8_t>(random()); },
         " unexpected bytes from the projector since "},
    };
    for (const auto& peer : peers) {
        SCOPED_TRACE(peer.pName);
        CChatteringPeer chatter(peer.make);
        const ToolResult cli = Send(chatter.Device(), {"--silence-timeout", "5"});
        EXPECT_EQ(cli.nExit, 6);
        EXPECT_NE(cli.err.find("Projector canceled connection.\n"), std::string::npos) << cli.err;
        EXPECT_NE(cli.err.find(peer.pDetail), std::string::npos) << cli.err;
        EXPECT_NE(cli.err.find("; check the cable, the port and that the projector is in "
                               "upgrade mode\n"),
                  std::string::npos)
            << cli.err;
    }
}

// Servers of the wrong kind for the scheme, each with a projector behind it: a telnet server
// behind tcp://, a raw one behind rfc2217:// (it never answers the COM-PORT option) and a telnet
// server that refuses the option. The detail says what is wrong and what to use instead, never
// a scheme that would fail as well.
TEST_F(CliBadLineTest, AServerOfTheWrongKindIsNamed) {
    for (int nRow = 0; nRow < 3; ++nRow) {
        CSimulatedProjector projector({"--link", m_dir / "dev"});
        ASSERT_FALSE(projector.m_device.empty());
        CSer2net ser2net;
        ASSERT_TRUE(ser2net.Start(m_dir, m_dir / "dev"));
        const std::string telnet = ser2net.Rfc2217Url().substr(std::string("rfc2217://").size());
        const std::string raw = ser2net.RawUrl().substr(std::string("tcp://").size());
        const std::string plain = ser2net.PlainTelnetUrl().substr(std::string("rfc2217://").size());
        const std::string never =
            " never agreed to the COM-PORT option, so the line settings "
            "were not applied";
        const std::pair<std::string, std::string> rows[] = {
            {"tcp://" + telnet,
             "the server at tcp://" + telnet + " speaks telnet; use rfc2217://" + telnet + "\n"},
            {"rfc2217://" + raw,
             "the server at rfc2217://" + raw + never + "; try tcp://" + raw + "\n"},
            {"rfc2217://" + plain,
             "the server at rfc2217://" + plain +
                 " speaks telnet but refused the COM-PORT option, so the line settings were not "
                 "applied; set up the server's port for RFC 2217, or for raw TCP and use tcp://" +
                 plain + "\n"},
        };
        const auto& [url, detail] = rows[nRow];
        SCOPED_TRACE(url);
        const ToolResult cli = Send(url, {"--silence-timeout", "5"});
        EXPECT_EQ(cli.nExit, 6);
        EXPECT_NE(cli.err.find("Projector canceled connection.\n" + detail), std::string::npos)
            << cli.err;
        ser2net.Stop();
        kill(projector.Pid(), SIGTERM);  // it was sent nothing, so it waits for a sender
        EXPECT_EQ(projector.Wait(30000).nExit, 0);
    }
}

// Every wait after the first packet is bounded by --silence-timeout, said while it lasts
// (the progress lines go to stdout when it is no terminal), and named in the detail.
TEST_F(CliBadLineTest, SilenceIsSaidAndBounded) {
    const struct {
        const char* pName;
        std::vector<std::string> args;
        const char* pSaid;
        std::string detail;
    } rows[] = {
        {"no request for the next file",
         {"--stop-after-files", "1"},
         "\nThe projector is writing file 1 (Boot loader 1.4)\n",
         "no request for file 2 for 5 s after file 1 was taken; check that the projector is on "
         "and in upgrade mode\n"},
        {"no answer to a packet",
         {"--silent-after", "20"},
         "\nNo answer from the projector for 3 s\n",
         "the projector sent no answer for 5 s after block " +
             std::to_string(20 - m_blocks[0] + 1) + " of file 2 (Main firmware 2.3.0)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pName);
        const ToolResult cli = SendToProjector(row.args, {"--silence-timeout", "5"});
        EXPECT_EQ(cli.nExit, 6);
        EXPECT_NE(cli.out.find(row.pSaid), std::string::npos) << cli.out;
        EXPECT_TRUE(cli.err.ends_with("Projector canceled connection.\n" + row.detail)) << cli.err;
        EXPECT_EQ(ReadBytes(m_dir / "dump/segment-1.bin"), m_segments[0]);
    }
}

// Seeded noisy lines, denser than the soak benchmark's: whatever the end, a success means
// every file arrived exact.
TEST_F(CliBadLineTest, SeededNoisyLinesNeverEndInAFalseSuccess) {
    int nExact = 0;
    for (int nSeed = 1; nSeed <= 30; ++nSeed) {
        SCOPED_TRACE("seed " + std::to_string(nSeed));
        const ToolResult cli = SendToProjector(
            {"--seed", std::to_string(nSeed), "--stray-rate", "0.02", "--damage-rate", "0.03"},
            {"--silence-timeout", "10"});
        if (cli.nExit == 0) {
            EXPECT_TRUE(m_summary["exact"].toBool()) << ReadText(m_dir / "dump/summary.json");
            ++nExact;
        } else {
            EXPECT_EQ(cli.nExit, 6) << cli.err;
        }
    }
    RecordProperty("exact", nExact);
}

}  // namespace
