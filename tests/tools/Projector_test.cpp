// orvanta-projector as a program: the test starts it, opens the device it prints and plays the
// sender by hand, packet by packet, checking every answer and what ends up in the dump folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr int kTimedOut = -1;
constexpr int kHungUp = -2;
constexpr auto kDeadline = std::chrono::seconds(10);

// CRC-16/MODBUS bit by bit, independent of the projector's table.
uint16_t ModbusCrc(const uint8_t* p, size_t n) {
    uint16_t nCrc = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        nCrc ^= p[i];
        for (int nBit = 0; nBit < 8; ++nBit) {
            nCrc = (nCrc & 1) ? static_cast<uint16_t>((nCrc >> 1) ^ 0xA001) : (nCrc >> 1);
        }
    }
    return nCrc;
}

// Data packet for block nIndex (from 0) of the segment: 128 bytes, zero padded.
Bytes Packet(const Bytes& segment, size_t nIndex) {
    Bytes packet(133, 0);
    const uint8_t nBlock = static_cast<uint8_t>(nIndex + 1);
    packet[0] = 0x01;
    packet[1] = nBlock;
    packet[2] = static_cast<uint8_t>(255 - nBlock);
    for (size_t i = 0; i < 128 && nIndex * 128 + i < segment.size(); ++i) {
        packet[3 + i] = segment[nIndex * 128 + i];
    }
    const uint16_t nCrc = ModbusCrc(packet.data() + 3, 128);
    packet[131] = static_cast<uint8_t>(nCrc);
    packet[132] = static_cast<uint8_t>(nCrc >> 8);
    return packet;
}

void PutU32(Bytes& out, uint32_t n) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
}

struct Load {
    uint32_t nAddress;
    uint32_t nCount;
};

Bytes Segment(uint8_t nFlags, uint16_t nStartOffset, uint16_t nStartSegment,
              const std::vector<Load>& loads) {
    Bytes out = {nFlags, static_cast<uint8_t>(nStartOffset),
                 static_cast<uint8_t>(nStartOffset >> 8), static_cast<uint8_t>(nStartSegment),
                 static_cast<uint8_t>(nStartSegment >> 8)};
    for (const Load& load : loads) {
        PutU32(out, load.nAddress);
        PutU32(out, load.nCount);
        for (uint32_t i = 0; i < load.nCount; ++i) {
            out.push_back(static_cast<uint8_t>(i * 7 + load.nAddress));
        }
    }
    PutU32(out, 0);
    PutU32(out, 0);
    return out;
}

std::string ReadText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The value of a "key": number line of the summary: -1 for null, -2 when the key is missing.
double SummarySeconds(const std::string& summary, const std::string& key) {
    const std::string head = "\"" + key + "\": ";
    const size_t at = summary.find(head);
    if (at == std::string::npos) {
        return -2;
    }
    const std::string value = summary.substr(at + head.size(), summary.find(',', at) - at);
    return value.rfind("null", 0) == 0 ? -1 : std::stod(value);
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "projector-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        std::error_code error;
        fs::remove_all(m_path, error);
    }
    const fs::path& Path() const { return m_path; }

  private:
    fs::path m_path;
};

