// The texts with which an upgrade attempt ends: the Done page's message for each result code,
// and the exit statuses of the tool that are no result code.
#pragma once

#include <string>

// Exit statuses outside the result codes (which are the exit statuses 0 to 6).
inline constexpr int EXIT_USAGE = 64;         // wrong command line
inline constexpr int EXIT_CANNOT_WRITE = 73;  // the output file cannot be written
inline constexpr int EXIT_INTERRUPTED = 130;  // cancelled with Ctrl+C

// The Done page's message for nResult; codes without a message of their own read
// "Unknown error: 0x%04X", a negative code printed as its 32-bit two's complement.
std::string ResultMessage(int nResult);
