// Running the project's programs from tests: a child process with its stdout and stderr
// captured through pipes, extra environment variables and its own working directory, and a
// deadline after which it is killed so that no test can hang. Also a temporary folder that
// removes itself.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace tooltest {

struct ToolResult {
    int nExit = -1;          // exit status; 128 + n when killed by signal n
    bool bTimedOut = false;  // killed at the deadline
    std::string out;
    std::string err;
};

// The lines of text, without their line ends; a last line without one counts too.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

// A child process. Environment: the test's own, with env's entries added or replaced.
class CToolProcess {
public:
    CToolProcess() = default;
    CToolProcess(const CToolProcess&) = delete;
    CToolProcess& operator=(const CToolProcess&) = delete;
    ~CToolProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseFd(m_outFd);
        CloseFd(m_errFd);
    }

    // Starts program with args in folder cwd (the test's own when empty); with
    // bStderrTerminal its stderr is a pseudo-terminal instead of a pipe, so the program sees
    // a terminal there. False when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env = {}, const std::string& cwd = {},
               bool bStderrTerminal = false) {
        int outPipe[2];
        int errPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) {
            return false;
        }
        const bool bErrReady =
            bStderrTerminal ? OpenTerminal(errPipe) : pipe2(errPipe, O_CLOEXEC) == 0;
        if (!bErrReady) {
            close(outPipe[0]);
            close(outPipe[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
        if (!cwd.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        }

        std::vector<std::string> argStrings{program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argStrings) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);

        std::map<std::string, std::string> merged;
        for (char** p = environ; *p != nullptr; ++p) {
            const std::string entry(*p);
            const size_t nEquals = entry.find('=');
            if (nEquals != std::string::npos) {
                merged[entry.substr(0, nEquals)] = entry.substr(nEquals + 1);
            }
        }
        for (const auto& [key, value] : env) {
            merged[key] = value;
        }
        std::vector<std::string> envStrings;
        for (const auto& [key, value] : merged) {
            envStrings.push_back(key + "=" + value);
        }
        std::vector<char*> envp;
        for (std::string& entry : envStrings) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);

        const int nError =
            posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        if (nError != 0) {
            m_pid = -1;
            close(outPipe[0]);
            close(errPipe[0]);
            return false;
        }
        m_outFd = outPipe[0];
        m_errFd = errPipe[0];
        return true;
    }

    pid_t Pid() const { return m_pid; }

    // Reads stdout up to its next line end; false at the deadline or at the end of output.
    bool ReadLine(std::string& line, int nTimeoutMs) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        for (;;) {
            const size_t nEnd = m_out.find('\n', m_nOutTaken);
            if (nEnd != std::string::npos) {
                line = m_out.substr(m_nOutTaken, nEnd - m_nOutTaken);
                m_nOutTaken = nEnd + 1;
                return true;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline || (m_outFd < 0 && m_errFd < 0)) {
                return false;
            }
            Pump(static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
        }
    }

    // Waits for the end of the process, reading its output; kills it at the deadline. The
    // result's out holds stdout from where ReadLine left off.
    ToolResult Wait(int nTimeoutMs) {
        ToolResult result;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        auto msLeft = [&deadline] {
            return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        };
        while ((m_outFd >= 0 || m_errFd >= 0) && msLeft() > 0) {
            Pump(msLeft());
        }
        int nStatus = 0;
        while (m_pid > 0) {
            if (waitpid(m_pid, &nStatus, WNOHANG) == m_pid) {
                m_pid = -1;
            } else if (msLeft() <= 0) {
                result.bTimedOut = true;
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &nStatus, 0);
                m_pid = -1;
            } else {
                usleep(10000);
            }
        }
        Drain();
        if (WIFEXITED(nStatus)) {
            result.nExit = WEXITSTATUS(nStatus);
        } else if (WIFSIGNALED(nStatus)) {
            result.nExit = 128 + WTERMSIG(nStatus);
        }
        result.out = m_out.substr(m_nOutTaken);
        result.err = m_err;
        return result;
    }

private:
    // A pseudo-terminal pair in the shape of a pipe: [0] the master to read, [1] the device.
    static bool OpenTerminal(int fds[2]) {
        const int nMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (nMaster < 0) {
            return false;
        }
        const char* pDevice =
            grantpt(nMaster) == 0 && unlockpt(nMaster) == 0 ? ptsname(nMaster) : nullptr;
        const int nDevice = pDevice != nullptr ? open(pDevice, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
        if (nDevice < 0) {
            close(nMaster);
            return false;
        }
        fds[0] = nMaster;
        fds[1] = nDevice;
        return true;
    }

    static void CloseFd(int& nFd) {
        if (nFd >= 0) {
            close(nFd);
            nFd = -1;
        }
    }

    // Reads what is available on either pipe, waiting at most nTimeoutMs.
    void Pump(int nTimeoutMs) {
        pollfd fds[2] = {{m_outFd, POLLIN, 0}, {m_errFd, POLLIN, 0}};
        if (poll(fds, 2, nTimeoutMs) <= 0) {
            return;
        }
        ReadSome(fds[0], m_outFd, m_out);
        ReadSome(fds[1], m_errFd, m_err);
    }

    static void ReadSome(const pollfd& pfd, int& nFd, std::string& text) {
        if (nFd < 0 || (pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return;
        }
        char buffer[4096];
        const ssize_t n = read(nFd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            CloseFd(nFd);
        }
    }

    // After the process ended: whatever its pipes still hold (without waiting for children
    // that kept them open).
    void Drain() {
        for (int* pFd : {&m_outFd, &m_errFd}) {
            if (*pFd >= 0) {
                fcntl(*pFd, F_SETFL, O_NONBLOCK);
                char buffer[4096];
                ssize_t n;
                while ((n = read(*pFd, buffer, sizeof buffer)) > 0) {
                    (pFd == &m_outFd ? m_out : m_err).append(buffer, static_cast<size_t>(n));
                }
                CloseFd(*pFd);
            }
        }
    }

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    size_t m_nOutTaken = 0;
    std::string m_err;
};

// Runs program to its end (killed after nTimeoutMs) and returns its status and output.
inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& cwd = {}, int nTimeoutMs = 120000) {
    CToolProcess process;
    if (!process.Start(program, args, env, cwd)) {
        ToolResult result;
        result.err = "cannot start " + program;
        return result;
    }
    return process.Wait(nTimeoutMs);
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class CTempDir {
public:
    CTempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvanta-tool-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~CTempDir() {
        std::error_code error;
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, error);
        }
    }
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

inline void WriteFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                                std::istreambuf_iterator<char>());
}

}  // namespace tooltest
