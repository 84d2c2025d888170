// orvanta-projector as a program, with the test playing the sender packet by packet: what the
// real sender never does (damaged packets, faults asked for) and the dump of one run. Whole
// transfers by the real sender, and the faults they meet (silence, hang-up, refusal), are in
// the Cli*_test.cpp files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace {

using namespace orvtest;
constexpr uint8_t EOT = 0x04, ACK = 0x06, NAK = 0x15;
constexpr int kNothing = -1, kHungUp = -2;  // no answer in time; the line is gone
constexpr int kEot = -1;                    // a step that sends EOT instead of a packet
constexpr int kRead = -3;                   // a step that sends nothing and reads one byte

// Packet nIndex (from 0) of segment.
Bytes SegmentPacket(const Bytes& segment, size_t nIndex) {
    const auto first = segment.begin() + std::min<std::ptrdiff_t>(nIndex * 128, segment.size());
    return Packet(uint8_t(nIndex + 1), Bytes(first, first + std::min(segment.end() - first, 128L)));
}

// The projector on its terminal, and the sender's end of the line.
struct CProjectorRun {
    explicit CProjectorRun(std::vector<std::string> args) {
        args.insert(args.end(), {"--dump", "dump"});
        if (projector.Start(ORVANTA_PROJECTOR_PATH, args, {}, dir.Path())) {
            m_strDevice = projector.ReadLine(10000);
            m_nFd = open(m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        }
        termios tio{};
        if (tcgetattr(m_nFd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_nFd, TCSANOW, &tio);
        }
    }
    ~CProjectorRun() { close(m_nFd); }

    // Sends bytes and returns the answer, passing over requests ('C') unless nothing was sent.
    int Send(const Bytes& bytes, int nWaitMs = 10000) {
        if (write(m_nFd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            return kHungUp;
        }
        uint8_t nByte = 'C';
        while (nByte == 'C') {
            pollfd pfd{m_nFd, POLLIN, 0};
            if (poll(&pfd, 1, nWaitMs) <= 0) {
                return kNothing;
            }
            if (read(m_nFd, &nByte, 1) != 1) {
                return kHungUp;
            }
            if (bytes.empty()) {
                break;
            }
        }
        return nByte;
    }
    // Hangs up the sender's end and returns the projector's exit status.
    int End() {
        close(std::exchange(m_nFd, -1));
        return projector.Wait(10000).nExit;
    }
    std::string Summary() const { return ReadText(dir / "dump/summary.json"); }

    TempDir dir;
    CToolProcess projector;
    std::string m_strDevice;
    int m_nFd = -1;
};

// Two load blocks, 232 bytes: two packets, the second padded.
const Bytes kSegment = ExpectedSegment(
    {0x06, 0xABCD, 0x1234, "", {{0x1000, 0x0010, PatternBytes(200, 1)}, {0, 0x0100, {1, 2, 3}}}});

TEST(ProjectorTest, ChecksEveryPacketAndDumpsTheSegment) {
    CProjectorRun run({"--link", "port"});
    ASSERT_GE(run.m_nFd, 0);
    EXPECT_EQ(std::filesystem::read_symlink(run.dir / "port"), run.m_strDevice);
    ASSERT_EQ(run.Send({}), 'C');
    Bytes badCrc = SegmentPacket(kSegment, 0), badComplement = SegmentPacket(kSegment, 0);
    badCrc[131] ^= 0x01;
    badComplement[2] ^= 0x10;
    const std::pair<Bytes, int> steps[] = {
        {badCrc, NAK},
        {badComplement, NAK},
        {SegmentPacket(kSegment, 1), NAK},  // too early
        {SegmentPacket(kSegment, 0), ACK},
        {SegmentPacket(kSegment, 0), ACK},  // repeated
        {SegmentPacket(kSegment, 1), ACK},
        {{EOT}, ACK},
        {{}, 'C'},  // asks for the next segment
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        EXPECT_EQ(run.Send(steps[i].first), steps[i].second) << "step " << i;
    }
    ASSERT_EQ(run.End(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(run.dir / "port")));
    EXPECT_EQ(ReadBytes(run.dir / "dump/segment-1.bin"), kSegment);
    const nlohmann::json summary = nlohmann::json::parse(run.Summary());
    EXPECT_EQ(summary.at("segments"), nlohmann::json::parse(R"([{
        "index": 1, "flags": 6, "start_segment": 43981, "start_offset": 4660, "length": 232,
        "valid": true, "whole": true, "exact": null, "load_blocks": [
            {"segment": 4096, "offset": 16, "count": 200},
            {"segment": 0, "offset": 256, "count": 3}]}])"))
        << run.Summary();
    EXPECT_EQ(summary.at("packets"), 6);
    EXPECT_EQ(summary.at("naks_sent"), 3);
    EXPECT_EQ(summary.at("complete"), true);
}

TEST(ProjectorTest, FaultsAsAskedFor) {
    // 600 bytes: five packets, the last one padded.
    const Bytes segment =
        ExpectedSegment({0x02, 0x8000, 0, "", {{0x2000, 0, PatternBytes(579, 2)}}});
    const struct {
        std::vector<std::string> args;
        std::vector<std::pair<int, int>> steps;  // packet index or kEot, answer
        bool bComplete;
    } faults[] = {
        {{"--nak-every", "2"},
         {{0, ACK}, {1, NAK}, {1, ACK}, {2, ACK}, {3, NAK}, {3, ACK}, {4, ACK}, {kEot, ACK}},
         true},
        {{"--corrupt-every", "3"},
         {{0, ACK}, {1, ACK}, {2, NAK}, {2, ACK}, {3, ACK}, {4, NAK}, {4, ACK}, {kEot, ACK}},
         true},
        {{"--baud", "115200", "--ack-delay", "5"},
         {{0, ACK}, {1, ACK}, {2, ACK}, {3, ACK}, {4, ACK}, {kEot, ACK}},
         true},
        // A stray NAK before the second packet's ACK, the third packet damaged.
        {{"--stray-at", "2:nak", "--damage-at", "1:3"},
         {{0, ACK}, {1, NAK}, {kRead, ACK}, {2, NAK}, {2, ACK}, {3, ACK}, {4, ACK}, {kEot, ACK}},
         true},
        // Strict receiver: a block ahead is refused and dropped, a repeat of the last block
        // taken is acknowledged and dropped; garbage and a stray ACK come before answers.
        {{"--stray-at", "1:garbage,3:ack"},
         {{0, 0xA5},
          {kRead, ACK},
          {2, NAK},
          {0, ACK},
          {kRead, ACK},
          {1, ACK},
          {2, ACK},
          {3, ACK},
          {4, ACK},
          {kEot, ACK}},
         true},
        // The same random line for the same seed: every packet damaged at a rate of 1.
        {{"--seed", "7", "--damage-rate", "1"}, {{0, NAK}, {0, NAK}}, false},
    };
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.args[0]);
        CProjectorRun run(fault.args);
        ASSERT_EQ(run.Send({}), 'C');
        for (const auto& [nIndex, nAnswer] : fault.steps) {
            const Bytes bytes = nIndex == kEot    ? Bytes{EOT}
                                : nIndex == kRead ? Bytes{}
                                                  : SegmentPacket(segment, nIndex);
            EXPECT_EQ(run.Send(bytes, nAnswer == kNothing ? 300 : 10000), nAnswer) << nIndex;
        }
        ASSERT_EQ(run.End(), 0);
        // Scripts read the top-level fields line by line, as grep '^  "complete": true' does.
        EXPECT_NE(run.Summary().find(fault.bComplete ? "\n  \"complete\": true\n"
                                                     : "\n  \"complete\": false\n"),
                  std::string::npos)
            << run.Summary();
        EXPECT_EQ(ReadBytes(run.dir / "dump/segment-1.bin"), fault.bComplete ? segment : Bytes{});
    }
}

