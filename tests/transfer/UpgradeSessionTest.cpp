// The session over a real pseudo-terminal: the test plays the projector on the master side in
// a thread of its own, while the session runs in the Qt event loop with the real reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "SegmentCutter.h"
#include "TestImage.h"
#include "UpgradeSession.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kGuardMs = 30000;  // only to end a hung test; no test relies on it
constexpr int kReadWaitMs = 15000;

class CPseudoTerminal {
  public:
    CPseudoTerminal() {
        m_nMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_nMaster >= 0 && grantpt(m_nMaster) == 0 && unlockpt(m_nMaster) == 0) {
            const char* pName = ptsname(m_nMaster);
            m_strSlave = pName != nullptr ? pName : "";
        }
    }
    ~CPseudoTerminal() { Close(); }
    void Close() {
        if (m_nMaster >= 0) {
            close(m_nMaster);
            m_nMaster = -1;
        }
    }
    int m_nMaster = -1;
    std::string m_strSlave;
};

// What the simulated projector does and what it received.
struct ResponderScript {
    size_t nSegments = 0;
    int nHangupAfterPackets = -1;  // closes the master instead of answering that packet
    int nSilentAfterPackets = -1;  // stops answering at that packet
};

struct ResponderLog {
    std::vector<Bytes> segments;
    int nBadPackets = 0;
    int nPackets = 0;
};