// The projector as a child process; killed at the end of the test if it still runs.
class ProjectorProcess {
  public:
    ~ProjectorProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int nFd : {m_nOut, m_nErr}) {
            if (nFd >= 0) {
                close(nFd);
            }
        }
    }

    // Starts the program; stdout always comes back through a pipe, stderr too when asked.
    bool Spawn(const std::vector<std::string>& args, bool bCaptureErr = false) {
        int out[2];
        int err[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (bCaptureErr && pipe2(err, O_CLOEXEC) != 0)) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (bCaptureErr) {
            posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        }
        std::vector<std::string> all = {ORVANTA_PROJECTOR_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const bool bSpawned =
            posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_nOut = out[0];
        if (bCaptureErr) {
            close(err[1]);
            m_nErr = err[0];
        }
        if (!bSpawned) {
            m_pid = -1;
        }
        return bSpawned;
    }

    // Starts the program and reads the device path it prints first.
    bool Start(const std::vector<std::string>& args) {
        if (!Spawn(args)) {
            return false;
        }
        const auto tEnd = Clock::now() + kDeadline;
        char c = 0;
        while (Clock::now() < tEnd) {
            pollfd fd{m_nOut, POLLIN, 0};
            if (poll(&fd, 1, 100) <= 0) {
                continue;
            }
            if (read(m_nOut, &c, 1) != 1) {
                return false;
            }
            if (c == '\n') {
                return !m_strDevice.empty();
            }
            m_strDevice += c;
        }
        return false;
    }

    // Exit status, or -1 when it did not end before the deadline (it is killed then).
    int Wait() {
        const auto tEnd = Clock::now() + kDeadline;
        int nStatus = 0;
        while (Clock::now() < tEnd) {
            const pid_t pid = waitpid(m_pid, &nStatus, WNOHANG);
            if (pid == m_pid) {
                m_pid = -1;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return -1;
    }

    // Everything the program wrote on stderr (when captured), up to its end.
    std::string ReadErr() {
        std::string text;
        char buffer[512];
        ssize_t n;
        while (m_nErr >= 0 && (n = read(m_nErr, buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<size_t>(n));
        }
        return text;
    }

    void Signal(int nSignal) { kill(m_pid, nSignal); }
    const std::string& Device() const { return m_strDevice; }

  private:
    pid_t m_pid = -1;
    int m_nOut = -1;
    int m_nErr = -1;
    std::string m_strDevice;
};

// The sender's end of the line.
class SenderLine {
  public:
    ~SenderLine() { Close(); }

    bool Open(const std::string& strPath) {
        m_nFd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (m_nFd < 0 || tcgetattr(m_nFd, &tio) != 0) {
            return false;
        }
        cfmakeraw(&tio);
        return tcsetattr(m_nFd, TCSANOW, &tio) == 0;
    }
    void Close() {
        if (m_nFd >= 0) {
            close(m_nFd);
            m_nFd = -1;
        }
    }

    bool Write(const Bytes& bytes) {
        return write(m_nFd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // The next byte, kTimedOut, or kHungUp when the projector's side is gone.
    int Read(std::chrono::milliseconds wait = kDeadline) {
        pollfd fd{m_nFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(wait.count())) <= 0) {
            return kTimedOut;
        }
        uint8_t nByte = 0;
        const ssize_t n = read(m_nFd, &nByte, 1);
        return n == 1 ? nByte : kHungUp;
    }

    // The answer to what was sent last: requests ('C') still on their way are passed over.
    int Answer(std::chrono::milliseconds wait = kDeadline) {
        int nByte;
        do {
            nByte = Read(wait);
        } while (nByte == 'C');
        return nByte;
    }

  private:
    int m_nFd = -1;
};

// One load block of 200 bytes at 1000:0010, one of 3 bytes at 0000:0100: 232 bytes, 2 blocks.
const Bytes kTwoBlockSegment = Segment(0x06, 0x1234, 0xABCD, {{0x10000010, 200}, {0x100, 3}});
// 600 bytes: five blocks, the last one padded.
const Bytes kFiveBlockSegment = Segment(0x02, 0, 0x8000, {{0x20000000, 579}});

TEST(ProjectorTest, ChecksEveryPacketAndDumpsSegmentsExactly) {
    TempDir dir;
    const fs::path link = dir.Path() / "port";
    ProjectorProcess projector;
    ASSERT_TRUE(
        projector.Start({"--dump", dir.Path().string(), "--link", link.string(), "--verbose"}));
    EXPECT_EQ(fs::read_symlink(link).string(), projector.Device());

    SenderLine line;
    ASSERT_TRUE(line.Open(link.string()));
    ASSERT_EQ(line.Read(), 'C');

    Bytes badCrc = Packet(kTwoBlockSegment, 0);
    badCrc[131] ^= 0x01;
    Bytes badComplement = Packet(kTwoBlockSegment, 0);
    badComplement[2] ^= 0x10;
    const Bytes emptySegment = Segment(0x0A, 0, 0, {});
    const struct {
        const char* pWhat;
        Bytes bytes;
        int nAnswer;
    } steps[] = {
        {"CRC wrong", badCrc, NAK},
        {"complement wrong", badComplement, NAK},
        {"block 2 before block 1", Packet(kTwoBlockSegment, 1), NAK},
        {"block 1", Packet(kTwoBlockSegment, 0), ACK},
        {"block 1 again", Packet(kTwoBlockSegment, 0), ACK},
        {"block 2", Packet(kTwoBlockSegment, 1), ACK},
        {"EOT", {EOT}, ACK},
        {"EOT again", {EOT}, ACK},
        {"request for segment 2", {}, 'C'},
        {"block 1 of segment 2", Packet(emptySegment, 0), ACK},
        {"EOT of segment 2", {EOT}, ACK},
        {"request for segment 3", {}, 'C'},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.pWhat);
        ASSERT_TRUE(step.bytes.empty() || line.Write(step.bytes));
        ASSERT_EQ(step.nAnswer == 'C' ? line.Read() : line.Answer(), step.nAnswer);
    }
    line.Close();
    ASSERT_EQ(projector.Wait(), 0);

    EXPECT_EQ(ReadText(dir.Path() / "segment-1.bin"),
              std::string(kTwoBlockSegment.begin(), kTwoBlockSegment.end()));
    EXPECT_EQ(ReadText(dir.Path() / "segment-2.bin"),
              std::string(emptySegment.begin(), emptySegment.end()));
    const std::string summary = ReadText(dir.Path() / "summary.json");
    for (const char* pExpected :
         {"{\"index\": 1, \"flags\": 6, \"start_segment\": 43981, \"start_offset\": 4660, "
          "\"length\": 232, \"valid\": true, \"load_blocks\": [{\"segment\": 4096, "
          "\"offset\": 16, \"count\": 200}, {\"segment\": 0, \"offset\": 256, \"count\": 3}]}",
          "{\"index\": 2, \"flags\": 10, \"start_segment\": 0, \"start_offset\": 0, "
          "\"length\": 13, \"valid\": true, \"load_blocks\": []}",
          "\"packets\": 7", "\"naks_sent\": 3", "\"complete\": true"}) {
        EXPECT_NE(summary.find(pExpected), std::string::npos) << pExpected << "\n" << summary;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

// What to send: a data packet of kFiveBlockSegment, the same with a wrong CRC, the first
// bytes of one, or EOT.
enum class Send { PACKET, EOT, PARTIAL };
constexpr int kNothing = 1000;  // no answer at all

struct Step {
    Send send;
    size_t nIndex;
    int nAnswer;  // ACK, NAK, kNothing or kHungUp
};

struct FaultCase {
    const char* pName;
    std::vector<std::string> args;
    std::vector<Step> steps;
    bool bDumped;  // the segment arrived whole
};

// Test names and failure messages show the case by its name.
void PrintTo(const FaultCase& fault, std::ostream* pOut) {
    *pOut << fault.pName;
}

class ProjectorFaultTest : public testing::TestWithParam<FaultCase> {};

TEST_P(ProjectorFaultTest, AnswersAsAsked) {
    const FaultCase& fault = GetParam();
    TempDir dir;
    std::vector<std::string> args = {"--dump", dir.Path().string(), "--verbose"};
    args.insert(args.end(), fault.args.begin(), fault.args.end());
    ProjectorProcess projector;
    ASSERT_TRUE(projector.Start(args));
    SenderLine line;
    ASSERT_TRUE(line.Open(projector.Device()));
    ASSERT_EQ(line.Read(), 'C');

    for (size_t i = 0; i < fault.steps.size(); ++i) {
        const Step& step = fault.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        Bytes bytes = step.send == Send::EOT ? Bytes{EOT} : Packet(kFiveBlockSegment, step.nIndex);
        if (step.send == Send::PARTIAL) {
            bytes.resize(60);
        }
        ASSERT_TRUE(line.Write(bytes));
        if (step.nAnswer == kNothing) {
            EXPECT_EQ(line.Answer(std::chrono::milliseconds(300)), kTimedOut);
        } else {
            ASSERT_EQ(line.Answer(), step.nAnswer);
        }
    }
    line.Close();
    ASSERT_EQ(projector.Wait(), 0);

    const std::string summary = ReadText(dir.Path() / "summary.json");
    EXPECT_NE(summary.find(fault.bDumped ? "\"complete\": true" : "\"complete\": false"),
              std::string::npos)
        << summary;
    if (fault.bDumped) {
        EXPECT_EQ(ReadText(dir.Path() / "segment-1.bin"),
                  std::string(kFiveBlockSegment.begin(), kFiveBlockSegment.end()));
    } else {
        EXPECT_FALSE(fs::exists(dir.Path() / "segment-1.bin"));
    }
}

constexpr Step P(size_t nIndex, int nAnswer) {
    return {Send::PACKET, nIndex, nAnswer};
}
constexpr Step E(int nAnswer) {
    return {Send::EOT, 0, nAnswer};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ProjectorFaultTest,
    testing::Values(
        FaultCase{
            "NakEverySecond",
            {"--nak-every", "2"},
            {P(0, ACK), P(1, NAK), P(1, ACK), P(2, ACK), P(3, NAK), P(3, ACK), P(4, ACK), E(ACK)},
            true},
        FaultCase{
            "CorruptEveryThird",
            {"--corrupt-every", "3"},
            {P(0, ACK), P(1, ACK), P(2, NAK), P(2, ACK), P(3, ACK), P(4, NAK), P(4, ACK), E(ACK)},
            true},
        FaultCase{"NakAll", {"--nak-all"}, {P(0, NAK), P(0, NAK), E(NAK)}, false},
        FaultCase{"SilentAfterOne",
                  {"--silent-after", "1"},
                  {P(0, ACK), P(1, kNothing), E(kNothing)},
                  false},
        FaultCase{"HangupAfterTwo", {"--hangup-after", "2"}, {P(0, ACK), P(1, kHungUp)}, false},
        FaultCase{"BrokenOffPacket",
                  {},
                  {{Send::PARTIAL, 0, NAK},
                   P(0, ACK),
                   P(1, ACK),
                   P(2, ACK),
                   P(3, ACK),
                   P(4, ACK),
                   E(ACK)},
                  true},
        FaultCase{"PacedWithAckDelay",
                  {"--baud", "115200", "--ack-delay", "5"},
                  {P(0, ACK), P(1, ACK), P(2, ACK), P(3, ACK), P(4, ACK), E(ACK)},
                  true}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.pName; });

// Received bytes that are no segment: counts from the line are never trusted, and what came
// is dumped whole so that the sender's fault can be seen.
TEST(ProjectorTest, DumpsBytesThatAreNoSegmentWholeAndSaysWhy) {
    Bytes countTooLarge = Segment(0x02, 0, 0, {{0x100, 100}});
    countTooLarge[9] = 0xE8;  // the count now reads 1000
    countTooLarge[10] = 0x03;
    countTooLarge.resize(5 + 8 + 100);
    Bytes noTerminator = Segment(0x02, 0, 0, {{0x100, 115}});
    noTerminator.resize(128);
    Bytes dirtyPadding = Segment(0x02, 0, 0, {});
    dirtyPadding.resize(21);
    dirtyPadding[20] = 0xFF;
    Bytes extraBlock = Segment(0x02, 0, 0, {});
    extraBlock.resize(256);
    const struct {
        Bytes bytes;
        size_t nDumped;
        const char* pError;
    } cases[] = {
        {countTooLarge, 128, "claims 1000 bytes, 115 follow"},
        {noTerminator, 128, "no terminator"},
        {dirtyPadding, 128, "non-zero bytes follow the terminator"},
        {extraBlock, 256, "243 bytes follow the terminator"},
    };

    TempDir dir;
    ProjectorProcess projector;
    ASSERT_TRUE(projector.Start({"--dump", dir.Path().string(), "--verbose"}));
    SenderLine line;
    ASSERT_TRUE(line.Open(projector.Device()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pError);
        ASSERT_EQ(line.Read(), 'C');
        for (size_t i = 0; i * 128 < c.bytes.size(); ++i) {
            ASSERT_TRUE(line.Write(Packet(c.bytes, i)));
            ASSERT_EQ(line.Answer(), ACK);
        }
        ASSERT_TRUE(line.Write({EOT}));
        ASSERT_EQ(line.Answer(), ACK);
    }
    line.Close();
    ASSERT_EQ(projector.Wait(), 0);

    const std::string summary = ReadText(dir.Path() / "summary.json");
    for (size_t n = 1; n <= std::size(cases); ++n) {
        const auto& c = cases[n - 1];
        SCOPED_TRACE(c.pError);
        Bytes padded = c.bytes;
        padded.resize(c.nDumped);
        EXPECT_EQ(ReadText(dir.Path() / ("segment-" + std::to_string(n) + ".bin")),
                  std::string(padded.begin(), padded.end()));
        const size_t nStart = summary.find("{\"index\": " + std::to_string(n) + ",");
        ASSERT_NE(nStart, std::string::npos) << summary;
        const std::string entry = summary.substr(nStart, summary.find('\n', nStart) - nStart);
        EXPECT_NE(entry.find("\"length\": " + std::to_string(c.nDumped)), std::string::npos);
        EXPECT_NE(entry.find("\"valid\": false"), std::string::npos) << entry;
        EXPECT_NE(entry.find(c.pError), std::string::npos) << entry;
    }
    EXPECT_NE(summary.find("\"complete\": false"), std::string::npos) << summary;
}

TEST(ProjectorTest, SegmentsOptionEndsTheRunAndDropsTheLine) {
    TempDir dir;
    ProjectorProcess projector;
    ASSERT_TRUE(projector.Start({"--dump", dir.Path().string(), "--segments", "1"}));
    SenderLine line;
    ASSERT_TRUE(line.Open(projector.Device()));
    ASSERT_EQ(line.Read(), 'C');
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_TRUE(line.Write(Packet(kTwoBlockSegment, i)));
        ASSERT_EQ(line.Answer(), ACK);
    }
    ASSERT_TRUE(line.Write({EOT}));
    ASSERT_EQ(line.Answer(), ACK);
    ASSERT_EQ(projector.Wait(), 0);
    EXPECT_EQ(line.Read(), kHungUp);
    EXPECT_NE(ReadText(dir.Path() / "summary.json").find("\"complete\": true"), std::string::npos);
}

// The summary times the transfer from the first packet's first byte to the last ACK written,
// so that benchmarks can take the line's time without the wait for the first request.
TEST(ProjectorTest, TimesFromTheFirstPacketToTheLastAck) {
    TempDir dir;
    ProjectorProcess projector;
    ASSERT_TRUE(projector.Start({"--dump", dir.Path().string(), "--segments", "1"}));
    SenderLine line;
    ASSERT_TRUE(line.Open(projector.Device()));
    ASSERT_EQ(line.Read(), 'C');
    const std::string before = ReadText(dir.Path() / "summary.json");
    EXPECT_EQ(SummarySeconds(before, "first_packet_s"), -1) << before;
    EXPECT_EQ(SummarySeconds(before, "last_ack_s"), -1) << before;

    ASSERT_TRUE(line.Write(Packet(kTwoBlockSegment, 0)));
    ASSERT_EQ(line.Answer(), ACK);
    // The rest comes after a pause, which the span must therefore hold.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Bytes corrupted = Packet(kTwoBlockSegment, 1);
    corrupted[131] ^= 0xFF;
    ASSERT_TRUE(line.Write(corrupted));
    ASSERT_EQ(line.Answer(), NAK);
    ASSERT_TRUE(line.Write(Packet(kTwoBlockSegment, 1)));
    ASSERT_EQ(line.Answer(), ACK);
    ASSERT_TRUE(line.Write({EOT}));
    ASSERT_EQ(line.Answer(), ACK);
    ASSERT_EQ(projector.Wait(), 0);

    const std::string summary = ReadText(dir.Path() / "summary.json");
    const double dFirst = SummarySeconds(summary, "first_packet_s");
    const double dLast = SummarySeconds(summary, "last_ack_s");
    EXPECT_GE(dFirst, 0) << summary;
    EXPECT_GE(dLast - dFirst, 0.2) << summary;
}

TEST(ProjectorTest, TerminationStillWritesTheSummary) {
    TempDir dir;
    ProjectorProcess projector;
    ASSERT_TRUE(projector.Start({"--dump", dir.Path().string()}));
    SenderLine line;
    ASSERT_TRUE(line.Open(projector.Device()));
    ASSERT_EQ(line.Read(), 'C');
    ASSERT_TRUE(line.Write(Packet(kTwoBlockSegment, 0)));
    ASSERT_EQ(line.Answer(), ACK);
    projector.Signal(SIGTERM);
    ASSERT_EQ(projector.Wait(), 0);
    const std::string summary = ReadText(dir.Path() / "summary.json");
    EXPECT_NE(summary.find("\"packets\": 1"), std::string::npos) << summary;
    EXPECT_NE(summary.find("\"complete\": false"), std::string::npos) << summary;
}

TEST(ProjectorTest, UsageErrorsExitWithTwo) {
    const std::vector<std::string> cases[] = {
        {"--bogus"},    {"--nak-every", "0"}, {"--baud", "fast"},
        {"--segments"}, {"--nak-all=1"},      {"--silent-after", "-1"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0]);
        ProjectorProcess projector;
        ASSERT_TRUE(projector.Spawn(args, true));
        EXPECT_EQ(projector.Wait(), 2);
        EXPECT_NE(projector.ReadErr().find("usage: orvanta-projector"), std::string::npos);
    }
}

}  // namespace
