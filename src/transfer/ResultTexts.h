// The result codes of an upgrade attempt and the texts with which it ends, one per code. The
// wizard's string table and the command-line tool both read them from here, so the Done page
// and the tool's last line always agree.
#pragma once

#include <string>

#include "PackageLoader.h"

// Result codes of an upgrade attempt; loading sets 1 to 3 (its LoadResult values).
enum : int {
    RESULT_SUCCESS = LOAD_OK,
    RESULT_FILE_NOT_FOUND = LOAD_FILE_NOT_FOUND,
    RESULT_INVALID_INPUT = LOAD_INVALID_INPUT,
    RESULT_INF_CORRUPT = LOAD_INF_CORRUPT,
    RESULT_USB_FAILED = 4,
    RESULT_SERIAL_FAILED = 5,
    RESULT_PROJECTOR_CANCELED = 6,
};

// The message for a result code from 0 to 6; null for any other code.
const char* ResultText(int nResult);

// The message for any result: ResultText, or "Unknown error: 0x%04X" of the code as an
// unsigned 32-bit number (a negative code as its two's complement).
std::string ResultMessage(int nResult);