// A sender that leaves without a byte (killed, say, after marking the device exclusive, a
// mark that would refuse every later opener but root) is followed by a fresh device: its path
// on stdout, the link moved to it, and the next sender served there.
TEST(ProjectorTest, ASenderThatLeftSilentlyIsFollowedByAFreshDevice) {
    CProjectorRun run({"--link", "port"});
    ASSERT_GE(run.m_nFd, 0);
    ASSERT_EQ(run.Send({}), 'C');  // the projector has seen the sender
    ASSERT_EQ(ioctl(run.m_nFd, TIOCEXCL), 0);
    close(std::exchange(run.m_nFd, -1));
    const std::string fresh = run.projector.ReadLine(10000);
    ASSERT_FALSE(fresh.empty());
    EXPECT_NE(fresh, run.m_strDevice);
    EXPECT_EQ(std::filesystem::read_symlink(run.dir / "port"), fresh);
    run.m_nFd = open((run.dir / "port").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(run.m_nFd, 0);
    int nExclusive = -1;
    ASSERT_EQ(ioctl(run.m_nFd, TIOCGEXCL, &nExclusive), 0);
    EXPECT_EQ(nExclusive, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(run.m_nFd, &tio), 0);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);  // raw, as the first device was
    ASSERT_EQ(run.Send({}), 'C');
    EXPECT_EQ(run.Send(SegmentPacket(kSegment, 0)), ACK);
    EXPECT_EQ(run.Send(SegmentPacket(kSegment, 1)), ACK);
    EXPECT_EQ(run.Send({EOT}), ACK);
    ASSERT_EQ(run.End(), 0);
    EXPECT_EQ(ReadBytes(run.dir / "dump/segment-1.bin"), kSegment);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(run.dir / "port")));
}

}  // namespace
