// Helpers for the image tests: scratch folders with real files, guards that restore the current
// directory and environment variables, Intel HEX lines with their checksums, and a reader of the
// file headers of a built image.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ImageRecords.h"

namespace imagetest {

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orvanta-image-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

    // Writes bytes to name inside the folder (creating subfolders) and returns the full path.
    std::string Write(const std::string& name, std::string_view bytes) const {
        const std::filesystem::path path = m_path / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }

  private:
    std::filesystem::path m_path;
};

// Restores the current directory on leaving the scope.
class CurrentDirGuard {
  public:
    CurrentDirGuard() : m_saved(std::filesystem::current_path()) {}
    ~CurrentDirGuard() {
        std::error_code ec;
        std::filesystem::current_path(m_saved, ec);
    }
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

  private:
    std::filesystem::path m_saved;
};

// Sets an environment variable for the scope and restores its old value (or absence).
class EnvGuard {
  public:
    EnvGuard(std::string name, const std::string& value) : m_name(std::move(name)) {
        if (const char* old = getenv(m_name.c_str())) {
            m_saved = old;
        }
        setenv(m_name.c_str(), value.c_str(), 1);
    }
    ~EnvGuard() {
        if (m_saved) {
            setenv(m_name.c_str(), m_saved->c_str(), 1);
        } else {
            unsetenv(m_name.c_str());
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

  private:
    std::string m_name;
    std::optional<std::string> m_saved;
};

// One Intel HEX record line, upper-case digits, valid checksum, ended by CR LF.
inline std::string HexRecord(uint8_t nType, uint16_t nOffset, const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789ABCDEF";
    std::string line = ":";
    uint8_t nSum = 0;
    auto put = [&](uint8_t b) {
        line += digits[b >> 4];
        line += digits[b & 0x0F];
        nSum = static_cast<uint8_t>(nSum + b);
    };
    put(static_cast<uint8_t>(data.size()));
    put(static_cast<uint8_t>(nOffset >> 8));
    put(static_cast<uint8_t>(nOffset));
    put(nType);
    for (uint8_t b : data) {
        put(b);
    }
    put(static_cast<uint8_t>(0x100 - nSum));
    line += "\r\n";
    return line;
}

inline std::string HexSegment(uint16_t nSegment) {
    return HexRecord(0x02, 0,
                     {static_cast<uint8_t>(nSegment >> 8), static_cast<uint8_t>(nSegment)});
}

inline const std::string kHexEnd = ":00000001FF\r\n";

// What a file header record of a built image says.
struct FileHeaderInfo {
    uint8_t nFlags = 0;
    uint32_t nLengthField = 0;
    std::string strDescription;
};

// The file headers of an image, in order; stops where a record would run past the end.
inline std::vector<FileHeaderInfo> FileHeaders(const uint8_t* pImage, uint32_t nSize) {
    std::vector<FileHeaderInfo> headers;
    uint32_t nOffset = 0;
    while (nSize - nOffset >= RECORD_HEAD_SIZE) {
        const uint32_t nLength = GetU32(pImage + nOffset + 1);
        if (nLength > nSize - nOffset - RECORD_HEAD_SIZE) {
            break;
        }
        if (pImage[nOffset] == REC_FILE_HEADER && nLength >= 6) {
            const char* pText = reinterpret_cast<const char*>(pImage + nOffset + 10);
            headers.push_back({pImage[nOffset + 5], nLength, std::string(pText, nLength - 6)});
        }
        nOffset += RECORD_HEAD_SIZE + nLength;
    }
    return headers;
}

}  // namespace imagetest
