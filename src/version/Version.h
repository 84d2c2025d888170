// What a program says to --version: its name, the project version from the build files and,
// when it was built from a git checkout, that checkout's `git describe`.
#pragma once

#include <string>

// "orvanta-cli 2.3.0" or "orvanta-cli 2.3.0 (git v2.3.0-4-g1a2b3c4-dirty)", without a line end.
std::string VersionText(const char* pProgram);
