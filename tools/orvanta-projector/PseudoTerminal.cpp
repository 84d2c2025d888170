#include "PseudoTerminal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

// errno is taken first, before building the text can disturb it.
std::string Reason(const char* pWhat) {
    const int nError = errno;
    return std::string(pWhat) + ": " + std::strerror(nError);
}

// Raw 8N1, receiver on, modem lines ignored, one byte satisfies a read.
bool MakeRaw(const std::string& strDevice, std::string& strError) {
    const int nFd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (nFd < 0) {
        const int nError = errno;
        strError = "cannot open " + strDevice + ": " + std::strerror(nError);
        return false;
    }
    termios tio{};
    bool bOk = tcgetattr(nFd, &tio) == 0;
    if (bOk) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        bOk = tcsetattr(nFd, TCSANOW, &tio) == 0;
    }
    if (!bOk) {
        const int nError = errno;
        strError = "cannot set up " + strDevice + ": " + std::strerror(nError);
    }
    close(nFd);
    return bOk;
}

}  // namespace

CPseudoTerminal::~CPseudoTerminal() {
    Close();
}

bool CPseudoTerminal::Open(std::string& strError) {
    Close();
    const int nMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (nMaster < 0) {
        strError = Reason("posix_openpt");
        return false;
    }
    char name[256] = {};
    const bool bOk = grantpt(nMaster) == 0 && unlockpt(nMaster) == 0 &&
                     ptsname_r(nMaster, name, sizeof name) == 0;
    if (!bOk) {
        strError = Reason("cannot unlock the pseudo-terminal");
        close(nMaster);
        return false;
    }
    const int nFlags = fcntl(nMaster, F_GETFL);
    if (nFlags < 0 || fcntl(nMaster, F_SETFL, nFlags | O_NONBLOCK) != 0 ||
        fcntl(nMaster, F_SETFD, FD_CLOEXEC) != 0) {
        strError = Reason("fcntl");
        close(nMaster);
        return false;
    }
    if (!MakeRaw(name, strError)) {
        close(nMaster);
        return false;
    }
    m_nMaster = nMaster;
    m_strDevice = name;
    return true;
}

bool CPseudoTerminal::Link(const std::string& strLinkPath, std::string& strError) {
    struct stat st {};
    if (lstat(strLinkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        strError = strLinkPath + " exists and is no symbolic link";
        return false;
    }
    // Made aside and renamed over the old link, so that an opener never finds the name
    // missing.
    const std::string aside = strLinkPath + ".new";
    unlink(aside.c_str());
    if (symlink(m_strDevice.c_str(), aside.c_str()) != 0 ||
        rename(aside.c_str(), strLinkPath.c_str()) != 0) {
        const int nError = errno;
        unlink(aside.c_str());
        strError = "cannot link " + strLinkPath + ": " + std::strerror(nError);
        return false;
    }
    m_strLink = strLinkPath;
    return true;
}

bool CPseudoTerminal::Renew(std::string& strError) {
    CPseudoTerminal fresh;
    if (!fresh.Open(strError)) {
        return false;
    }
    const std::string link = std::exchange(m_strLink, {});
    if (m_nMaster >= 0) {
        close(m_nMaster);
    }
    m_nMaster = std::exchange(fresh.m_nMaster, -1);
    m_strDevice = fresh.m_strDevice;
    return link.empty() || Link(link, strError);
}

void CPseudoTerminal::Close() {
    if (m_nMaster >= 0) {
        close(m_nMaster);
        m_nMaster = -1;
    }
    if (!m_strLink.empty()) {
        char target[256] = {};
        const ssize_t n = readlink(m_strLink.c_str(), target, sizeof target - 1);
        if (n > 0 && m_strDevice == std::string(target, static_cast<size_t>(n))) {
            unlink(m_strLink.c_str());
        }
        m_strLink.clear();
    }
}
