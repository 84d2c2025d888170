#include "SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>

#include "CommEvents.h"
#include "NetworkLink.h"
#include "PortAddress.h"
#include "PortDiagnostics.h"
#include "ReadThread.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kOpenFailed = PORT_OPEN_FAILED;
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

// Bytes that sit in the output queue without moving for this long are a stalled line.
constexpr milliseconds kStallLimit{2000};
constexpr milliseconds kDrainLook{100};
constexpr char kWriteProblem[] = "A problem occured while trying to write to the Com Port: ";

// The adapter latency timer while the port is open: the lowest the adapters accept.
constexpr int kLatencyTimerMs = 1;

}  // namespace

int CSerialPort::PendingOutput() const {
    const int fd = m_hCom;
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

CSerialPort::CSerialPort(CCommQueue& events, MessageSink sink)
    : m_pReadThread(std::make_unique<CReadThread>(events, m_bPortOpen)),
      m_sink(std::move(sink)),
      m_events(events) {}

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
    if (CPortAddress::IsNetwork(portName)) {
        return OpenNetworkPort(portName, nBaudRate);
    }
    m_hCom = -1;
    m_strDetail.clear();
    m_strLatencyNote.clear();
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

    m_bLineSaved = tcgetattr(fd, &m_savedLine) == 0;
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
        RestoreLine(fd);
        ioctl(fd, TIOCNXCL);
        return FailOpen(fd, kSetupFailed,
                        path + " refuses " + std::to_string(line.nRate) + " baud 8N1 (" +
                            std::strerror(nError) + ")");
    }
    // DTR and RTS inactive; drivers without modem lines (pseudo-terminals) refuse this.
    int nLines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &nLines);
    LowerLatency(fd);

    m_hCom = fd;
    m_bPortOpen.store(true);
    if (m_events.Fd() < 0 || !m_pReadThread->Resume(fd)) {
        m_bPortOpen.store(false);
        m_pReadThread->Park();
        RestoreLine(fd);
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
    m_tDrainLook = Clock::time_point::max();
    if (m_pNetwork != nullptr) {
        int nError = 0;
        const int rc = m_pNetwork->Close(nError);
        m_pNetwork.reset();
        m_hCom = -1;
        if (rc == 0) {
            Tell("Close Serial Port failed " + std::to_string(nError));
        }
        return rc;
    }
    // What a failed write left behind would otherwise hold close() until it has drained.
    tcflush(m_hCom, TCOFLUSH);
    RestoreLine(m_hCom);
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
    if (!m_bPortOpen.load() || (m_hCom < 0 && m_pNetwork == nullptr) ||
        (pBuffer == nullptr && nLength > 0)) {
        m_nWriteError = EBADF;
        return 0;
    }
    if (m_pNetwork != nullptr) {
        if (!m_pNetwork->IsConnected()) {
            m_nWriteError = ENOTCONN;  // the reader is still connecting
            return 0;
        }
        const int rc = m_pNetwork->Write(pBuffer, nLength);
        m_nWriteError = m_pNetwork->LastWriteError();
        return rc;
    }
    const auto* p = static_cast<const unsigned char*>(pBuffer);
    uint32_t nLeft = nLength;
    while (nLeft > 0) {
        const ssize_t n = write(m_hCom, p, nLeft);
        if (n > 0) {
            p += n;
            nLeft -= static_cast<uint32_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Stop-and-wait leaves the queue empty before each packet: no room means the
            // line has stopped taking bytes.
            m_nWriteError = ETIMEDOUT;
            return 0;
        } else {
            m_nWriteError = n < 0 ? errno : EIO;
            return 0;
        }
    }
    const int nPending = PendingOutput();
    if (nPending > 0) {
        m_nDrainLast = nPending;
        m_tDrainMoved = Clock::now();
        m_tDrainLook = m_tDrainMoved + kDrainLook;
    }
    return 1;
}

