// Real pseudo-terminals and an event recorder for the serial link tests.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Makes the process's QCoreApplication on first use (events need it).
void EnsureApp();

struct Received {
    int nMessage;
    uintptr_t wParam;
    intptr_t lParam;
    std::string text;
};

// Records every comm event delivered to it on the test's thread.
class CRecorder : public QObject {
public:
    std::vector<Received> m_events;
    size_t Count(int nMessage) const;

protected:
    bool event(QEvent* pEvent) override;
};

// Delivers posted events until pred holds or 20 s have passed; returns pred().
bool WaitUntil(const std::function<bool()>& pred);
// Delivers posted events for about ms milliseconds.
void Settle(int ms);

// A pseudo-terminal pair: the test holds the master, the port under test opens m_strPath.
class CPty {
public:
    CPty();
    ~CPty();
    void CloseMaster();
    void Write(const std::vector<uint8_t>& bytes);
    // Reads until nCount bytes have come or 20 s have passed.
    std::vector<uint8_t> Read(size_t nCount);

    int m_nMaster = -1;
    std::string m_strPath;
};

// Every value 0..255, then a repeating pattern up to nCount bytes.
std::vector<uint8_t> Pattern(size_t nCount);
int CountOpenFds();
int CountThreads();
