// CSerialPort: the projector's serial line on Linux (termios), and the owner of the reader
// thread that turns received bytes into WM_COMM_BYTE events.
//
// Port names: "COMn" (n from 1) is /dev/ttyS(n-1); a name that begins with "/" is a device
// path used as it stands (/dev/ttyUSB0, a pseudo-terminal); "rfc2217://HOST:PORT" and
// "tcp://HOST:PORT" are serial device servers on the network (CNetworkLink: the same line
// settings through RFC 2217, or raw bytes), read by the same reader thread. Line: raw, 8N1, no flow
// control of any kind, receiver on, modem lines ignored (CLOCAL), DTR and RTS inactive; 115200 baud
// when asked for exactly 115200, 57600 for anything else. The terminal settings the device had
// before OpenPort are put back by ClosePort (and when an open fails after changing them), so a
// console or another program finds the line as it left it.
//
// Latency: the protocol waits for an answer after every packet, so each delay in delivering
// received bytes is paid once per block. OpenPort asks the driver for low latency
// (ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL) and lowers a USB adapter's latency timer
// to 1 ms where sysfs offers a writable one (CLatencyTimer); ClosePort puts both back. Neither
// is needed to open: a driver without them (a pseudo-terminal, an on-board UART) or a timer
// this user may not write leaves the port open as it is, and LatencyNote says what was done.
//
// The port is opened for exclusive use (TIOCEXCL and a non-blocking exclusive flock), so a
// second opener fails; a device that another process holds open without a lock (a terminal
// program, a `cat`) is refused too, since that process would swallow the projector's answers
// (PortDiagnostics.h says which processes can be seen).
//
// Threads: open, write and close run on the user-interface thread. The reader thread is
// created at the first successful open, reads while the port is open and parks (holding
// nothing) while it is closed; ClosePort wakes it and waits until it has parked before the
// descriptor is closed. The destructor closes the port and joins the thread.
//
// The drain watch: bytes a write left in the driver's queue that do not move for 2 s are a
// stalled line. No timer runs for it: NextDeadline says when the owner's loop should next
// call CheckDeadlines, which looks without waiting.
//
// Messages for the user go to the message sink on the calling (user-interface) thread: the
// wizard shows a message box, the command-line tool prints to stderr. Next to each failure of
// OpenPort the port keeps one detail line (LastDetail) with the device, the reason and what
// to do about it.
#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "LatencyTimer.h"

class CCommQueue;
class CReadThread;
class CNetworkLink;

class CSerialPort {
public:
    using MessageSink = std::function<void(const std::string&)>;

    // events receives the reader's events and the drain watch's (CommEvents.h); it must
    // outlive this object.
    CSerialPort(CCommQueue& events, MessageSink sink);
    virtual ~CSerialPort();

    // TRUE (1) when the port is open, also when it already was. FALSE (0) after a failure
    // that has gone to the sink: "Port already open (by another application) or does not
    // exist!" when the device cannot be opened or is held by another opener, "Error setting
    // Com port status!" when it is no terminal or refuses the settings (the descriptor is
    // then closed). LastDetail then says why (for a network port: the address and the
    // reason). A network port never waits here: OpenPort checks the address and returns
    // TRUE, and the reader thread connects (name lookup, connection up to 5 s, the server's
    // answers up to 1 s) before it reads; a connection that fails (refused, unknown host, no
    // answer) comes as one WM_COMM_FAILED whose text is the open message and, on a second
    // line, the address and the reason (CommEvents.h). Writes fail with ENOTCONN until the
    // connection is up.
    int OpenPort(const std::string& portName, int nBaudRate);
    // FALSE only when closing the descriptor failed ("Close Serial Port failed %d"). Closing
    // a network port that is still connecting interrupts the connection at once, but waits
    // for a name lookup in progress to end (the resolver cannot be interrupted).
    int ClosePort();
    // Hands all nLength bytes to the driver's output queue and returns at once; it never
    // waits for the line. 1 when queued; 0 when the port is closed or failed, or when the
    // queue cannot take them all (the line stopped taking bytes: ETIMEDOUT). Bytes that then
    // sit in the queue without moving for 2 s are a stalled line too: CheckDeadlines finds
    // that and posts one WM_COMM_FAILED with the write message and ETIMEDOUT to the queue.
    int WritePort(const void* pBuffer, uint32_t nLength);
    // Why the last WritePort returned 0: an errno value (ETIMEDOUT when the line stalled).
    int LastWriteError() const { return m_nWriteError; }

