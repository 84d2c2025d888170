// The sender against a recording host whose clock the test sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "TestSupport.h"
#include "XmodemSender.h"

namespace {

using namespace orvtest;
using Texts = std::vector<std::pair<std::string, std::string>>;  // elapsed, status
constexpr uint8_t SOH = CXmodemSender::SOH, EOT = CXmodemSender::EOT;
constexpr uint8_t ACK = CXmodemSender::ACK, NAK = CXmodemSender::NAK;

class CRecordingHost : public ISenderHost {
public:
    bool IsPortOpen() const override { return m_bOpen; }
    int WritePort(const void* pBuffer, uint32_t nLength) override {
        const auto* pBytes = static_cast<const uint8_t*>(pBuffer);
        m_writes.emplace_back(pBytes, pBytes + nLength);
        return 1;
    }
    void ClosePort() override {
        m_bOpen = false;
        ++m_nCloses;
    }
    void SetProgress(uint32_t n, uint32_t m) override { m_progress.emplace_back(n, m); }
    void UpdateTexts(const std::string& a, const std::string& b) override {
        m_texts.emplace_back(a, b);
    }
    void Finished(int nResult) override { m_finished.push_back(nResult); }
    uint32_t GetTickCount() const override { return m_dwTick; }
    void ScheduleCheck(uint32_t nDelayMs) override { m_nCheckDue = m_dwTick + nDelayMs; }
    void OnSenderEvent(const CSenderEvent& event) override {
        m_events.push_back(event);
        m_descriptions.emplace_back(event.strDescription);
    }

    bool m_bOpen = true;
    uint32_t m_nCheckDue = 0;  // tick of the check asked for, 0 for none
    uint32_t m_dwTick = 1000;
    int m_nCloses = 0;
    std::vector<Bytes> m_writes;
    std::vector<std::pair<uint32_t, uint32_t>> m_progress;
    Texts m_texts;
    std::vector<int> m_finished;
    std::vector<CSenderEvent> m_events;
    std::vector<std::string> m_descriptions;  // the events' own point into the sender
};

// A file with one load block whose segment is exactly nLength bytes (at least 21).
TestFile Sized(uint32_t nLength, std::string description = "Main", uint32_t nSeed = 1) {
    return {0x06, 0, 0, std::move(description), {{0x0010, 0, PatternBytes(nLength - 21, nSeed)}}};
}

class XmodemSenderTest : public ::testing::Test {
protected:
    int Start(const std::vector<TestFile>& files) {
        const Bytes image = MakeImage(files);
        return m_sender.Start(ToBuffer(image), static_cast<uint32_t>(image.size()));
    }
    // Each byte, then the answer window it opened runs out quietly.
    void Feed(const Bytes& bytes) {
        for (uint8_t nByte : bytes) {
            m_sender.OnCommByte(nByte);
            Settle();
        }
    }
    // Bytes that all arrive within one answer window; then it runs out.
    void Burst(const Bytes& bytes, bool bEarly = false) {
        for (uint8_t nByte : bytes) {
            m_sender.OnCommByte(nByte, bEarly);
        }
        Settle();
    }
    void Settle() {
        if (m_host.m_nCheckDue != 0) {
            m_host.m_dwTick = std::max(m_host.m_dwTick, std::exchange(m_host.m_nCheckDue, 0));
            m_sender.CheckSilence();
        }
    }
    // Plays the projector to the end of the attempt ('C' for each segment, ACK for every
    // packet and EOT) and expects every write: each file's segment in zero-padded blocks
    // numbered from 1 (wrapping in eight bits), then EOT; then Finished(0).
    void ExpectDelivered(const std::vector<TestFile>& files) {
        std::vector<Bytes> expected;
        for (const TestFile& file : files) {
            Bytes segment = ExpectedSegment(file);
            segment.resize((segment.size() + 127) / 128 * 128, 0);
            for (auto p = segment.begin(); p != segment.end(); p += 128) {
                expected.push_back(
                    Packet(uint8_t((p - segment.begin()) / 128 + 1), Bytes(p, p + 128)));
            }
            expected.push_back({EOT});
        }
        m_host.m_writes.clear();
        Feed({'C'});
        while (!m_sender.IsFinished()) {
            const size_t nWrites = m_host.m_writes.size();
            Feed({ACK});
            if (m_host.m_writes.size() == nWrites) {
                Feed({'C'});  // the EOT was acknowledged: the next segment waits for its 'C'
            }
            ASSERT_TRUE(m_sender.IsFinished() || m_host.m_writes.size() > nWrites) << "quiet";
        }
        EXPECT_EQ(m_host.m_writes, expected);
        EXPECT_EQ(m_host.m_finished.back(), 0);
    }

