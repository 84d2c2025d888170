// The download segments that the cutter makes of a package, loaded as the wizard and
// orvanta-cli load it: what a projector must receive, byte for byte.
#pragma once

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

}  // namespace orvtest
