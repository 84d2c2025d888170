#include "ResultTexts.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr const char* kTexts[] = {
    "Upgrade successful!",
    "File not found. Please check the path and filename.",
    "The input file is not valid.",
    "The inf file is corrupt. Please try another file.",
    "USB Failed",
    "Serial failed",
    "Projector canceled connection.",
};
static_assert(std::size(kTexts) == RESULT_PROJECTOR_CANCELED + 1);

}  // namespace

const char* ResultText(int nResult) {
    if (nResult < 0 || nResult >= static_cast<int>(std::size(kTexts))) {
        return nullptr;
    }
    return kTexts[nResult];
}

std::string ResultMessage(int nResult) {
    if (const char* pText = ResultText(nResult)) {
        return pText;
    }
    char text[32];
    std::snprintf(text, sizeof text, "Unknown error: 0x%04X", static_cast<uint32_t>(nResult));
    return text;
}
