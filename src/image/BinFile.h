// CBinFile: a stored firmware image on disk. A .bin file of length L holds the L image bytes,
// each complemented (file byte = 0xFF - image byte), and nothing else.
//
// One object serves one read or one write. Reading accepts any bytes; whether they form a
// valid image is CheckImage's question (ImageCheck.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

class CBinFile {
public:
    explicit CBinFile(std::string path);
    virtual ~CBinFile() = default;

    // Reads the whole file and undoes the complement. On success returns the plain image (the
    // caller owns it) and sets nLength to its size; an empty file gives a valid empty buffer.
    // Returns null with nLength 0 when the file cannot be opened for reading, is no regular
    // file, is larger than IMAGE_BUFFER_SIZE (refused by its size, before anything is read),
    // or the read fails or comes up short. GetErrorDetail() then says why, naming the file.
    std::unique_ptr<uint8_t[]> ReadImage(uint32_t& nLength);

    // Writes nLength bytes of pBuffer complemented. Returns 1 when the whole file was written;
    // then pBuffer holds the complemented bytes (it is complemented in place and not
    // restored). Returns 0, pBuffer as it was, when the file cannot be opened or written.
    // A path that is missing or names a regular file gets a new file, written beside it under
    // a temporary name and renamed into place, so a failure never leaves a partial file nor
    // touches an existing one; an existing file's permission bits are kept. Any other path (a
    // FIFO, a device, a symbolic link such as /dev/stdout) is opened and written through in
    // blocking mode, short writes continued; a FIFO without a reader fails at once.
    int WriteImage(uint8_t* pBuffer, uint32_t nLength);

    // Complements the first nLength bytes of pBuffer in place; returns nLength.
    static uint32_t Complement(uint8_t* pBuffer, uint32_t nLength);

    const std::string& GetErrorDetail() const { return m_strError; }

private:
    int WriteReplacing(uint8_t* pBuffer, uint32_t nLength, mode_t nMode);

    std::string m_strPath;
    std::string m_strError;
};
