#include <gtest/gtest.h>

#include <cerrno>

#include "CommEvents.h"
#include "LinkTestSupport.h"
#include "ReadThread.h"
#include "SerialPort.h"

namespace {

struct PortUnderTest {
    CRecorder target;
    std::vector<std::string> messages;
    CSerialPort port{&target, [this](const std::string& s) { messages.push_back(s); }};
};

void ExpectBytes(const std::vector<Received>& events, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(events.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        ASSERT_EQ(events[i].nMessage, WM_COMM_BYTE) << i;
        ASSERT_EQ(events[i].wParam, bytes[i]) << i;
        ASSERT_EQ(events[i].lParam, 0) << i;
    }
}

TEST(ReadThreadTest, EachByteIsOneEventInOrder) {
    EnsureApp();
    CPty pty;
    PortUnderTest p;
    ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
    const std::vector<uint8_t> bytes = Pattern(1000);
    pty.Write(bytes);
    ASSERT_TRUE(WaitUntil([&] { return p.target.m_events.size() >= bytes.size(); }));
    Settle(50);
    ExpectBytes(p.target.m_events, bytes);
}

TEST(ReadThreadTest, ReopenReadsAgainWithTheSameThread) {
    EnsureApp();
    CPty pty;
    PortUnderTest p;
    const CReadThread* pThread = p.port.m_pReadThread.get();
    int nThreads = -1;
    std::vector<uint8_t> sent;
    for (uint8_t round = 0; round < 3; ++round) {
        // A byte that waits in the terminal before the open is the first one read.
        const uint8_t waiting = 0x80 | round;
        pty.Write({waiting});
        sent.push_back(waiting);
        ASSERT_EQ(p.port.OpenPort(pty.m_strPath, round == 1 ? 57600 : 115200), 1);
        EXPECT_TRUE(p.port.m_bThreadStarted);
        EXPECT_EQ(p.port.m_pReadThread.get(), pThread);
        if (nThreads < 0) {
            nThreads = CountThreads();
        }
        EXPECT_EQ(CountThreads(), nThreads) << int(round);
        const std::vector<uint8_t> bytes = {round, 0x06, 0x15, 0x43};
        pty.Write(bytes);
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        ASSERT_TRUE(WaitUntil([&] { return p.target.m_events.size() == sent.size(); }));
        EXPECT_EQ(p.port.ClosePort(), 1);
    }
    ExpectBytes(p.target.m_events, sent);
    EXPECT_TRUE(p.messages.empty());
}

// A hang-up is reported once; the reader then rests until the port is opened again.
TEST(ReadThreadTest, HangUpIsReportedOnce) {
    EnsureApp();
    PortUnderTest p;
    {
        CPty pty;
        ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
        pty.Write({0x43});
        ASSERT_TRUE(WaitUntil([&] { return p.target.m_events.size() == 1; }));
        pty.CloseMaster();
        ASSERT_TRUE(WaitUntil([&] { return p.target.Count(WM_COMM_FAILED) == 1; }));
        Settle(300);
        ASSERT_EQ(p.target.m_events.size(), 2u);
        const Received& failed = p.target.m_events[1];
        EXPECT_EQ(failed.nMessage, WM_COMM_FAILED);
        EXPECT_EQ(failed.wParam, uintptr_t{EIO});
        EXPECT_EQ(failed.text, "A problem occured while trying to read from the Com Port: 5");
        EXPECT_TRUE(p.port.IsOpen());  // closing is the owner's decision
        EXPECT_EQ(p.port.ClosePort(), 1);
    }
    CPty pty;
    ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
    pty.Write({0x15});
    ASSERT_TRUE(WaitUntil([&] { return p.target.m_events.size() == 3; }));
    EXPECT_EQ(p.target.m_events[2].nMessage, WM_COMM_BYTE);
    EXPECT_EQ(p.target.m_events[2].wParam, 0x15u);
    EXPECT_TRUE(p.messages.empty());
}

// A silent line outlasts the reader's 5 s wait: nothing is posted, and reading goes on.
TEST(ReadThreadTest, SilenceLongerThanOneWait) {
    EnsureApp();
    CPty pty;
    PortUnderTest p;
    ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
    Settle(5500);
    EXPECT_TRUE(p.target.m_events.empty());
    pty.Write({0x06});
    ASSERT_TRUE(WaitUntil([&] { return !p.target.m_events.empty(); }));
    ExpectBytes(p.target.m_events, {0x06});
    EXPECT_TRUE(p.messages.empty());
}

// Destroying an open port ends the reader while it waits on a silent line.
TEST(ReadThreadTest, DestroyWhileReading) {
    EnsureApp();
    CPty pty;
    const int nThreads = CountThreads();
    const int nFds = CountOpenFds();
    {
        PortUnderTest p;
        ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
        EXPECT_EQ(CountThreads(), nThreads + 1);
    }
    EXPECT_EQ(CountThreads(), nThreads);
    EXPECT_EQ(CountOpenFds(), nFds);
}

}  // namespace
