// `send PACKAGE [--port PORT]... [--baud N] [--wait-timeout SECONDS] [--silence-timeout SECONDS]
// [--json|-v|-q]`: the command line judged whole before anything is opened, the package loaded
// with the same checks and result codes as the wizard's, then one run (SendRun.h) over every
// port given, shown by the views that fit the output: a live line (one port) or board (several)
// when stderr is a terminal, plain lines otherwise, the results alone with -q, JSON events with
// --json, and the protocol trace beside the text with -v; several ports end with a table.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "CommandLine.h"
#include "Commands.h"
#include "ImageSummary.h"
#include "JsonView.h"
#include "PackageOpen.h"
#include "PortAddress.h"
#include "PortList.h"
#include "ResultText.h"
#include "SendRun.h"
#include "SendViews.h"

namespace {

constexpr long DEFAULT_BAUD_RATE = 115200;
constexpr long MAX_WAIT_SECONDS = 2000000;  // fits a timer interval in milliseconds
// The wait for the first request when nobody is at a terminal to end it: long enough to walk
// to a projector and switch it to its upgrade mode, short enough that a script moves on.
constexpr long UNATTENDED_WAIT_SECONDS = 600;

// Fills options from the command line; false after the usage error went out (nExit set).
// Everything is checked before anything is opened.
bool ParseSendOptions(const std::vector<std::string>& args, SendOptions& options,
                      std::string& portNote, int& nExit) {
    CommandArgs parsed;
    std::string strError;
    if (!ParseCommandArgs(args, CommandOptions("send"), parsed, strError)) {
        nExit = UsageError(strError);
        return false;
    }
    if (parsed.positional.size() != 1) {
        nExit = UsageError(parsed.positional.empty() ? "send needs a PACKAGE"
                                                     : "send takes one PACKAGE");
        return false;
    }
    options.packagePath = parsed.positional.front();
    options.bJson = parsed.Has("--json");
    options.bVerbose = parsed.Has("--verbose");
    options.bQuiet = parsed.Has("--quiet");
    if (options.bQuiet && (options.bJson || options.bVerbose)) {
        nExit = UsageError("-q goes with neither --json nor -v");
        return false;
    }
    if (parsed.Has("--baud")) {
        const std::string& rate = parsed.values["--baud"];
        if (rate != "115200" && rate != "57600") {
            nExit = UsageError("--baud takes 115200 or 57600, not \"" + rate + "\"");
            return false;
        }
        options.nBaudRate = rate == "115200" ? 115200 : 57600;
    }
    long nValue = 0;
    options.nWaitSeconds = isatty(STDIN_FILENO) ? 0 : UNATTENDED_WAIT_SECONDS;
    if (parsed.Has("--wait-timeout")) {
        if (!ParseNumber(parsed.values["--wait-timeout"], 0, MAX_WAIT_SECONDS, nValue)) {
            nExit = UsageError("--wait-timeout needs a number of seconds (0 for no limit)");
            return false;
        }
        options.nWaitSeconds = nValue;
    }
    if (!ChooseUploadFolder(parsed, options.uploadFolder, strError)) {
        nExit = UsageError(strError);
        return false;
    }
    if (parsed.Has("--silence-timeout")) {
        if (!ParseNumber(parsed.values["--silence-timeout"], 1, MAX_WAIT_SECONDS, nValue)) {
            nExit = UsageError("--silence-timeout needs a whole number of seconds from 1");
            return false;
        }
        options.nSilenceSeconds = nValue;
    }
    if (parsed.Has("--port")) {
        options.portNames = parsed.all["--port"];
        for (size_t i = 0; i < options.portNames.size(); ++i) {
            const std::string& port = options.portNames[i];
            if (port.empty()) {
                nExit = UsageError("--port needs a PORT");
                return false;
            }
            if (std::find(options.portNames.begin(), options.portNames.begin() + i, port) !=
                options.portNames.begin() + i) {
                nExit = UsageError("port " + port + " given twice");
                return false;
            }
        }
        if (options.portNames.size() > 1 && options.bVerbose) {
            nExit = UsageError("-v traces a single port");
            return false;
        }
    } else {
        std::string port;
        if (!ChooseDefaultPort(port, portNote, strError)) {
            nExit = UsageError(strError);
            return false;
        }
        options.portNames = {port};
    }
    // Every name is judged before any port opens: a mistyped address is the command line's
    // fault, not the port's.
    std::vector<std::string> rawPorts;
    const char* pSource = parsed.Has("--port") ? "" : "ORVANTA_PORT: ";
    for (const std::string& port : options.portNames) {
        CPortAddress address;
        if (!CPortAddress::Check(port, address, strError)) {
            nExit = UsageError(pSource + EscapeControls(strError));
            return false;
        }
        if (address.m_nKind == CPortAddress::RAW_TCP) {
            rawPorts.push_back(port);
        }
    }
    if (parsed.Has("--baud") && !rawPorts.empty()) {
        std::string list;
        for (const std::string& port : rawPorts) {
            list += (list.empty() ? "" : ", ") + EscapeControls(port);
        }
        std::fprintf(stderr,
                     "orvanta-cli: warning: --baud does not apply to %s: over raw TCP the "
                     "server's own line rate applies\n",
                     list.c_str());
    }
    return true;
}

}  // namespace

