#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "TestImage.h"
#include "XmodemSender.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t SOH = CXmodemSender::SOH;
constexpr uint8_t EOT = CXmodemSender::EOT;
constexpr uint8_t ACK = CXmodemSender::ACK;
constexpr uint8_t NAK = CXmodemSender::NAK;

// Records everything the sender does to the outside; the clock is set by the test.
class CRecordingHost : public ISenderHost {
  public:
    bool IsPortOpen() const override { return m_bOpen; }
    int WritePort(const void* pBuffer, uint32_t nLength) override {
        const auto* p = static_cast<const uint8_t*>(pBuffer);
        m_writes.emplace_back(p, p + nLength);
        return m_nWriteResult;
    }
    void ClosePort() override {
        m_bOpen = false;
        ++m_nCloses;
    }
    void SetProgress(uint32_t nSegmentPos, uint32_t nTotalPos) override {
        m_progress.emplace_back(nSegmentPos, nTotalPos);
    }
    void UpdateTexts(const std::string& strElapsed, const std::string& strStatus) override {
        m_texts.emplace_back(strElapsed, strStatus);
    }
    void Finished(int nResult) override { m_finished.push_back(nResult); }
    uint32_t GetTickCount() const override { return m_dwTick; }

    bool m_bOpen = true;
    int m_nWriteResult = 1;
    uint32_t m_dwTick = 0;
    int m_nCloses = 0;
    std::vector<Bytes> m_writes;
    std::vector<std::pair<uint32_t, uint32_t>> m_progress;
    std::vector<std::pair<std::string, std::string>> m_texts;
    std::vector<int> m_finished;
};

class XmodemSenderTest : public ::testing::Test {
  protected:
    int Start(const std::vector<TestFile>& files) {
        const Bytes image = BuildTestImage(files);
        return m_sender.Start(ImageBuffer(image), static_cast<uint32_t>(image.size()));
    }
    void Feed(uint8_t nByte, int nTimes = 1) {
        for (int i = 0; i < nTimes; ++i) {
            m_sender.OnCommByte(nByte);
        }
    }
    const Bytes& LastWrite() const { return m_host.m_writes.back(); }

    // Plays the projector until the attempt ends: 'C' for each segment, ACK for every packet
    // that checks out and for each EOT. Returns the data of each segment, padding included.
    std::vector<Bytes> Deliver() {
        std::vector<Bytes> segments;
        Bytes current;
        uint8_t nExpectedBlock = 1;
        size_t nSeen = m_host.m_writes.size();
        Feed('C');
        while (!m_sender.IsFinished()) {
            if (m_host.m_writes.size() == nSeen) {
                Feed('C');  // waiting for the request of the next segment
                if (m_host.m_writes.size() == nSeen) {
                    ADD_FAILURE() << "sender went quiet";
                    break;
                }
                continue;
            }
            nSeen = m_host.m_writes.size();
            const Bytes& packet = LastWrite();
            if (packet == Bytes{EOT}) {
                segments.push_back(std::move(current));
                current.clear();
                nExpectedBlock = 1;
            } else {
                EXPECT_EQ(packet.size(), 133u);
                EXPECT_EQ(packet[0], SOH);
                EXPECT_EQ(packet[1], nExpectedBlock);
                EXPECT_EQ(packet[2], static_cast<uint8_t>(255 - nExpectedBlock));
                const uint16_t crc = ReferenceModbusCrc(&packet[3], 128);
                EXPECT_EQ(packet[131], crc & 0xFF);
                EXPECT_EQ(packet[132], crc >> 8);
                current.insert(current.end(), &packet[3], &packet[131]);
                ++nExpectedBlock;
            }
            Feed(ACK);
        }
        return segments;
    }

    CRecordingHost m_host;
    CXmodemSender m_sender{m_host};
};

Bytes Padded(Bytes bytes) {
    bytes.resize((bytes.size() + 127) / 128 * 128, 0);
    return bytes;
}

