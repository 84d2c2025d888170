// Fuzz target: a hostile serial device server. The first byte picks RFC 2217 or raw TCP; the
// rest arrives in chunks whose sizes the input also sets, half of them through a real socket
// (ReceiveFromSocket) and half straight into the receive step, with data writes in between.
// The peer never reads, so the link's answers pile up against a small socket buffer. Whatever
// the server sends: no step yields more than MAX_DATA_PER_STEP data bytes, the output queue
// stays within MAX_OUT_QUEUED, raw TCP passes every byte unchanged, and nothing reads outside
// its buffers.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "NetworkLink.h"

namespace {

void Require(bool bHolds, const char* what) {
    if (!bHolds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return 0;
    }
    const int nSmall = 4096;
    setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &nSmall, sizeof nSmall);
    const bool bTelnet = (pData[0] & 1) != 0;
    CNetworkLink link;
    link.Attach(fds[0], bTelnet ? CPortAddress::RFC2217 : CPortAddress::RAW_TCP, "fuzz:1");
    link.SendLineSettings(115200);

    std::vector<uint8_t> data;
    size_t i = 1;
    for (bool bSocket = false; i < nSize; bSocket = !bSocket) {
        const size_t nChunk = std::min<size_t>(1 + pData[i] % 200, nSize - i - 1);
        ++i;
        const uint8_t* pChunk = pData + i;
        data.clear();
        bool bAlive = true;
        if (bSocket && nChunk > 0) {
            Require(write(fds[1], pChunk, nChunk) == static_cast<ssize_t>(nChunk), "peer write");
            int nError = 0;
            std::string reason;
            // The link reads what its rate budget allows, at least a byte a step: step until
            // the socket is empty.
            link.ReceiveWait();
            int nWaiting = 1;
            while (bAlive && nWaiting > 0) {
                std::vector<uint8_t> step;
                bAlive = link.ReceiveFromSocket(step, nError, reason) == CNetworkLink::RECEIVED;
                Require(step.size() <= CNetworkLink::MAX_DATA_PER_STEP, "data per socket step");
                data.insert(data.end(), step.begin(), step.end());
                nWaiting = 0;
                ioctl(fds[0], FIONREAD, &nWaiting);
            }
            Require(bAlive == reason.empty(), "a reason exactly when the link ends");
        } else {
            bAlive = link.Receive(pChunk, nChunk, data);
            Require(data.size() <= CNetworkLink::MAX_DATA_PER_STEP, "data per step");
        }
        if (!bTelnet) {
            Require(data == std::vector<uint8_t>(pChunk, pChunk + nChunk), "raw bytes unchanged");
        }
        Require(link.OutQueued() <= CNetworkLink::MAX_OUT_QUEUED, "output queue bounded");
        link.Write(pChunk, static_cast<uint32_t>(nChunk));
        Require(link.OutQueued() <= CNetworkLink::MAX_OUT_QUEUED, "output queue bounded");
        i += nChunk;
        if (!bAlive) {
            break;
        }
    }
    close(fds[1]);
    return 0;
}
