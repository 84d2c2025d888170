// A real ser2net on loopback in front of one serial device (a projector's pseudo-terminal
// link): RFC 2217 on one port, raw TCP on another and plain telnet (which refuses the COM-PORT
// option) on a third, all with the device set to 9600 baud, so that a rate asked for over
// RFC 2217 can be told from the server's own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "ToolRunner.h"

namespace orvtest {

// A socket bound to a loopback port of the kernel's pick, listening with nBacklog unless that
// is negative; addr and nPort say where.
inline int LoopbackSocket(int nBacklog, sockaddr_in& addr, uint16_t& nPort) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (nBacklog >= 0) {
        listen(fd, nBacklog);
    }
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLength);
    nPort = ntohs(addr.sin_port);
    return fd;
}

// A loopback port nobody listens on (the kernel's pick, released again).
inline uint16_t FreeLoopbackPort() {
    sockaddr_in addr;
    uint16_t nPort = 0;
    close(LoopbackSocket(-1, addr, nPort));
    return nPort;
}

// A loopback port whose listener never accepts and whose backlog is full: a connection to it
// is never answered, as behind a dead link, yet no network is needed. Silent() says whether
// the queue could be filled.
class CSilentListener {
public:
    CSilentListener() {
        sockaddr_in addr{};
        m_nListen = LoopbackSocket(0, addr, m_nPort);
        for (int i = 0; i < 8 && !m_bSilent; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            m_fillers.push_back(fd);
            if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ||
                errno != EINPROGRESS) {
                continue;
            }
            pollfd pfd{fd, POLLOUT, 0};
            m_bSilent = poll(&pfd, 1, 200) == 0;
        }
    }
    ~CSilentListener() {
        for (const int fd : m_fillers) {
            close(fd);
        }
        close(m_nListen);
    }
    CSilentListener(const CSilentListener&) = delete;
    CSilentListener& operator=(const CSilentListener&) = delete;

    bool Silent() const { return m_bSilent; }
    std::string Url(const char* pScheme) const {
        return std::string(pScheme) + "://127.0.0.1:" + std::to_string(m_nPort);
    }

private:
    int m_nListen = -1;
    uint16_t m_nPort = 0;
    bool m_bSilent = false;
    std::vector<int> m_fillers;
};

// Whether something listens on the loopback port (read from /proc, without connecting: a
// connection would make ser2net open the device).
inline bool ListeningOnLoopback(uint16_t nPort) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X 00000000:0000 0A", nPort);
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        if (line.find(wanted) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class CSer2net {
public:
    ~CSer2net() { Stop(); }

    // Writes dir/ser2net.yaml for device and starts ser2net on it; true once every port
    // listens (within 20 s).
    bool Start(const TempDir& dir, const std::string& device) {
        m_nTelnetPort = FreeLoopbackPort();
        m_nRawPort = FreeLoopbackPort();
        m_nPlainPort = FreeLoopbackPort();
        std::string config;
        for (const auto& [pName, pAccepter, nPort] :
             {std::tuple{"telnet", "telnet(rfc2217),tcp", m_nTelnetPort},
              {"raw", "tcp", m_nRawPort},
              {"plain", "telnet,tcp", m_nPlainPort}}) {
            config += std::string("connection: &") + pName + "\n  accepter: " + pAccepter +
                      ",127.0.0.1," + std::to_string(nPort) + "\n  connector: serialdev," + device +
                      ",9600n81,local\n";
        }
        config = dir.Write("ser2net.yaml", config);
        if (!m_process.Start("/usr/sbin/ser2net",
                             {"-n", "-u", "-P", dir / "ser2net.pid", "-c", config})) {
            return false;
        }
        m_bRunning = true;
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(ListeningOnLoopback(m_nTelnetPort) && ListeningOnLoopback(m_nRawPort) &&
                 ListeningOnLoopback(m_nPlainPort))) {
            if (std::chrono::steady_clock::now() >= tEnd) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    void Stop() {
        if (m_bRunning) {
            m_bRunning = false;
            kill(m_process.Pid(), SIGTERM);
            m_process.Wait(10000);
        }
    }

    std::string Rfc2217Url() const {
        return "rfc2217://127.0.0.1:" + std::to_string(m_nTelnetPort);
    }
    std::string RawUrl() const { return "tcp://127.0.0.1:" + std::to_string(m_nRawPort); }
    // A telnet server without RFC 2217, named as one with it.
    std::string PlainTelnetUrl() const {
        return "rfc2217://127.0.0.1:" + std::to_string(m_nPlainPort);
    }

private:
    CToolProcess m_process;
    bool m_bRunning = false;
    uint16_t m_nTelnetPort = 0;
    uint16_t m_nRawPort = 0;
    uint16_t m_nPlainPort = 0;
};

}  // namespace orvtest
