// The texts with which an upgrade attempt ends (the Done page's messages, shared with the
// wizard through ResultTexts.h), and the exit statuses of the tool that are no result code.
#pragma once

#include "ResultTexts.h"

// Exit statuses outside the result codes (which are the exit statuses 0 to 6).
inline constexpr int EXIT_USAGE = 64;         // wrong command line
inline constexpr int EXIT_CANNOT_WRITE = 73;  // the output file cannot be written
inline constexpr int EXIT_HANGUP = 129;       // the terminal went away (SIGHUP)
inline constexpr int EXIT_INTERRUPTED = 130;  // cancelled with Ctrl+C