TEST(XmodemCrc16, MatchesModbusWithBytesSwapped) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CXmodemSender::Crc16(digits, sizeof(digits)), 0x374B);
    EXPECT_EQ(CXmodemSender::Crc16(digits, 0), 0xFFFF);
    const uint8_t zeros[128] = {};
    EXPECT_EQ(CXmodemSender::Crc16(zeros, sizeof(zeros)), 0xFEFB);

    for (uint8_t seed : {0, 1, 0x55, 0xAA, 0xFF}) {
        const Bytes block = PatternBytes(128, seed);
        const uint16_t crc = ReferenceModbusCrc(block.data(), block.size());
        EXPECT_EQ(CXmodemSender::Crc16(block.data(), 128),
                  static_cast<uint16_t>((crc << 8) | (crc >> 8)))
            << "seed " << int{seed};
    }
}

TEST(XmodemElapsed, FormatsMinutesWithinTheHour) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0, "00:00"},    {59, "00:59"},   {60, "01:00"},   {425, "07:05"},
        {3599, "59:59"}, {3600, "00:00"}, {3725, "02:05"}, {UINT32_MAX, "28:15"},
    };
    for (const auto& [nSeconds, text] : cases) {
        EXPECT_EQ(CXmodemSender::FormatElapsed(nSeconds), text) << nSeconds << " s";
    }
}

TEST_F(XmodemSenderTest, FirstPacketOfKnownSegment) {
    TestFile file;
    file.nFlags = 0x06;
    file.description = "Upgrading...";
    file.loads.push_back({0x00000100, {0x12, 0x34, 0x56, 0x78}});
    ASSERT_EQ(Start({file}), 1);
    ASSERT_EQ(m_host.m_texts.size(), 1u);
    EXPECT_EQ(m_host.m_texts[0], std::make_pair(std::string(), std::string("Upgrading...")));
    EXPECT_TRUE(m_host.m_writes.empty());

    Feed('C');
    ASSERT_EQ(m_host.m_writes.size(), 1u);
    Bytes expected(133, 0);
    const Bytes head = {SOH,  0x01, 0xFE, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
                        0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78};
    std::copy(head.begin(), head.end(), expected.begin());
    const uint16_t crc = ReferenceModbusCrc(&expected[3], 128);
    expected[131] = static_cast<uint8_t>(crc);
    expected[132] = static_cast<uint8_t>(crc >> 8);
    EXPECT_EQ(LastWrite(), expected);
    EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_SENDING);
    // The 148-byte packet buffer is cleared beyond the 133 bytes that go out.
    for (int i = 133; i < 148; ++i) {
        EXPECT_EQ(m_sender.Packet()[i], 0) << i;
    }
}

TEST_F(XmodemSenderTest, AllZeroBlockCarriesFeThenFb) {
    TestFile file;
    file.loads.push_back({0, Bytes(256, 0)});  // bytes 128..255 of the segment are zeros
    Start({file});
    Feed('C');
    Feed(ACK);
    ASSERT_EQ(m_host.m_writes.size(), 2u);
    EXPECT_EQ(LastWrite()[1], 2);
    EXPECT_EQ(Bytes(&LastWrite()[3], &LastWrite()[131]), Bytes(128, 0));
    EXPECT_EQ(LastWrite()[131], 0xFE);
    EXPECT_EQ(LastWrite()[132], 0xFB);
}

