// Opening and reading package files. A package file must be a regular file that can be opened
// for reading: special files (FIFOs, devices, folders) are refused before anything reads from
// them, so a wrong name can never block the program. A read that fails or delivers fewer bytes
// than the file held when it was opened counts as a failure to open.
//
// Large inputs never cost memory in proportion to their size: a file is either refused by its
// size before anything is read (ReadRegularFile, CRegularFile::ReadExactly), or only a bounded
// first part of it is mapped (CRegularFile::Map).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// True when path names a regular file that can be opened for reading; otherwise false with
// strReason saying why ("cannot be opened (No such file or directory)").
bool CanOpenRegularFile(const std::string& path, std::string& strReason);

// Reads the whole regular file at path into strText. False, strText emptied, when it cannot be
// opened, is larger than nMaxSize bytes, or the read fails or comes up short; strReason then
// says why.
bool ReadRegularFile(const std::string& path, uint64_t nMaxSize, std::string& strText,
                     std::string& strReason);

// The reason text for a file refused by its size: "cannot be read (N bytes, more than the
// limit of M)".
std::string TooLargeReason(uint64_t nSize, uint64_t nMaxSize);

// One regular file open for reading; closed (and unmapped) with the object.
class CRegularFile {
public:
    CRegularFile() = default;
    ~CRegularFile();
    CRegularFile(const CRegularFile&) = delete;
    CRegularFile& operator=(const CRegularFile&) = delete;

    // True when path is a regular file now open for reading; false with strReason otherwise.
    bool Open(const std::string& path, std::string& strReason);
    // The file's size when it was opened.
    uint64_t Size() const { return m_nSize; }
    // Reads exactly nCount bytes from the start into pBuffer; false with strReason when the
    // read fails or the file ends first.
    bool ReadExactly(uint8_t* pBuffer, size_t nCount, std::string& strReason);
    // The first nMaxBytes of the file (all of it when shorter) as text, valid while the object
    // lives. Small files are read; larger ones are mapped read-only and brought in at once, so
    // reading them takes no page fault per page. An empty file gives empty text. False with
    // strReason when the read or the mapping fails. A mapped file must not shrink while it is
    // mapped: a page past its new end cannot be read.
    bool Map(uint64_t nMaxBytes, std::string_view& text, std::string& strReason);

private:
    int m_fd = -1;
    uint64_t m_nSize = 0;
    void* m_pMap = nullptr;
    size_t m_nMapped = 0;
    std::string m_copy;  // a small file's text
};
