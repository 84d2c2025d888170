// CInterruptWatch: turns SIGINT, SIGTERM and SIGHUP (the terminal closed) into a call on the
// event loop's thread, so that Ctrl+C during a transfer closes the port like the wizard's
// Cancel instead of killing the process with the port in use.
//
// No signal handler runs: the watch blocks the three signals in the thread that creates it and
// reads them from a signalfd through a socket notifier. Every other thread of the process must
// have them blocked too (the port's reader threads start with them blocked), so the kernel keeps
// them pending for the descriptor instead of running their default action elsewhere.
//
// One watch at a time, on the thread that runs the event loop; it needs a QCoreApplication.
// Destroying it discards what is still pending and restores the thread's signal mask.
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

    // False when the descriptor could not be made; the signals then keep their default action.
    bool IsActive() const { return m_pNotifier != nullptr; }

private:
    void OnReadable();
    void Drain(int& nLastSignal);

    std::function<void(int)> m_onSignal;
    int m_nFd = -1;
    std::unique_ptr<QSocketNotifier> m_pNotifier;
    sigset_t m_oldMask{};
};