    CRecordingHost m_host;
    CXmodemSender m_sender{m_host};
};

// CRC-16 check values (every packet's CRC is checked against the bit-by-bit definition) and
// the elapsed text, minutes within the hour.
TEST(XmodemStatics, Crc16AndElapsedText) {
    const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, zeros(128, 0);
    EXPECT_EQ(CXmodemSender::Crc16(digits.data(), 9), 0x374B);   // 0x4B37 low byte first
    EXPECT_EQ(CXmodemSender::Crc16(zeros.data(), 128), 0xFEFB);  // the all-zero block: FE FB
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "00:00"},    {59, "00:59"},   {60, "01:00"},   {425, "07:05"},
        {3599, "59:59"}, {3600, "00:00"}, {3725, "02:05"}, {UINT32_MAX, "28:15"}};
    for (const auto& [nSeconds, text] : cases) {
        EXPECT_EQ(CXmodemSender::FormatElapsed(nSeconds), text) << nSeconds;
    }
}

// The worked image's 25-byte segment is one packet, sent only when the projector asks (seven
// minutes later: waiting for 'C' has no time limit; the elapsed text counts from Start).
TEST_F(XmodemSenderTest, FirstPacketIsByteExact) {
    ASSERT_EQ(Start({kWorkedFile}), 1);
    EXPECT_EQ(m_host.m_texts, (Texts{{"", "Upgrading..."}}));
    m_host.m_dwTick += 425999;
    m_sender.CheckSilence();
    EXPECT_TRUE(m_host.m_writes.empty() && m_host.m_finished.empty());
    Feed({'C'});
    const Bytes data = {0x06, 0, 0, 0, 0, 0x00, 0x01, 0, 0, 4, 0, 0, 0, 0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(m_host.m_writes, std::vector<Bytes>{Packet(1, data)});  // SOH 01 FE ... CRC
    EXPECT_EQ(m_host.m_texts.back(), (Texts::value_type{"07:05", "Upgrading..."}));
}

// Segments of whole blocks (no empty block before the EOT), a bare 21-byte one, one of 300
// blocks (numbers wrap) with a short last block, one with several loads and an all-zero
// block: all arrive byte for byte, then Finished(0) and the port closed once.
TEST_F(XmodemSenderTest, WholeImageDeliveredByteExact) {
    // clang-format off
    const std::vector<TestFile> files = {
        Sized(128 * 3, "Boot", 7), Sized(21, "Empty load", 8), Sized(128 * 299 + 77, "Main", 9),
        {0x0C, 0xF000, 0x1234, "Loads", {{0x1000, 1, {1}}, {0x2000, 0, {}}, {0, 0, Bytes(300)}}}};
    // clang-format on
    Start(files);
    ExpectDelivered(files);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{0});
    EXPECT_EQ(m_host.m_nCloses, 1);
    EXPECT_EQ(m_host.m_texts.back().second, "Loads");
}

