#include "SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

#include "PortDiagnostics.h"
#include "ReadThread.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kOpenFailed[] = "Port already open (by another application) or does not exist!";
constexpr char kSetupFailed[] = "Error setting Com port status!";

// The two line rates: 115200 when asked for exactly that, 57600 for anything else.
struct LineSpeed {
    int nRate;
    speed_t speed;
};
constexpr LineSpeed kFast{115200, B115200};
constexpr LineSpeed kSlow{57600, B57600};

const LineSpeed& SpeedFor(int nBaudRate) {
    return nBaudRate == kFast.nRate ? kFast : kSlow;
}

// A write fails when the line takes nothing for this long...
constexpr milliseconds kStallLimit{2000};

// ...or when it takes longer than twice its transmission time (8N1: 10 bits a byte) plus the
// stall limit.
milliseconds WriteLimit(uint32_t nLength, int nRate) {
    return kStallLimit + milliseconds(uint64_t{nLength} * 10 * 1000 * 2 / unsigned(nRate));
}

// Waits for room in the output queue until tLimit. False on timeout or a failed line.
bool WaitWritable(int fd, Clock::time_point tLimit) {
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(tLimit - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        const int rc = poll(&pfd, 1, static_cast<int>(left.count()) + 1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (rc > 0) {
            return (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
        }
    }
}

// Bytes still in the driver's output queue, or in the transmitter itself (one byte) where
// the driver can tell. -1 when the driver cannot say at all.
int PendingOutput(int fd) {
    int nQueued = 0;
    if (ioctl(fd, TIOCOUTQ, &nQueued) != 0) {
        return -1;
    }
    if (nQueued > 0) {
        return nQueued;
    }
    unsigned nLineStatus = 0;
    if (ioctl(fd, TIOCSERGETLSR, &nLineStatus) == 0 && (nLineStatus & TIOCSER_TEMT) == 0) {
        return 1;  // the UART's own buffer is still sending
    }
    return 0;
}

// Waits until the bytes written have left the port. This stands in for tcdrain, which has no
// time limit: a line that stops draining must not hold the caller for ever. Returns 0 when
// drained, ETIMEDOUT when the line stalled, EIO when the driver no longer answers (hang-up).
int WaitDrained(int fd, int nRate, Clock::time_point tLimit) {
    auto tStall = Clock::now() + kStallLimit;
    int nLast = -1;
    for (;;) {
        const int nPending = PendingOutput(fd);
        if (nPending <= 0) {
            return nPending == 0 ? 0 : EIO;
        }
        const auto now = Clock::now();
        if (nPending != nLast) {
            nLast = nPending;
            tStall = now + kStallLimit;
        }
        if (now >= tLimit || now >= tStall) {
            return ETIMEDOUT;
        }
        // About the time the pending bytes need, within 0.1 to 10 ms.
        const auto us = std::chrono::microseconds(int64_t{nPending} * 10'000'000 / nRate);
        std::this_thread::sleep_for(
            std::clamp(us, std::chrono::microseconds(100), std::chrono::microseconds(10'000)));
    }
}

}  // namespace

CSerialPort::CSerialPort(QObject* pTarget, MessageSink sink)
    : m_pReadThread(std::make_unique<CReadThread>(pTarget, m_bPortOpen)), m_sink(std::move(sink)) {}

CSerialPort::~CSerialPort() {
    ClosePort();
    m_pReadThread.reset();  // ends and joins the thread while the open flag still exists
}

std::string CSerialPort::DevicePath(const std::string& portName) {
    if (!portName.empty() && portName.front() == '/') {
        return portName;
    }
    if (portName.size() <= 3 || portName.compare(0, 3, "COM") != 0) {
        return {};
    }
    const char* pFirst = portName.data() + 3;
    const char* pLast = portName.data() + portName.size();
    if (*pFirst < '0' || *pFirst > '9') {
        return {};  // from_chars would take a sign
    }
    int n = 0;
    const auto [pEnd, ec] = std::from_chars(pFirst, pLast, n);
    if (ec != std::errc() || pEnd != pLast || n < 1) {
        return {};
    }
    return "/dev/ttyS" + std::to_string(n - 1);
}

void CSerialPort::Tell(const std::string& message) {
    if (m_sink) {
        m_sink(message);
    }
}

int CSerialPort::LineRate(int nBaudRate) {
    return SpeedFor(nBaudRate).nRate;
}

int CSerialPort::FailOpen(int fd, const char* pMessage, std::string strDetail) {
    if (fd >= 0) {
        close(fd);
    }
    m_strDetail = std::move(strDetail);
    Tell(pMessage);
    return 0;
}

int CSerialPort::OpenPort(const std::string& portName, int nBaudRate) {
    if (m_bPortOpen.load()) {
        return 1;
    }
    m_hCom = -1;
    m_strDetail.clear();
    m_strPath = DevicePath(portName);
    const std::string& path = m_strPath;
    if (path.empty()) {
        return FailOpen(-1, kOpenFailed,
                        "\"" + portName +
                            "\" names no serial device; give COMn or a device path such as "
                            "/dev/ttyUSB0");
    }
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return FailOpen(-1, kOpenFailed, OpenFailureDetail(path, errno));
    }
    // TIOCEXCL does not stop privileged openers; the lock (held as long as this descriptor)
    // also stops them when they take it too, as a second copy of this program does.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return FailOpen(fd, kOpenFailed, InUseDetail(path));
    }
    if (!isatty(fd)) {
        return FailOpen(fd, kSetupFailed, path + " is not a serial line");
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return FailOpen(fd, kOpenFailed, InUseDetail(path));
    }
    // A program that opened the line without a lock would read the projector's answers.
    const std::vector<PortUser> users = FindPortUsers(path);
    if (!users.empty()) {
        ioctl(fd, TIOCNXCL);
        return FailOpen(fd, kOpenFailed, HeldOpenDetail(path, users));
    }

    const LineSpeed& line = SpeedFor(nBaudRate);
    m_dcb = termios{};
    cfmakeraw(&m_dcb);
    m_dcb.c_iflag &= ~(IXON | IXOFF | IXANY);
    m_dcb.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
    m_dcb.c_cflag |= CS8 | CREAD | CLOCAL;
    m_dcb.c_cc[VMIN] = 1;
    m_dcb.c_cc[VTIME] = 0;
    cfsetispeed(&m_dcb, line.speed);
    cfsetospeed(&m_dcb, line.speed);
    // tcsetattr succeeds when any part of the settings took; read back what matters.
    termios applied{};
    if (tcsetattr(fd, TCSANOW, &m_dcb) != 0 || tcgetattr(fd, &applied) != 0 ||
        cfgetospeed(&applied) != line.speed ||
        (applied.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) != CS8) {
        const int nError = errno;
        ioctl(fd, TIOCNXCL);
        return FailOpen(fd, kSetupFailed,
                        path + " refuses " + std::to_string(line.nRate) + " baud 8N1 (" +
                            std::strerror(nError) + ")");
    }
    m_nLineRate = line.nRate;
    // DTR and RTS inactive; drivers without modem lines (pseudo-terminals) refuse this.
    int nLines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &nLines);

    m_hCom = fd;
    m_bPortOpen.store(true);
    if (!m_pReadThread->Resume(fd)) {
        m_bPortOpen.store(false);
        m_pReadThread->Park();
        ioctl(fd, TIOCNXCL);
        m_hCom = -1;
        return FailOpen(fd, kSetupFailed, "the reader thread for " + path + " cannot start");
    }
    return 1;
}

int CSerialPort::ClosePort() {
    if (!m_bPortOpen.load()) {
        return 1;
    }
    m_bPortOpen.store(false);
    m_pReadThread->Park();
    // What a failed write left behind would otherwise hold close() until it has drained.
    tcflush(m_hCom, TCOFLUSH);
    ioctl(m_hCom, TIOCNXCL);
    const int rc = close(m_hCom);
    const int nError = errno;
    m_hCom = -1;
    if (rc != 0) {
        Tell("Close Serial Port failed " + std::to_string(nError));
        return 0;
    }
    return 1;
}

int CSerialPort::WritePort(const void* pBuffer, uint32_t nLength) {
    m_nWriteError = 0;
    if (!m_bPortOpen.load() || m_hCom < 0 || (pBuffer == nullptr && nLength > 0)) {
        m_nWriteError = EBADF;
        return 0;
    }
    const int nRate = m_nLineRate;
    const auto tLimit = Clock::now() + WriteLimit(nLength, nRate);
    const auto* p = static_cast<const unsigned char*>(pBuffer);
    uint32_t nLeft = nLength;
    while (nLeft > 0) {
        const ssize_t n = write(m_hCom, p, nLeft);
        if (n > 0) {
            p += n;
            nLeft -= static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_nWriteError = errno;
            return 0;
        }
        const auto tWait = std::min(tLimit, Clock::now() + kStallLimit);
        if (!WaitWritable(m_hCom, tWait)) {
            m_nWriteError = Clock::now() >= tWait ? ETIMEDOUT : EIO;  // stalled, or hung up
            return 0;
        }
    }
    m_nWriteError = WaitDrained(m_hCom, nRate, tLimit);
    return m_nWriteError == 0 ? 1 : 0;
}
