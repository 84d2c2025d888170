#include <gtest/gtest.h>

#include <cerrno>

#include "CommEvents.h"
#include "LinkTestSupport.h"
#include "ReadThread.h"

namespace {

// Bytes arrive in order, every value once; the port closed and opened again (at the other
// rate too) reads on the same thread, starting with a byte that waited in the terminal.
TEST(ReadThreadTest, BytesArriveInOrderAcrossCloseAndReopen) {
    const int64_t tStart = CommClockMicros();
    CPty pty;
    CPortUnderTest p;
    const CReadThread* pThread = p.m_port.m_pReadThread.get();
    long nThreads = -1;
    std::vector<uint8_t> sent;
    for (uint8_t round = 0; round < 3; ++round) {
        std::vector<uint8_t> bytes = {round, 0x06, 0x15, 0x43};
        for (size_t i = 0; round == 0 && i < 1000; ++i) {
            bytes.push_back(static_cast<uint8_t>(i < 256 ? i : i * 7 + i / 251));
        }
        sent.push_back(uint8_t(0x80 | round));
        sent.insert(sent.end(), bytes.begin(), bytes.end());
        ASSERT_TRUE(pty.Write({uint8_t(0x80 | round)}));
        ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, round == 1 ? 57600 : 115200), 1);
        EXPECT_EQ(p.m_port.m_pReadThread.get(), pThread);
        nThreads = nThreads < 0 ? CountOf("/proc/self/task") : nThreads;
        EXPECT_EQ(CountOf("/proc/self/task"), nThreads) << int(round);
        ASSERT_TRUE(pty.Write(bytes));
        ASSERT_TRUE(DeliverEvents([&] { return p.m_events.size() >= sent.size(); }));
        DeliverEvents([] { return false; }, 50);  // nothing more comes
        EXPECT_EQ(p.m_port.ClosePort(), 1);
    }
    // Every byte one WM_COMM_BYTE event, stamped with when it was read: after the test
    // wrote it, never before the byte ahead of it.
    std::vector<Received> expected;
    for (size_t i = 0; i < sent.size() && i < p.m_events.size(); ++i) {
        expected.push_back({WM_COMM_BYTE, sent[i], p.m_events[i].lParam, "", ""});
        EXPECT_GE(p.m_events[i].lParam, i == 0 ? tStart : p.m_events[i - 1].lParam) << i;
    }
    EXPECT_EQ(p.m_events, expected);
    EXPECT_TRUE(p.m_messages.empty());
}

// A hang-up is one WM_COMM_FAILED; the reader then rests until the port is opened again.
TEST(ReadThreadTest, HangUpIsReportedOnce) {
    CPortUnderTest p;
    {
        CPty pty;
        ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, 115200), 1);
        pty.CloseMaster();
        ASSERT_TRUE(DeliverEvents([&] { return !p.m_events.empty(); }));
        DeliverEvents([] { return false; }, 300);
        ASSERT_EQ(p.m_events.size(), 1u);
        EXPECT_EQ(p.m_events[0].nMessage, WM_COMM_FAILED);
        EXPECT_EQ(p.m_events[0].wParam, uintptr_t{EIO});
        EXPECT_EQ(p.m_events[0].text,
                  "A problem occured while trying to read from the Com Port: 5");
        EXPECT_EQ(p.m_port.ClosePort(), 1);
    }
    CPty pty;
    ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, 115200), 1);
    ASSERT_TRUE(pty.Write({0x15}));
    ASSERT_TRUE(DeliverEvents([&] { return p.m_events.size() == 2; }));
    EXPECT_EQ(p.m_events[1].wParam, 0x15u);
    EXPECT_TRUE(p.m_messages.empty());
}

}  // namespace
