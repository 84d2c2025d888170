// Loading a firmware package the way an upgrade attempt does: the package must open for
// reading; a name whose last three characters are "inf" (any case) is built through CInfFile,
// one ending in "bin" is read through CBinFile and checked with CheckImage; any other name is
// not a package. An image with no file block has nothing to send and is refused. HEX files
// named by relative paths are looked for in the upload folder the caller gives (see CInfFile).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Why a package could not be loaded. The numbers are those of the upgrade attempt's result
// codes for the same failures, which the transfer layer defines (ResultTexts.h).
enum LoadResult : int {
    LOAD_OK = 0,
    LOAD_FILE_NOT_FOUND = 1,  // cannot be opened, or a .bin that cannot be read
    LOAD_INVALID_INPUT = 2,   // neither inf nor bin, or a .bin that is no valid image
    LOAD_INF_CORRUPT = 3,     // an INF package that yields no image
};

struct LoadedPackage {
    std::unique_ptr<uint8_t[]> pImage;
    uint32_t nSize = 0;
    bool bInf = false;      // built from an INF script rather than read from a .bin
    std::string strDetail;  // on failure: one line naming the file and the reason
    // The absolute paths of the files read: the package, and for a script each HEX file it
    // named, so that a caller writing files can refuse to write over one of them.
    std::vector<std::string> inputFiles;
};

// Loads the package at path (relative paths resolve against the current directory). Returns
// LOAD_OK with the image in package, or the failure with package.strDetail set.
// With bRequireFiles, an image without file blocks fails (3 for INF, 2 for .bin). uploadFolder
// is the upload folder for a script's HEX files, empty for none (the wizard passes
// DefaultUploadFolder() of InfFile.h).
int LoadPackage(const std::string& path, LoadedPackage& package, bool bRequireFiles = true,
                const std::string& uploadFolder = {});
