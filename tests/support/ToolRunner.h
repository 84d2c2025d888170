// Running the project's programs from tests (output captured, environment and folder given,
// killed at a deadline so that no test can hang), and a pseudo-terminal as a serial line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orvtest {

struct ToolResult {
    int nExit = -1;  // exit status; 128 + n when killed by signal n (137 at the deadline)
    std::string out, err;
};

// A pseudo-terminal: the test holds m_nMaster, others open m_strDevice (empty on failure).
struct CPty {
    CPty() : m_nMaster(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        const char* pPath =
            grantpt(m_nMaster) || unlockpt(m_nMaster) ? nullptr : ptsname(m_nMaster);
        m_strDevice = pPath != nullptr ? pPath : "";
    }
    ~CPty() { close(m_nMaster); }
    CPty(const CPty&) = delete;
    CPty& operator=(const CPty&) = delete;
    void CloseMaster() { close(std::exchange(m_nMaster, -1)); }
    bool Write(const std::vector<uint8_t>& bytes) const {
        return write(m_nMaster, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    int m_nMaster;
    std::string m_strDevice;
};

// A child process, killed when the object goes while the process still runs.
class CToolProcess {
public:
    using Clock = std::chrono::steady_clock;
    ~CToolProcess() { Wait(0); }
    // Starts program (an absolute path, exec'd by env(1)) in folder cwd with the test's
    // environment plus env; stderr a terminal when asked. False when nothing started.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}, const std::string& cwd = {},
               bool bStderrTerminal = false) {
        std::vector<std::string> words{"/usr/bin/env", "-C", cwd.empty() ? "." : cwd};
        for (const auto& [name, value] : env) {
            words.push_back(name + "=" + value);
        }
        words.push_back(program);
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv(words.size() + 1);  // ends with a null pointer
        std::transform(words.begin(), words.end(), argv.begin(), [](auto& w) { return w.data(); });
        int out[2] = {-1, -1}, err[2] = {-1, -1};
        if (bStderrTerminal) {
            err[1] = open(m_pty.m_strDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            err[0] = std::exchange(m_pty.m_nMaster, -1);
        } else if (pipe2(err, O_CLOEXEC) != 0) {
            err[1] = -1;  // nothing starts without stderr
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        const bool bStarted =
            err[1] >= 0 && pipe2(out, O_CLOEXEC) == 0 &&
            posix_spawn_file_actions_adddup2(&actions, out[1], 1) == 0 &&
            posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_fds[0] = out[0];
        m_fds[1] = err[0];
        m_pid = bStarted ? m_pid : -1;
        return bStarted;
    }
    pid_t Pid() const { return m_pid; }
    // The next line of stdout without its end; empty at the deadline or the end of output.
    std::string ReadLine(int nTimeoutMs) {
        const auto tEnd = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while (m_text[0].find('\n', m_nTaken) == std::string::npos && m_fds[0] >= 0 &&
               Clock::now() < tEnd) {
            Pump(tEnd);
        }
        const size_t nEnd = m_text[0].find('\n', m_nTaken);
        const size_t nStart =
            std::exchange(m_nTaken, nEnd == std::string::npos ? m_nTaken : nEnd + 1);
        return nEnd == std::string::npos ? "" : m_text[0].substr(nStart, nEnd - nStart);
    }
    // Reads to the end of output, which is the end of the process (no program here leaves a
    // child holding it), killing it at the deadline: status, stdout after ReadLine's, stderr.
    ToolResult Wait(int nTimeoutMs) {
        const auto tEnd = Clock::now() + std::chrono::milliseconds(nTimeoutMs);
        while ((m_fds[0] >= 0 || m_fds[1] >= 0) && Clock::now() < tEnd) {
            Pump(tEnd);
        }
        if ((m_fds[0] >= 0 || m_fds[1] >= 0) && m_pid > 0) {
            kill(m_pid, SIGKILL);
        }
        ToolResult result{-1, m_text[0].substr(m_nTaken), m_text[1]};
        int nStatus = 0;
        if (m_pid > 0 && waitpid(std::exchange(m_pid, -1), &nStatus, 0) > 0) {
            result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        }
        close(std::exchange(m_fds[0], -1));
        close(std::exchange(m_fds[1], -1));
        return result;
    }

private:
    // Reads what stdout and stderr bring, waiting until tEnd at most.
    void Pump(Clock::time_point tEnd) {
        pollfd pfds[2] = {{m_fds[0], POLLIN, 0}, {m_fds[1], POLLIN, 0}};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(tEnd - Clock::now());
        poll(pfds, 2, static_cast<int>(std::max<int64_t>(left.count(), 0)));  // or revents stay 0
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            const ssize_t n = pfds[i].revents != 0 ? read(m_fds[i], buffer, sizeof buffer) : -2;
            if (n > 0) {
                m_text[i].append(buffer, static_cast<size_t>(n));
            } else if (n != -2) {
                close(std::exchange(m_fds[i], -1));  // the end (EIO on a terminal)
            }
        }
    }
    CPty m_pty;  // stderr's terminal when asked for (and what makes this object non-copyable)
    pid_t m_pid = -1;
    int m_fds[2] = {-1, -1};  // stdout, stderr
    std::string m_text[2];
    size_t m_nTaken = 0;  // stdout that ReadLine returned
};

// Runs program to its end (killed after nTimeoutMs) and returns its status and output.
inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& cwd = {}, int nTimeoutMs = 120000) {
    CToolProcess process;
    return process.Start(program, args, env, cwd) ? process.Wait(nTimeoutMs) : ToolResult{};
}

#ifdef ORVANTA_PROJECTOR_PATH
// orvanta-projector started with args, serving the pseudo-terminal m_device (empty when it did
// not start); killed with the object unless it has ended.
struct CSimulatedProjector : CToolProcess {
    explicit CSimulatedProjector(const std::vector<std::string>& args = {}) {
        if (Start(ORVANTA_PROJECTOR_PATH, args)) {
            m_device = ReadLine(30000);
        }
    }
    std::string m_device;
};
#endif

}  // namespace orvtest
