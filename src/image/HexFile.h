// CHexFile: converts one Intel HEX file (16-bit segmented: record types 00 data, 01 end of
// file, 02 extended segment address, 03 start segment address) into one file block of the
// image: a file header record, address/data record pairs, an end record.
//
// Data lines whose offsets continue one another share one address/data pair; a gap, an
// overlap, a segment change or any extended segment address line starts a new pair. A
// conversion succeeds only when it reaches a valid end-of-file record: an invalid line, or the
// end of the text before an end-of-file record, fails it, so damaged or truncated firmware is
// never sent as if whole. Blank lines are passed over anywhere; white space around a record is
// ignored; hex digits may be upper or lower case; data lines may hold up to 255 bytes. An
// extended linear address record (04) of value 0 is passed over, any other value fails the
// conversion; other types from 05 up are passed over.
//
// The text is read with one read into one buffer and converted in a single pass into one block
// buffer that grows as needed, so no input can make the converter write past a buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CHexFile {
public:
    CHexFile(std::string fileName, uint8_t nFlags);
    virtual ~CHexFile() = default;

    // Returns the file block (the caller owns it) with its size in nLength, the description
    // (up to its first NUL) stored NUL-terminated in its file header. Returns null, nLength
    // untouched, when the file cannot be opened or read or its text is not a complete HEX
    // file; GetErrorDetail() then says "<file> line <n>: <reason>" or "<file>: <reason>".
    std::unique_ptr<uint8_t[]> Convert(uint32_t& nLength, const std::string& description);

    const std::string& GetErrorDetail() const { return m_strError; }

private:
    // The block under construction: grown by doubling and written in place, so data bytes
    // are decoded straight to where they belong and the finished block is handed over as is.
    struct BlockBuffer {
        std::unique_ptr<uint8_t[]> pBytes;
        size_t nSize = 0;
        size_t nCapacity = 0;
        // Makes room for nMore bytes after nSize and returns where they start.
        uint8_t* Room(size_t nMore);
    };

    // The fields of one HEX line.
    struct HexLine {
        bool bBlank = false;  // empty or white space only: no record
        uint8_t nCount = 0;
        uint16_t nOffset = 0;
        uint8_t nType = 0;
        uint8_t* pData = nullptr;  // where the caller wants the data bytes: room for 255
    };

    // Reads the file and appends the address/data records of its body to block. Returns 1
    // with the start values of the last start segment address record (0 without one); 0 when
    // the file cannot be read or is no complete HEX file, with m_strError set.
    int ReadRecords(BlockBuffer& block, uint16_t& nStartSegment, uint16_t& nStartOffset);
    // Parses the physical line at p (up to and including its CR, LF or CR LF) and moves p past
    // it either way. Returns 1 when the line is a valid record or blank (line.bBlank), 0 with a
    // reason in pszReason otherwise. The data bytes go to line.pData, valid or not.
    static int ParseLine(const char*& p, const char* pEnd, HexLine& line, const char*& pszReason);
    // 1 with the byte when both characters are hex digits (either case), the first the high one.
    static int HexByte(const char* p, uint8_t& nByte);
    // 1 with the value when all four characters are hex digits; the first pair is the high byte.
    static int HexWord(const char* p, uint16_t& nWord);
    // The file header record; its size, n + 11 for a description of n bytes, in nLength.
    static std::unique_ptr<uint8_t[]> MakeFileHeader(uint8_t nFlags, uint16_t nStartSegment,
                                                     uint16_t nStartOffset,
                                                     const std::string& description,
                                                     uint32_t& nLength);
    static std::unique_ptr<uint8_t[]> MakeEndRecord(uint32_t& nLength);

    std::string m_strFileName;
    uint8_t m_nFlags;
    std::string m_strError;
};