TEST_F(XmodemSenderTest, SegmentOf129BytesIsTwoBlocksSecondPadded) {
    const TestFile file = FileWithSegmentLength(129);
    const Bytes segment = ExpectedSegment(file);
    Start({file});
    Feed('C');
    Feed(ACK);
    ASSERT_EQ(m_host.m_writes.size(), 2u);
    const Bytes& second = LastWrite();
    EXPECT_EQ(second[1], 2);
    EXPECT_EQ(second[2], 253);
    EXPECT_EQ(second[3], segment[128]);
    EXPECT_EQ(Bytes(&second[4], &second[131]), Bytes(127, 0));
    const uint16_t crc = ReferenceModbusCrc(&second[3], 128);
    EXPECT_EQ(second[131], crc & 0xFF);
    EXPECT_EQ(second[132], crc >> 8);

    Feed(ACK);
    EXPECT_EQ(LastWrite(), Bytes{EOT});
    Feed(ACK);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{0});
    EXPECT_FALSE(m_host.m_bOpen);
    EXPECT_EQ(m_host.m_writes.size(), 3u);
}

TEST_F(XmodemSenderTest, FullBlocksOnlyThenEotAfterLastAck) {
    for (uint32_t nBlocks : {1u, 2u, 5u}) {
        SCOPED_TRACE(nBlocks);
        m_host = CRecordingHost();
        Start({FileWithSegmentLength(128 * nBlocks)});
        Feed('C');
        Feed(ACK, static_cast<int>(nBlocks) - 1);
        ASSERT_EQ(m_host.m_writes.size(), nBlocks);
        EXPECT_EQ(LastWrite().size(), 133u);
        Feed(ACK);
        ASSERT_EQ(m_host.m_writes.size(), nBlocks + 1);
        EXPECT_EQ(LastWrite(), Bytes{EOT});
        EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_SENDING);
    }
}

TEST_F(XmodemSenderTest, BlockNumbersWrapInEightBits) {
    Start({FileWithSegmentLength(128 * 300)});
    Feed('C');
    Feed(ACK, 299);
    ASSERT_EQ(m_host.m_writes.size(), 300u);
    const std::pair<size_t, uint8_t> cases[] = {{1, 1}, {255, 255}, {256, 0}, {257, 1}, {300, 44}};
    for (const auto& [nBlock, nNumber] : cases) {
        const Bytes& packet = m_host.m_writes[nBlock - 1];
        EXPECT_EQ(packet[1], nNumber) << "block " << nBlock;
        EXPECT_EQ(packet[2], static_cast<uint8_t>(255 - nNumber)) << "block " << nBlock;
    }
    EXPECT_EQ(m_host.m_writes[299][2], 211);
}

TEST_F(XmodemSenderTest, TenNaksResendTheSamePacketTheEleventhEndsWithSix) {
    Start({FileWithSegmentLength(400)});
    Feed('C');
    Feed(ACK);
    const Bytes packet = LastWrite();
    Feed(NAK, 10);
    ASSERT_EQ(m_host.m_writes.size(), 12u);
    for (size_t i = 2; i < 12; ++i) {
        EXPECT_EQ(m_host.m_writes[i], packet) << "resend " << i - 1;
    }
    EXPECT_TRUE(m_host.m_finished.empty());
    EXPECT_TRUE(m_host.m_bOpen);

    Feed(NAK);
    EXPECT_EQ(m_host.m_writes.size(), 12u);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{6});
    EXPECT_FALSE(m_host.m_bOpen);
    EXPECT_TRUE(m_sender.IsFinished());

    // Nothing more once the attempt is over, not even after the port shows open again.
    m_host.m_bOpen = true;
    Feed(ACK);
    Feed(NAK);
    Feed('C');
    m_sender.CheckSilence();
    m_sender.Abort(5);
    EXPECT_EQ(m_host.m_writes.size(), 12u);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{6});
}

