// `info PACKAGE [--json]`: what the package's image holds and what sending it would deliver.
// The text form is for people; the JSON form (field names in docs/orvanta-cli.md) for scripts.
#include <cstdio>

#include "CommandLine.h"
#include "Commands.h"
#include "ImageSummary.h"
#include "JsonOutput.h"
#include "JsonSchema.h"
#include "PackageOpen.h"

namespace {

std::string HexU32(uint32_t nValue) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", nValue);
    return text;
}

std::string JoinFlags(uint8_t nFlags) {
    std::string text;
    for (const std::string& name : FlagNames(nFlags)) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text.empty() ? "none" : text;
}

void PrintText(const std::string& packagePath, const LoadedPackage& package,
               const ImageSummary& summary) {
    std::printf("Package:     %s (%s)\n", EscapeControls(packagePath).c_str(),
                package.bInf ? "INF package" : ".bin image");
    std::printf("Image size:  %u bytes\n", summary.nImageSize);
    if (summary.bHasCrcRecord) {
        std::printf("CRC-32:      stored %s, computed %s, %s\n", HexU32(summary.nStoredCrc).c_str(),
                    HexU32(summary.nComputedCrc).c_str(),
                    summary.CrcMatches() ? "match" : "MISMATCH");
    } else {
        std::printf("CRC-32:      no CRC record, computed %s\n",
                    HexU32(summary.nComputedCrc).c_str());
    }
    if (summary.files.empty()) {
        std::printf("no file blocks: nothing to send\n");
        return;
    }
    std::printf("Files:       %zu (%llu segment bytes)\n", summary.files.size(),
                static_cast<unsigned long long>(summary.nTotalSegmentBytes));
    for (size_t i = 0; i < summary.files.size(); ++i) {
        const FileBlockInfo& file = summary.files[i];
        std::printf("\nFile %zu: %s\n", i + 1, EscapeControls(file.strDescription).c_str());
        std::printf("  Flags:          0x%02X %s\n", file.nFlags, JoinFlags(file.nFlags).c_str());
        std::printf("  Start:          %s\n",
                    FormatSegmentOffset(file.nStartSegment, file.nStartOffset).c_str());
        std::printf("  Segment length: %u bytes\n", file.nSegmentLength);
        std::printf("  Load blocks:    %zu\n", file.loadBlocks.size());
        for (const LoadBlockInfo& block : file.loadBlocks) {
            std::printf("    %s  %u bytes\n",
                        FormatSegmentOffset(block.nSegment, block.nOffset).c_str(), block.nCount);
        }
    }
}

void PrintInfoJson(const std::string& packagePath, const LoadedPackage& package,
                   const ImageSummary& summary) {
    const nlohmann::json crc = {
        {"present", summary.bHasCrcRecord},
        {"stored", summary.nStoredCrc},
        {"computed", summary.nComputedCrc},
        {"storedHex", HexU32(summary.nStoredCrc)},
        {"computedHex", HexU32(summary.nComputedCrc)},
        {"match", summary.CrcMatches()},
    };
    nlohmann::json files = nlohmann::json::array();
    for (const FileBlockInfo& file : summary.files) {
        nlohmann::json loadBlocks = nlohmann::json::array();
        for (const LoadBlockInfo& block : file.loadBlocks) {
            loadBlocks.push_back({
                {"address", FormatSegmentOffset(block.nSegment, block.nOffset)},
                {"segment", block.nSegment},
                {"offset", block.nOffset},
                {"count", block.nCount},
            });
        }
        files.push_back({
            {"description", PackageText(file.strDescription)},
            {"flags", file.nFlags},
            {"flagNames", FlagNames(file.nFlags)},
            {"start", FormatSegmentOffset(file.nStartSegment, file.nStartOffset)},
            {"startSegment", file.nStartSegment},
            {"startOffset", file.nStartOffset},
            {"loadBlocks", loadBlocks},
            {"segmentLength", file.nSegmentLength},
        });
    }
    PrintJson({
        {"schemaVersion", JSON_SCHEMA_VERSION},
        {"package", PackageText(packagePath)},
        {"kind", package.bInf ? "inf" : "bin"},
        {"imageSize", summary.nImageSize},
        {"crc", crc},
        {"files", files},
        {"totalSegmentBytes", summary.nTotalSegmentBytes},
        {"nothingToSend", summary.files.empty()},
    });
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, CommandOptions("info"), parsed, strError)) {
        return UsageError(strError);
    }
    if (parsed.positional.size() != 1) {
        return UsageError(parsed.positional.empty() ? "info needs a PACKAGE"
                                                    : "info takes one PACKAGE");
    }
    std::string uploadFolder;
    if (!ChooseUploadFolder(parsed, uploadFolder, strError)) {
        return UsageError(strError);
    }
    const std::string packagePath = parsed.positional.front();
    LoadedPackage package;
    const int nResult = OpenPackage(packagePath, package, false, uploadFolder);
    if (nResult != RESULT_SUCCESS) {
        ReportFailure(nResult, package.strDetail);
        return nResult;
    }
    const ImageSummary summary = SummarizeImage(package.pImage.get(), package.nSize);
    if (parsed.Has("--json")) {
        PrintInfoJson(packagePath, package, summary);
    } else {
        PrintText(packagePath, package, summary);
    }
    return 0;
}
