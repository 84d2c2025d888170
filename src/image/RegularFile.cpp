#include "RegularFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

// Files up to this size are read rather than mapped: on a virtual machine unmapping costs a
// flush of the address translations, far more than copying a small file.
constexpr uint64_t READ_LIMIT = 64u * 1024;

std::string ErrorText(int nError) {
    return std::error_code(nError, std::generic_category()).message();
}

// Returns an open descriptor of a regular file, or -1 with strReason set. O_NONBLOCK keeps the
// open itself from waiting on a FIFO; it has no effect on reading a regular file, so it stays.
int OpenRegular(const std::string& path, struct stat& info, std::string& strReason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        strReason = "cannot be opened (" + ErrorText(errno) + ")";
        return -1;
    }
    if (::fstat(fd, &info) != 0) {
        strReason = "cannot be opened (" + ErrorText(errno) + ")";
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        strReason = S_ISDIR(info.st_mode) ? "cannot be opened (it is a folder)"
                                          : "cannot be opened (it is not a regular file)";
        ::close(fd);
        return -1;
    }
    return fd;
}

bool ReadAll(int fd, uint8_t* pBuffer, size_t nCount, std::string& strReason) {
    size_t nDone = 0;
    while (nDone < nCount) {
        const ssize_t nRead = ::read(fd, pBuffer + nDone, nCount - nDone);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead < 0) {
            strReason = "cannot be read (" + ErrorText(errno) + ")";
            return false;
        }
        if (nRead == 0) {
            strReason = "cannot be read (the file ended after " + std::to_string(nDone) + " of " +
                        std::to_string(nCount) + " bytes)";
            return false;
        }
        nDone += static_cast<size_t>(nRead);
    }
    return true;
}

}  // namespace

std::string TooLargeReason(uint64_t nSize, uint64_t nMaxSize) {
    return "cannot be read (" + std::to_string(nSize) + " bytes, more than the limit of " +
           std::to_string(nMaxSize) + ")";
}

bool CanOpenRegularFile(const std::string& path, std::string& strReason) {
    struct stat info {};
    const int fd = OpenRegular(path, info, strReason);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

bool ReadRegularFile(const std::string& path, uint64_t nMaxSize, std::string& strText,
                     std::string& strReason) {
    strText.clear();
    CRegularFile file;
    if (!file.Open(path, strReason)) {
        return false;
    }
    if (file.Size() > nMaxSize) {
        strReason = TooLargeReason(file.Size(), nMaxSize);
        return false;
    }
    strText.resize(static_cast<size_t>(file.Size()));
    if (!file.ReadExactly(reinterpret_cast<uint8_t*>(strText.data()), strText.size(), strReason)) {
        strText.clear();
        return false;
    }
    return true;
}

CRegularFile::~CRegularFile() {
    if (m_pMap != nullptr) {
        ::munmap(m_pMap, m_nMapped);
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool CRegularFile::Open(const std::string& path, std::string& strReason) {
    struct stat info {};
    m_fd = OpenRegular(path, info, strReason);
    if (m_fd < 0) {
        return false;
    }
    m_nSize = static_cast<uint64_t>(info.st_size);
    return true;
}

bool CRegularFile::ReadExactly(uint8_t* pBuffer, size_t nCount, std::string& strReason) {
    return ReadAll(m_fd, pBuffer, nCount, strReason);
}

bool CRegularFile::Map(uint64_t nMaxBytes, std::string_view& text, std::string& strReason) {
    text = {};
    const uint64_t nBytes = m_nSize < nMaxBytes ? m_nSize : nMaxBytes;
    if (nBytes == 0) {
        return true;
    }
    if (nBytes > SIZE_MAX) {
        strReason = TooLargeReason(nBytes, SIZE_MAX);
        return false;
    }
    if (nBytes <= READ_LIMIT) {
        m_copy.resize(static_cast<size_t>(nBytes));
        if (!ReadAll(m_fd, reinterpret_cast<uint8_t*>(m_copy.data()), m_copy.size(), strReason)) {
            return false;
        }
        text = m_copy;
        return true;
    }
    void* pMap = ::mmap(nullptr, static_cast<size_t>(nBytes), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                        m_fd, 0);
    if (pMap == MAP_FAILED) {
        strReason = "cannot be read (" + ErrorText(errno) + ")";
        return false;
    }
    m_pMap = pMap;
    m_nMapped = static_cast<size_t>(nBytes);
    text = std::string_view(static_cast<const char*>(pMap), m_nMapped);
    return true;
}
