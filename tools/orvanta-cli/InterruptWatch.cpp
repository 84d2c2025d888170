#include "InterruptWatch.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace {

sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

CInterruptWatch::CInterruptWatch(std::function<void(int)> onSignal)
    : m_onSignal(std::move(onSignal)) {
    const sigset_t set = WatchedSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, &m_oldMask) != 0) {
        return;
    }
    m_nFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_nFd < 0) {
        pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
        return;
    }
    m_pNotifier = std::make_unique<QSocketNotifier>(m_nFd, QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });
}

CInterruptWatch::~CInterruptWatch() {
    if (m_nFd < 0) {
        return;
    }
    m_pNotifier.reset();
    // A signal left pending would take its default action the moment the mask is restored.
    int nIgnored = 0;
    Drain(nIgnored);
    close(m_nFd);
    pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
}

void CInterruptWatch::Drain(int& nLastSignal) {
    signalfd_siginfo info{};
    while (read(m_nFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        nLastSignal = static_cast<int>(info.ssi_signo);
    }
}

void CInterruptWatch::OnReadable() {
    int nSignal = 0;
    Drain(nSignal);
    if (nSignal != 0 && m_onSignal) {
        m_onSignal(nSignal);
    }
}
