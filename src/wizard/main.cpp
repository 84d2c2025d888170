// orvanta: the firmware upgrade wizard. It takes no arguments of its own (Qt's standard
// options, such as -platform, still apply) apart from --help and --version (either shortened
// to any beginning, as "--vers"), and exits with status 0 once the wizard closes, whatever the
// upgrade's outcome. Without a display it says so in one line and exits with status 1. A window
// taken away from outside is reported on stderr with the upgrade's outcome in the exit status
// (FirmwareApp.h).
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "FirmwareApp.h"
#include "Version.h"

namespace {

CFirmwareApp theApp;

constexpr char kNoDisplay[] =
    "orvanta: no display found: the wizard needs a desktop session (orvanta-cli works "
    "without one)\n";

// Whether arg is the long option name or a beginning of it ("--h" for "--help"); both of the
// wizard's own long options differ in their first letter, so no beginning is ambiguous.
bool IsLongOption(std::string_view arg, std::string_view name) {
    return arg.size() > 2 && name.starts_with(arg);
}

bool IsSet(const char* pszName) {
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr && *pszValue != '\0';
}

// Whether Qt will be told where to draw: a display server, or a platform named on the command
// line or in the environment.
bool HasDisplay(int argc, char* argv[]) {
    if (IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY") || IsSet("QT_QPA_PLATFORM")) {
        return true;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-platform" || arg == "--platform" || arg.starts_with("-platform=")) {
            return true;
        }
    }
    return false;
}

// While the application starts: Qt ends the process when the display named cannot be
// reached, after warnings of its own. That end becomes the one-line message and status 1
// instead of an abort; the warnings are held back until the start has succeeded.
QStringList g_heldMessages;

void OnStartMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        std::fputs(kNoDisplay, stderr);
        std::_Exit(1);
    }
    g_heldMessages << message;
}

}  // namespace

int main(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (IsLongOption(argv[i], "--help") || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(
                "usage: orvanta [Qt options]\n"
                "       orvanta --version\n\n"
                "The firmware upgrade wizard: choose a package (.inf or .bin), the serial\n"
                "port and baud rate, and send the firmware to the projector. It needs a\n"
                "desktop session; orvanta-cli does the same from a terminal.\n\n"
                "Exit status: 0 when the wizard closes, whatever the upgrade's outcome (the\n"
                "Done page shows it); 1 without a display.\n",
                stdout);
            return 0;
        }
        // Answered before Qt starts, so that it needs no display.
        if (IsLongOption(argv[i], "--version")) {
            std::printf("%s\n", VersionText("orvanta").c_str());
            return 0;
        }
    }
    if (!HasDisplay(argc, argv)) {
        std::fputs(kNoDisplay, stderr);
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(OnStartMessage);
    QApplication app(argc, argv);
    qInstallMessageHandler(previous);
    for (const QString& message : g_heldMessages) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
    }
    QGuiApplication::setDesktopFileName(QStringLiteral("orvanta"));
    theApp.InitInstance();
    return theApp.ExitStatus();
}