void CSerialPort::CheckDeadlines() {
    const auto now = Clock::now();
    if (now < m_tDrainLook) {
        return;
    }
    const int nPending = m_bPortOpen.load() && m_pNetwork == nullptr ? PendingOutput() : 0;
    if (nPending <= 0) {
        m_tDrainLook = Clock::time_point::max();  // drained, closed, or the driver cannot tell
        return;
    }
    if (nPending != m_nDrainLast) {
        m_nDrainLast = nPending;
        m_tDrainMoved = now;
    } else if (now - m_tDrainMoved >= kStallLimit) {
        m_tDrainLook = Clock::time_point::max();
        m_events.Post(
            {WM_COMM_FAILED, ETIMEDOUT, 0, kWriteProblem + std::to_string(ETIMEDOUT), {}});
        return;
    }
    m_tDrainLook = now + kDrainLook;
}

void CSerialPort::LowerLatency(int fd) {
    std::string driverNote;
    m_bLowLatencySet = false;
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        driverNote = std::string("no low-latency mode (") + std::strerror(errno) + ")";
    } else if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        driverNote = "low-latency mode already on";
    } else {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(fd, TIOCSSERIAL, &serial) == 0) {
            m_bLowLatencySet = true;
            driverNote = "low-latency mode on";
        } else {
            driverNote = std::string("low-latency mode refused (") + std::strerror(errno) + ")";
        }
    }

    std::string timerNote;
    const CLatencyTimer::Result timer = m_latencyTimer.Lower(m_strPath, kLatencyTimerMs);
    const std::string before = std::to_string(timer.nBefore) + " ms";
    switch (timer.outcome) {
        case CLatencyTimer::Outcome::NONE:
            timerNote = "no latency timer";
            break;
        case CLatencyTimer::Outcome::UNCHANGED:
            timerNote = "latency timer already " + before;
            break;
        case CLatencyTimer::Outcome::SET:
            timerNote = "latency timer " + before + " -> " + std::to_string(timer.nAfter) +
                        " ms until the port closes";
            break;
        case CLatencyTimer::Outcome::REFUSED:
            timerNote = "latency timer left at " + before + " (" + timer.strReason +
                        "; the package's udev rule sets " + std::to_string(kLatencyTimerMs) +
                        " ms when the adapter is plugged in)";
            break;
    }
    m_strLatencyNote = m_strPath + ": " + driverNote + "; " + timerNote;
}

void CSerialPort::RestoreLine(int fd) {
    std::string strIgnored;
    m_latencyTimer.Restore(strIgnored);  // a gone adapter has nothing left to restore
    if (m_bLowLatencySet) {
        m_bLowLatencySet = false;
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~ASYNC_LOW_LATENCY;
            ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    if (m_bLineSaved) {
        m_bLineSaved = false;
        tcsetattr(fd, TCSANOW, &m_savedLine);
    }
}

int CSerialPort::OpenNetworkPort(const std::string& portName, int nBaudRate) {
    CPortAddress address;
    m_hCom = -1;
    m_strDetail.clear();
    m_strPath = portName;
    if (!CPortAddress::Parse(portName, address)) {
        return FailOpen(-1, kOpenFailed,
                        portName + ": not HOST:PORT; give rfc2217://HOST:PORT or tcp://HOST:PORT");
    }
    m_strLatencyNote.clear();
    m_pNetwork = std::make_unique<CNetworkLink>();
    m_pNetwork->SetTarget(address, LineRate(nBaudRate));
    m_bPortOpen.store(true);
    if (m_events.Fd() < 0 || !m_pReadThread->Resume(-1, m_pNetwork.get())) {
        m_bPortOpen.store(false);
        m_pReadThread->Park();
        m_pNetwork.reset();
        m_hCom = -1;
        return FailOpen(-1, kSetupFailed, "the reader thread for " + portName + " cannot start");
    }
    return 1;
}

std::string CSerialPort::WrongScheme() const {
    return m_pNetwork != nullptr ? m_pNetwork->WrongScheme() : std::string();
}
