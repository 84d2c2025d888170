// The download segments that the cutter makes of a package, loaded as the wizard and
// orvanta-cli load it: what a projector must receive, byte for byte; and what orvanta-projector
// kept of a run in its dump folder.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <string>
#include <vector>

#include "PackageLoader.h"
#include "SegmentCutter.h"
#include "TestSupport.h"

namespace orvtest {

// Loads package (a path relative to folder, with HOME set to folder/home as the tools run it)
// and cuts it; an empty list when it does not load.
inline std::vector<Bytes> PackageSegments(const std::filesystem::path& folder,
                                          const std::string& package) {
    CwdGuard cwd(folder);
    EnvGuard home("HOME", folder / "home");
    LoadedPackage loaded;
    if (LoadPackage(package, loaded) != LOAD_OK) {
        return {};
    }
    CSegmentCutter cutter;
    cutter.SetImage(std::move(loaded.pImage), loaded.nSize);
    std::vector<Bytes> segments;
    while (cutter.PrepareNextSegment() == 1) {
        segments.emplace_back(cutter.m_pSegment.get(),
                              cutter.m_pSegment.get() + cutter.m_nSegmentLength);
    }
    return segments;
}

// Whether the dump folder holds exactly these segments, in order, and no more.
inline bool Dumped(const std::filesystem::path& dump, const std::vector<Bytes>& segments) {
    for (size_t i = 0; i <= segments.size(); ++i) {
        const Bytes held = ReadBytes(dump / ("segment-" + std::to_string(i + 1) + ".bin"));
        if (held != (i < segments.size() ? segments[i] : Bytes{})) {
            return false;
        }
    }
    return true;
}

// The dump folder's summary.json; empty when there is none.
inline QJsonObject DumpSummary(const std::filesystem::path& dump) {
    return QJsonDocument::fromJson(QByteArray::fromStdString(ReadText(dump / "summary.json")))
        .object();
}

}  // namespace orvtest