TEST_F(XmodemSenderTest, NakAfterEotResendsTheSingleEotWithTheRetriesLeft) {
    Start({FileWithSegmentLength(100)});
    Feed('C');
    Feed(NAK, 3);  // three of the ten resends spent on the only data packet
    Feed(ACK);
    ASSERT_EQ(LastWrite(), Bytes{EOT});
    const size_t nBefore = m_host.m_writes.size();
    Feed(NAK, 7);
    ASSERT_EQ(m_host.m_writes.size(), nBefore + 7);
    for (size_t i = nBefore; i < nBefore + 7; ++i) {
        EXPECT_EQ(m_host.m_writes[i], Bytes{EOT});
    }
    EXPECT_TRUE(m_host.m_finished.empty());
    Feed(NAK);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{6});
    EXPECT_EQ(m_host.m_writes.size(), nBefore + 7);
}

TEST_F(XmodemSenderTest, BytesIgnoredInEachState) {
    Start({FileWithSegmentLength(300)});
    for (uint8_t nByte : {uint8_t{'c'}, ACK, NAK, uint8_t{0x18}, EOT, uint8_t{0}, uint8_t{0xC3}}) {
        Feed(nByte);
        EXPECT_TRUE(m_host.m_writes.empty()) << "waiting for C, byte " << int{nByte};
        EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_WAIT_C);
    }

    Feed('C');
    ASSERT_EQ(m_host.m_writes.size(), 1u);
    for (uint8_t nByte : {uint8_t{'C'}, uint8_t{'c'}, uint8_t{0x18}, EOT, SOH, uint8_t{0}}) {
        Feed(nByte);
        EXPECT_EQ(m_host.m_writes.size(), 1u) << "sending, byte " << int{nByte};
        EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_SENDING);
    }
    Feed(ACK);  // still answered as block 2 after all that
    ASSERT_EQ(m_host.m_writes.size(), 2u);
    EXPECT_EQ(LastWrite()[1], 2);

    m_host.m_bOpen = false;
    for (uint8_t nByte : {ACK, NAK, uint8_t{'C'}}) {
        Feed(nByte);
        EXPECT_EQ(m_host.m_writes.size(), 2u) << "port closed, byte " << int{nByte};
    }
    m_host.m_bOpen = true;
    Feed(NAK);
    EXPECT_EQ(m_host.m_writes.size(), 3u);
    EXPECT_EQ(LastWrite()[1], 2);
    EXPECT_TRUE(m_host.m_finished.empty());
}

TEST_F(XmodemSenderTest, NothingBeforeStart) {
    Feed('C');
    Feed(ACK);
    m_sender.CheckSilence();
    m_sender.Abort(5);
    EXPECT_TRUE(m_host.m_writes.empty());
    EXPECT_TRUE(m_host.m_finished.empty());
    EXPECT_EQ(m_host.m_nCloses, 0);
}

TEST_F(XmodemSenderTest, ImageWithoutFilesSendsNothing) {
    EXPECT_EQ(Start({}), 0);
    Feed('C', 3);
    EXPECT_TRUE(m_host.m_writes.empty());
    EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_WAIT_C);
    EXPECT_TRUE(m_host.m_finished.empty());
}

TEST_F(XmodemSenderTest, ProgressPositionsOverTwoSegments) {
    // Image layout: header 0..10; file A at 11, its 300 data bytes make a 321-byte segment
    // and its end record sits at 337; file B's 100 bytes make a 121-byte segment, end record
    // at 468; CRC record at 473; 482 bytes in all.
    TestFile a;
    a.description = "A";
    a.loads.push_back({0, PatternBytes(300, 3)});
    TestFile b;
    b.description = "B";
    b.loads.push_back({0, PatternBytes(100, 4)});
    ASSERT_EQ(BuildTestImage({a, b}).size(), 482u);
    Start({a, b});

    Feed('C');
    Feed(ACK, 2);
    const std::vector<std::pair<uint32_t, uint32_t>> first = {{0, 33}, {398, 298}, {797, 564}};
    EXPECT_EQ(m_host.m_progress, first);
    Feed(ACK);  // EOT
    Feed(ACK);  // next segment cut; bars untouched until its first block
    EXPECT_EQ(m_host.m_progress, first);
    EXPECT_EQ(m_host.m_texts.back().second, "B");

    Feed('C');
    ASSERT_EQ(m_host.m_progress.size(), 4u);
    EXPECT_EQ(m_host.m_progress.back(), std::make_pair(0u, 719u));
    Feed(ACK, 2);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{0});
    EXPECT_EQ(m_host.m_progress.size(), 4u);
}

