#include "PackageLoader.h"

#include <filesystem>
#include <system_error>

#include "AsciiText.h"
#include "BinFile.h"
#include "ImageCheck.h"
#include "InfFile.h"
#include "RegularFile.h"

namespace {

// The last three characters of the name without its folder, or the whole name when shorter.
std::string_view NameTail(std::string_view path) {
    const size_t nSlash = path.rfind('/');
    const std::string_view name = nSlash == std::string_view::npos ? path : path.substr(nSlash + 1);
    return name.size() < 3 ? name : name.substr(name.size() - 3);
}

int Fail(LoadedPackage& package, int nResult, std::string strDetail) {
    package.pImage.reset();
    package.nSize = 0;
    package.strDetail = std::move(strDetail);
    return nResult;
}

}  // namespace

int LoadPackage(const std::string& path, LoadedPackage& package, bool bRequireFiles,
                const std::string& uploadFolder) {
    package = LoadedPackage{};
    std::string reason;
    if (!CanOpenRegularFile(path, reason)) {
        return Fail(package, LOAD_FILE_NOT_FOUND, path + ": " + reason);
    }

    const std::string_view tail = NameTail(path);
    if (EqualsIgnoreCase(tail, "inf")) {
        package.bInf = true;
        CInfFile infFile(path, uploadFolder);
        package.pImage = infFile.BuildImage(package.nSize);
        package.inputFiles = infFile.GetReadFiles();
        if (!package.pImage) {
            const std::string& detail = infFile.GetErrorDetail();
            return Fail(package, LOAD_INF_CORRUPT,
                        detail.empty() ? path + ": no image can be built" : detail);
        }
        // A built image always follows the record grammar, so counting its blocks is safe.
        if (bRequireFiles && CountFileBlocks(package.pImage.get(), package.nSize) == 0) {
            return Fail(package, LOAD_INF_CORRUPT,
                        path + ": the package lists no files, so there is nothing to send");
        }
        return LOAD_OK;
    }
    if (!EqualsIgnoreCase(tail, "bin")) {
        return Fail(package, LOAD_INVALID_INPUT,
                    path + ": the name ends in neither \"inf\" nor \"bin\"");
    }

    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    package.inputFiles.push_back(error ? path : absolute.string());
    CBinFile binFile(path);
    package.pImage = binFile.ReadImage(package.nSize);
    if (!package.pImage) {
        const std::string& detail = binFile.GetErrorDetail();
        return Fail(package, LOAD_FILE_NOT_FOUND,
                    detail.empty() ? path + ": cannot be read" : detail);
    }
    if (!CheckImage(package.pImage.get(), package.nSize, reason)) {
        return Fail(package, LOAD_INVALID_INPUT, path + ": " + reason);
    }
    if (bRequireFiles && CountFileBlocks(package.pImage.get(), package.nSize) == 0) {
        return Fail(package, LOAD_INVALID_INPUT,
                    path + ": the image holds no file block, so there is nothing to send");
    }
    return LOAD_OK;
}
