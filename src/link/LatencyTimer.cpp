#include "LatencyTimer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {

constexpr int kMaxTimerMs = 255;  // the adapters keep it in one byte

std::optional<int> ParseMs(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    int nValue = -1;
    const auto [pEnd, ec] = std::from_chars(text.data(), text.data() + text.size(), nValue);
    if (text.empty() || ec != std::errc() || pEnd != text.data() + text.size() || nValue < 0 ||
        nValue > kMaxTimerMs) {
        return std::nullopt;
    }
    return nValue;
}

std::optional<int> ReadMs(const std::filesystem::path& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    char text[16];
    const ssize_t n = read(fd, text, sizeof text);
    close(fd);
    if (n <= 0 || static_cast<size_t>(n) == sizeof text) {
        return std::nullopt;
    }
    return ParseMs(std::string_view(text, static_cast<size_t>(n)));
}

// 0 on success, else an errno value.
int WriteMs(const std::filesystem::path& file, int nMs) {
    // O_TRUNC is ignored by sysfs and keeps a plain file (a tree made for tests) exact.
    const int fd = open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return errno;
    }
    const std::string text = std::to_string(nMs) + "\n";
    const ssize_t n = write(fd, text.data(), text.size());
    const int nError = n < 0 ? errno : 0;
    const bool bShort = n >= 0 && static_cast<size_t>(n) != text.size();
    if (close(fd) != 0 && nError == 0 && !bShort) {
        return errno;
    }
    return nError != 0 ? nError : bShort ? EIO : 0;
}

}  // namespace

CLatencyTimer::CLatencyTimer(std::filesystem::path sysfsRoot) : m_root(std::move(sysfsRoot)) {}

std::filesystem::path CLatencyTimer::AttributePath(const std::string& devicePath) const {
    std::error_code ec;
    std::filesystem::path device = std::filesystem::canonical(devicePath, ec);
    if (ec) {
        device = devicePath;
    }
    return m_root / "class" / "tty" / device.filename() / "device" / "latency_timer";
}

std::optional<int> CLatencyTimer::Read(const std::string& devicePath) const {
    if (devicePath.empty()) {
        return std::nullopt;
    }
    return ReadMs(AttributePath(devicePath));
}

CLatencyTimer::Result CLatencyTimer::Lower(const std::string& devicePath, int nMs) {
    Result result;
    const std::optional<int> before = Read(devicePath);
    if (!before) {
        return result;
    }
    result.nBefore = result.nAfter = *before;
    if (*before <= nMs) {
        result.outcome = Outcome::UNCHANGED;
        return result;
    }
    const std::filesystem::path file = AttributePath(devicePath);
    if (const int nError = WriteMs(file, nMs); nError != 0) {
        result.outcome = Outcome::REFUSED;
        result.strReason = std::strerror(nError);
        return result;
    }
    result.nAfter = ReadMs(file).value_or(-1);
    if (result.nAfter != nMs) {
        // The driver took the write but kept another value: nothing of ours to put back
        // unless the value moved at all.
        result.outcome = Outcome::REFUSED;
        result.strReason = "the driver kept " + std::to_string(result.nAfter) + " ms";
        if (result.nAfter == *before) {
            return result;
        }
    } else {
        result.outcome = Outcome::SET;
    }
    m_changed = file;
    m_nSaved = *before;
    return result;
}

bool CLatencyTimer::Restore(std::string& strReason) {
    if (m_changed.empty()) {
        return true;
    }
    const int nError = WriteMs(m_changed, m_nSaved);
    m_changed.clear();
    m_nSaved = -1;
    if (nError != 0) {
        strReason = std::strerror(nError);
        return false;
    }
    return true;
}
