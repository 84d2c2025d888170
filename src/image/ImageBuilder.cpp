// CInfFile::BuildImage: the package script turned into one firmware image.
#include <cstring>

#include "AsciiText.h"
#include "Crc32.h"
#include "HexFile.h"
#include "ImageRecords.h"
#include "InfFile.h"
#include "RegularFile.h"

namespace {

const char* const DEFAULT_DESCRIPTION = "Upgrading...";

bool IsEnable(const std::string& value) {
    return EqualsIgnoreCase(value, "Enable");
}

}  // namespace

std::unique_ptr<uint8_t[]> CInfFile::BuildImage(uint32_t& nLength) {
    nLength = 0;
    // The whole capacity at once: every file block is copied in once, nothing is moved later.
    auto pImage = std::make_unique_for_overwrite<uint8_t[]>(IMAGE_BUFFER_SIZE);
    uint8_t nPackageFlags = 0;
    bool bReset = false;

    // A script that cannot be read leaves an empty table and fails at the first lookup; the
    // detail Load left then says why.
    const bool bLoaded = Load() == 1;
    std::string value;
    if (!GetValue("Version", "FlashWrite", value)) {
        if (bLoaded) {
            m_strError = m_strPath + ": no FlashWrite key in section [Version]";
        }
        return nullptr;
    }
    if (IsEnable(value)) {
        nPackageFlags = FLAG_FLASH_WRITE;
    }
    if (GetValue("Version", "BootROMWrite", value) && IsEnable(value)) {
        nPackageFlags |= FLAG_BOOTROM_WRITE;
    }
    if (GetValue("Version", "Reset", value) && IsEnable(value)) {
        bReset = true;
    }

    uint8_t* pHeader = pImage.get();
    pHeader[0] = REC_IMAGE_HEADER;
    PutU32(pHeader + 1, IMAGE_HEADER_RECORD_SIZE - RECORD_HEAD_SIZE);
    std::memset(pHeader + RECORD_HEAD_SIZE, 0, IMAGE_HEADER_RECORD_SIZE - RECORD_HEAD_SIZE);
    uint32_t nSize = IMAGE_HEADER_RECORD_SIZE;

    // Every stored line from the first below [DownloadFiles] to the first that is no key line
    // is one entry; a missing section leaves an image without file blocks.
    InfPos pos;
    bool bMore = Locate(pos, "DownloadFiles", nullptr) == 1;
    while (bMore) {
        std::string key;
        std::string fileName;
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
        std::string description;
        if (!GetValue("FileDescription", fileName, description)) {
            description = DEFAULT_DESCRIPTION;
        }

        if (fileName.empty()) {
            m_strError = m_strPath + " line " + std::to_string(nLine) +
                         ": the [DownloadFiles] entry names no file";
            return nullptr;
        }
        // Checked here as well so that a name of a FIFO or device can never block the build.
        std::string reason;
        if (!CanOpenRegularFile(fileName, reason)) {
            m_strError = fileName + ": " + reason;
            return nullptr;
        }
        CHexFile hexFile(fileName, nFlags);
        uint32_t nBlock = 0;
        const std::unique_ptr<uint8_t[]> pBlock = hexFile.Convert(nBlock, description);
        if (!pBlock) {
            m_strError = hexFile.GetErrorDetail().empty() ? fileName + ": cannot be converted"
                                                          : hexFile.GetErrorDetail();
            return nullptr;
        }
        // The CRC record must still fit behind the last block.
        if (static_cast<uint64_t>(nSize) + nBlock + CRC_RECORD_SIZE > IMAGE_BUFFER_SIZE) {
            m_strError = fileName + ": the image would exceed its capacity of " +
                         std::to_string(IMAGE_BUFFER_SIZE) + " bytes";
            return nullptr;
        }
        std::memcpy(pImage.get() + nSize, pBlock.get(), nBlock);
        nSize += nBlock;
    }

    const uint32_t nCrc = CCrc32().Compute(pImage.get(), nSize);
    pImage[nSize] = REC_CRC32;
    PutU32(&pImage[nSize + 1], CRC_RECORD_SIZE - RECORD_HEAD_SIZE);
    PutU32(&pImage[nSize + RECORD_HEAD_SIZE], nCrc);
    nLength = nSize + CRC_RECORD_SIZE;
    return pImage;
}
