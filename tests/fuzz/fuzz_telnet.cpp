// Fuzz target: a hostile serial device server, as the telnet codec sees it. The first byte picks
// RFC 2217 or raw TCP; the rest arrives in chunks whose sizes the input also sets, with data
// writes, line settings and the caller taking the answers (or not) in between. Whatever the
// server sends: no step yields more than MAX_DATA_PER_STEP data bytes, the answers waiting stay
// within MAX_OUTPUT, raw TCP passes every byte unchanged, the data written comes back whole
// through a second codec, and nothing reads outside its buffers.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "TelnetCodec.h"

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
    const bool bTelnet = (pData[0] & 1) != 0;
    CTelnetCodec codec(bTelnet);
    CTelnetCodec peer(bTelnet);  // reads what the codec writes, as the server would
    std::vector<uint8_t> data, out, wire, echoed;
    for (size_t i = 1; i < nSize;) {
        const uint8_t nControl = pData[i++];
        const size_t nChunk = std::min<size_t>(1 + nControl % 200, nSize - i);
        const uint8_t* pChunk = pData + i;
        i += nChunk;

        data.clear();
        const unsigned nBefore = codec.Events();
        const unsigned nRaised = codec.Receive(pChunk, nChunk, data);
        Require(data.size() <= CTelnetCodec::MAX_DATA_PER_STEP, "data per step");
        Require((nRaised & nBefore) == 0 && (codec.Events() & nRaised) == nRaised,
                "an event is raised once");
        if (!bTelnet) {
            Require(data == std::vector<uint8_t>(pChunk, pChunk + nChunk), "raw bytes unchanged");
            Require(codec.OutputSize() == 0, "raw TCP never answers");
        }
        if ((nControl & 0x40) != 0) {
            codec.SendLineSettings(115200);
        }
        Require(codec.OutputSize() <= CTelnetCodec::MAX_OUTPUT, "answers bounded");
        if ((nControl & 0x80) != 0) {
            out.clear();
            codec.TakeOutput(out);
            Require(codec.OutputSize() == 0, "taken answers are gone");
        }

        wire.clear();
        codec.Encode(pChunk, nChunk, wire);
        echoed.clear();
        peer.Receive(wire.data(), wire.size(), echoed);
        Require(echoed == std::vector<uint8_t>(pChunk, pChunk + nChunk), "written data whole");
    }
    return 0;
}
