#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "LinkTestSupport.h"
#include "SerialPort.h"

namespace {

constexpr char kOpenFailed[] = "Port already open (by another application) or does not exist!";
constexpr char kSetupFailed[] = "Error setting Com port status!";

struct PortUnderTest {
    CRecorder target;
    std::vector<std::string> messages;
    CSerialPort port{&target, [this](const std::string& s) { messages.push_back(s); }};
};

TEST(SerialPortTest, DevicePathAndLineRate) {
    const struct {
        const char* pName;
        const char* pPath;
    } paths[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM4", "/dev/ttyS3"},
        {"COM12", "/dev/ttyS11"},
        {"COM0", ""},
        {"COM", ""},
        {"com1", ""},
        {"COM1 ", ""},
        {"COM-1", ""},
        {"COM+1", ""},
        {"COM1x", ""},
        {"COM99999999999999", ""},
        {"", ""},
        {"ttyUSB0", ""},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/", "/"},
    };
    for (const auto& row : paths) {
        EXPECT_EQ(CSerialPort::DevicePath(row.pName), row.pPath) << '"' << row.pName << '"';
    }
    const struct {
        int nAsked, nRate;
    } rates[] = {{115200, 115200}, {57600, 57600},   {0, 57600},
                 {9600, 57600},    {-115200, 57600}, {115201, 57600}};
    for (const auto& row : rates) {
        EXPECT_EQ(CSerialPort::LineRate(row.nAsked), row.nRate) << row.nAsked;
    }
}

// Each failure shows its one message, leaves the port closed and leaks no descriptor.
TEST(SerialPortTest, OpenFailuresCloseEverything) {
    EnsureApp();
    char file[] = "/tmp/link_tests_XXXXXX";
    const int nFile = mkstemp(file);
    ASSERT_GE(nFile, 0);
    close(nFile);
    const struct {
        std::string name;
        const char* pMessage;
    } rows[] = {
        {"/nonexistent/ttyUSB9", kOpenFailed},
        {"COM0", kOpenFailed},
        {"serial", kOpenFailed},
        {"", kOpenFailed},
        {file, kSetupFailed},
        {"/dev/null", kSetupFailed},
    };
    for (const auto& row : rows) {
        PortUnderTest p;
        const int nFds = CountOpenFds();
        EXPECT_EQ(p.port.OpenPort(row.name, 115200), 0) << row.name;
        EXPECT_EQ(p.messages, std::vector<std::string>{row.pMessage}) << row.name;
        EXPECT_FALSE(p.port.IsOpen());
        EXPECT_EQ(p.port.m_hCom, -1);
        EXPECT_FALSE(p.port.m_bThreadStarted);
        EXPECT_EQ(CountOpenFds(), nFds) << row.name;
        EXPECT_EQ(p.port.WritePort("x", 1), 0);
    }
    unlink(file);
}

TEST(SerialPortTest, SecondOpenerIsRefusedAndFirstKeepsWorking) {
    EnsureApp();
    CPty pty;
    PortUnderTest first;
    PortUnderTest second;
    ASSERT_EQ(first.port.OpenPort(pty.m_strPath, 115200), 1);
    EXPECT_EQ(second.port.OpenPort(pty.m_strPath, 115200), 0);
    EXPECT_EQ(second.messages, std::vector<std::string>{kOpenFailed});
    EXPECT_EQ(second.port.m_hCom, -1);

    pty.Write({0x43});
    ASSERT_TRUE(WaitUntil([&] { return first.target.m_events.size() == 1; }));
    EXPECT_EQ(first.target.m_events[0].wParam, 0x43u);
    EXPECT_TRUE(first.messages.empty());

    // Once the first has let go, the port can be had again.
    EXPECT_EQ(first.port.ClosePort(), 1);
    EXPECT_EQ(second.port.OpenPort(pty.m_strPath, 57600), 1);
}

TEST(SerialPortTest, LineSettingsAsApplied) {
    EnsureApp();
    const struct {
        int nAsked;
        speed_t speed;
    } rows[] = {{115200, B115200}, {57600, B57600}, {0, B57600}, {9600, B57600}};
    CPty pty;
    PortUnderTest p;
    for (const auto& row : rows) {
        ASSERT_EQ(p.port.OpenPort(pty.m_strPath, row.nAsked), 1);
        // The master reports the terminal's settings, independently of what the port stored.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.m_nMaster, &t), 0);
        EXPECT_EQ(cfgetospeed(&t), row.speed) << row.nAsked;
        EXPECT_EQ(cfgetispeed(&t), row.speed) << row.nAsked;
        EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
        EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(p.port.ClosePort(), 1);
    }
    EXPECT_TRUE(p.messages.empty());
}

TEST(SerialPortTest, RepeatedOpenAndCloseAreHarmless) {
    EnsureApp();
    CPty pty;
    PortUnderTest p;
    EXPECT_EQ(p.port.ClosePort(), 1);
    ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
    const int hCom = p.port.m_hCom;
    const int nThreads = CountThreads();
    const int nFds = CountOpenFds();
    EXPECT_EQ(p.port.OpenPort(pty.m_strPath, 57600), 1);
    EXPECT_EQ(p.port.m_hCom, hCom);
    EXPECT_EQ(CountThreads(), nThreads);
    EXPECT_EQ(CountOpenFds(), nFds);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.m_nMaster, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});  // not set up again
    EXPECT_EQ(p.port.ClosePort(), 1);
    EXPECT_EQ(p.port.m_hCom, -1);
    EXPECT_EQ(CountOpenFds(), nFds - 1);
    EXPECT_EQ(p.port.ClosePort(), 1);
    EXPECT_TRUE(p.messages.empty());
}

// Bytes arrive at the other end exactly, also when the write outruns the terminal's buffer.
TEST(SerialPortTest, WritePortDeliversEveryByte) {
    EnsureApp();
    for (size_t nCount : {size_t{1}, size_t{1000}, size_t{200000}}) {
        CPty pty;
        PortUnderTest p;
        ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
        const std::vector<uint8_t> bytes = Pattern(nCount);
        std::vector<uint8_t> got;
        std::thread reader([&] { got = pty.Read(nCount); });
        EXPECT_EQ(p.port.WritePort(bytes.data(), static_cast<uint32_t>(nCount)), 1) << nCount;
        reader.join();
        EXPECT_EQ(got, bytes) << nCount;
    }
}

TEST(SerialPortTest, WritePortGivesUpOnDeadLine) {
    EnsureApp();
    CPty pty;
    PortUnderTest p;
    ASSERT_EQ(p.port.OpenPort(pty.m_strPath, 115200), 1);
    // Nobody reads the other end: the terminal's buffer fills and the line stalls.
    const std::vector<uint8_t> bytes = Pattern(64 * 1024);
    EXPECT_EQ(p.port.WritePort(bytes.data(), static_cast<uint32_t>(bytes.size())), 0);
    // Hung up: the write fails at once.
    pty.CloseMaster();
    EXPECT_EQ(p.port.WritePort(bytes.data(), 1), 0);
    EXPECT_EQ(p.port.ClosePort(), 1);
    EXPECT_EQ(p.port.WritePort(bytes.data(), 1), 0);
}

}  // namespace
