// How an upgrade attempt ended, as fields: the result code (the program's exit status and the
// Done page's text), the reason in a word, the message the user was shown when it happened
// (the port's message box), and one detail line that says what happened, where, and what to
// do. Made where the failure is found (the loader, the port, the sender) and carried unchanged
// to the command-line tool and the Done page.
#pragma once

#include <string>

#include "ResultTexts.h"

struct CFailure {
    enum Cause {
        NONE,          // success
        LOAD,          // the package could not be loaded (results 1 to 3)
        PORT_OPEN,     // the port could not be opened or its connection made
        PORT_LOST,     // the port failed under the transfer (hang-up, adapter gone, read errors)
        WRITE,         // a write failed or the line stopped taking bytes
        SILENCE,       // no answer, or no request for the next file, within the limit
        REFUSED,       // a block was refused after all resends
        OUT_OF_STEP,   // the answers fell out of step with the blocks
        NOISE,         // too many unexpected bytes
        WRONG_SCHEME,  // a network server of the wrong kind for the port's scheme
        CANCELLED,     // the user stopped the attempt
    };

    int nResult = RESULT_SUCCESS;
    Cause nCause = NONE;
    std::string strMessage;  // shown to the user when it happened; empty when none was
    std::string strDetail;   // one line; empty on success

    bool Failed() const { return nResult != RESULT_SUCCESS; }
    // The fixed text of the result (ResultMessage): "Upgrade successful!", "Serial failed"...
    std::string Text() const { return ResultMessage(nResult); }
    // The cause as one lower-case word for machine-readable output ("silence", "noise"...).
    static const char* CauseName(Cause nCause);
};