TEST_F(XmodemSenderTest, ProgressProductsWrapInThirtyTwoBits) {
    // One 4,400,000-byte load: segment 4,400,021 bytes, end record at 4,400,037, image
    // 4,400,051 bytes. Block k has 128(k-1) segment bytes and 16 + 128(k-1) image bytes
    // before it; times 1000 the latter first passes 2^32 at block 33556.
    TestFile file;
    file.description = "A";
    file.loads.push_back({0, Bytes(4400000, 0x5A)});
    Start({file});
    Feed('C');
    Feed(ACK, 33555);
    ASSERT_EQ(m_host.m_progress.size(), 33556u);
    EXPECT_EQ(m_host.m_progress[33554], std::make_pair(976u, 976u));  // block 33555
    EXPECT_EQ(m_host.m_progress[33555], std::make_pair(0u, 0u));      // block 33556
}

TEST_F(XmodemSenderTest, ElapsedTimeCountsFromStart) {
    m_host.m_dwTick = 1000;
    Start({FileWithSegmentLength(300)});  // three blocks
    EXPECT_EQ(m_host.m_texts.back(), std::make_pair(std::string(), std::string("Main")));

    const std::pair<uint32_t, const char*> cases[] = {
        {1999, "00:00"}, {426999, "07:05"}, {3726000, "02:05"}};
    for (const auto& [dwTick, text] : cases) {
        m_host.m_dwTick = dwTick;
        Feed(m_host.m_writes.empty() ? uint8_t{'C'} : ACK);
        EXPECT_EQ(m_host.m_texts.back(), std::make_pair(std::string(text), std::string("Main")));
    }
    const size_t nTexts = m_host.m_texts.size();
    Feed(NAK);  // a resend leaves the texts alone
    EXPECT_EQ(m_host.m_texts.size(), nTexts);
}

TEST_F(XmodemSenderTest, SilenceAfterPacketOrEotEndsWithSix) {
    m_sender.SetSilenceLimit(30000);
    for (bool bAtEot : {false, true}) {
        SCOPED_TRACE(bAtEot ? "after EOT" : "after packet");
        m_host = CRecordingHost();
        Start({FileWithSegmentLength(200)});

        // Waiting for 'C' has no limit.
        m_host.m_dwTick += 10 * 3600 * 1000;
        m_sender.CheckSilence();
        EXPECT_TRUE(m_host.m_finished.empty());

        Feed('C');
        if (bAtEot) {
            Feed(ACK, 2);
            ASSERT_EQ(LastWrite(), Bytes{EOT});
        }
        m_host.m_dwTick += 29999;
        Feed(0x18);  // noise is no answer
        m_sender.CheckSilence();
        EXPECT_TRUE(m_host.m_finished.empty());
        m_host.m_dwTick += 1;
        m_sender.CheckSilence();
        EXPECT_EQ(m_host.m_finished, std::vector<int>{6});
        EXPECT_FALSE(m_host.m_bOpen);
    }
}

TEST_F(XmodemSenderTest, EveryAnswerRestartsTheSilenceLimit) {
    m_sender.SetSilenceLimit(1000);
    Start({FileWithSegmentLength(128 * 4), FileWithSegmentLength(50)});
    Feed('C');
    for (uint8_t nReply : {NAK, ACK, NAK, ACK, ACK, ACK}) {
        m_host.m_dwTick += 999;
        m_sender.CheckSilence();
        Feed(nReply);
    }
    EXPECT_EQ(LastWrite(), Bytes{EOT});
    EXPECT_TRUE(m_host.m_finished.empty());
    Feed(ACK);  // back to waiting for the next 'C': no limit
    EXPECT_EQ(m_sender.State(), CXmodemSender::STATE_WAIT_C);
    m_host.m_dwTick += 5000;
    m_sender.CheckSilence();
    EXPECT_TRUE(m_host.m_finished.empty());
}

