// CReadThread: the program's one worker thread. While its port is open it waits on the port
// (at most 5000 ms at a time, plus a wake-up descriptor), reads one byte per read and posts
// each byte, in order, as a WM_COMM_BYTE event to its target on the user-interface thread.
// It reads nothing of the sender and holds no lock that the user-interface thread takes.
//
// Parking: while the port is closed the thread waits at a safe point. Park() (called by
// ClosePort with the open flag already cleared) wakes it and returns once it has parked; the
// caller may then close the descriptor. Resume(fd) makes it read the new descriptor. The
// destructor ends and joins the thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class QObject;

class CReadThread {
public:
    CReadThread(QObject* pTarget, const std::atomic<bool>& bPortOpen);
    virtual ~CReadThread();

    // Starts the thread on its first call; afterwards makes the parked thread read nFd.
    void Resume(int nFd);
    // Wakes the thread and waits until it is parked.
    void Park();

private:
    void Run();

    QObject* m_pPage;  // event target, not owned
    const std::atomic<bool>& m_bPortOpen;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nFd = -1;
    int m_wake[2] = {-1, -1};  // pipe that interrupts the reader's wait
    bool m_bReading = false;   // what the owner wants
    bool m_bParked = true;     // what the thread is doing
    bool m_bQuit = false;
};
