#include "DumpFolder.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
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

// Fields keep the order in which they are set, the order the summary has always had.
using Json = nlohmann::ordered_json;

// Seconds to the microsecond, or null for a time not reached.
Json JsonSeconds(double dSeconds) {
    if (dSeconds < 0) {
        return nullptr;
    }
    return std::round(dSeconds * 1e6) / 1e6;
}

Json SegmentJson(const SegmentInfo& segment) {
    Json out = {
        {"index", segment.m_nIndex},
        {"flags", segment.m_nFlags},
        {"start_segment", segment.m_nStartSegment},
        {"start_offset", segment.m_nStartOffset},
        {"length", segment.m_nLength},
        {"valid", segment.m_bValid},
    };
    if (!segment.m_bValid) {
        out["error"] = segment.m_strError;
    }
    Json blocks = Json::array();
    for (const LoadBlockInfo& block : segment.m_loadBlocks) {
        blocks.push_back(
            {{"segment", block.nSegment}, {"offset", block.nOffset}, {"count", block.nCount}});
    }
    out["load_blocks"] = blocks;
    out["whole"] = segment.m_bValid;
    out["exact"] = segment.m_nExact < 0 ? Json() : Json(segment.m_nExact == 1);
    return out;
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
    Json segments = Json::array();
    bool bExact = summary.m_nExpectedFiles >= 0 &&
                  summary.m_segments.size() == static_cast<uint64_t>(summary.m_nExpectedFiles);
    for (const SegmentInfo& segment : summary.m_segments) {
        segments.push_back(SegmentJson(segment));
        bExact = bExact && segment.m_nExact == 1;
    }
    const Json out = {
        {"segments", segments},
        {"packets", summary.m_nPackets},
        {"naks_sent", summary.m_nNaksSent},
        {"first_packet_s", JsonSeconds(summary.m_dFirstPacket)},
        {"last_ack_s", JsonSeconds(summary.m_dLastAck)},
        {"line_rate", summary.m_nFirstPacketRate == 0 ? Json() : Json(summary.m_nFirstPacketRate)},
        {"strays", summary.m_nStrays},
        {"damaged", summary.m_nDamaged},
        {"exact", summary.m_nExpectedFiles < 0 ? Json() : Json(bExact)},
        {"complete", summary.m_bComplete},
    };
    // The parser's reasons are this program's own ASCII text; replace keeps a stray byte from
    // ever stopping the summary.
    return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
