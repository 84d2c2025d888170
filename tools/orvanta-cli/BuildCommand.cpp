// `build PACKAGE -o OUT`: the image of the package, written complemented as a .bin file, the
// same bytes as the wizard's BIN-file output. An image without file blocks is still a valid
// image and is written; only sending refuses it. OUT is never a file the build reads (the
// package or one of its HEX files, by any name or link), and `-o -` is never a terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "BinFile.h"
#include "CommandLine.h"
#include "Commands.h"
#include "PackageOpen.h"
#include "ResultText.h"
#include "StdoutImage.h"

namespace {

// The input of package that is the same file as the one stat gave (same device and inode), or
// null.
const std::string* SameFileAmong(const LoadedPackage& package, const struct stat& out) {
    for (const std::string& input : package.inputFiles) {
        struct stat info {};
        if (stat(input.c_str(), &info) == 0 && info.st_dev == out.st_dev &&
            info.st_ino == out.st_ino) {
            return &input;
        }
    }
    return nullptr;
}

// Whether OUT would write onto the terminal that stdout is: "-", or a name of that terminal
// device (/dev/stdout, /dev/fd/1).
bool OntoStdoutTerminal(bool bStdout, const std::string& outPath) {
    if (!isatty(STDOUT_FILENO)) {
        return false;
    }
    struct stat out {
    }, terminal{};
    return bStdout || (stat(outPath.c_str(), &out) == 0 && S_ISCHR(out.st_mode) &&
                       fstat(STDOUT_FILENO, &terminal) == 0 && out.st_rdev == terminal.st_rdev);
}

}  // namespace

int RunBuild(const std::vector<std::string>& args) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, CommandOptions("build"), parsed, strError)) {
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
    if (OntoStdoutTerminal(bStdout, outPath)) {
        return UsageError("-o " + EscapeControls(parsed.values["--output"]) +
                          " would write the binary image onto the terminal; redirect stdout "
                          "(-o - > image.bin, or into a pipe) or give -o FILE");
    }
    std::string uploadFolder;
    if (!ChooseUploadFolder(parsed, uploadFolder, strError)) {
        return UsageError(strError);
    }

    LoadedPackage package;
    const int nResult = OpenPackage(parsed.positional.front(), package, false, uploadFolder);
    if (nResult != RESULT_SUCCESS) {
        ReportFailure(nResult, package.strDetail);
        return nResult;
    }
    // Writing over an input would lose it (a script, a HEX file), so nothing is written.
    struct stat out {};
    if (bStdout ? fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode)
                : stat(outPath.c_str(), &out) == 0) {
        if (const std::string* pInput = SameFileAmong(package, out); pInput != nullptr) {
            const std::string outName = bStdout ? "stdout" : outPath;
            const char* pRole =
                pInput == &package.inputFiles.front() ? "the package" : "the HEX file";
            std::fprintf(stderr, "orvanta-cli: cannot write %s\n", EscapeControls(outName).c_str());
            std::fprintf(stderr, "%s is the same file as %s %s; nothing was written\n",
                         EscapeControls(outName).c_str(), pRole, EscapeControls(*pInput).c_str());
            return EXIT_CANNOT_WRITE;
        }
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
