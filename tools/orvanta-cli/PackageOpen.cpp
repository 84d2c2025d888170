#include "PackageOpen.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "InfFile.h"
#include "ResultText.h"

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.string();
}

bool ChooseUploadFolder(const CommandArgs& parsed, std::string& folder, std::string& strError) {
    std::string source;
    if (parsed.Has("--upload-dir")) {
        folder = parsed.values.at("--upload-dir");
        source = "--upload-dir";
    } else if (const char* pValue = std::getenv("ORVANTA_UPLOAD_DIR"); pValue != nullptr) {
        folder = pValue;
        source = "ORVANTA_UPLOAD_DIR";
    } else {
        folder = DefaultUploadFolder();
        return true;
    }
    if (folder.empty()) {
        return true;
    }
    // Named on purpose, so a typing error must not quietly fall back to the package's folder.
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) {
        strError = source + " " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        strError = source + " " + folder + ": not a folder";
        return false;
    }
    folder = AbsolutePath(folder);
    return true;
}

int OpenPackage(const std::string& path, LoadedPackage& package, bool bRequireFiles,
                const std::string& uploadFolder) {
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
    const int nResult = LoadPackage(loadPath, package, bRequireFiles, uploadFolder);
    // Details name the package by the file name it was loaded by; the user knows it by the
    // path given.
    const std::string& detail = package.strDetail;
    if (loadPath != path && detail.compare(0, loadPath.size(), loadPath) == 0 &&
        (detail.compare(loadPath.size(), 2, ": ") == 0 ||
         detail.compare(loadPath.size(), 6, " line ") == 0)) {
        package.strDetail = path + detail.substr(loadPath.size());
    }
    return nResult;
}

void ReportFailure(int nResult, const std::string& strDetail) {
    std::fprintf(stderr, "%s\n", ResultMessage(nResult).c_str());
    if (!strDetail.empty()) {
        std::fprintf(stderr, "%s\n", EscapeControls(strDetail).c_str());
    }
}

std::string EscapeControls(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            escaped += "\\x";
            escaped += kHex[b >> 4];
            escaped += kHex[b & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}
