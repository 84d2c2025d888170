// orvanta: the firmware upgrade wizard. It takes no arguments of its own but --version (Qt's
// standard options, such as -platform, still apply) and always exits with status 0.
#include <QApplication>
#include <cstdio>
#include <cstring>

#include "FirmwareApp.h"
#include "Version.h"

namespace {
CFirmwareApp theApp;
}

int main(int argc, char* argv[]) {
    // Answered before Qt starts, so that it needs no display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s\n", VersionText("orvanta").c_str());
            return 0;
        }
    }
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("orvanta"));
    theApp.InitInstance();
    return 0;
}
