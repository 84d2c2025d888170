// CReadThread: the program's one worker thread per port. While its port is open it waits on
// the port (at most 5000 ms at a time, plus a wake-up descriptor), reads one byte per read and
// posts each byte, in order, as a WM_COMM_BYTE event to its CCommQueue, whose eventfd wakes the
// consumer's loop. It reads nothing of the sender, and the locks it shares with the consumer's
// thread (its own and the queue's) are held for a few instructions at a time, never while it
// waits on the port. It runs with SIGINT, SIGTERM and SIGHUP blocked, so those always reach
// the consumer's thread.
//
// Parking: while the port is closed the thread waits at a safe point. Park() (called by
// ClosePort with the open flag already cleared) wakes it and returns once it has parked; the
// caller may then close the descriptor. Resume(fd) makes it read the new descriptor. The
// destructor ends and joins the thread.
//
// A port that fails for good (hang-up, adapter gone, repeated read errors) yields one
// WM_COMM_FAILED; the thread then parks by itself and posts nothing more until the next
// Resume.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class CCommQueue;
class CNetworkLink;

class CReadThread {
public:
    // Both must outlive this object.
    CReadThread(CCommQueue& events, const std::atomic<bool>& bPortOpen);
    virtual ~CReadThread();

    // Starts the thread on its first call; afterwards makes the parked thread read nFd.
    // False when the thread or its wake-up pipe cannot be made (nothing will read nFd).
    // With pLink (not owned; nFd unused) the thread first connects the link to its target,
    // interruptibly through the wake-up pipe (a connection that fails is posted as the one
    // WM_COMM_FAILED), then reads through the link's receive step and posts the data bytes it
    // yields.
    bool Resume(int nFd, CNetworkLink* pLink = nullptr);
    // Wakes the thread and waits until it is parked.
    void Park();

private:
    void Run();
    // What a wait on the port ended with. FAILED has been posted; WOKEN has drained the pipe.
    enum class Wait { READY, WOKEN, QUIET, FAILED };
    // Waits until nFd (none when negative) is readable, the thread is woken, or nTimeoutMs
    // pass; events gets nFd's poll events when READY.
    Wait WaitOn(int nFd, int nTimeoutMs, short& events);
    // Reads nFd until asked to park (true) or until the port failed for good (false; the
    // WM_COMM_FAILED event has been posted).
    bool ReadWhileOpen(int nFd);
    // The same for a network link: connects it first when it is not yet connected.
    bool ReadNetworkWhileOpen(CNetworkLink& link);
    void Post(int nMessage, uintptr_t wParam, std::string text = {}, std::string detail = {});
    void Wake();
    void DrainWake();

    CCommQueue& m_events;
    const std::atomic<bool>& m_bPortOpen;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nFd = -1;
    CNetworkLink* m_pLink = nullptr;
    int m_wake[2] = {-1, -1};  // pipe that interrupts the reader's wait
    bool m_bReading = false;   // what the owner wants
    bool m_bParked = true;     // what the thread is doing
    bool m_bFailed = false;    // the descriptor failed for good; parked until the next Resume
    bool m_bQuit = false;
};
