// `send PACKAGE --port P1 --port P2 ...`: one upgrade attempt per port, all at once, in this
// one process and on its one event loop. The image is loaded and built once and shared
// read-only by every port's session; each session has its own port, reader thread, sender,
// silence limit and wait limit, so one port's failure never touches another's attempt.
//
// Output: on a terminal (stderr) one line per port, redrawn in place: the port, the file
// being sent, the percentage, the rate and the time left, then the port's result. Otherwise
// every line of progress (stdout) and every message (stderr) starts with "PORT: ". Each
// failed port's result text and detail line go to stderr, prefixed the same way. At the end a
// table on stdout: port, result text, time the attempt took, blocks resent.
//
// Exit status: 0 when every port succeeded; the common result when every port ended with the
// same one; EXIT_SOME_FAILED otherwise. A signal (Ctrl+C, SIGTERM, SIGHUP) closes every port
// and ends the run with 128 + the signal.
#pragma once

#include <string>
#include <vector>

#include "ImageSummary.h"
#include "PackageLoader.h"
#include "ResultTexts.h"
#include "ResultText.h"

struct MultiSendOptions {
    std::string packagePath;
    std::vector<std::string> portNames;  // two or more, all different
    int nBaudRate = 115200;
    long nWaitSeconds = 0;     // 0: wait for each projector's first request without a limit
    bool bJson = false;        // JSON events on stdout, each with "port"
    bool bQuiet = false;       // only the results and the table
    long nSilenceSeconds = 0;  // both silence limits of each sender; 0: the defaults
};

// Runs the attempts under a QCoreApplication that the caller has made; returns the exit
// status above. package holds the loaded image (taken).
int RunMultiSend(const MultiSendOptions& options, LoadedPackage& package,
                 const ImageSummary& summary);

// The exit status for the ports' results (each 0..6): see above.
int CombinedExitStatus(const std::vector<int>& results);
