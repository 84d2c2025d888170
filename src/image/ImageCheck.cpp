#include "ImageCheck.h"

#include <cstdio>
#include <cstring>

#include "Crc32.h"
#include "ImageRecords.h"

namespace {

std::string Hex(uint32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", n);
    return text;
}

std::string RecordName(uint8_t nType) {
    switch (nType) {
        case REC_IMAGE_HEADER:
            return "image header";
        case REC_FILE_HEADER:
            return "file header";
        case REC_ADDRESS:
            return "address record";
        case REC_DATA:
            return "data record";
        case REC_FILE_END:
            return "end record";
        case REC_CRC32:
            return "CRC record";
        default:
            return "record of unknown type " + std::to_string(nType);
    }
}

// Where the walk through the image stands: between file blocks, inside a block expecting an
// address record or the end record, or right after an address record expecting its data.
enum class State { BetweenBlocks, InBlock, AfterAddress };

int Fail(std::string& strReason, std::string text) {
    strReason = std::move(text);
    return 0;
}

}  // namespace

int CheckImage(const uint8_t* pImage, uint32_t nSize, std::string& strReason) {
    if (pImage == nullptr || nSize == 0) {
        return Fail(strReason, "the image is empty");
    }
    if (nSize < RECORD_HEAD_SIZE || pImage[0] != REC_IMAGE_HEADER) {
        return Fail(strReason, "the image does not start with an image header record");
    }
    State state = State::BetweenBlocks;
    uint32_t nBlock = 0;    // offset of the open file block's header
    uint32_t nAddress = 0;  // offset of the last address record
    uint32_t nOffset = 0;
    while (true) {
        if (nSize - nOffset < RECORD_HEAD_SIZE) {
            if (state != State::BetweenBlocks) {
                return Fail(strReason, "file block at offset " + Hex(nBlock) +
                                           " has no end record before the end of the image");
            }
            return Fail(strReason,
                        "the image ends at offset " + Hex(nOffset) + " without a CRC record");
        }
        const uint8_t nType = pImage[nOffset];
        const uint32_t nLength = GetU32(&pImage[nOffset + 1]);
        // Named only when a failure is reported.
        auto where = [&] { return RecordName(nType) + " at offset " + Hex(nOffset); };
        if (nLength > nSize - nOffset - RECORD_HEAD_SIZE) {
            return Fail(strReason, where() + " runs past the end of the image");
        }
        const uint8_t* pPayload = &pImage[nOffset + RECORD_HEAD_SIZE];
        if (nOffset == 0) {
            if (nLength != 6) {
                return Fail(strReason,
                            where() + " has length " + std::to_string(nLength) + ", expected 6");
            }
        } else if (nType > REC_CRC32) {
            return Fail(strReason, where() + " is not allowed");
        } else if (nType == REC_IMAGE_HEADER) {
            return Fail(strReason, where() + " is not allowed after offset 0");
        } else if (state == State::AfterAddress && nType != REC_DATA) {
            return Fail(strReason, "address record at offset " + Hex(nAddress) +
                                       " is not followed by a data record");
        } else if (state == State::InBlock && (nType == REC_FILE_HEADER || nType == REC_CRC32)) {
            return Fail(strReason, "file block at offset " + Hex(nBlock) +
                                       " has no end record before the " + where());
        } else if (state == State::BetweenBlocks && nType != REC_FILE_HEADER &&
                   nType != REC_CRC32) {
            return Fail(strReason, where() + " stands outside a file block");
        } else if (state == State::InBlock && nType != REC_ADDRESS && nType != REC_FILE_END) {
            return Fail(strReason,
                        where() + " is not allowed inside the file block at offset " + Hex(nBlock));
        } else {
            switch (nType) {
                case REC_FILE_HEADER: {
                    const uint32_t nFixed = FILE_HEADER_DESCRIPTION_OFFSET - RECORD_HEAD_SIZE;
                    if (nLength < nFixed + 1) {
                        return Fail(strReason, where() + " is shorter than " +
                                                   std::to_string(nFixed + 1) + " bytes");
                    }
                    const uint32_t nText = nLength - nFixed;
                    const uint8_t* pText = pPayload + nFixed;
                    if (pText[nText - 1] != 0) {
                        return Fail(strReason,
                                    where() + " has no NUL at the end of its description");
                    }
                    if (std::memchr(pText, 0, nText - 1) != nullptr) {
                        return Fail(strReason, where() + " has a NUL inside its description");
                    }
                    nBlock = nOffset;
                    state = State::InBlock;
                    break;
                }
                case REC_ADDRESS:
                    if (nLength != 4) {
                        return Fail(strReason, where() + " has length " + std::to_string(nLength) +
                                                   ", expected 4");
                    }
                    nAddress = nOffset;
                    state = State::AfterAddress;
                    break;
                case REC_DATA:
                    state = State::InBlock;
                    break;
                case REC_FILE_END:
                    if (nLength != 0) {
                        return Fail(strReason, where() + " has length " + std::to_string(nLength) +
                                                   ", expected 0");
                    }
                    state = State::BetweenBlocks;
                    break;
                case REC_CRC32: {
                    if (nLength != 4) {
                        return Fail(strReason, where() + " has length " + std::to_string(nLength) +
                                                   ", expected 4");
                    }
                    if (nOffset + CRC_RECORD_SIZE != nSize) {
                        const uint32_t nAfter = nSize - nOffset - CRC_RECORD_SIZE;
                        return Fail(strReason,
                                    std::to_string(nAfter) +
                                        (nAfter == 1 ? " byte follows" : " bytes follow") +
                                        " the " + where());
                    }
                    const uint32_t nStored = GetU32(pPayload);
                    const uint32_t nComputed = CCrc32().Compute(pImage, nOffset);
                    if (nStored != nComputed) {
                        char text[96];
                        std::snprintf(text, sizeof text,
                                      "CRC record holds 0x%08X, the image's CRC-32 is 0x%08X",
                                      nStored, nComputed);
                        return Fail(strReason, text);
                    }
                    strReason.clear();
                    return 1;
                }
                default:
                    return Fail(strReason, where() + " is not allowed");
            }
        }
        nOffset += RECORD_HEAD_SIZE + nLength;
    }
}

uint32_t CountFileBlocks(const uint8_t* pImage, uint32_t nSize) {
    uint32_t nCount = 0;
    uint32_t nOffset = 0;
    while (pImage != nullptr && nSize - nOffset >= RECORD_HEAD_SIZE) {
        const uint8_t nType = pImage[nOffset];
        const uint32_t nLength = GetU32(&pImage[nOffset + 1]);
        if (nType == REC_CRC32 || nLength > nSize - nOffset - RECORD_HEAD_SIZE) {
            break;
        }
        if (nType == REC_FILE_HEADER) {
            ++nCount;
        }
        nOffset += RECORD_HEAD_SIZE + nLength;
    }
    return nCount;
}
