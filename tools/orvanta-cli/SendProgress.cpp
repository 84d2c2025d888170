#include "SendProgress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "XmodemSender.h"

namespace {

// Live redraws closer together than this only flicker.
constexpr uint64_t REDRAW_INTERVAL_MS = 100;

std::string Elapsed(uint64_t nMs) {
    return CXmodemSender::FormatElapsed(static_cast<uint32_t>(nMs / 1000));
}

}  // namespace

std::string FormatRate(double dBytesPerSecond) {
    char text[32];
    if (dBytesPerSecond < 1024.0) {
        std::snprintf(text, sizeof text, "%.0f B/s", dBytesPerSecond);
    } else {
        std::snprintf(text, sizeof text, "%.1f KiB/s", dBytesPerSecond / 1024.0);
    }
    return text;
}

CSendProgress::CSendProgress(FILE* pStream, bool bLive, uint64_t nTotalBytes, size_t nFiles)
    : m_pStream(pStream), m_bLive(bLive), m_nTotalBytes(nTotalBytes), m_nFiles(nFiles) {}

void CSendProgress::Waiting(const std::string& strDescription, uint64_t nNowMs) {
    m_strDescription = strDescription;
    if (m_bLive) {
        Draw(nNowMs, true);
    } else {
        std::fprintf(m_pStream, "Waiting for the projector's request\n");
        std::fflush(m_pStream);
    }
}

void CSendProgress::SegmentStarted(const std::string& strDescription, uint32_t nSegmentLength,
                                   uint64_t nNowMs) {
    if (m_nFile > 0) {
        m_nDoneBytes += m_nSegmentLength;
    }
    ++m_nFile;
    m_strDescription = strDescription;
    m_nSegmentLength = nSegmentLength;
    m_nSegmentSent = 0;
    if (!m_bStarted) {
        m_bStarted = true;
        m_nFirstBlockMs = nNowMs;
    }
    if (m_bLive) {
        Draw(nNowMs, true);
    } else {
        std::fprintf(m_pStream, "Sending %s (%u bytes)\n", strDescription.c_str(), nSegmentLength);
        std::fflush(m_pStream);
    }
}

void CSendProgress::BlockSent(uint32_t nSegmentSent, uint32_t nTotalPos, uint64_t nNowMs) {
    m_nSegmentSent = nSegmentSent;
    m_nTotalPos = nTotalPos;
    if (m_bLive) {
        Draw(nNowMs, false);
    }
}

void CSendProgress::Tick(uint64_t nNowMs) {
    if (m_bLive) {
        Draw(nNowMs, true);
    }
}

void CSendProgress::SetWaitText(const std::string& strText, uint64_t nNowMs) {
    if (strText == m_strWait) {
        return;
    }
    // The silence text counts up each second; only a new kind of wait is a new line.
    const bool bBegins =
        !strText.empty() && (m_strWait.empty() || strText.compare(0, 12, m_strWait, 0, 12) != 0);
    m_strWait = strText;
    if (m_bLive) {
        Draw(nNowMs, true);
    } else if (bBegins) {
        std::fprintf(m_pStream, "%s\n", strText.c_str());
        std::fflush(m_pStream);
    }
}

void CSendProgress::Suspend() {
    if (m_bLive && m_bLineShown) {
        std::fputs("\r\033[K", m_pStream);
        std::fflush(m_pStream);
        m_bLineShown = false;
    }
}

void CSendProgress::Finish(bool bSuccess, uint64_t nNowMs, uint32_t nResent) {
    const std::string resent = nResent == 0 ? std::string()
                                            : ", " + std::to_string(nResent) +
                                                  (nResent == 1 ? " block" : " blocks") + " resent";
    if (bSuccess) {
        m_nDoneBytes = m_nTotalBytes;
        m_nSegmentSent = 0;
        m_nTotalPos = 1000;
    }
    if (m_bLive) {
        Draw(nNowMs, true);
        std::fprintf(m_pStream, "%s\n", resent.c_str());
        m_bLineShown = false;
    } else if (bSuccess) {
        std::fprintf(m_pStream, "Sent %zu file%s, %llu bytes in %s%s\n", m_nFiles,
                     m_nFiles == 1 ? "" : "s", static_cast<unsigned long long>(BytesSent()),
                     Elapsed(nNowMs).c_str(), resent.c_str());
    } else {
        std::fprintf(m_pStream, "Stopped after %llu of %llu bytes in %s%s\n",
                     static_cast<unsigned long long>(BytesSent()),
                     static_cast<unsigned long long>(m_nTotalBytes), Elapsed(nNowMs).c_str(),
                     resent.c_str());
    }
    std::fflush(m_pStream);
}

void CSendProgress::Draw(uint64_t nNowMs, bool bForce) {
    if (!bForce && m_bLineShown && nNowMs - m_nLastDrawMs < REDRAW_INTERVAL_MS) {
        return;
    }
    m_nLastDrawMs = nNowMs;
    std::fprintf(m_pStream, "\r%s\033[K", LiveLine(nNowMs).c_str());
    std::fflush(m_pStream);
    m_bLineShown = true;
}

std::string CSendProgress::LiveLine(uint64_t nNowMs) const {
    char figures[160];
    if (!m_bStarted) {
        std::snprintf(figures, sizeof figures, "  waiting for the projector  %s",
                      Elapsed(nNowMs).c_str());
    } else {
        const uint64_t nSent = BytesSent();
        const double dSeconds = static_cast<double>(nNowMs - m_nFirstBlockMs) / 1000.0;
        const double dRate = dSeconds > 0.0 ? static_cast<double>(nSent) / dSeconds : 0.0;
        std::string left = "--:--";
        if (dRate > 0.0 && nSent <= m_nTotalBytes) {
            const double dLeft = static_cast<double>(m_nTotalBytes - nSent) / dRate;
            left = CXmodemSender::FormatElapsed(static_cast<uint32_t>(dLeft));
        }
        std::snprintf(figures, sizeof figures, "  %3u%%  %llu of %llu bytes  %s  %s  %s left",
                      m_nTotalPos / 10, static_cast<unsigned long long>(nSent),
                      static_cast<unsigned long long>(m_nTotalBytes), Elapsed(nNowMs).c_str(),
                      FormatRate(dRate).c_str(), left.c_str());
    }
    const std::string wait = m_strWait.empty() ? std::string() : "  " + m_strWait;
    std::string prefix = m_nFiles > 1 && m_nFile > 0
                             ? "[" + std::to_string(m_nFile) + "/" + std::to_string(m_nFiles) + "] "
                             : "";
    std::string description = m_strDescription;
    // A line that wraps can no longer be redrawn in place: shorten the description instead.
    const int nWidth = TerminalWidth();
    const size_t nRoom = nWidth > 0 ? static_cast<size_t>(nWidth) - 1 : 0;
    const size_t nFixed = prefix.size() + std::char_traits<char>::length(figures) + wait.size();
    if (nRoom > 0 && nFixed + description.size() > nRoom) {
        const size_t nKeep = nRoom > nFixed + 3 ? nRoom - nFixed - 3 : 0;
        description = description.substr(0, nKeep) + "...";
    }
    return prefix + description + figures + wait;
}

int CSendProgress::TerminalWidth() const {
    struct winsize size {};
    if (ioctl(fileno(m_pStream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 0;
}
