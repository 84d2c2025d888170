#include "InterruptWatch.h"

#include <sys/signalfd.h>
#include <unistd.h>

CInterruptWatch::CInterruptWatch() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, &m_oldMask) != 0) {
        return;
    }
    m_nFd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (m_nFd < 0) {
        pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
    }
}

CInterruptWatch::~CInterruptWatch() {
    if (m_nFd < 0) {
        return;
    }
    // A signal left pending would take its default action the moment the mask is restored.
    Take();
    close(m_nFd);
    pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
}

int CInterruptWatch::Take() {
    int nSignal = 0;
    signalfd_siginfo info{};
    while (m_nFd >= 0 && read(m_nFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        nSignal = static_cast<int>(info.ssi_signo);
    }
    return nSignal;
}
