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
// extended linear address record (04) of value 0 is passed over; any other value, or a byte
// count other than 2, fails the conversion; other types from 05 up are passed over.
//
// Endings: nothing after the end-of-file record is read, so anything may follow it, on its
// line or below it (a DOS end-of-file mark, NUL padding, text). After any other record's
// checksum the rest of the line is ignored unless it holds a ':', which means a second record
// has run into the line and would otherwise be lost.
//
// Bounds: the text is mapped, never copied, and only its first MAX_HEX_TEXT bytes are ever
// looked at; a file whose end-of-file record lies beyond them fails. The block is written in
// one pass, either into a buffer that grows (Convert) or straight into the caller's buffer up
// to a limit (ConvertInto), where the conversion stops at the first line that crosses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CHexFile {
public:
    // The most HEX text a conversion reads: far more than any file whose block fits an image.
    static constexpr uint64_t MAX_HEX_TEXT = 16u * 1024 * 1024;
    // Bytes that a buffer given to ConvertInto needs beyond its limit: a line's data and the
    // heads of a new pair are written before the limit is checked.
    static constexpr uint32_t WORK_ROOM = 9 + 5 + 255;

    CHexFile(std::string fileName, uint8_t nFlags);
    virtual ~CHexFile() = default;

    // Returns the file block (the caller owns it) with its size in nLength, the description
    // (up to its first NUL) stored NUL-terminated in its file header. Returns null, nLength
    // untouched, when the file cannot be opened or read or its text is not a complete HEX
    // file; GetErrorDetail() then says "<file> line <n>: <reason>" or "<file>: <reason>".
    std::unique_ptr<uint8_t[]> Convert(uint32_t& nLength, const std::string& description);

    // As Convert, but writes the block to pOut, which has room for nLimit + WORK_ROOM bytes,
    // and fails as soon as the block would exceed nLimit bytes, with limitReason as the
    // detail's reason ("<file> line <n>: <limitReason>"). Returns 1 with nLength, or 0 with
    // nLength untouched; the bytes at pOut are then undefined.
    int ConvertInto(uint8_t* pOut, uint32_t nLimit, const std::string& limitReason,
                    uint32_t& nLength, const std::string& description);

    const std::string& GetErrorDetail() const { return m_strError; }
    // False after a conversion that failed because the file could not be opened.
    bool WasOpened() const { return m_bOpened; }

private:
    // Where the block goes: a buffer grown by doubling (owned), or the caller's, fixed.
    struct BlockBuffer {
        std::unique_ptr<uint8_t[]> pOwned;
        uint8_t* pBytes = nullptr;
        size_t nSize = 0;
        size_t nCapacity = 0;
        bool bFixed = false;
        // Makes room for nMore bytes after nSize and returns where they start. A fixed buffer
        // always has it (see WORK_ROOM).
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

    int Run(BlockBuffer& block, uint64_t nLimit, const std::string& limitReason, uint32_t& nLength,
            const std::string& description);
    // Reads the file and appends the address/data records of its body to block, failing when
    // the block with its end record would exceed nLimit. Returns 1 with the start values of
    // the last start segment address record (0 without one); 0 with m_strError set.
    int ReadRecords(BlockBuffer& block, uint64_t nLimit, const std::string& limitReason,
                    uint16_t& nStartSegment, uint16_t& nStartOffset);
    // Parses the physical line at p (up to and including its CR, LF or CR LF). Returns 1 when
    // the line is a valid record or blank (line.bBlank) and moves p past it; 0 with a reason
    // in pszReason otherwise. The data bytes go to line.pData, valid or not.
    static int ParseLine(const char*& p, const char* pEnd, HexLine& line, const char*& pszReason);
    // 1 with the byte when both characters are hex digits (either case), the first the high one.
    static int HexByte(const char* p, uint8_t& nByte);
    // 1 with the value when all four characters are hex digits; the first pair is the high byte.
    static int HexWord(const char* p, uint16_t& nWord);
    // Writes the file header record (n + 11 bytes for a description of n bytes) at pRecord.
    static void MakeFileHeader(uint8_t* pRecord, uint8_t nFlags, uint16_t nStartSegment,
                               uint16_t nStartOffset, const char* pDescription, size_t n);
    // Writes the 5-byte end record at pRecord.
    static void MakeEndRecord(uint8_t* pRecord);

    std::string m_strFileName;
    uint8_t m_nFlags;
    std::string m_strError;
    bool m_bOpened = true;
};
