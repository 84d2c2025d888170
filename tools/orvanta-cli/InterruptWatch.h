// CInterruptWatch: turns SIGINT, SIGTERM and SIGHUP (the terminal closed) into a call on the
// event loop's thread, so that Ctrl+C during a transfer closes the port like the wizard's
// Cancel instead of killing the process with the port in use. The signal handler only writes the
// signal number into a pipe; a socket notifier reads it on the thread that created the watch.
//
// One watch at a time; it needs a QCoreApplication, and restores the previous handlers when
// destroyed.
#pragma once

#include <signal.h>

#include <functional>
#include <memory>

class QSocketNotifier;

class CInterruptWatch {
public:
    explicit CInterruptWatch(std::function<void(int)> onSignal);
    ~CInterruptWatch();
    CInterruptWatch(const CInterruptWatch&) = delete;
    CInterruptWatch& operator=(const CInterruptWatch&) = delete;

    // False when the pipe could not be made; the signals then keep their default action.
    bool IsActive() const { return m_pNotifier != nullptr; }

private:
    static void Handler(int nSignal);
    void OnReadable();

    std::function<void(int)> m_onSignal;
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    struct sigaction m_oldHup {};
};
