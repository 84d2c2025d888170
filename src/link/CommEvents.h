// The messages that cross from the reader thread to the user-interface thread, as Qt events
// posted with QCoreApplication::postEvent (which keeps their order).
//
// WM_COMM_BYTE carries one received byte in wParam and, in lParam, the CommClockMicros at
// which the reader read it (later than the read, never earlier), so that the sender can tell a
// byte read before its last write, which cannot answer that write. WM_COMM_ERROR carries a
// message for the user (shown on the user-interface thread, never by the reader).
// WM_COMM_FAILED says the port failed for good (hang-up, adapter gone, repeated read errors);
// it is posted once, with the message in its text, and the reader then parks until the port
// is closed and opened again. A network port whose connection cannot be made (it is made by
// the reader after OpenPort returned) fails with the open message, PORT_OPEN_FAILED, as the
// first line of the text and "ADDRESS: reason" as the second, the detail a failed OpenPort
// would have left.
#pragma once

#include <time.h>

#include <QEvent>
#include <cstdint>
#include <string>

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

class CCommEvent : public QEvent {
public:
    // The Qt event type of every comm message.
    static QEvent::Type EventType() { return static_cast<QEvent::Type>(QEvent::User + 2); }

    CCommEvent(int nMessage, uintptr_t wParam, intptr_t lParam, std::string text = {})
        : QEvent(EventType()),
          m_nMessage(nMessage),
          m_wParam(wParam),
          m_lParam(lParam),
          m_strText(std::move(text)) {}

    int m_nMessage;
    uintptr_t m_wParam;
    intptr_t m_lParam;
    std::string m_strText;
};
