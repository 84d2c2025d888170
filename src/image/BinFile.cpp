#include "BinFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ImageRecords.h"
#include "RegularFile.h"

namespace {

std::string ErrorText(int nError) {
    return std::strerror(nError);
}

// Writes all nLength bytes, whatever the descriptor takes at a time; 0 with errno on failure.
int WriteAll(int fd, const uint8_t* pBuffer, uint32_t nLength) {
    uint32_t nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = ::write(fd, pBuffer + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return 0;
        }
        nDone += static_cast<uint32_t>(n);
    }
    return 1;
}

// The permission bits a newly created file gets: 0666 less the process's umask, read without
// changing it (umask() would, for a moment, for every thread).
mode_t NewFileMode() {
    mode_t nMask = 022;
    if (FILE* pStatus = std::fopen("/proc/self/status", "re")) {
        char line[128];
        while (std::fgets(line, sizeof line, pStatus) != nullptr) {
            if (std::strncmp(line, "Umask:", 6) == 0) {
                nMask = static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
                break;
            }
        }
        std::fclose(pStatus);
    }
    return 0666 & ~nMask;
}

}  // namespace

CBinFile::CBinFile(std::string path) : m_strPath(std::move(path)) {}

std::unique_ptr<uint8_t[]> CBinFile::ReadImage(uint32_t& nLength) {
    nLength = 0;
    m_strError.clear();
    CRegularFile file;
    std::string strReason;
    if (!file.Open(m_strPath, strReason)) {
        m_strError = m_strPath + ": " + strReason;
        return nullptr;
    }
    if (file.Size() > IMAGE_BUFFER_SIZE) {
        m_strError = m_strPath + ": " + TooLargeReason(file.Size(), IMAGE_BUFFER_SIZE);
        return nullptr;
    }
    const auto nSize = static_cast<uint32_t>(file.Size());
    // new[] of 0 bytes still gives a valid pointer: an empty file is an empty image.
    auto pImage = std::make_unique_for_overwrite<uint8_t[]>(nSize);
    if (!file.ReadExactly(pImage.get(), nSize, strReason)) {
        m_strError = m_strPath + ": " + strReason;
        return nullptr;
    }
    Complement(pImage.get(), nSize);
    nLength = nSize;
    return pImage;
}

int CBinFile::WriteImage(uint8_t* pBuffer, uint32_t nLength) {
    m_strError.clear();
    struct stat info {};
    const bool bExists = ::lstat(m_strPath.c_str(), &info) == 0;
    if (!bExists || S_ISREG(info.st_mode)) {
        return WriteReplacing(pBuffer, nLength, bExists ? (info.st_mode & 07777) : NewFileMode());
    }
    // Anything else (a pipe, a FIFO, a terminal, a link such as /dev/stdout) is written
    // through, in place. O_NONBLOCK keeps a FIFO without a reader from holding the open
    // forever; it is cleared at once, so a slow reader only slows the writes down.
    const int fd =
        ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        m_strError = m_strPath + ": cannot be opened for writing (" + ErrorText(errno) + ")";
        return 0;
    }
    const int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags < 0 || ::fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK) != 0) {
        m_strError = m_strPath + ": cannot be opened for writing (" + ErrorText(errno) + ")";
        ::close(fd);
        return 0;
    }
    Complement(pBuffer, nLength);
    int nError = WriteAll(fd, pBuffer, nLength) ? 0 : errno;
    // Delayed write errors (a full disk, a network file system) show up at close.
    if (::close(fd) != 0 && nError == 0) {
        nError = errno;
    }
    if (nError != 0) {
        m_strError = m_strPath + ": cannot be written (" + ErrorText(nError) + ")";
        // A failed write leaves the caller's buffer as it was.
        Complement(pBuffer, nLength);
        return 0;
    }
    return 1;
}

int CBinFile::WriteReplacing(uint8_t* pBuffer, uint32_t nLength, mode_t nMode) {
    // A temporary file beside the target, renamed over it once whole: readers of the path see
    // the old file or the new one, never a part, and a failure leaves the old one as it was.
    std::string tempPath = m_strPath + ".XXXXXX";
    const int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) {
        m_strError = m_strPath + ": cannot be opened for writing (" + ErrorText(errno) + ")";
        return 0;
    }
    Complement(pBuffer, nLength);
    int nError = WriteAll(fd, pBuffer, nLength) ? 0 : errno;
    if (nError == 0 && ::fchmod(fd, nMode) != 0) {
        nError = errno;
    }
    if (::close(fd) != 0 && nError == 0) {
        nError = errno;
    }
    if (nError == 0 && ::rename(tempPath.c_str(), m_strPath.c_str()) != 0) {
        nError = errno;
    }
    if (nError != 0) {
        ::unlink(tempPath.c_str());
        m_strError = m_strPath + ": cannot be written (" + ErrorText(nError) + ")";
        Complement(pBuffer, nLength);
        return 0;
    }
    return 1;
}

uint32_t CBinFile::Complement(uint8_t* pBuffer, uint32_t nLength) {
    for (uint32_t i = 0; i < nLength; ++i) {
        pBuffer[i] = static_cast<uint8_t>(~pBuffer[i]);
    }
    return nLength;
}
