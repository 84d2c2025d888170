#include "ReadThread.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "CommEvents.h"
#include "NetworkLink.h"

namespace {

constexpr int kWaitMs = 5000;
// Read errors in a row after which the port counts as failed.
constexpr int kMaxReadErrors = 3;

std::string ReadProblem(int nError) {
    return "A problem occured while trying to read from the Com Port: " + std::to_string(nError);
}

// Errors after which the descriptor will never deliver another byte.
bool IsFatal(int nError) {
    return nError == EIO || nError == ENXIO || nError == ENODEV || nError == EBADF;
}

}  // namespace

CReadThread::CReadThread(CCommQueue& events, const std::atomic<bool>& bPortOpen)
    : m_events(events), m_bPortOpen(bPortOpen) {
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = m_wake[1] = -1;  // Resume reports it
    }
}

CReadThread::~CReadThread() {
    {
        std::lock_guard lock(m_mutex);
        m_bQuit = true;
        m_bReading = false;
    }
    m_cv.notify_all();
    Wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int& fd : m_wake) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

bool CReadThread::Resume(int nFd, CNetworkLink* pLink) {
    if (m_wake[0] < 0) {
        return false;  // without the pipe Park could not interrupt the wait
    }
    {
        std::lock_guard lock(m_mutex);
        m_nFd = nFd;
        m_pLink = pLink;
        m_bReading = true;
        m_bFailed = false;
    }
    if (m_thread.joinable()) {
        m_cv.notify_all();
        return true;
    }
    // The thread starts with the stop signals blocked (it inherits the mask), so that they
    // reach the event loop's thread, where a program may watch them, and never this one.
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stops, &old);
    try {
        m_thread = std::thread(&CReadThread::Run, this);
    } catch (const std::system_error&) {
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        std::lock_guard lock(m_mutex);
        m_bReading = false;
        m_nFd = -1;
        m_pLink = nullptr;
        return false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return true;
}

void CReadThread::Park() {
    std::unique_lock lock(m_mutex);
    m_bReading = false;
    Wake();
    m_cv.wait(lock, [this] { return m_bParked; });
    m_nFd = -1;
    m_pLink = nullptr;
}

void CReadThread::Wake() {
    if (m_wake[1] >= 0) {
        const char c = 0;
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        [[maybe_unused]] ssize_t n = write(m_wake[1], &c, 1);
    }
}

void CReadThread::DrainWake() {
    char buf[64];
    while (read(m_wake[0], buf, sizeof buf) > 0) {
    }
}

void CReadThread::Post(int nMessage, uintptr_t wParam, std::string text, std::string detail) {
    // A byte carries when it was read, which tells whether it can answer a write.
    const intptr_t lParam = nMessage == WM_COMM_BYTE ? CommClockMicros() : 0;
    m_events.Post({nMessage, wParam, lParam, std::move(text), std::move(detail)});
}

void CReadThread::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // The safe point: nothing is held here but the mutex, which the wait releases.
        while (!m_bQuit && !(m_bReading && !m_bFailed && m_bPortOpen.load())) {
            if (!m_bParked) {
                m_bParked = true;
                m_cv.notify_all();
            }
            m_cv.wait(lock);
        }
        if (m_bQuit) {
            break;
        }
        m_bParked = false;
        // A wake-up left from before this reading period is stale: any Park that matters
        // now writes its own after taking the mutex.
        DrainWake();
        const int nFd = m_nFd;
        CNetworkLink* pLink = m_pLink;
        lock.unlock();
        const bool bAsked = pLink != nullptr ? ReadNetworkWhileOpen(*pLink) : ReadWhileOpen(nFd);
        lock.lock();
        if (!bAsked) {
            m_bFailed = true;
        }
    }
    m_bParked = true;
    m_cv.notify_all();
}

