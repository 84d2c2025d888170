// The session in the Qt event loop against orvanta-projector on a pseudo-terminal. Whole
// transfers and the other ways an attempt ends are the tools' part (orvanta-cli send runs
// this session); here the port's state after a hang-up, which only the session can tell.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include "TestSupport.h"
#include "ToolRunner.h"
#include "UpgradeSession.h"

namespace {

using namespace orvtest;

// D10: the projector hangs up in the middle of a segment; the attempt ends with result 5,
// exactly one message and the port closed.
TEST(UpgradeSession, HangUpEndsWithFiveOneMessageAndThePortClosed) {
    CToolProcess projector;
    ASSERT_TRUE(projector.Start(ORVANTA_PROJECTOR_PATH, {"--hangup-after", "20"}));
    const std::string device = projector.ReadLine(30000);
    CUpgradeSession session;
    const Bytes image = MakeImage({{6, 0, 0, "Main", {{0x10, 0, PatternBytes(38384, 3)}}}});
    session.Prepare(ToBuffer(image), static_cast<uint32_t>(image.size()));
    ASSERT_TRUE(session.OpenPort(device, 115200));
    int nResult = -1;
    QStringList messages;
    QEventLoop loop;
    QObject::connect(&session, &CUpgradeSession::finished, &loop, [&](int n) {
        nResult = n;
        loop.quit();
    });
    QObject::connect(&session, &CUpgradeSession::message, [&](QString text) { messages << text; });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // only a hang gets here
    loop.exec();
    EXPECT_EQ(nResult, 5);
    EXPECT_FALSE(session.IsPortOpen());
    QTimer::singleShot(300, &loop, &QEventLoop::quit);  // a late second message would show
    loop.exec();
    EXPECT_EQ(messages.size(), 1) << messages.join("; ").toStdString();
    EXPECT_EQ(projector.Wait(30000).nExit, 0);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
