// Grabs every page of the wizard into PNG files for the documentation, running a real upgrade
// of the sample package against the simulated projector:
//   wizard_screenshots OUTPUT_DIR
// Settings and home folder live in a temporary folder, so the user's own are untouched.
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <cstdio>

#include "DonePage.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WizardTestSupport.h"

namespace {

QString g_output;

bool Fail(const char* pszWhat) {
    fprintf(stderr, "wizard_screenshots: %s\n", pszWhat);
    return false;
}

bool Grab(QWidget* pWidget, const char* pszName) {
    DrainEvents();
    const QString path = g_output + "/" + pszName;
    if (!pWidget->grab().save(path)) return Fail("cannot write a picture");
    printf("%s\n", qPrintable(path));
    return true;
}

// One sheet: a first attempt against a projector that refuses every packet, then Back and a
// whole upgrade.
bool Run(const QString& package) {
    CProjector projector({"--baud", "115200"});  // paced, so that the transfer can be caught
    CProjector refusing({"--nak-all"});
    if (projector.m_device.isEmpty() || refusing.m_device.isEmpty()) return Fail("no projector");
    CUpgraderSheet sheet;
    sheet.AddPages();
    sheet.show();
    auto done = [&] { return sheet.GetActivePage() == sheet.GetDonePage(); };
    if (!Grab(&sheet, "welcome.png")) return false;
    Press(sheet, ID_WIZNEXT);
    Control<QLineEdit>(sheet.GetFilePage(), IDC_FILENAME)->setText(package);
    Press(sheet, ID_WIZNEXT);
    if (sheet.GetActivePage() != sheet.GetLinkPage()) return Fail("File page refused");
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)->setEditText(refusing.m_device);
    Press(sheet, ID_WIZNEXT);
    if (!WaitUntil(done) || !Grab(&sheet, "done-failure.png")) return Fail("no failure");
    Press(sheet, ID_WIZBACK);
    if (!Grab(&sheet, "file.png")) return false;
    Press(sheet, ID_WIZNEXT);
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)->setEditText(projector.m_device);
    if (!Grab(&sheet, "link.png")) return false;
    Press(sheet, ID_WIZNEXT);
    auto* pTotal = Control<QProgressBar>(sheet.GetTransferPage(), IDC_TOTAL_PROGRESS);
    if (!WaitUntil([&] { return pTotal->value() >= 400; }) || !Grab(&sheet, "transfer.png"))
        return Fail("no progress");
    if (!WaitUntil(done, 120000)) return Fail("transfer did not end");
    return Grab(&sheet, "done-success.png");
}

}  // namespace

int main(int argc, char* argv[]) {
    QTemporaryDir home;
    if (argc != 2 || !home.isValid()) {
        fprintf(stderr, "usage: wizard_screenshots OUTPUT_DIR\n");
        return 64;
    }
    setenv("HOME", home.path().toLocal8Bit().constData(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit().constData(), 1);
    g_output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QApplication app(argc, argv);
    QDir().mkpath(g_output);
    return Run(QStringLiteral(ORVANTA_SOURCE_DIR "/examples/projector-fw/projector.inf")) ? 0 : 1;
}