CReadThread::Wait CReadThread::WaitOn(int nFd, int nTimeoutMs, short& events) {
    for (;;) {
        // poll skips a negative descriptor: then only the wake-up and the time count.
        pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {nFd, POLLIN, 0}};
        const int rc = poll(fds, 2, nTimeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            Post(WM_COMM_FAILED, static_cast<uintptr_t>(errno),
                 "Error in waiting for the read operation to finish!");
            return Wait::FAILED;
        }
        if (fds[0].revents != 0) {
            DrainWake();
            return Wait::WOKEN;
        }
        events = fds[1].revents;
        return rc == 0 ? Wait::QUIET : Wait::READY;
    }
}

bool CReadThread::ReadWhileOpen(int nFd) {
    int nErrors = 0;
    while (m_bPortOpen.load()) {
        short events = 0;
        const Wait wait = WaitOn(nFd, kWaitMs, events);
        if (wait == Wait::FAILED) {
            return false;
        }
        if (wait != Wait::READY) {
            // Woken (the owner may want the thread parked) or silence (nothing read, nothing
            // posted): the caller looks at the flags.
            return true;
        }
        if (events & POLLNVAL) {
            Post(WM_COMM_FAILED, EBADF, ReadProblem(EBADF));
            return false;
        }
        unsigned char byte = 0;
        const ssize_t n = read(nFd, &byte, 1);
        if (n == 1) {
            Post(WM_COMM_BYTE, byte);
            nErrors = 0;
            continue;
        }
        // End of file on a terminal means hang-up: no byte will come any more.
        int nError = n == 0 ? EIO : errno;
        if (nError == EINTR || nError == EAGAIN || nError == EWOULDBLOCK) {
            if ((events & (POLLHUP | POLLERR)) == 0) {
                continue;
            }
            nError = EIO;  // an error condition that leaves nothing to read would spin
        }
        if (IsFatal(nError) || ++nErrors >= kMaxReadErrors) {
            Post(WM_COMM_FAILED, static_cast<uintptr_t>(nError), ReadProblem(nError));
            return false;
        }
        if (nErrors == 1) {
            Post(WM_COMM_ERROR, static_cast<uintptr_t>(nError), ReadProblem(nError));
        }
    }
    return true;
}

bool CReadThread::ReadNetworkWhileOpen(CNetworkLink& link) {
    // What the server sent during the negotiation (perhaps the projector's first request) is
    // posted at once rather than with the next bytes.
    bool bReadNow = false;
    if (!link.IsConnected()) {
        int nError = 0;
        std::string detail;
        if (!link.Connect(m_wake[0], nError, detail)) {
            if (nError == ECANCELED) {
                DrainWake();
                return true;
            }
            Post(WM_COMM_FAILED, static_cast<uintptr_t>(nError), PORT_OPEN_FAILED,
                 std::move(detail));
            return false;
        }
        bReadNow = true;
    }
    std::vector<uint8_t> data;
    while (m_bPortOpen.load()) {
        if (bReadNow) {
            bReadNow = false;
        } else {
            // Over the data-rate limit the socket is left alone for a moment (the wake-up still
            // counts), so a flooding server cannot outrun the user-interface thread.
            const auto pause = link.ReceiveWait();
            const bool bPaced = pause.count() > 0;
            short events = 0;
            const Wait wait = bPaced ? WaitOn(-1, static_cast<int>(pause.count()), events)
                                     : WaitOn(link.Fd(), kWaitMs, events);
            if (wait == Wait::FAILED) {
                return false;
            }
            if (wait == Wait::WOKEN) {
                return true;
            }
            if (bPaced) {
                continue;
            }
            if (wait == Wait::QUIET) {
                return true;
            }
        }
        data.clear();
        int nError = 0;
        std::string reason;
        const auto outcome = link.ReceiveFromSocket(data, nError, reason);
        for (const uint8_t byte : data) {
            Post(WM_COMM_BYTE, byte);
        }
        if (outcome != CNetworkLink::RECEIVED) {
            Post(WM_COMM_FAILED, static_cast<uintptr_t>(nError), ReadProblem(nError),
                 link.Address() + ": " + reason);
            return false;
        }
    }
    return true;
}
