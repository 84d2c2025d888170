// The port under test on a real pseudo-terminal (CPty), with every event it posts and every
// message it shows recorded on the test's thread, taken from its queue the way an owner's
// loop takes them: when the queue's descriptor is readable or the port's deadline has come.
#pragma once

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "CommEvents.h"
#include "SerialPort.h"
#include "ToolRunner.h"

using orvtest::CPty;

struct Received {
    int nMessage;
    uintptr_t wParam;
    intptr_t lParam;
    std::string text;
    std::string detail;
    bool operator==(const Received&) const = default;
};

class CPortUnderTest;

// Every port under test alive now, so that DeliverEvents serves them all.
inline std::vector<CPortUnderTest*>& PortsUnderTest() {
    static std::vector<CPortUnderTest*> ports;
    return ports;
}

class CPortUnderTest {
public:
    CPortUnderTest() { PortsUnderTest().push_back(this); }
    ~CPortUnderTest() { std::erase(PortsUnderTest(), this); }
    CPortUnderTest(const CPortUnderTest&) = delete;
    CPortUnderTest& operator=(const CPortUnderTest&) = delete;

    // Takes what the port posted and looks at its deadline, without waiting.
    void Serve() {
        m_port.CheckDeadlines();
        for (CCommEvent& event : m_queue.Take()) {
            m_events.push_back({event.nMessage, event.wParam, event.lParam,
                                std::move(event.strText), std::move(event.strDetail)});
        }
    }

    CCommQueue m_queue;
    std::vector<Received> m_events;
    std::vector<std::string> m_messages;
    CSerialPort m_port{m_queue, [this](const std::string& s) { m_messages.push_back(s); }};
};

// Serves every port under test until done() holds (true) or for ms milliseconds (false),
// sleeping in poll() on the queues' descriptors and up to the ports' next deadlines.
inline bool DeliverEvents(const std::function<bool()>& done, int ms = 20000) {
    using Clock = std::chrono::steady_clock;
    const auto tEnd = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        for (CPortUnderTest* pPort : PortsUnderTest()) {
            pPort->Serve();
        }
        if (done()) {
            return true;
        }
        const auto now = Clock::now();
        if (now > tEnd) {
            return false;
        }
        auto wake = std::min(tEnd, now + std::chrono::milliseconds(1));
        std::vector<pollfd> fds;
        for (CPortUnderTest* pPort : PortsUnderTest()) {
            fds.push_back({pPort->m_queue.Fd(), POLLIN, 0});
            wake = std::min(wake, pPort->m_port.NextDeadline());
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
        poll(fds.data(), fds.size(), static_cast<int>(std::max<long>(wait.count(), 0)));
    }
}

// Entries of /proc/self/fd or /proc/self/task: the process's descriptors or threads.
inline long CountOf(const char* pFolder) {
    return std::distance(std::filesystem::directory_iterator(pFolder), {});
}
