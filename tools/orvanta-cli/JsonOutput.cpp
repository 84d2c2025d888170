#include "JsonOutput.h"

#include <cstdio>

namespace {

// The strict serialiser refuses text that is not UTF-8 (overlong forms and surrogates too).
bool IsUtf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace

nlohmann::json PackageText(const std::string& text) {
    if (IsUtf8(text)) {
        return text;
    }
    std::string utf8;
    utf8.reserve(text.size() * 2);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            utf8 += c;
        } else {
            utf8 += static_cast<char>(0xC0 | (b >> 6));
            utf8 += static_cast<char>(0x80 | (b & 0x3F));
        }
    }
    return utf8;
}

nlohmann::json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::json() : nlohmann::json(text);
}

nlohmann::json NumberOrNull(int nValue) {
    return nValue < 0 ? nlohmann::json() : nlohmann::json(nValue);
}

void PrintJson(const nlohmann::json& document) {
    const std::string text =
        document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
}
