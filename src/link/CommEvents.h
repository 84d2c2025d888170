// The messages that cross from the reader thread to the thread that runs the engine, and the
// queue that carries them.
//
// WM_COMM_BYTE carries one received byte in wParam and, in lParam, the CommClockMicros at
// which the reader read it (later than the read, never earlier), so that the sender can tell a
// byte read before its last write, which cannot answer that write. WM_COMM_ERROR carries a
// message for the user (shown on the consumer's thread, never by the reader).
// WM_COMM_FAILED says the port failed for good (hang-up, adapter gone, repeated read errors,
// a stalled write); it is posted once, with the message in strText and, where there is more
// to say than the errno in wParam, the address and the reason in strDetail. The reader then
// parks until the port is closed and opened again. A network port whose connection cannot be
// made (it is made by the reader after OpenPort returned) fails with the open message,
// PORT_OPEN_FAILED, as its text and "ADDRESS: reason" as its detail, the detail a failed
// OpenPort would have left.
//
// CCommQueue: any thread posts, one consumer thread takes. Its eventfd is readable exactly
// while events wait, so the consumer polls it beside its other descriptors.
#pragma once

#include <time.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

inline constexpr int WM_USER = 0x0400;
inline constexpr int WM_COMM_BYTE = WM_USER + 2;  // 1026
inline constexpr int WM_COMM_ERROR = WM_USER + 3;
inline constexpr int WM_COMM_FAILED = WM_USER + 4;

inline constexpr char PORT_OPEN_FAILED[] =
    "Port already open (by another application) or does not exist!";

// Microseconds on the monotonic clock, as both threads see it.
inline int64_t CommClockMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

struct CCommEvent {
    int nMessage = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::string strText;
    std::string strDetail;  // WM_COMM_FAILED: the address and the reason, when known
};

class CCommQueue {
public:
    // Fd() is -1 when no eventfd could be made (the process is out of descriptors); a port
    // refuses to open on such a queue, since its consumer could never be woken.
    CCommQueue();
    ~CCommQueue();
    CCommQueue(const CCommQueue&) = delete;
    CCommQueue& operator=(const CCommQueue&) = delete;

    // Readable (POLLIN) while events are queued.
    int Fd() const { return m_nFd; }
    // Any thread; events are taken in the order they were posted.
    void Post(CCommEvent event);
    // The consumer's thread: everything queued, oldest first; the descriptor stops being
    // readable until the next Post.
    std::vector<CCommEvent> Take();

private:
    int m_nFd = -1;
    std::mutex m_mutex;
    std::vector<CCommEvent> m_events;
};
