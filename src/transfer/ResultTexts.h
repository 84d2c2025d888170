// The texts with which an upgrade attempt ends, one per result code (PackageLoader.h). The
// wizard's string table and the command-line tool both read them from here, so the Done page
// and the tool's last line always agree.
#pragma once

#include <string>

// The message for a result code from 0 to 6; null for any other code.
const char* ResultText(int nResult);

// The message for any result: ResultText, or "Unknown error: 0x%04X" of the code as an
// unsigned 32-bit number (a negative code as its two's complement).
std::string ResultMessage(int nResult);
