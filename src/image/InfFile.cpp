#include "InfFile.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "AsciiText.h"
#include "RegularFile.h"

namespace {

// A package script holds a few dozen lines; a file this large is not one. The limit keeps line
// numbers and table indexes far inside 32 bits and bounds the builder's repeated lookups.
constexpr uint64_t MAX_SCRIPT_SIZE = 1024u * 1024;

// A value field as delivered: trimmed, then one double quote taken from each end on its own, so
// an unbalanced quote goes too. Quotes never protect commas; the line is cut first.
std::string_view CleanField(std::string_view field) {
    field = TrimBlanks(field);
    if (!field.empty() && field.front() == '"') {
        field.remove_prefix(1);
    }
    if (!field.empty() && field.back() == '"') {
        field.remove_suffix(1);
    }
    return field;
}

}  // namespace

CInfFile::CInfFile(std::string path) : m_strPath(std::move(path)) {}

int CInfFile::Load() {
    m_lines.clear();
    m_strError.clear();
    std::string text;
    std::string reason;
    if (!ReadRegularFile(m_strPath, MAX_SCRIPT_SIZE, text, reason)) {
        m_strError = m_strPath + ": " + reason;
        return 0;
    }

    // HEX files named by relative paths are looked for in the upload folder when there is one.
    const char* pHome = std::getenv("HOME");
    if (pHome != nullptr && *pHome != '\0') {
        const std::string upload = std::string(pHome) + "/upload";
        if (::chdir(upload.c_str()) != 0) {
            // No upload folder: the package's own folder stays current.
        }
    }

    // CR, LF and CR LF each end one line; bytes after the last line end are no line.
    int32_t nLine = 1;
    size_t nStart = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            continue;
        }
        AddLine(nLine, text.data() + nStart, i - nStart);
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
        }
        ++nLine;
        nStart = i + 1;
    }
    return 1;
}

void CInfFile::AddLine(int32_t nLine, const char* pText, size_t nLength) {
    const void* pNul = std::memchr(pText, '\0', nLength);
    if (pNul != nullptr) {
        nLength = static_cast<size_t>(static_cast<const char*>(pNul) - pText);
    }
    const std::string_view text = TrimBlanks(std::string_view(pText, nLength));
    if (text.empty() || text.front() == ';') {
        return;
    }
    m_lines.push_back(CInfLine{nLine, std::string(text)});
}

int CInfFile::GetLine(int32_t index, std::string& strText) const {
    if (index < 0 || static_cast<size_t>(index) >= m_lines.size()) {
        return 0;
    }
    strText = m_lines[static_cast<size_t>(index)].strText;
    return 1;
}

int CInfFile::ParseSectionName(const std::string& line, std::string& strName) {
    if (line.empty() || line.front() != '[') {
        return 0;
    }
    const size_t nClose = line.find(']', 1);
    if (nClose == std::string::npos) {
        strName.clear();
        return 0;
    }
    strName = line.substr(1, nClose - 1);
    return 1;
}

int CInfFile::FindSection(const std::string& name, int32_t& index) const {
    std::string sectionName;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (ParseSectionName(m_lines[i].strText, sectionName) &&
            EqualsIgnoreCase(sectionName, name)) {
            index = static_cast<int32_t>(i);
            return 1;
        }
    }
    index = 0;
    return 0;
}

int CInfFile::GetField(const InfPos& pos, int n, std::string& strField) const {
    // Positions come from the caller; their sum may lie anywhere, even outside 32 bits.
    const int64_t index = static_cast<int64_t>(pos.section) + pos.offset;
    std::string text;
    if (index < 0 || index > std::numeric_limits<int32_t>::max() ||
        !GetLine(static_cast<int32_t>(index), text)) {
        return 0;
    }
    const size_t nEquals = text.find('=');
    if (text.front() == '[' || nEquals == std::string::npos || n < 0) {
        strField.clear();
        return 0;
    }

    std::string_view field;
    if (n == 0) {
        field = std::string_view(text).substr(0, nEquals);
    } else {
        // Field 1 starts right after the first '='; later '=' are ordinary text.
        size_t nStart = nEquals + 1;
        for (int k = 1; k < n; ++k) {
            const size_t nComma = text.find(',', nStart);
            if (nComma == std::string::npos) {
                strField.clear();
                return 0;
            }
            nStart = nComma + 1;
        }
        const size_t nEnd = std::min(text.find(',', nStart), text.size());
        field = std::string_view(text).substr(nStart, nEnd - nStart);
    }

    strField.assign(CleanField(field));
    return 1;
}

int CInfFile::FindKey(InfPos& pos, const std::string& key) const {
    InfPos line = pos;
    std::string name;
    while (line.offset < std::numeric_limits<int32_t>::max()) {
        ++line.offset;
        if (!GetField(line, 0, name)) {
            return 0;
        }
        if (EqualsIgnoreCase(name, key)) {
            pos.offset = line.offset;
            return 1;
        }
    }
    return 0;
}

int CInfFile::Locate(InfPos& pos, const std::string& section, const char* key) const {
    pos = InfPos{};
    int32_t index = 0;
    if (!FindSection(section, index)) {
        return 0;
    }
    pos.section = index;
    if (key != nullptr) {
        return FindKey(pos, key);
    }
    pos.offset = 1;
    return 1;
}

int CInfFile::NextLine(InfPos& pos) const {
    if (pos.offset == std::numeric_limits<int32_t>::max()) {
        return 0;
    }
    InfPos below{pos.section, pos.offset + 1};
    std::string key;
    if (!GetField(below, 0, key)) {
        return 0;
    }
    pos = below;
    return 1;
}

int CInfFile::GetValue(const std::string& section, const std::string& key,
                       std::string& strValue) const {
    InfPos pos;
    std::string text;
    if (!Locate(pos, section, key.c_str()) || !GetLine(pos.section + pos.offset, text)) {
        return 0;
    }
    // The fields in one pass, as GetField with n = 1, 2, ... gives them. A comma goes in only
    // after a non-empty value, so empty leading fields vanish while later ones keep theirs.
    strValue.clear();
    size_t nStart = text.find('=') + 1;
    while (true) {
        const size_t nComma = text.find(',', nStart);
        const size_t nEnd = std::min(nComma, text.size());
        if (!strValue.empty()) {
            strValue += ',';
        }
        strValue += CleanField(std::string_view(text).substr(nStart, nEnd - nStart));
        if (nComma == std::string::npos) {
            return 1;
        }
        nStart = nComma + 1;
    }
}
