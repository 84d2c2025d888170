// `info PACKAGE [--json]`: what the package's image holds and what sending it would deliver.
// The text form is for people; the JSON form (field names in docs/orvanta-cli.md) for scripts.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <cstdio>

#include "CommandLine.h"
#include "Commands.h"
#include "ImageSummary.h"
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

// Descriptions are 8-bit text as the script gives them: UTF-8 when they are, else Latin-1.
QString TextOf(const std::string& text) {
    const QByteArray bytes = QByteArray::fromStdString(text);
    const QString utf8 = QString::fromUtf8(bytes);
    return utf8.toUtf8() == bytes ? utf8 : QString::fromLatin1(bytes);
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

void PrintJson(const std::string& packagePath, const LoadedPackage& package,
               const ImageSummary& summary) {
    QJsonObject crc;
    crc["present"] = summary.bHasCrcRecord;
    crc["stored"] = static_cast<qint64>(summary.nStoredCrc);
    crc["computed"] = static_cast<qint64>(summary.nComputedCrc);
    crc["storedHex"] = QString::fromStdString(HexU32(summary.nStoredCrc));
    crc["computedHex"] = QString::fromStdString(HexU32(summary.nComputedCrc));
    crc["match"] = summary.CrcMatches();

    QJsonArray files;
    for (const FileBlockInfo& file : summary.files) {
        QJsonArray flagNames;
        for (const std::string& name : FlagNames(file.nFlags)) {
            flagNames.append(QString::fromStdString(name));
        }
        QJsonArray loadBlocks;
        for (const LoadBlockInfo& block : file.loadBlocks) {
            QJsonObject jsonBlock;
            jsonBlock["address"] =
                QString::fromStdString(FormatSegmentOffset(block.nSegment, block.nOffset));
            jsonBlock["segment"] = block.nSegment;
            jsonBlock["offset"] = block.nOffset;
            jsonBlock["count"] = static_cast<qint64>(block.nCount);
            loadBlocks.append(jsonBlock);
        }
        QJsonObject jsonFile;
        jsonFile["description"] = TextOf(file.strDescription);
        jsonFile["flags"] = file.nFlags;
        jsonFile["flagNames"] = flagNames;
        jsonFile["start"] =
            QString::fromStdString(FormatSegmentOffset(file.nStartSegment, file.nStartOffset));
        jsonFile["startSegment"] = file.nStartSegment;
        jsonFile["startOffset"] = file.nStartOffset;
        jsonFile["loadBlocks"] = loadBlocks;
        jsonFile["segmentLength"] = static_cast<qint64>(file.nSegmentLength);
        files.append(jsonFile);
    }

    QJsonObject root;
    root["schemaVersion"] = JSON_SCHEMA_VERSION;
    root["package"] = TextOf(packagePath);
    root["kind"] = package.bInf ? "inf" : "bin";
    root["imageSize"] = static_cast<qint64>(summary.nImageSize);
    root["crc"] = crc;
    root["files"] = files;
    root["totalSegmentBytes"] = static_cast<qint64>(summary.nTotalSegmentBytes);
    root["nothingToSend"] = summary.files.empty();
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
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
        PrintJson(packagePath, package, summary);
    } else {
        PrintText(packagePath, package, summary);
    }
    return 0;
}