TEST_F(XmodemSenderTest, WholeImageDeliveredByteExact) {
    std::vector<TestFile> files = {FileWithSegmentLength(128 * 3, "Boot", 7),
                                   FileWithSegmentLength(21, "Empty load", 8),
                                   FileWithSegmentLength(128 * 260 + 77, "Main", 9)};
    TestFile several;
    several.nFlags = FLAG_FILE | FLAG_RESET;
    several.nStartOffset = 0x1234;
    several.nStartSegment = 0xF000;
    several.description = "Several loads";
    several.loads = {{0x10000010, PatternBytes(5, 1)}, {0x20000000, {}}, {0, PatternBytes(300, 2)}};
    files.push_back(several);
    Start(files);

    const std::vector<Bytes> received = Deliver();
    ASSERT_EQ(received.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(received[i], Padded(ExpectedSegment(files[i]))) << "segment " << i;
    }
    EXPECT_EQ(m_host.m_finished, std::vector<int>{0});
    EXPECT_FALSE(m_host.m_bOpen);
    EXPECT_EQ(m_host.m_nCloses, 1);

    std::vector<std::string> statuses;
    for (const auto& texts : m_host.m_texts) {
        if (statuses.empty() || statuses.back() != texts.second) {
            statuses.push_back(texts.second);
        }
    }
    EXPECT_EQ(statuses, (std::vector<std::string>{"Boot", "Empty load", "Main", "Several loads"}));
}

TEST_F(XmodemSenderTest, NewAttemptAfterFailureStartsAfresh) {
    const TestFile file = FileWithSegmentLength(1000);
    Start({file});
    Feed('C');
    Feed(ACK, 2);
    Feed(NAK, 11);
    ASSERT_EQ(m_host.m_finished, std::vector<int>{6});

    m_host.m_bOpen = true;  // the host opens the port again for the new attempt
    m_host.m_writes.clear();
    Start({file});
    EXPECT_EQ(m_sender.Elapsed(), "");
    const std::vector<Bytes> received = Deliver();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], Padded(ExpectedSegment(file)));
    EXPECT_EQ(m_host.m_finished, (std::vector<int>{6, 0}));
}

TEST_F(XmodemSenderTest, PortFailuresEndWithFive) {
    // A write that fails, at a first block, a later block, an EOT and a resend.
    const std::vector<std::vector<uint8_t>> scripts = {
        {'C'}, {'C', ACK}, {'C', ACK, ACK}, {'C', NAK}};
    for (const auto& script : scripts) {
        SCOPED_TRACE(testing::PrintToString(script));
        m_host = CRecordingHost();
        Start({FileWithSegmentLength(256)});
        for (size_t i = 0; i + 1 < script.size(); ++i) {
            Feed(script[i]);
        }
        m_host.m_nWriteResult = 0;
        Feed(script.back());
        EXPECT_EQ(m_host.m_finished, std::vector<int>{5});
        EXPECT_FALSE(m_host.m_bOpen);
        m_host.m_bOpen = true;
        Feed(ACK);
        m_sender.CheckSilence();
        EXPECT_EQ(m_host.m_finished, std::vector<int>{5});
    }

    // A failure reported from outside (the reader saw a hang-up).
    m_host = CRecordingHost();
    Start({FileWithSegmentLength(256)});
    Feed('C');
    m_sender.Abort(5);
    m_sender.Abort(5);
    EXPECT_EQ(m_host.m_finished, std::vector<int>{5});
    EXPECT_EQ(m_host.m_nCloses, 1);
}

}  // namespace
