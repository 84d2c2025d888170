#include "BinFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "RegularFile.h"

CBinFile::CBinFile(std::string path) : m_strPath(std::move(path)) {}

std::unique_ptr<uint8_t[]> CBinFile::ReadImage(uint32_t& nLength) {
    nLength = 0;
    m_strError.clear();
    std::string bytes;
    std::string strReason;
    if (!ReadRegularFile(m_strPath, UINT32_MAX, bytes, strReason)) {
        m_strError = m_strPath + ": " + strReason;
        return nullptr;
    }
    const auto nSize = static_cast<uint32_t>(bytes.size());
    // new[] of 0 bytes still gives a valid pointer: an empty file is an empty image.
    std::unique_ptr<uint8_t[]> pImage(new uint8_t[nSize]);
    if (nSize != 0) {
        std::memcpy(pImage.get(), bytes.data(), nSize);
    }
    Complement(pImage.get(), nSize);
    nLength = nSize;
    return pImage;
}

int CBinFile::WriteImage(uint8_t* pBuffer, uint32_t nLength) {
    m_strError.clear();
    // O_NONBLOCK keeps a FIFO without a reader from holding the open forever.
    const int fd =
        open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        m_strError = m_strPath + ": cannot be opened for writing (" + std::strerror(errno) + ")";
        return 0;
    }
    Complement(pBuffer, nLength);
    uint32_t nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = write(fd, pBuffer + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            m_strError =
                m_strPath + ": cannot be written (" + std::strerror(n < 0 ? errno : ENOSPC) + ")";
            close(fd);
            // A failed write leaves the caller's buffer as it was.
            Complement(pBuffer, nLength);
            return 0;
        }
        nDone += static_cast<uint32_t>(n);
    }
    // Delayed write errors (a full disk, a network file system) show up at close.
    if (close(fd) != 0) {
        m_strError = m_strPath + ": cannot be written (" + std::strerror(errno) + ")";
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
