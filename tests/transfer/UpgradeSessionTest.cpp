// The session on a poll() loop of the test's own against a pseudo-terminal. Whole transfers
// and the other ways an attempt ends are the tools' part (orvanta-cli send runs this
// session); here the order and the once-only of what a failing port makes the session tell.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "ToolRunner.h"
#include "UpgradeSession.h"

namespace {

using namespace orvtest;
using Clock = std::chrono::steady_clock;

// One pass of an owner's loop: waits for the wake-up descriptor or the next deadline (at
// most until tEnd), then services the session.
void RunLoopOnce(CUpgradeSession& session, Clock::time_point tEnd) {
    const auto wake = std::min(tEnd, session.NextDeadline());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
    pollfd pfd{session.WakeFd(), POLLIN, 0};
    poll(&pfd, 1, static_cast<int>(std::max<long>(wait.count(), 0)));
    session.Service();
}

// Records what the session tells; a message runs a nested loop for a while, as the wizard's
// modal box does, while the projector's ACKs keep coming.
class CRecorder : public ISessionObserver {
public:
    CUpgradeSession* m_pSession = nullptr;
    std::vector<std::string> m_told;  // messages, and "finished N" for each end
    bool m_bRunningDuringMessage = false;

    void OnMessage(const std::string& strText) override {
        m_told.push_back(strText);
        m_bRunningDuringMessage |= m_pSession->IsPortOpen() || m_pSession->IsRunning();
        const auto tEnd = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < tEnd) {
            RunLoopOnce(*m_pSession, tEnd);
        }
    }
    void OnFinished(const CFailure& result) override {
        m_told.push_back("finished " + std::to_string(result.nResult));
    }
};

// A line that stops taking data (its master side is never read) while ACKs keep coming ends
// the attempt once: result 5, the port closed, one message and then the end, both after the
// attempt is over, even though the message's nested loop services the session again.
TEST(UpgradeSession, AStalledLineEndsTheAttemptOnceUnderANestedLoop) {
    const Bytes image = MakeImage({{6, 0, 0, "Main", {{0x10, 0, PatternBytes(200000, 3)}}}});
    CPty stalled;
    CRecorder recorder;
    CUpgradeSession session(recorder);
    recorder.m_pSession = &session;
    session.Prepare(ToBuffer(image), static_cast<uint32_t>(image.size()));
    ASSERT_TRUE(session.OpenPort(stalled.m_strDevice, 115200));
    // 'C', then an ACK every 2 ms, each one after the packet it answers (an ACK that came
    // before its packet would be no answer).
    ASSERT_TRUE(stalled.Write(Bytes(1, 'C')));
    std::atomic<bool> bStop = false;
    std::thread answers([&] {
        for (int i = 0; i < 3000 && !bStop; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            stalled.Write(Bytes(1, CXmodemSender::ACK));
        }
    });
    const auto tEnd = Clock::now() + std::chrono::seconds(60);  // only a hang gets there
    while (recorder.m_told.empty() || recorder.m_told.back().rfind("finished", 0) != 0) {
        if (Clock::now() >= tEnd) {
            break;
        }
        RunLoopOnce(session, tEnd);
    }
    const auto tLate = Clock::now() + std::chrono::milliseconds(800);  // a late second end
    while (Clock::now() < tLate) {
        RunLoopOnce(session, tLate);
    }
    bStop = true;
    answers.join();

    const std::string message =
        "A problem occured while trying to write to the Com Port: " + std::to_string(ETIMEDOUT);
    EXPECT_EQ(recorder.m_told, (std::vector<std::string>{message, "finished 5"}));
    EXPECT_FALSE(recorder.m_bRunningDuringMessage)
        << "the attempt must be over before a message shows";
    EXPECT_FALSE(session.IsPortOpen());
    const CFailure& failure = session.Failure();
    EXPECT_EQ(failure.nResult, RESULT_SERIAL_FAILED);
    EXPECT_EQ(failure.nCause, CFailure::WRITE);
    EXPECT_EQ(failure.strMessage, message);
    EXPECT_NE(failure.strDetail.find(stalled.m_strDevice + " stopped taking data"),
              std::string::npos)
        << failure.strDetail;
    EXPECT_EQ(session.NextDeadline(), Clock::time_point::max());
}

}  // namespace
