// CInterruptWatch: SIGINT, SIGTERM and SIGHUP (the terminal closed) as a descriptor that the
// event loop polls, so that Ctrl+C during a transfer closes the port like the wizard's Cancel
// instead of killing the process with the port in use.
//
// No signal handler runs: the watch blocks the three signals in the thread that creates it and
// reads them from a signalfd. Every other thread of the process must have them blocked too (the
// port's reader threads start with them blocked), so the kernel keeps them pending for the
// descriptor instead of running their default action elsewhere.
//
// One watch at a time, on the thread that runs the loop. Destroying it discards what is still
// pending and restores the thread's signal mask.
#pragma once

#include <signal.h>

class CInterruptWatch {
public:
    CInterruptWatch();
    ~CInterruptWatch();
    CInterruptWatch(const CInterruptWatch&) = delete;
    CInterruptWatch& operator=(const CInterruptWatch&) = delete;

    // Readable while a signal is pending; -1 when the descriptor could not be made (the
    // signals then keep their default action).
    int Fd() const { return m_nFd; }
    // The last of the signals pending, which are taken; 0 when none is.
    int Take();

private:
    int m_nFd = -1;
    sigset_t m_oldMask{};
};
