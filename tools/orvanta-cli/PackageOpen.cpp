#include "PackageOpen.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "ResultText.h"

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.string();
}

int OpenPackage(const std::string& path, LoadedPackage& package, bool bRequireFiles) {
    const std::filesystem::path packagePath(path);
    const std::filesystem::path folder = packagePath.parent_path();
    const std::string fileName = packagePath.filename().string();
    std::string loadPath = path;
    // A name without a folder is already in the current directory; a path ending in "/"
    // names no file and is left for the loader to refuse.
    if (!folder.empty() && !fileName.empty()) {
        if (chdir(folder.c_str()) == 0) {
            loadPath = fileName;
        } else {
            // The folder is missing or closed to us: loading by the full path fails with the
            // loader's own reason.
            loadPath = AbsolutePath(path);
        }
    }
    return LoadPackage(loadPath, package, bRequireFiles);
}

void ReportFailure(int nResult, const std::string& strDetail) {
    std::fprintf(stderr, "%s\n", ResultMessage(nResult).c_str());
    if (!strDetail.empty()) {
        std::fprintf(stderr, "%s\n", strDetail.c_str());
    }
}
