#include "DumpFolder.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

bool WriteFile(const std::string& strPath, const void* pData, size_t nLength,
               std::string& strError) {
    FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        strError = "cannot create " + strPath;
        return false;
    }
    const bool bWritten = nLength == 0 || std::fwrite(pData, 1, nLength, pFile) == nLength;
    const bool bClosed = std::fclose(pFile) == 0;
    if (!bWritten || !bClosed) {
        strError = "cannot write " + strPath;
        return false;
    }
    return true;
}

std::string JsonString(const std::string& strText) {
    std::string out = "\"";
    for (const char c : strText) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Seconds to the microsecond, or null for a time not reached.
std::string JsonSeconds(double dSeconds) {
    if (dSeconds < 0) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", dSeconds);
    return text;
}

std::string SegmentJson(const SegmentInfo& segment) {
    std::string out = "{\"index\": " + std::to_string(segment.m_nIndex) +
                      ", \"flags\": " + std::to_string(segment.m_nFlags) +
                      ", \"start_segment\": " + std::to_string(segment.m_nStartSegment) +
                      ", \"start_offset\": " + std::to_string(segment.m_nStartOffset) +
                      ", \"length\": " + std::to_string(segment.m_nLength) +
                      ", \"valid\": " + (segment.m_bValid ? "true" : "false");
    if (!segment.m_bValid) {
        out += ", \"error\": " + JsonString(segment.m_strError);
    }
    out += ", \"load_blocks\": [";
    for (size_t i = 0; i < segment.m_loadBlocks.size(); ++i) {
        const LoadBlockInfo& block = segment.m_loadBlocks[i];
        out += (i == 0 ? "" : ", ");
        out += "{\"segment\": " + std::to_string(block.nSegment) +
               ", \"offset\": " + std::to_string(block.nOffset) +
               ", \"count\": " + std::to_string(block.nCount) + "}";
    }
    out += std::string("], \"whole\": ") + (segment.m_bValid ? "true" : "false");
    out += ", \"exact\": ";
    out += segment.m_nExact < 0 ? "null" : segment.m_nExact ? "true" : "false";
    return out + "}";
}

}  // namespace

bool CDumpFolder::Prepare(const std::string& strDir, std::string& strError) {
    std::error_code error;
    std::filesystem::create_directories(strDir, error);
    if (error || !std::filesystem::is_directory(strDir, error)) {
        strError = "cannot make the folder " + strDir + (error ? ": " + error.message() : "");
        return false;
    }
    m_strDir = strDir;
    return true;
}

bool CDumpFolder::WriteSegment(uint32_t nIndex, const uint8_t* pData, size_t nLength,
                               std::string& strError) const {
    return WriteFile(m_strDir + "/segment-" + std::to_string(nIndex) + ".bin", pData, nLength,
                     strError);
}

bool CDumpFolder::WriteSummary(const RunSummary& summary, std::string& strError) const {
    const std::string strJson = SummaryJson(summary);
    const std::string strPath = m_strDir + "/summary.json";
    const std::string strAside = strPath + ".part";
    if (!WriteFile(strAside, strJson.data(), strJson.size(), strError)) {
        return false;
    }
    if (std::rename(strAside.c_str(), strPath.c_str()) != 0) {
        strError = "cannot replace " + strPath;
        return false;
    }
    return true;
}

std::string CDumpFolder::SummaryJson(const RunSummary& summary) {
    std::string out = "{\n  \"segments\": [";
    for (size_t i = 0; i < summary.m_segments.size(); ++i) {
        out += (i == 0 ? "\n    " : ",\n    ") + SegmentJson(summary.m_segments[i]);
    }
    out += summary.m_segments.empty() ? "],\n" : "\n  ],\n";
    out += "  \"packets\": " + std::to_string(summary.m_nPackets) + ",\n";
    out += "  \"naks_sent\": " + std::to_string(summary.m_nNaksSent) + ",\n";
    out += "  \"first_packet_s\": " + JsonSeconds(summary.m_dFirstPacket) + ",\n";
    out += "  \"last_ack_s\": " + JsonSeconds(summary.m_dLastAck) + ",\n";
    out += "  \"line_rate\": " +
           (summary.m_nFirstPacketRate == 0 ? std::string("null")
                                            : std::to_string(summary.m_nFirstPacketRate)) +
           ",\n";
    out += "  \"strays\": " + std::to_string(summary.m_nStrays) + ",\n";
    out += "  \"damaged\": " + std::to_string(summary.m_nDamaged) + ",\n";
    bool bExact = summary.m_nExpectedFiles >= 0 &&
                  summary.m_segments.size() == static_cast<uint64_t>(summary.m_nExpectedFiles);
    for (const SegmentInfo& segment : summary.m_segments) {
        bExact = bExact && segment.m_nExact == 1;
    }
    out += std::string("  \"exact\": ") +
           (summary.m_nExpectedFiles < 0 ? "null"
            : bExact                     ? "true"
                                         : "false") +
           ",\n";
    out += std::string("  \"complete\": ") + (summary.m_bComplete ? "true" : "false") + "\n}\n";
    return out;
}
