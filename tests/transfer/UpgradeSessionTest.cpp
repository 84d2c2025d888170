// The session in the Qt event loop against orvanta-projector on a pseudo-terminal. Whole
// transfers and the other ways an attempt ends are the tools' part (orvanta-cli send runs
// this session); here the port's state after a hang-up, which only the session can tell.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "ToolRunner.h"
#include "UpgradeSession.h"

namespace {

using namespace orvtest;

// A port that fails under the transfer ends the attempt once, with result 5, the port closed
// and one message, even when the message handler runs a nested event loop (as the wizard's
// message box does) while bytes keep arriving: the projector hangs up in the middle of a
// segment, or the line stops taking data while ACKs keep coming.
TEST(UpgradeSession, APortFailureEndsTheAttemptOnceUnderANestedEventLoop) {
    const Bytes image = MakeImage({{6, 0, 0, "Main", {{0x10, 0, PatternBytes(200000, 3)}}}});
    for (const bool bHangUp : {true, false}) {
        SCOPED_TRACE(bHangUp ? "hang-up" : "stalled line");
        CToolProcess projector;
        CPty stalled;  // its master is never read, so the line fills up
        std::string device = stalled.m_strDevice;
        if (bHangUp) {
            ASSERT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, {"--hangup-after", "20"}));
            device = projector.ReadLine(30000);
        }
        CUpgradeSession session;
        session.Prepare(ToBuffer(image), static_cast<uint32_t>(image.size()));
        ASSERT_TRUE(session.OpenPort(device, 115200));
        // The stalled line's projector: 'C', then an ACK every 2 ms, each one after the
        // packet it answers (an ACK that came before its packet would be no answer).
        std::atomic<bool> bStop = false;
        std::thread answers;
        if (!bHangUp) {
            ASSERT_TRUE(stalled.Write(Bytes(1, 'C')));
            answers = std::thread([&] {
                for (int i = 0; i < 3000 && !bStop; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    stalled.Write(Bytes(1, CXmodemSender::ACK));
                }
            });
        }
        std::vector<int> results;
        QStringList messages;
        bool bOpenDuringMessage = true;
        QEventLoop loop;
        QObject::connect(&session, &CUpgradeSession::finished, &loop, [&](int n) {
            results.push_back(n);
            loop.quit();
        });
        QObject::connect(&session, &CUpgradeSession::message, [&](const QString& text) {
            messages << text;
            bOpenDuringMessage = session.IsPortOpen() || session.IsRunning();
            QEventLoop box;
            QTimer::singleShot(500, &box, &QEventLoop::quit);
            box.exec();
        });
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // only a hang gets here
        loop.exec();
        QTimer::singleShot(800, &loop, &QEventLoop::quit);  // a late second end would show
        loop.exec();
        bStop = true;
        if (answers.joinable()) {
            answers.join();
        }
        EXPECT_EQ(results, std::vector<int>{5});
        EXPECT_FALSE(session.IsPortOpen());
        EXPECT_FALSE(bOpenDuringMessage) << "the attempt must be over before a message shows";
        EXPECT_EQ(messages.size(), 1) << messages.join("; ").toStdString();
        EXPECT_NE(session.FailureDetail().find(device + (bHangUp ? " went away" : " stopped")),
                  std::string::npos)
            << session.FailureDetail();
        if (bHangUp) {
            EXPECT_EQ(projector.Wait(30000).nExit, 0);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