int RunSend(const std::vector<std::string>& args) {
    SendOptions options;
    std::string portNote;
    int nExit = 0;
    if (!ParseSendOptions(args, options, portNote, nExit)) {
        return nExit;
    }
    // The program's other output (the chosen port, a load failure) goes to stderr; with --json
    // the load failure also ends each port's event stream.
    if (!portNote.empty() && !options.bQuiet) {
        std::fprintf(stderr, "orvanta-cli: %s\n", portNote.c_str());
    }
    LoadedPackage package;
    const int nResult = OpenPackage(options.packagePath, package, true, options.uploadFolder);
    if (nResult != RESULT_SUCCESS) {
        ReportFailure(nResult, package.strDetail);
        if (options.bJson) {
            WriteJsonLoadFailure(options, nResult, package.strDetail);
        }
        return nResult;
    }
    const ImageSummary summary = SummarizeImage(package.pImage.get(), package.nSize);

    // A reader of the output that goes away (`| head -1`) must not stop the upgrade: what
    // cannot be written is dropped.
    signal(SIGPIPE, SIG_IGN);

    std::vector<PortState> ports = MakePortStates(options.portNames, summary);
    const bool bSeveral = ports.size() > 1;
    std::vector<std::unique_ptr<ISendView>> views;
    if (options.bJson) {
        views.push_back(std::make_unique<CJsonView>(options, ports.size()));
    } else if (options.bQuiet) {
        views.push_back(std::make_unique<CQuietView>(bSeveral));
    } else if (isatty(STDERR_FILENO) && bSeveral) {
        views.push_back(std::make_unique<CBoardView>(ports));
    } else if (isatty(STDERR_FILENO) || isatty(STDOUT_FILENO)) {
        // One port's line goes to whichever of the two is a terminal, stderr first.
        views.push_back(
            std::make_unique<CLineView>(ports.front(), isatty(STDERR_FILENO) ? stderr : stdout));
    } else {
        views.push_back(std::make_unique<CPlainView>(bSeveral));
    }
    if (options.bVerbose) {
        views.push_back(std::make_unique<CTraceView>());
    }
    if (bSeveral && !options.bJson) {
        views.push_back(std::make_unique<CTableView>());
    }
    std::vector<ISendView*> viewList;
    for (const auto& pView : views) {
        viewList.push_back(pView.get());
    }
    CSendRun run(options, summary, ports, viewList);
    return run.Run(package);
}
