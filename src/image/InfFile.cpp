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

std::string DefaultUploadFolder() {
    const char* pHome = std::getenv("HOME");
    return pHome != nullptr && *pHome != '\0' ? std::string(pHome) + "/upload" : std::string();
}

CInfFile::CInfFile(std::string path, std::string uploadFolder)
    : m_strPath(std::move(path)), m_strUploadFolder(std::move(uploadFolder)) {}

int CInfFile::Load() {
    m_lines.clear();
    m_sections.clear();
    m_keys.clear();
    m_strError.clear();
    m_strSearchFolder.clear();
    m_nDroppedLine = 0;
    std::string text;
    std::string reason;
    if (!ReadRegularFile(m_strPath, MAX_SCRIPT_SIZE, text, reason)) {
        m_strError = m_strPath + ": " + reason;
        return 0;
    }

    // HEX files named by relative paths are looked for in the upload folder when there is one;
    // without it the package's own folder stays current.
    if (!m_strUploadFolder.empty() && ::chdir(m_strUploadFolder.c_str()) == 0) {
        m_strSearchFolder = m_strUploadFolder;
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
    const std::string_view rest = std::string_view(text).substr(nStart);
    const std::string_view kept = rest.substr(0, rest.find('\0'));
    if (!TrimBlanks(kept).empty() && TrimBlanks(kept).front() != ';') {
        m_nDroppedLine = nLine;
    }

    // Only the first header of a name is ever found.
    for (size_t i = 0; i < m_lines.size(); ++i) {
        std::string_view name;
        if (ParseSectionName(m_lines[i].strText, name)) {
            m_sections.emplace(LowerAsciiText(name), static_cast<int32_t>(i));
        }
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

const std::string* CInfFile::GetLine(int64_t index) const {
    if (index < 0 || static_cast<uint64_t>(index) >= m_lines.size()) {
        return nullptr;
    }
    return &m_lines[static_cast<size_t>(index)].strText;
}

int CInfFile::ParseSectionName(std::string_view line, std::string_view& name) {
    if (line.empty() || line.front() != '[') {
        return 0;
    }
    const size_t nClose = line.find(']', 1);
    if (nClose == std::string_view::npos) {
        name = {};
        return 0;
    }
    name = line.substr(1, nClose - 1);
    return 1;
}

int CInfFile::FindSection(const std::string& name, int32_t& index) const {
    const auto found = m_sections.find(LowerAsciiText(name));
    index = found == m_sections.end() ? 0 : found->second;
    return found == m_sections.end() ? 0 : 1;
}

bool CInfFile::FieldOf(std::string_view text, int n, std::string_view& field) {
    const size_t nEquals = text.find('=');
    if (text.front() == '[' || nEquals == std::string_view::npos || n < 0) {
        return false;
    }
    if (n == 0) {
        field = text.substr(0, nEquals);
        return true;
    }
    // Field 1 starts right after the first '='; later '=' are ordinary text.
    size_t nStart = nEquals + 1;
    for (int k = 1; k < n; ++k) {
        const size_t nComma = text.find(',', nStart);
        if (nComma == std::string_view::npos) {
            return false;
        }
        nStart = nComma + 1;
    }
    const size_t nEnd = std::min(text.find(',', nStart), text.size());
    field = text.substr(nStart, nEnd - nStart);
    return true;
}

int CInfFile::GetField(const InfPos& pos, int n, std::string& strField) const {
    // Positions come from the caller; their sum may lie anywhere, even outside 32 bits.
    const std::string* pText = GetLine(static_cast<int64_t>(pos.section) + pos.offset);
    if (pText == nullptr) {
        return 0;
    }
    std::string_view field;
    if (!FieldOf(*pText, n, field)) {
        strField.clear();
        return 0;
    }
    strField.assign(CleanField(field));
    return 1;
}

int CInfFile::FindKey(InfPos& pos, const std::string& key) const {
    const int64_t nHeader = pos.section;
    const std::string* pHeader = GetLine(nHeader);
    if (pos.offset != 0 || pHeader == nullptr || pHeader->front() != '[') {
        // Not from a header: walk the key lines below pos.
        for (int64_t index = int64_t{pos.section} + pos.offset + 1;; ++index) {
            const std::string* pText = GetLine(index);
            std::string_view name;
            if (pText == nullptr || index - pos.section > INT32_MAX || !FieldOf(*pText, 0, name)) {
                return 0;
            }
            if (EqualsIgnoreCase(CleanField(name), key)) {
                pos.offset = static_cast<int32_t>(index - pos.section);
                return 1;
            }
        }
    }
    auto [keys, bNew] = m_keys.try_emplace(pos.section);
    if (bNew) {
        // The section's key lines, first occurrence of each name.
        for (int64_t index = nHeader + 1;; ++index) {
            const std::string* pText = GetLine(index);
            std::string_view name;
            if (pText == nullptr || !FieldOf(*pText, 0, name)) {
                break;
            }
            keys->second.emplace(LowerAsciiText(CleanField(name)),
                                 static_cast<int32_t>(index - nHeader));
        }
    }
    const auto found = keys->second.find(LowerAsciiText(key));
    if (found == keys->second.end()) {
        return 0;
    }
    pos.offset = found->second;
    return 1;
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
    const std::string* pText = GetLine(int64_t{pos.section} + pos.offset + 1);
    std::string_view key;
    if (pText == nullptr || !FieldOf(*pText, 0, key)) {
        return 0;
    }
    ++pos.offset;
    return 1;
}

int CInfFile::GetValue(const std::string& section, const std::string& key,
                       std::string& strValue) const {
    InfPos pos;
    if (!Locate(pos, section, key.c_str())) {
        return 0;
    }
    const std::string_view text = *GetLine(int64_t{pos.section} + pos.offset);
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
        strValue += CleanField(text.substr(nStart, nEnd - nStart));
        if (nComma == std::string_view::npos) {
            return 1;
        }
        nStart = nComma + 1;
    }
}
