#include "ResultText.h"

#include <cstdint>
#include <cstdio>

std::string ResultMessage(int nResult) {
    switch (nResult) {
        case 0:
            return "Upgrade successful!";
        case 1:
            return "File not found. Please check the path and filename.";
        case 2:
            return "The input file is not valid.";
        case 3:
            return "The inf file is corrupt. Please try another file.";
        case 4:
            return "USB Failed";
        case 5:
            return "Serial failed";
        case 6:
            return "Projector canceled connection.";
        default:
            break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "Unknown error: 0x%04X", static_cast<uint32_t>(nResult));
    return text;
}
