// Loading a package from the command line the way the wizard does: the package's folder
// becomes the current directory first (as the File page leaves it), so the HEX files that an
// INF script names by relative paths are found beside the script; then the package is loaded
// by its file name with the same checks and result codes as an upgrade attempt.
#pragma once

#include <string>

#include "CommandLine.h"
#include "PackageLoader.h"
#include "ResultTexts.h"

// The absolute form of path against the current directory, without resolving links; path
// itself when the current directory cannot be read.
std::string AbsolutePath(const std::string& path);

// The upload folder a command reads a script's HEX files from: --upload-dir DIR when given,
// else $ORVANTA_UPLOAD_DIR when set, else $HOME/upload (used only when it exists). An empty DIR
// or variable means none. A folder named by the option or the variable must be one: false with
// strError naming it and why not, otherwise true with folder made absolute against the current
// directory (so call it before OpenPackage), or empty for none.
bool ChooseUploadFolder(const CommandArgs& parsed, std::string& folder, std::string& strError);

// Makes the folder of path the current directory (when path has a folder part) and loads the
// package, with uploadFolder (empty for none) as the folder of a script's HEX files. Returns
// RESULT_SUCCESS with the image in package, or the failure code with package.strDetail naming the
// file and the reason (the package by path as given). The current directory stays changed either
// way, so resolve other paths of the command line beforehand.
int OpenPackage(const std::string& path, LoadedPackage& package, bool bRequireFiles,
                const std::string& uploadFolder);

// Prints the Done page's text for nResult, then strDetail when there is one (escaped), on
// stderr.
void ReportFailure(int nResult, const std::string& strDetail);

// text with every control character (0x00 to 0x1F, 0x7F) written as \x1b, so that text from
// a package (descriptions, file names) cannot act on the terminal it is shown on. Bytes from
// 0x80 up are left alone: they are the characters of UTF-8 or Latin-1 text.
std::string EscapeControls(const std::string& text);