// The attempt ends with 6 on a NAK after ten resends of the last packet (resends left after
// NAKs on a data packet go to the EOT) or after 30 s of nothing but noise following an EOT.
// Nothing happens after that; a new attempt starts afresh.
TEST_F(XmodemSenderTest, EndsWithSix) {
    const std::tuple<Bytes, Bytes, Bytes> cases[] = {
        // fed, resent last, fed after 30 s
        {{'C'}, Bytes(10, NAK), {NAK}},
        {{'C', NAK, NAK, NAK, ACK}, Bytes(7, NAK), {NAK}},  // one block
        {{'C', ACK}, {}, {}}};
    for (const auto& [script, resends, last] : cases) {
        m_host = CRecordingHost();
        Start({Sized(100)});
        Feed(script);
        const Bytes resent = m_host.m_writes.back();
        Feed(resends);
        EXPECT_EQ(std::vector<Bytes>(m_host.m_writes.end() - resends.size(), m_host.m_writes.end()),
                  std::vector<Bytes>(resends.size(), resent));
        m_host.m_dwTick += 29999;
        Feed({0x18});
        m_sender.CheckSilence();
        EXPECT_TRUE(m_host.m_finished.empty());
        m_host.m_dwTick += last.empty() ? 1 : 0;
        Feed(last);
        m_sender.CheckSilence();
        EXPECT_EQ(m_host.m_finished, std::vector<int>{6}) << script.size() << resends.size();
        EXPECT_FALSE(m_host.m_bOpen);
        const size_t nWrites = m_host.m_writes.size();
        m_host.m_bOpen = true;  // even with the port open again, an ended attempt stays ended
        Feed({ACK, 'C'});
        m_sender.CheckSilence();
        m_sender.Abort(5, CFailure::PORT_LOST);
        EXPECT_EQ(m_host.m_writes.size(), nWrites);
        EXPECT_EQ(m_host.m_finished, std::vector<int>{6});
    }
    Start({Sized(400)});
    ExpectDelivered({Sized(400)});
}

// Only 'C' counts while waiting for it, only ACK and NAK while sending, nothing while closed.
TEST_F(XmodemSenderTest, BytesIgnoredInEachState) {
    const std::tuple<Bytes, bool, Bytes> cases[] = {{{}, true, {'c', ACK, NAK, 0x18, EOT, 0, 0xC3}},
                                                    {{'C'}, true, {'C', 'c', 0x18, EOT, SOH, 0}},
                                                    {{'C'}, false, {ACK, NAK, 'C'}}};
    for (const auto& [before, bPortOpen, ignored] : cases) {
        m_host = CRecordingHost();
        Start({Sized(300)});
        Feed(before);
        m_host.m_bOpen = bPortOpen;
        Feed(ignored);
        EXPECT_EQ(m_host.m_writes.size(), before.size());
        m_host.m_bOpen = true;
        Feed({before.empty() ? uint8_t('C') : ACK});  // still answered as before
        EXPECT_EQ(m_host.m_writes.back()[1], before.size() + 1);
    }
}

// Positions per block in unsigned 32-bit arithmetic that truncates: image header 0..10, file
// A's 321-byte segment with its end record at 337, B's 121-byte one, 482 bytes in all; then
// one 4,400,000-byte load whose products first pass 2^32 at block 33,556.
TEST_F(XmodemSenderTest, ProgressPositions) {
    const TestFile a = {6, 0, 0, "A", {{0, 0, PatternBytes(300, 3)}}};
    const TestFile b = {6, 0, 0, "B", {{0, 0, PatternBytes(100, 4)}}};
    ASSERT_EQ(MakeImage({a, b}).size(), 482u);
    Start({a, b});
    Feed({'C', ACK, ACK, ACK, ACK, 'C'});  // bars untouched from the EOT to the next 'C'
    EXPECT_EQ(m_host.m_progress,
              (decltype(m_host.m_progress){{0, 33}, {398, 298}, {797, 564}, {0, 719}}));
    m_host = CRecordingHost();
    Start({{6, 0, 0, "A", {{0, 0, Bytes(4400000, 0x5A)}}}});
    Feed({'C'});
    Feed(Bytes(33555, ACK));
    ASSERT_EQ(m_host.m_progress.size(), 33556u);
    EXPECT_EQ(m_host.m_progress[33554], std::make_pair(976u, 976u));
    EXPECT_EQ(m_host.m_progress[33555], std::make_pair(0u, 0u));
}

// One line per event: what happened, and the figures a progress display reads from it.
std::string Describe(const CSenderEvent& e) {
    static const char* const whys[] = {"", " NAK", " back", " unsettled"};
    const std::string why = whys[e.nWhy];
    switch (e.nKind) {
        case CSenderEvent::REQUEST:
            return "C " + std::to_string(e.nFile) + "/" + std::to_string(e.nFiles) + " " +
                   std::string(e.strDescription) + " " + std::to_string(e.nFileBytes) + " " +
                   std::to_string(e.nTotalBytes);
        case CSenderEvent::PACKET:
            return "P" + std::to_string(e.nBlock) + " " + std::to_string(e.nFileBytesSent) + why;
        case CSenderEvent::ANSWER:
            return std::string(e.nByte == ACK ? "ACK " : "NAK ") +
                   std::to_string(e.nFileBytesTaken) + " " + std::to_string(e.nBytesTaken);
        case CSenderEvent::EOT_SENT:
            return "EOT" + why;
        case CSenderEvent::FILE_TAKEN:
            return "taken " + std::to_string(e.nFile) + " " + std::to_string(e.nBytesTaken);
        case CSenderEvent::SILENCE:
            return "silence " + std::to_string(e.nMs);
        case CSenderEvent::NOISE:
            return "noise " + std::to_string(e.nByte) + " #" + std::to_string(e.nNoise) + " P" +
                   std::to_string(e.nBlock);
    }
    return "?";
}

