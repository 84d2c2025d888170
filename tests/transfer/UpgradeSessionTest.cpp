// The session on a real pseudo-terminal, played by a projector thread on the master side, in
// the Qt event loop (fault cases end to end: orvanta-cli send against orvanta-projector).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <thread>

#include "TestSupport.h"
#include "UpgradeSession.h"

namespace {

using namespace orvtest;

// Reads exactly nLength bytes from the master; false at its end (the session closed the port).
bool ReadExact(int nFd, uint8_t* pBuffer, size_t nLength) {
    for (ssize_t n = 0; nLength > 0; pBuffer += n, nLength -= static_cast<size_t>(n)) {
        if ((n = read(nFd, pBuffer, nLength)) <= 0) {
            return false;
        }
    }
    return true;
}

struct Outcome {
    int nResult = -1;
    QStringList messages;
    std::vector<Bytes> segments;  // as received, padding included
};

// One attempt against a projector that asks for each segment with 'C', acknowledges every
// packet and EOT, and hangs up (closes the master) instead of answering packet nHangupAt.
Outcome RunAttempt(const std::vector<TestFile>& files, int nHangupAt) {
    Outcome outcome;
    int nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    const char* pSlave = grantpt(nMaster) || unlockpt(nMaster) ? nullptr : ptsname(nMaster);
    CUpgradeSession session;
    const Bytes image = MakeImage(files);
    session.Prepare(ToBuffer(image), static_cast<uint32_t>(image.size()));
    if (pSlave == nullptr || !session.OpenPort(pSlave, 115200)) {
        ADD_FAILURE() << "no pseudo-terminal";
        return outcome;
    }
    std::thread projector([&] {
        uint8_t packet[133] = {'C'};
        for (int nPackets = 0; outcome.segments.size() < files.size(); packet[0] = 'C') {
            outcome.segments.emplace_back();
            while (write(nMaster, packet, 1) == 1 && ReadExact(nMaster, packet, 1) &&
                   packet[0] != CXmodemSender::EOT) {
                if (!ReadExact(nMaster, packet + 1, 132) || ++nPackets == nHangupAt) {
                    close(std::exchange(nMaster, -1));
                    return;
                }
                outcome.segments.back().insert(outcome.segments.back().end(), packet + 3,
                                               packet + 131);
                packet[0] = CXmodemSender::ACK;
            }
            packet[0] = CXmodemSender::ACK;
            write(nMaster, packet, 1);
        }
    });
    QEventLoop loop;
    QObject::connect(&session, &CUpgradeSession::finished, &loop, [&](int nResult) {
        outcome.nResult = nResult;
        loop.quit();
    });
    QObject::connect(&session, &CUpgradeSession::message,
                     [&](QString text) { outcome.messages << text; });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // only a hang gets here
    loop.exec();
    EXPECT_FALSE(session.IsPortOpen());
    projector.join();
    QTimer::singleShot(300, &loop, &QEventLoop::quit);  // a late second message would show
    loop.exec();
    close(nMaster);
    return outcome;
}

// The happy path byte for byte; a hang-up (D10) ends the attempt with result 5 and exactly one
// message.
TEST(UpgradeSession, DeliversByteExactOrEndsWithFiveOnHangUp) {
    const std::vector<TestFile> files = {{6, 0, 0, "Boot", {{0x10, 0, PatternBytes(235, 1)}}},
                                         {6, 0, 0, "Tables", {}},
                                         {6, 0, 0, "Main", {{0x10, 0, PatternBytes(38384, 3)}}}};
    for (const auto& [nHangupAt, nResult, nMessages] : {std::tuple{-1, 0, 0}, {20, 5, 1}}) {
        const Outcome outcome = RunAttempt(files, nHangupAt);
        EXPECT_EQ(outcome.nResult, nResult);
        EXPECT_EQ(outcome.messages.size(), nMessages) << outcome.messages.join("; ").toStdString();
        for (size_t i = 0; nResult == 0 && i < files.size(); ++i) {
            Bytes expected = ExpectedSegment(files[i]);  // 256, 13 and 38405 bytes (301 blocks)
            expected.resize((expected.size() + 127) / 128 * 128, 0);
            EXPECT_EQ(outcome.segments.at(i), expected) << "segment " << i;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
