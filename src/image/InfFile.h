// CInfFile: the INF package script, read once into a table of its meaningful lines, answering
// lookups on that table, and building the firmware image that the script describes.
//
// Script syntax: [Section] header lines, key=value lines whose values may be lists separated by
// commas, blank lines and lines starting with ';' (not stored). Section and key names compare
// without regard to the case of A to Z. Lines end at CR, LF or CR LF; a last line without a
// line end is not a line. Positions (InfPos) count stored lines only and are held by the
// caller, so lookups never change what they return.
//
// Lookups take time in proportion to what they return, not to the script: Load indexes the
// first header of every section name, and the first lookup of a key in a section indexes that
// section's keys. No lookup copies a line.
//
// Loading makes the upload folder given at construction the current directory when that
// folder exists, so HEX files named by relative paths are found there; otherwise (no folder
// given, or none there) the current directory (the package's folder, made current by whoever
// chose the package) stays. The wizard's upload folder is DefaultUploadFolder().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct InfPos {
    int32_t section = 0;  // table index of the section's header line
    int32_t offset = 0;   // entries below the header; 0 is the header itself
};

struct CInfLine {
    int32_t nLine = 0;    // 1-based physical line number
    std::string strText;  // trimmed; never empty, never starting with ';'
};

// $HOME/upload, the upload folder the wizard uses; empty when HOME is unset or empty. Whether
// the folder exists is left to Load.
std::string DefaultUploadFolder();

class CInfFile {
public:
    // uploadFolder: the folder Load makes current for the HEX files, or empty for none.
    explicit CInfFile(std::string path, std::string uploadFolder = {});
    virtual ~CInfFile() = default;

    // 1 when the file was opened, read whole and split into lines; 0 when it cannot be
    // opened or read (the table is then empty and the current directory unchanged).
    int Load();
    // 1 and the joined value (fields joined by ',', leading empty fields dropped) of the first
    // matching key of the first matching section; 0 with strValue untouched when not found.
    int GetValue(const std::string& section, const std::string& key, std::string& strValue) const;
    // With a key: 1 and pos on the key's line. Without (nullptr): 1 and pos on offset 1.
    int Locate(InfPos& pos, const std::string& section, const char* key) const;
    // 1 and field n (0 the key, 1.. the comma-separated values, trimmed and unquoted) of the
    // line at pos; 0 when that line is no key line or has no field n (field emptied), or when
    // pos is past the table (field untouched).
    int GetField(const InfPos& pos, int n, std::string& strField) const;
    // 1 and pos one line down when that line is a key line; 0 with pos unchanged otherwise.
    int NextLine(InfPos& pos) const;

    // Builds the image the script describes (header, one file block per DownloadFiles entry,
    // CRC record). Returns the image (the caller owns it) with its size in nLength, or null
    // when no image can be built: script unreadable, no [Version] FlashWrite, a HEX file that
    // cannot be opened or converted, or an image that would exceed IMAGE_BUFFER_SIZE (found
    // at the HEX line that crosses it). GetErrorDetail() then names the file and the reason
    // ("main.hex line 12: checksum mismatch"); a HEX file not found by a relative name while
    // the upload folder was current names that folder. The image buffer may be longer than
    // nLength.
    std::unique_ptr<uint8_t[]> BuildImage(uint32_t& nLength);

    const std::string& GetErrorDetail() const { return m_strError; }
    const std::vector<CInfLine>& GetLines() const { return m_lines; }
    // The absolute paths of the files the last BuildImage read: the script, then each HEX file
    // that it opened, in order (a file named twice is listed twice).
    const std::vector<std::string>& GetReadFiles() const { return m_readFiles; }

private:
    void AddLine(int32_t nLine, const char* pText, size_t nLength);
    // The stored text of table entry index, or null when there is none.
    const std::string* GetLine(int64_t index) const;
    static int ParseSectionName(std::string_view line, std::string_view& name);
    int FindSection(const std::string& name, int32_t& index) const;
    int FindKey(InfPos& pos, const std::string& key) const;
    // Field n of a stored line's text as GetField delivers it, before cleaning; false when the
    // line is no key line or has no field n.
    static bool FieldOf(std::string_view text, int n, std::string_view& field);

    std::vector<CInfLine> m_lines;
    std::string m_strPath;
    std::string m_strError;
    std::string m_strUploadFolder;  // as given at construction
    std::string m_strSearchFolder;  // the upload folder Load made current, or empty
    std::vector<std::string> m_readFiles;
    int32_t m_nDroppedLine = 0;  // number of a last line dropped for want of a line end
    // Lower-case section name -> table index of its first header.
    std::unordered_map<std::string, int32_t> m_sections;
    // Section header index -> lower-case key -> offset of its first line, built on first use.
    mutable std::unordered_map<int32_t, std::unordered_map<std::string, int32_t>> m_keys;
};
