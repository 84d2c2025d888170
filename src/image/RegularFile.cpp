#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace {

std::string ErrorText(int nError) {
    return std::error_code(nError, std::generic_category()).message();
}

// Returns an open descriptor of a regular file, or -1 with strReason set. O_NONBLOCK keeps the
// open itself from waiting on a FIFO; it has no effect on reading a regular file.
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
    const int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags >= 0) {
        ::fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK);
    }
    return fd;
}

}  // namespace

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
    struct stat info {};
    const int fd = OpenRegular(path, info, strReason);
    if (fd < 0) {
        return false;
    }
    const uint64_t nSize = static_cast<uint64_t>(info.st_size);
    if (info.st_size < 0 || nSize > nMaxSize) {
        strReason = "cannot be read (" + std::to_string(info.st_size) +
                    " bytes, more than the limit of " + std::to_string(nMaxSize) + ")";
        ::close(fd);
        return false;
    }
    strText.resize(static_cast<size_t>(nSize));
    size_t nDone = 0;
    while (nDone < strText.size()) {
        const ssize_t nRead = ::read(fd, strText.data() + nDone, strText.size() - nDone);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead < 0) {
            strReason = "cannot be read (" + ErrorText(errno) + ")";
            break;
        }
        if (nRead == 0) {
            strReason = "cannot be read (the file ended after " + std::to_string(nDone) + " of " +
                        std::to_string(nSize) + " bytes)";
            break;
        }
        nDone += static_cast<size_t>(nRead);
    }
    ::close(fd);
    if (nDone < strText.size()) {
        strText.clear();
        return false;
    }
    return true;
}
