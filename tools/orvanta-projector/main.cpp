// orvanta-projector: a simulated projector on a pseudo-terminal. See docs/orvanta-projector.md.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "DumpFolder.h"
#include "Projector.h"
#include "ProjectorOptions.h"
#include "PseudoTerminal.h"
#include "Version.h"

namespace {
constexpr int EXIT_USAGE = 64;  // EX_USAGE, as orvanta-cli
}

int main(int argc, char** argv) {
    ProjectorOptions options;
    std::string strError;
    switch (ParseProjectorOptions(argc, argv, options, strError)) {
        case ParseOutcome::HELP:
            std::fputs(ProjectorUsage(), stdout);
            return 0;
        case ParseOutcome::VERSION:
            std::printf("%s\n", VersionText("orvanta-projector").c_str());
            return 0;
        case ParseOutcome::USAGE_ERROR:
            std::fprintf(stderr, "orvanta-projector: %s\n\n%s", strError.c_str(), ProjectorUsage());
            return EXIT_USAGE;
        case ParseOutcome::RUN:
            break;
    }

    // The stop signals arrive through a descriptor the poll loop watches, so the run always
    // ends through the same door: summary written, link removed.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int nStopFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (nStopFd < 0) {
        std::fprintf(stderr, "orvanta-projector: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    CDumpFolder dump;
    const bool bDump = !options.m_strDumpDir.empty();
    CPseudoTerminal line;
    if ((bDump && !dump.Prepare(options.m_strDumpDir, strError)) || !line.Open(strError) ||
        (!options.m_strLink.empty() && !line.Link(options.m_strLink, strError))) {
        std::fprintf(stderr, "orvanta-projector: %s\n", strError.c_str());
        close(nStopFd);
        return 1;
    }

    std::printf("%s\n", line.DevicePath().c_str());
    std::fflush(stdout);

    CProjector projector(options, nStopFd, bDump ? &dump : nullptr);
    const int nStatus = projector.Run(line);
    line.Close();
    close(nStopFd);
    return nStatus;
}
