#include "Version.h"

#include "OrvantaGitVersion.h"

std::string VersionText(const char* pProgram) {
    std::string text = std::string(pProgram) + " " ORVANTA_VERSION;
    const std::string describe = ORVANTA_GIT_DESCRIBE;
    if (!describe.empty()) {
        text += " (git " + describe + ")";
    }
    return text;
}
