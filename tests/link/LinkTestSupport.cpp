#include "LinkTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "CommEvents.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(20);

int CountEntries(const char* pDir) {
    DIR* pD = opendir(pDir);
    if (pD == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(pD) != nullptr) {
        ++n;
    }
    closedir(pD);
    return n;
}
}  // namespace

void EnsureApp() {
    static int argc = 1;
    static char name[] = "link_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* pApp = [] {
        // Runtimes that start helper threads with the first thread (sanitizers) do it now, so
        // that thread counts taken later change only with the port's own reader.
        std::thread([] {}).join();
        return new QCoreApplication(argc, argv);
    }();
    (void)pApp;
}

size_t CRecorder::Count(int nMessage) const {
    size_t n = 0;
    for (const Received& r : m_events) {
        n += r.nMessage == nMessage ? 1 : 0;
    }
    return n;
}

bool CRecorder::event(QEvent* pEvent) {
    if (pEvent->type() != CCommEvent::EventType()) {
        return QObject::event(pEvent);
    }
    const auto* p = static_cast<CCommEvent*>(pEvent);
    m_events.push_back({p->m_nMessage, p->m_wParam, p->m_lParam, p->m_strText});
    return true;
}

bool WaitUntil(const std::function<bool()>& pred) {
    const auto tEnd = Clock::now() + kDeadline;
    while (!pred()) {
        if (Clock::now() > tEnd) {
            return false;
        }
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Settle(int ms) {
    const auto tEnd = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < tEnd) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QCoreApplication::processEvents();
}

CPty::CPty() {
    m_nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char path[128] = {};
    if (m_nMaster < 0 || grantpt(m_nMaster) != 0 || unlockpt(m_nMaster) != 0 ||
        ptsname_r(m_nMaster, path, sizeof path) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_strPath = path;
}

CPty::~CPty() {
    CloseMaster();
}

void CPty::CloseMaster() {
    if (m_nMaster >= 0) {
        close(m_nMaster);
        m_nMaster = -1;
    }
}

void CPty::Write(const std::vector<uint8_t>& bytes) {
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        const ssize_t n = write(m_nMaster, bytes.data() + nDone, bytes.size() - nDone);
        if (n <= 0) {
            throw std::runtime_error("write to the pseudo-terminal failed");
        }
        nDone += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> CPty::Read(size_t nCount) {
    std::vector<uint8_t> bytes;
    const auto tEnd = Clock::now() + kDeadline;
    while (bytes.size() < nCount && Clock::now() < tEnd) {
        pollfd pfd{m_nMaster, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        uint8_t buf[4096];
        const ssize_t n = read(m_nMaster, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
}

std::vector<uint8_t> Pattern(size_t nCount) {
    std::vector<uint8_t> bytes(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        bytes[i] = static_cast<uint8_t>(i < 256 ? i : (i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

int CountOpenFds() {
    return CountEntries("/proc/self/fd");
}
int CountThreads() {
    return CountEntries("/proc/self/task");
}