bool ReadExact(int nFd, uint8_t* pBuffer, size_t nLength) {
    size_t nDone = 0;
    while (nDone < nLength) {
        pollfd pfd{nFd, POLLIN, 0};
        if (poll(&pfd, 1, kReadWaitMs) <= 0) {
            return false;
        }
        const ssize_t n = read(nFd, pBuffer + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    return true;
}

void WriteByte(int nFd, uint8_t nByte) {
    while (write(nFd, &nByte, 1) < 0 && errno == EINTR) {
    }
}

// Requests each segment with 'C', checks and acknowledges every packet and each EOT.
void Respond(CPseudoTerminal& pty, const ResponderScript& script, ResponderLog& log) {
    const int nFd = pty.m_nMaster;
    for (size_t nSegment = 0; nSegment < script.nSegments; ++nSegment) {
        WriteByte(nFd, 'C');
        Bytes data;
        uint8_t nExpected = 1;
        while (true) {
            uint8_t packet[133];
            if (!ReadExact(nFd, packet, 1)) {
                return;
            }
            if (packet[0] == CXmodemSender::EOT) {
                log.segments.push_back(std::move(data));
                WriteByte(nFd, CXmodemSender::ACK);
                break;
            }
            if (packet[0] != CXmodemSender::SOH || !ReadExact(nFd, packet + 1, 132)) {
                ++log.nBadPackets;
                return;
            }
            ++log.nPackets;
            if (log.nPackets == script.nHangupAfterPackets) {
                pty.Close();
                return;
            }
            if (log.nPackets == script.nSilentAfterPackets) {
                return;
            }
            const uint16_t crc = ReferenceModbusCrc(packet + 3, 128);
            if (packet[1] != nExpected || packet[2] != static_cast<uint8_t>(~nExpected) ||
                packet[131] != (crc & 0xFF) || packet[132] != (crc >> 8)) {
                ++log.nBadPackets;
                WriteByte(nFd, CXmodemSender::NAK);
                continue;
            }
            data.insert(data.end(), packet + 3, packet + 131);
            ++nExpected;
            WriteByte(nFd, CXmodemSender::ACK);
        }
    }
}

std::vector<Bytes> CutterSegments(const Bytes& image) {
    CSegmentCutter cutter;
    cutter.SetImage(ImageBuffer(image), static_cast<uint32_t>(image.size()));
    std::vector<Bytes> segments;
    while (cutter.PrepareNextSegment()) {
        Bytes segment(cutter.m_pSegment.get(), cutter.m_pSegment.get() + cutter.m_nSegmentLength);
        segment.resize((segment.size() + 127) / 128 * 128, 0);
        segments.push_back(std::move(segment));
    }
    return segments;
}

// One attempt of a session against the responder; returns the result it finished with.
struct AttemptOutcome {
    int nResult = -1;
    QStringList messages;
    ResponderLog log;
    bool bPortOpenAfter = true;
};

AttemptOutcome RunAttempt(CUpgradeSession& session, const Bytes& image,
                          const ResponderScript& script) {
    AttemptOutcome outcome;
    CPseudoTerminal pty;
    if (pty.m_strSlave.empty()) {
        ADD_FAILURE() << "no pseudo-terminal";
        return outcome;
    }
    QEventLoop loop;
    const auto finished =
        QObject::connect(&session, &CUpgradeSession::finished, &loop, [&](int nResult) {
            outcome.nResult = nResult;
            loop.quit();
        });
    const auto messages = QObject::connect(&session, &CUpgradeSession::message, &loop,
                                           [&](const QString& text) { outcome.messages << text; });
    QTimer::singleShot(kGuardMs, &loop, &QEventLoop::quit);

    session.Prepare(ImageBuffer(image), static_cast<uint32_t>(image.size()));
    if (!session.OpenPort(pty.m_strSlave, 115200)) {
        ADD_FAILURE() << "cannot open " << pty.m_strSlave;
        return outcome;
    }
    std::thread responder(Respond, std::ref(pty), std::cref(script), std::ref(outcome.log));
    loop.exec();
    outcome.bPortOpenAfter = session.IsPortOpen();
    responder.join();

    // Let anything still queued arrive, so a late second message would be seen.
    QEventLoop settle;
    QTimer::singleShot(300, &settle, &QEventLoop::quit);
    settle.exec();
    QObject::disconnect(finished);
    QObject::disconnect(messages);
    return outcome;
}

std::vector<TestFile> ThreeFiles() {
    return {FileWithSegmentLength(128 * 2, "Boot", 1), FileWithSegmentLength(21, "Tables", 2),
            FileWithSegmentLength(128 * 300 + 5, "Main", 3)};
}

TEST(UpgradeSession, DeliversEverySegmentOverPseudoTerminal) {
    CUpgradeSession session;
    const Bytes image = BuildTestImage(ThreeFiles());
    const std::vector<Bytes> expected = CutterSegments(image);
    ASSERT_EQ(expected.size(), 3u);

    QStringList statuses;
    QObject::connect(&session, &CUpgradeSession::textsChanged,
                     [&](const QString&, const QString& status) {
                         if (statuses.isEmpty() || statuses.back() != status) {
                             statuses << status;
                         }
                     });
    const AttemptOutcome outcome = RunAttempt(session, image, {.nSegments = 3});
    EXPECT_EQ(outcome.nResult, 0);
    EXPECT_FALSE(outcome.bPortOpenAfter);
    EXPECT_TRUE(outcome.messages.isEmpty()) << outcome.messages.join("; ").toStdString();
    EXPECT_EQ(outcome.log.nBadPackets, 0);
    EXPECT_EQ(outcome.log.segments, expected);
    EXPECT_EQ(statuses, (QStringList{"Boot", "Tables", "Main"}));
}

TEST(UpgradeSession, HangUpEndsWithOneMessageAndFive) {
    CUpgradeSession session;
    const Bytes image = BuildTestImage(ThreeFiles());
    const AttemptOutcome outcome =
        RunAttempt(session, image, {.nSegments = 3, .nHangupAfterPackets = 20});
    EXPECT_EQ(outcome.nResult, 5);
    EXPECT_EQ(outcome.messages.size(), 1) << outcome.messages.join("; ").toStdString();
    EXPECT_FALSE(outcome.bPortOpenAfter);
    EXPECT_EQ(outcome.log.nPackets, 20);
}

TEST(UpgradeSession, SilenceEndsWithSixThenANewAttemptSucceeds) {
    setenv("ORVANTA_SILENCE_MS", "300", 1);
    CUpgradeSession session;
    unsetenv("ORVANTA_SILENCE_MS");
    const Bytes image = BuildTestImage(ThreeFiles());

    const AttemptOutcome silent =
        RunAttempt(session, image, {.nSegments = 3, .nSilentAfterPackets = 4});
    EXPECT_EQ(silent.nResult, 6);
    EXPECT_TRUE(silent.messages.isEmpty()) << silent.messages.join("; ").toStdString();
    EXPECT_FALSE(silent.bPortOpenAfter);

    // The short limit served its purpose; a loaded machine must not trip it below.
    session.Sender().SetSilenceLimit(CXmodemSender::DEFAULT_SILENCE_LIMIT_MS);
    const AttemptOutcome again = RunAttempt(session, image, {.nSegments = 3});
    EXPECT_EQ(again.nResult, 0);
    EXPECT_EQ(again.log.segments, CutterSegments(image));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
