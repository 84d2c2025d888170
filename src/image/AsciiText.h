// Text rules shared by the package script reader, the builder and the package loader. Text is
// 8-bit; only A to Z and a to z differ by case, and bytes from 0x80 up are never white space.
#pragma once

#include <string>
#include <string_view>

// Space, TAB, LF, VT, FF or CR.
inline bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// text with A to Z made lower case.
inline std::string LowerAsciiText(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    return lower;
}

// True when a and b are equal apart from the case of the letters A to Z.
inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// text without the white space at both ends.
inline std::string_view TrimBlanks(std::string_view text) {
    size_t nStart = 0;
    while (nStart < text.size() && IsBlank(text[nStart])) {
        ++nStart;
    }
    size_t nEnd = text.size();
    while (nEnd > nStart && IsBlank(text[nEnd - 1])) {
        --nEnd;
    }
    return text.substr(nStart, nEnd - nStart);
}
