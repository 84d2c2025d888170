#include "InterruptWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>

namespace {
// Written by the handler only; set while a watch exists.
volatile sig_atomic_t g_nWriteFd = -1;
}  // namespace

void CInterruptWatch::Handler(int nSignal) {
    const int nSavedErrno = errno;
    const int nFd = g_nWriteFd;
    if (nFd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(nSignal);
        // A full pipe already holds a pending signal; dropping this one loses nothing.
        [[maybe_unused]] const ssize_t nWritten = write(nFd, &byte, 1);
    }
    errno = nSavedErrno;
}

CInterruptWatch::CInterruptWatch(std::function<void(int)> onSignal)
    : m_onSignal(std::move(onSignal)) {
    if (pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_pipe[0] = m_pipe[1] = -1;
        return;
    }
    g_nWriteFd = m_pipe[1];
    m_pNotifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
    QObject::connect(m_pNotifier.get(), &QSocketNotifier::activated, [this] { OnReadable(); });

    struct sigaction action {};
    action.sa_handler = &CInterruptWatch::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, &m_oldInt);
    sigaction(SIGTERM, &action, &m_oldTerm);
    sigaction(SIGHUP, &action, &m_oldHup);
}

CInterruptWatch::~CInterruptWatch() {
    if (m_pNotifier == nullptr) {
        return;
    }
    sigaction(SIGINT, &m_oldInt, nullptr);
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    sigaction(SIGHUP, &m_oldHup, nullptr);
    g_nWriteFd = -1;
    m_pNotifier.reset();
    close(m_pipe[0]);
    close(m_pipe[1]);
}

void CInterruptWatch::OnReadable() {
    unsigned char byte = 0;
    int nSignal = 0;
    while (read(m_pipe[0], &byte, 1) == 1) {
        nSignal = byte;
    }
    if (nSignal != 0 && m_onSignal) {
        m_onSignal(nSignal);
    }
}
