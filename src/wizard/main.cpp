// orvanta: the firmware upgrade wizard. It takes no arguments of its own (Qt's standard
// options, such as -platform, still apply) and always exits with status 0.
#include <QApplication>

#include "FirmwareApp.h"

namespace {
CFirmwareApp theApp;
}

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("orvanta"));
    theApp.InitInstance();
    return 0;
}
