#include "Failure.h"

const char* CFailure::CauseName(Cause nCause) {
    switch (nCause) {
        case NONE:
            return "none";
        case LOAD:
            return "load";
        case PORT_OPEN:
            return "port-open";
        case PORT_LOST:
            return "port-lost";
        case WRITE:
            return "write";
        case SILENCE:
            return "silence";
        case REFUSED:
            return "refused";
        case OUT_OF_STEP:
            return "out-of-step";
        case NOISE:
            return "noise";
        case WRONG_SCHEME:
            return "wrong-scheme";
        case CANCELLED:
            return "cancelled";
    }
    return "unknown";
}