// The sender tells each thing it does and sees, in order, and never moves past a block the
// projector did not take. Each row plays bytes against file 1 (three blocks, 300 bytes; file
// 2 has 100) after its 'C' and names the events that follow; every packet and EOT event
// matches a write. An "early" byte was read before the last write; a burst falls in one
// answer window; a wait lets the clock run without a byte.
TEST_F(XmodemSenderTest, EventsTellWhatHappened) {
    struct Step {
        Bytes bytes;
        bool bBurst = false;  // within one answer window (else each is followed by quiet)
        bool bEarly = false;
        uint32_t nWaitMs = 0;
    };
    const struct {
        const char* pName;
        std::vector<Step> steps;
        std::vector<std::string> events;  // after "C 1/2 A 300 400", "P1 0"
    } rows[] = {
        {"clean file, then the next",
         {{{ACK, ACK, ACK, ACK, 'C', ACK, ACK}}},
         {"ACK 128 128", "P2 128", "ACK 256 256", "P3 256", "ACK 300 300", "EOT", "ACK 300 300",
          "taken 1 300", "C 2/2 B 100 400", "P1 0", "ACK 100 400", "EOT", "ACK 100 400",
          "taken 2 400"}},
        {"a NAK: the block again once the line settled",
         {{{NAK, ACK}}},
         {"NAK 0 0", "P1 0 NAK", "ACK 128 128", "P2 128"}},
        {"a stray NAK, then the real ACK, in one window: the ACK is noise",
         {{{NAK, ACK}, true}},
         {"NAK 0 0", "noise 6 #1 P1", "P1 0 NAK"}},
        {"a block refused after its resend: earlier blocks until the projector's place is found",
         {{{ACK, NAK, NAK, ACK, ACK, ACK}}},
         {"ACK 128 128", "P2 128", "NAK 128 128", "P2 128 NAK", "NAK 128 128", "P1 0 back",
          "ACK 128 128", "P2 128 back", "ACK 256 256", "P3 256", "ACK 300 300", "EOT"}},
        {"answers ran ahead: taken bytes fall back to where the projector stands",
         {{{ACK}}, {{ACK}, true, true}, {{ACK, NAK, NAK, NAK, NAK, ACK}}},
         {"ACK 128 128", "P2 128", "noise 6 #1 P2", "ACK 256 256", "P3 256", "NAK 256 256",
          "P3 256 NAK", "NAK 256 256", "P2 128 back", "NAK 256 256", "P3 256 NAK", "NAK 256 256",
          "P1 0 back", "ACK 128 128", "P2 128 back"}},
        {"a second answer after the last block's ACK: the block again, not EOT",
         {{{ACK, ACK}}, {{ACK, ACK}, true}, {{ACK}}},
         {"ACK 128 128", "P2 128", "ACK 256 256", "P3 256", "ACK 300 300", "noise 6 #1 P3",
          "P3 256 unsettled", "ACK 300 300", "EOT"}},
        {"a NAK of the EOT: the EOT again",
         {{{ACK, ACK, ACK, NAK, ACK}}},
         {"ACK 128 128", "P2 128", "ACK 256 256", "P3 256", "ACK 300 300", "EOT", "NAK 300 300",
          "EOT NAK", "ACK 300 300", "taken 1 300"}},
        {"garbage while a block is out and between files",
         {{{0x55, ACK, ACK, ACK, ACK, 'c'}}},
         {"noise 85 #1 P1", "ACK 128 128", "P2 128", "ACK 256 256", "P3 256", "ACK 300 300", "EOT",
          "ACK 300 300", "taken 1 300", "noise 99 #2 P0"}},
        {"silence after a block", {{{}, false, false, 30000}}, {"silence 30000"}},
        {"silence between files",
         {{{ACK, ACK, ACK, ACK}}, {{}, false, false, 120000}},
         {"ACK 128 128", "P2 128", "ACK 256 256", "P3 256", "ACK 300 300", "EOT", "ACK 300 300",
          "taken 1 300", "silence 120000"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pName);
        m_host = CRecordingHost();
        Start({Sized(300, "A"), Sized(100, "B")});
        Feed({'C'});
        for (const Step& step : row.steps) {
            if (step.bBurst) {
                Burst(step.bytes, step.bEarly);
            } else {
                for (const uint8_t nByte : step.bytes) {
                    m_sender.OnCommByte(nByte, step.bEarly);
                    Settle();
                }
            }
            m_host.m_dwTick += step.nWaitMs;
            m_sender.CheckSilence();
        }
        std::vector<std::string> events = {"C 1/2 A 300 400", "P1 0"};
        events.insert(events.end(), row.events.begin(), row.events.end());
        std::vector<std::string> told, packets, writes;
        for (size_t i = 0; i < m_host.m_events.size(); ++i) {
            CSenderEvent event = m_host.m_events[i];
            event.strDescription = m_host.m_descriptions[i];
            told.push_back(Describe(event));
            if (event.nKind == CSenderEvent::PACKET || event.nKind == CSenderEvent::EOT_SENT) {
                packets.push_back(event.nBlock == 0 ? "EOT" : std::to_string(event.nBlock % 256));
            }
        }
        for (const Bytes& write : m_host.m_writes) {
            writes.push_back(write[0] == EOT ? "EOT" : std::to_string(write[1]));
        }
        EXPECT_EQ(told, events);
        EXPECT_EQ(packets, writes);
    }
}

// Noise is bounded, silence is bounded and said: each row ends the attempt with 6 and its
// detail, or (empty detail) leaves it running.
TEST_F(XmodemSenderTest, NoiseAndSilenceLimits) {
    const struct {
        const char* pName;
        std::function<void()> play;
        std::string detail;
    } rows[] = {
        {"16 unexpected bytes", [&] { Feed(Bytes(16, 0x55)); },
         "16 unexpected bytes from the projector since block 1 of file 1 (A); check the cable, "
         "the port and that the projector is in upgrade mode"},
        {"15, then forgiven one per 8 blocks",
         [&] {
             Feed(Bytes(15, 0x55));
             Feed(Bytes(8, ACK));
             Feed({0x55});
         },
         ""},
        {"bytes between files other than C",
         [&] {
             Feed(Bytes(10, ACK));
             Feed(Bytes(16, ACK));
         },
         "16 unexpected bytes from the projector since the end of file 1 (A); check the cable, "
         "the port and that the projector is in upgrade mode"},
        {"no request for the next file",
         [&] {
             Feed(Bytes(10, ACK));
             EXPECT_EQ(m_sender.WaitText(), "The projector is writing file 1 (A)");
             m_host.m_dwTick += 119999;
             m_sender.CheckSilence();
             EXPECT_TRUE(m_host.m_finished.empty());
             m_host.m_dwTick += 1;
             m_sender.CheckSilence();
         },
         "no request for file 2 for 120 s after file 1 was taken; check that the projector is "
         "on and in upgrade mode"},
        {"no answer, said from 3 s",
         [&] {
             m_host.m_dwTick += 2999;
             EXPECT_EQ(m_sender.WaitText(), "");
             m_host.m_dwTick += 1;
             EXPECT_EQ(m_sender.WaitText(), "No answer from the projector for 3 s");
             m_host.m_dwTick += 27000;
             m_sender.CheckSilence();
         },
         "the projector sent no answer for 30 s after block 1 of file 1 (A)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pName);
        m_host = CRecordingHost();
        Start({Sized(128 * 9, "A"), Sized(200, "B")});
        Feed({'C'});
        row.play();
        EXPECT_EQ(m_host.m_finished, row.detail.empty() ? std::vector<int>{} : std::vector<int>{6});
        EXPECT_EQ(m_sender.Failure().strDetail, row.detail);
    }
}

}  // namespace
