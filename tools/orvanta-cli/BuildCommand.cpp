// `build PACKAGE -o OUT`: the image of the package, written complemented as a .bin file, the
// same bytes as the wizard's BIN-file output. An image without file blocks is still a valid
// image and is written; only sending refuses it.
#include <cstdio>

#include "BinFile.h"
#include "CommandLine.h"
#include "Commands.h"
#include "PackageOpen.h"
#include "ResultText.h"
#include "StdoutImage.h"

int RunBuild(const std::vector<std::string>& args) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, {{"--output", "-o", true}}, parsed, strError)) {
        return UsageError(strError);
    }
    if (parsed.positional.size() != 1) {
        return UsageError(parsed.positional.empty() ? "build needs a PACKAGE"
                                                    : "build takes one PACKAGE");
    }
    if (!parsed.Has("--output") || parsed.values["--output"].empty()) {
        return UsageError("build needs -o OUT");
    }
    // OUT names a file as seen from where the tool was started, before the package's folder
    // (or the upload folder) becomes current.
    const bool bStdout = parsed.values["--output"] == "-";
    const std::string outPath = bStdout ? "-" : AbsolutePath(parsed.values["--output"]);

    LoadedPackage package;
    const int nResult = OpenPackage(parsed.positional.front(), package, false);
    if (nResult != RESULT_SUCCESS) {
        ReportFailure(nResult, package.strDetail);
        return nResult;
    }
    if (bStdout) {
        if (!WriteImageToStdout(package.pImage.get(), package.nSize, strError)) {
            std::fprintf(stderr, "orvanta-cli: cannot write %s\n", strError.c_str());
            return EXIT_CANNOT_WRITE;
        }
        return 0;
    }
    CBinFile binFile(outPath);
    if (!binFile.WriteImage(package.pImage.get(), package.nSize)) {
        const std::string& detail = binFile.GetErrorDetail();
        std::fprintf(stderr, "orvanta-cli: cannot write %s\n", outPath.c_str());
        if (!detail.empty()) {
            std::fprintf(stderr, "%s\n", detail.c_str());
        }
        return EXIT_CANNOT_WRITE;
    }
    return 0;
}