    // When CheckDeadlines should next look at the output queue; time_point::max() while no
    // written bytes are being watched.
    std::chrono::steady_clock::time_point NextDeadline() const { return m_tDrainLook; }
    // Looks at the output queue without waiting (a no-op before NextDeadline): stops
    // watching once it has drained, the port closed or the driver cannot tell; posts the one
    // stall failure when the count has not moved for 2 s.
    void CheckDeadlines();

    bool IsOpen() const { return m_bPortOpen.load(); }
    // The device path of the last OpenPort ("" when the port text named none).
    const std::string& Path() const { return m_strPath; }
    // Why the last OpenPort failed, in one line; empty after a success.
    const std::string& LastDetail() const { return m_strDetail; }
    // What the last successful OpenPort of a device did about latency, in one line: the
    // driver's low-latency mode and the adapter's timer, each set or why not. Empty for a
    // network port and before any open.
    const std::string& LatencyNote() const { return m_strLatencyNote; }

    // For an open network port whose server is the wrong kind for its scheme, what to use
    // instead (CNetworkLink::WrongScheme); empty otherwise.
    std::string WrongScheme() const;
    // The device path for a port text; empty when the text names no device.
    static std::string DevicePath(const std::string& portName);
    // The line rate OpenPort uses for a requested rate: 115200 or 57600.
    static int LineRate(int nBaudRate);

    int m_hCom = -1;
    std::atomic<bool> m_bPortOpen{false};
    struct termios m_dcb {};  // line settings last applied
    std::unique_ptr<CReadThread> m_pReadThread;

protected:
    // Bytes written to the open device that have not left it yet: the driver's output queue,
    // or the transmitter itself (one byte) where the driver can tell. -1 when it cannot say at
    // all. The drain watch's measure; a pseudo-terminal keeps no such count (always 0).
    virtual int PendingOutput() const;

private:
    void Tell(const std::string& message);
    // Closes fd, keeps strDetail, tells pMessage; returns 0.
    int FailOpen(int fd, const char* pMessage, std::string strDetail);
    // Network ports (rfc2217://, tcp://): the open and the write through m_pNetwork.
    int OpenNetworkPort(const std::string& portName, int nBaudRate);
    // Low latency on the freshly set-up fd, remembered for RestoreLine; sets LatencyNote.
    void LowerLatency(int fd);
    // Puts back what OpenPort changed on fd: the latency settings and the terminal settings.
    void RestoreLine(int fd);

    MessageSink m_sink;
    int m_nWriteError = 0;
    std::string m_strPath;
    std::string m_strDetail;
    std::string m_strLatencyNote;
    termios m_savedLine{};          // the device's settings before OpenPort changed them
    bool m_bLineSaved = false;      // m_savedLine holds them, still to be put back
    bool m_bLowLatencySet = false;  // the driver's low-latency flag was off and is on
    CLatencyTimer m_latencyTimer{"/sys"};
    CCommQueue& m_events;
    std::unique_ptr<CNetworkLink> m_pNetwork;  // set while a network port is open or opening
    int m_nDrainLast = -1;                     // bytes queued at the last look
    std::chrono::steady_clock::time_point m_tDrainMoved;  // when that count last changed
    std::chrono::steady_clock::time_point m_tDrainLook =  // the next look; max(): none
        std::chrono::steady_clock::time_point::max();
};
