#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

#include "LinkTestSupport.h"

namespace {

constexpr char kOpenFailed[] = "Port already open (by another application) or does not exist!";
constexpr char kSetupFailed[] = "Error setting Com port status!";

TEST(SerialPortTest, DevicePathAndLineRate) {
    for (const auto& [pName, pPath] : {std::pair{"COM1", "/dev/ttyS0"},
                                       {"COM12", "/dev/ttyS11"},
                                       {"/dev/ttyUSB0", "/dev/ttyUSB0"}}) {
        EXPECT_EQ(CSerialPort::DevicePath(pName), pPath) << pName;
    }
    for (const char* pName :
         {"COM0", "COM", "com1", "COM1 ", "COM-1", "COM1x", "COM99999999999999", "", "ttyUSB0"}) {
        EXPECT_EQ(CSerialPort::DevicePath(pName), "") << '"' << pName << '"';
    }
    for (const auto& [nAsked, nRate] :
         {std::pair{115200, 115200}, {57600, 57600}, {0, 57600}, {9600, 57600}, {115201, 57600}}) {
        EXPECT_EQ(CSerialPort::LineRate(nAsked), nRate) << nAsked;
    }
}

// Each failure shows its one message, leaves the port closed and keeps no descriptor.
TEST(SerialPortTest, FailedOpensShowTheirMessageAndKeepNothing) {
    CPty pty;
    CPortUnderTest holder;
    ASSERT_EQ(holder.m_port.OpenPort(pty.m_strDevice, 115200), 1);
    char file[] = "/tmp/link_tests_XXXXXX";
    close(mkstemp(file));
    const std::pair<std::string, const char*> rows[] = {
        {"/nonexistent/ttyUSB9", kOpenFailed},
        {"COM0", kOpenFailed},
        {pty.m_strDevice, kOpenFailed},  // held by another opener
        {file, kSetupFailed},
        {"/dev/null", kSetupFailed},
    };
    for (const auto& [name, pMessage] : rows) {
        CPortUnderTest p;
        const long nFds = CountOf("/proc/self/fd");
        EXPECT_EQ(p.m_port.OpenPort(name, 115200), 0) << name;
        EXPECT_EQ(p.m_messages, std::vector<std::string>{pMessage}) << name;
        EXPECT_FALSE(p.m_port.IsOpen()) << name;
        EXPECT_EQ(CountOf("/proc/self/fd"), nFds) << name;
        EXPECT_EQ(p.m_port.WritePort("x", 1), 0) << name;
    }
    unlink(file);
    EXPECT_TRUE(holder.m_messages.empty());
}

// The terminal's own settings, read from the master side.
TEST(SerialPortTest, LineSettingsAsApplied) {
    CPty pty;
    CPortUnderTest p;
    for (const auto& [nAsked, speed] :
         {std::pair{115200, speed_t{B115200}}, {57600, B57600}, {9600, B57600}}) {
        ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, nAsked), 1);
        termios t{};
        ASSERT_EQ(tcgetattr(pty.m_nMaster, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), speed) << nAsked;
        EXPECT_EQ(cfgetispeed(&t), speed) << nAsked;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  tcflag_t{CS8 | CREAD | CLOCAL});
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(p.m_port.ClosePort(), 1);
    }
    EXPECT_TRUE(p.m_messages.empty());
}

// Closing puts back the settings the device had before the open, whatever they were. The
// latency requests are harmless where the driver offers none (a pseudo-terminal has neither
// the low-latency mode nor a latency timer): the open succeeds, the note says why nothing was
// set, and nothing of them is left behind.
TEST(SerialPortTest, CloseRestoresTheLineSettingsItFound) {
    auto cooked = [](termios& t) { cfsetspeed(&t, B38400); };
    auto slow = [](termios& t) {
        cfmakeraw(&t);
        t.c_cflag |= CSTOPB | PARENB | CRTSCTS | HUPCL;
        t.c_iflag |= IXON | IXOFF;
        t.c_cc[VMIN] = 4;
        t.c_cc[VTIME] = 7;
        cfsetspeed(&t, B9600);
    };
    auto fast = [](termios& t) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL;
        cfsetspeed(&t, B115200);
    };
    const std::pair<const char*, void (*)(termios&)> rows[] = {
        {"a console's cooked line", cooked},
        {"a slow line, 7E2 with flow control", slow},
        {"already as the port sets it", fast}};
    for (const auto& [pCase, change] : rows) {
        SCOPED_TRACE(pCase);
        CPty pty;
        termios before{};
        ASSERT_EQ(tcgetattr(pty.m_nMaster, &before), 0);
        change(before);
        ASSERT_EQ(tcsetattr(pty.m_nMaster, TCSANOW, &before), 0);
        ASSERT_EQ(tcgetattr(pty.m_nMaster, &before), 0);
        CPortUnderTest p;
        for (int nBaud : {115200, 57600}) {  // the second open meets the first one's restore
            ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, nBaud), 1);
            EXPECT_EQ(p.m_port.LatencyNote(),
                      pty.m_strDevice +
                          ": no low-latency mode (Inappropriate ioctl for device); no latency "
                          "timer");
            ASSERT_EQ(p.m_port.ClosePort(), 1);
            termios after{};
            ASSERT_EQ(tcgetattr(pty.m_nMaster, &after), 0);
            EXPECT_EQ(after.c_iflag, before.c_iflag);
            EXPECT_EQ(after.c_oflag, before.c_oflag);
            EXPECT_EQ(after.c_cflag, before.c_cflag);
            EXPECT_EQ(after.c_lflag, before.c_lflag);
            EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
            EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
            EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
        }
        EXPECT_TRUE(p.m_messages.empty());
    }
}

