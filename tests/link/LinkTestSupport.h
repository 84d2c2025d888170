// The port under test on a real pseudo-terminal (CPty), with every event it posts and every
// message it shows recorded on the test's thread.
#pragma once

#include <QCoreApplication>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
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
    bool operator==(const Received&) const = default;
};

class CPortUnderTest : public QObject {
public:
    std::vector<Received> m_events;
    std::vector<std::string> m_messages;
    CSerialPort m_port{this, [this](const std::string& s) { m_messages.push_back(s); }};

protected:
    bool event(QEvent* pEvent) override {
        if (pEvent->type() != CCommEvent::EventType()) {
            return QObject::event(pEvent);
        }
        const auto* p = static_cast<CCommEvent*>(pEvent);
        m_events.push_back({p->m_nMessage, p->m_wParam, p->m_lParam, p->m_strText});
        return true;
    }
};

// Delivers posted events until done() holds (true) or for ms milliseconds (false).
inline bool DeliverEvents(const std::function<bool()>& done, int ms = 20000) {
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (QCoreApplication::processEvents(); !done(); QCoreApplication::processEvents()) {
        if (std::chrono::steady_clock::now() > tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Entries of /proc/self/fd or /proc/self/task: the process's descriptors or threads.
inline long CountOf(const char* pFolder) {
    return std::distance(std::filesystem::directory_iterator(pFolder), {});
}
