#include "StdoutImage.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "BinFile.h"

bool WriteImageToStdout(uint8_t* pBuffer, uint32_t nLength, std::string& strError) {
    CBinFile::Complement(pBuffer, nLength);
    uint32_t nDone = 0;
    while (nDone < nLength) {
        const ssize_t n = write(STDOUT_FILENO, pBuffer + nDone, nLength - nDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            strError = std::string("stdout: ") + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        nDone += static_cast<uint32_t>(n);
    }
    return true;
}