// A write hands the bytes to the driver and returns; a line that stops taking bytes fails
// the write at once with ETIMEDOUT instead of holding the caller: whether its output is
// suspended, or its far end stops reading until the queue is full. Once the line moves again
// the same port writes again.
TEST(SerialPortTest, WritesNeverWaitForTheLine) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kAtOnce = std::chrono::milliseconds(500);  // the old wait was 2 s at least
    CPty pty;
    CPortUnderTest p;
    ASSERT_EQ(p.m_port.OpenPort(pty.m_strDevice, 115200), 1);
    const std::vector<uint8_t> packet(133, 0x5A);

    ASSERT_EQ(tcflow(p.m_port.m_hCom, TCOOFF), 0);
    auto t0 = Clock::now();
    EXPECT_EQ(p.m_port.WritePort(packet.data(), 133), 0);
    EXPECT_LT(Clock::now() - t0, kAtOnce);
    EXPECT_EQ(p.m_port.LastWriteError(), ETIMEDOUT);
    ASSERT_EQ(tcflow(p.m_port.m_hCom, TCOON), 0);

    int nWritten = 0;
    Clock::duration longest{};
    for (int rc = 1; rc == 1 && nWritten < 100000; nWritten += rc) {
        t0 = Clock::now();
        rc = p.m_port.WritePort(packet.data(), 133);
        longest = std::max(longest, Clock::now() - t0);
    }
    EXPECT_GT(nWritten, 1);
    EXPECT_LT(longest, kAtOnce);
    EXPECT_EQ(p.m_port.LastWriteError(), ETIMEDOUT);

    uint8_t buffer[4096];  // the far end reads what waits, and the line moves again
    for (pollfd pfd{pty.m_nMaster, POLLIN, 0};
         poll(&pfd, 1, 100) > 0 && read(pty.m_nMaster, buffer, sizeof buffer) > 0;) {
    }
    EXPECT_EQ(p.m_port.WritePort(packet.data(), 133), 1);
    EXPECT_EQ(p.m_port.ClosePort(), 1);
    EXPECT_TRUE(p.m_messages.empty());
}

// A pseudo-terminal keeps no count of the bytes its far end has not read (TIOCOUTQ on it is
// always 0), so this port takes that count from the master side; all else is the port's own.
class CUnreadPtyPort : public CSerialPort {
public:
    CUnreadPtyPort(CCommQueue& events, int nMaster)
        : CSerialPort(events, nullptr), m_nMaster(nMaster) {}

protected:
    int PendingOutput() const override {
        int nUnread = 0;
        return ioctl(m_nMaster, FIONREAD, &nUnread) == 0 ? nUnread : -1;
    }

private:
    int m_nMaster;
};

// The drain watch, run as an owner's loop runs it: bytes that stop moving for 2 s are one
// WM_COMM_FAILED with ETIMEDOUT, and the watch then stops; bytes the far end reads end the
// watch with nothing posted.
TEST(SerialPortTest, DrainWatchFindsAStalledLineThroughItsDeadlines) {
    using Clock = std::chrono::steady_clock;
    for (const bool bFarEndReads : {false, true}) {
        SCOPED_TRACE(bFarEndReads ? "read" : "never read");
        CPty pty;
        CCommQueue queue;
        CUnreadPtyPort port(queue, pty.m_nMaster);
        EXPECT_EQ(port.NextDeadline(), Clock::time_point::max());
        ASSERT_EQ(port.OpenPort(pty.m_strDevice, 115200), 1);
        // The first packet reaches the master side a moment after the write; the second
        // then finds it still unread.
        const std::vector<uint8_t> packet(133, 0x5A);
        ASSERT_EQ(port.WritePort(packet.data(), 133), 1);
        pollfd master{pty.m_nMaster, POLLIN, 0};
        ASSERT_EQ(poll(&master, 1, 5000), 1);
        ASSERT_EQ(port.WritePort(packet.data(), 133), 1);
        const auto tWritten = Clock::now();
        EXPECT_LT(port.NextDeadline(), Clock::time_point::max());
        uint8_t buffer[512];
        for (size_t nRead = 0; bFarEndReads && nRead < 2 * packet.size();) {
            const ssize_t n = read(pty.m_nMaster, buffer, sizeof buffer);
            ASSERT_GT(n, 0);
            nRead += static_cast<size_t>(n);
        }
        std::vector<CCommEvent> events;
        while (events.empty() && port.NextDeadline() != Clock::time_point::max() &&
               Clock::now() < tWritten + std::chrono::seconds(20)) {
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(port.NextDeadline() - Clock::now());
            pollfd pfd{queue.Fd(), POLLIN, 0};
            poll(&pfd, 1, static_cast<int>(std::max<long>(wait.count(), 0)));
            port.CheckDeadlines();
            events = queue.Take();
        }
        EXPECT_EQ(port.NextDeadline(), Clock::time_point::max());
        if (bFarEndReads) {
            EXPECT_TRUE(events.empty());
        } else {
            EXPECT_GE(Clock::now() - tWritten, std::chrono::seconds(2));
            ASSERT_EQ(events.size(), 1u);
            EXPECT_EQ(events[0].nMessage, WM_COMM_FAILED);
            EXPECT_EQ(events[0].wParam, uintptr_t{ETIMEDOUT});
            EXPECT_EQ(events[0].strText,
                      "A problem occured while trying to write to the Com Port: " +
                          std::to_string(ETIMEDOUT));
            port.CheckDeadlines();  // one failure, however often the loop looks
            EXPECT_TRUE(queue.Take().empty());
        }
        EXPECT_EQ(port.ClosePort(), 1);
    }
}

}  // namespace
