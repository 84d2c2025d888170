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
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CHexFile {
public:
    CHexFile(std::string fileName, uint8_t nFlags);
    virtual ~CHexFile() = default;

    // Returns the file block (the caller owns it) with its size in nLength, the description
    // stored NUL-terminated in its file header. Returns null, nLength untouched, when the file
    // cannot be opened or read or its text is not a complete HEX file; GetErrorDetail() then
    // says "<file> line <n>: <reason>" or "<file>: <reason>".
    std::unique_ptr<uint8_t[]> Convert(uint32_t& nLength, const std::string& description);

    const std::string& GetErrorDetail() const { return m_strError; }

private:
    std::string m_strFileName;
    uint8_t m_nFlags;
    std::string m_strError;
};
