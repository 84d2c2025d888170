// CInfFile::BuildImage: the package script turned into one firmware image.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "AsciiText.h"
#include "Crc32.h"
#include "HexFile.h"
#include "ImageRecords.h"
#include "InfFile.h"

namespace {

const char* const DEFAULT_DESCRIPTION = "Upgrading...";

bool IsEnable(const std::string& value) {
    return EqualsIgnoreCase(value, "Enable");
}

// A buffer of nSize bytes, its pages made present at once: one system call instead of a page
// fault for every page as the image fills it.
std::unique_ptr<uint8_t[]> AllocateImageBuffer(size_t nSize) {
    auto pBuffer = std::make_unique_for_overwrite<uint8_t[]>(nSize);
#ifdef MADV_POPULATE_WRITE
    const auto nPage = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto nStart = reinterpret_cast<uintptr_t>(pBuffer.get());
    const uintptr_t nFirst = (nStart + nPage - 1) & ~(nPage - 1);
    const uintptr_t nLast = (nStart + nSize) & ~(nPage - 1);
    if (nLast > nFirst) {
        // Only a hint: where it fails, the pages come one fault at a time as before.
        madvise(reinterpret_cast<void*>(nFirst), nLast - nFirst, MADV_POPULATE_WRITE);
    }
#endif
    return pBuffer;
}

// name against the current directory, links left as they are; name itself when the current
// directory cannot be read.
std::string AbsoluteOf(const std::string& name) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(name, error);
    return error ? name : absolute.string();
}

}  // namespace

std::unique_ptr<uint8_t[]> CInfFile::BuildImage(uint32_t& nLength) {
    nLength = 0;
    m_readFiles.clear();
    // Taken before Load, which may make the upload folder current.
    std::string scriptPath = AbsoluteOf(m_strPath);
    // A script that cannot be read leaves an empty table and fails at the first lookup; the
    // detail Load left then says why.
    const bool bLoaded = Load() == 1;
    if (bLoaded) {
        m_readFiles.push_back(std::move(scriptPath));
    }
    std::string value;
    if (!GetValue("Version", "FlashWrite", value)) {
        if (bLoaded) {
            InfPos pos;
            // A last line without a line end is the likelier cause than a missing key.
            m_strError = m_nDroppedLine != 0
                             ? m_strPath + " line " + std::to_string(m_nDroppedLine) +
                                   ": the last line has no line end, so it is not read"
                         : Locate(pos, "Version", nullptr)
                             ? m_strPath + ": no FlashWrite key in section [Version]"
                             : m_strPath + ": no [Version] section";
        }
        return nullptr;
    }
    uint8_t nPackageFlags = IsEnable(value) ? FLAG_FLASH_WRITE : 0;
    if (GetValue("Version", "BootROMWrite", value) && IsEnable(value)) {
        nPackageFlags |= FLAG_BOOTROM_WRITE;
    }
    const bool bReset = GetValue("Version", "Reset", value) && IsEnable(value);

    // The whole capacity at once, with the converter's working room behind it: every file
    // block is converted straight into place, nothing is copied or moved later.
    auto pImage = AllocateImageBuffer(IMAGE_BUFFER_SIZE + CHexFile::WORK_ROOM);
    uint8_t* pHeader = pImage.get();
    pHeader[0] = REC_IMAGE_HEADER;
    PutU32(pHeader + 1, IMAGE_HEADER_RECORD_SIZE - RECORD_HEAD_SIZE);
    std::memset(pHeader + RECORD_HEAD_SIZE, 0, IMAGE_HEADER_RECORD_SIZE - RECORD_HEAD_SIZE);
    uint32_t nSize = IMAGE_HEADER_RECORD_SIZE;
    const std::string capacityReason =
        "the image would exceed its capacity of " + std::to_string(IMAGE_BUFFER_SIZE) + " bytes";

    // Every stored line from the first below [DownloadFiles] to the first that is no key line
    // is one entry; a missing section leaves an image without file blocks.
    InfPos pos;
    bool bMore = Locate(pos, "DownloadFiles", nullptr) == 1;
    std::string key;
    std::string fileName;
    std::string description;
    while (bMore) {
        GetField(pos, 0, key);
        GetField(pos, 1, fileName);
        const int64_t nEntry = static_cast<int64_t>(pos.section) + pos.offset;
        const int32_t nLine = nEntry < static_cast<int64_t>(m_lines.size())
                                  ? m_lines[static_cast<size_t>(nEntry)].nLine
                                  : m_lines.back().nLine;

        uint8_t nFlags = nPackageFlags;
        if (EqualsIgnoreCase(key, "File")) {
            nFlags |= FLAG_FILE;
        }
        bMore = NextLine(pos) == 1;
        if (!bMore && bReset) {
            nFlags |= FLAG_RESET;
        }
        if (!GetValue("FileDescription", fileName, description)) {
            description = DEFAULT_DESCRIPTION;
        }

        if (fileName.empty()) {
            m_strError = m_strPath + " line " + std::to_string(nLine) +
                         ": the [DownloadFiles] entry names no file";
            return nullptr;
        }
        // The converter opens only regular files, so a name of a FIFO or device can never
        // block the build; the CRC record must still fit behind the last block.
        CHexFile hexFile(fileName, nFlags);
        uint32_t nBlock = 0;
        const bool bConverted =
            hexFile.ConvertInto(pImage.get() + nSize, IMAGE_BUFFER_SIZE - CRC_RECORD_SIZE - nSize,
                                capacityReason, nBlock, description);
        if (hexFile.WasOpened()) {
            m_readFiles.push_back(AbsoluteOf(fileName));
        }
        if (!bConverted) {
            m_strError = hexFile.GetErrorDetail();
            if (!hexFile.WasOpened() && !m_strSearchFolder.empty() && fileName.front() != '/') {
                m_strError += " (looked for in " + m_strSearchFolder + ")";
            }
            return nullptr;
        }
        nSize += nBlock;
    }

    const uint32_t nCrc = CCrc32().Compute(pImage.get(), nSize);
    pImage[nSize] = REC_CRC32;
    PutU32(&pImage[nSize + 1], CRC_RECORD_SIZE - RECORD_HEAD_SIZE);
    PutU32(&pImage[nSize + RECORD_HEAD_SIZE], nCrc);
    nLength = nSize + CRC_RECORD_SIZE;
    return pImage;
}
