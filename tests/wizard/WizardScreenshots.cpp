// Grabs every page of the wizard into PNG files for the documentation, running a real upgrade
// of the sample package against the simulated projector:
//   wizard_screenshots OUTPUT_DIR
// Settings and home folder live in a temporary folder, so the user's own are untouched.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "DonePage.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WizardTestSupport.h"

namespace {

bool StartProjector(QProcess& process, const QStringList& args, QString& device) {
    process.start(ORVANTA_PROJECTOR, args);
    if (!process.waitForStarted(10000)) return false;
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    device = QString::fromLocal8Bit(process.readLine()).trimmed();
    return !device.isEmpty();
}

class CShooter {
public:
    explicit CShooter(QString folder) : m_folder(std::move(folder)) {}
    bool Grab(QWidget* pWidget, const char* pszName) {
        DrainEvents();
        const QString path = m_folder + "/" + pszName;
        if (!pWidget->grab().save(path)) {
            fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return false;
        }
        printf("%s\n", qPrintable(path));
        return true;
    }

private:
    QString m_folder;
};

bool Fail(const char* pszWhat) {
    fprintf(stderr, "wizard_screenshots: %s\n", pszWhat);
    return false;
}

bool Run(const QString& output, const QString& package) {
    CShooter shooter(output);
    QProcess projector;
    QString device;
    if (!StartProjector(projector, {"--baud", "115200"}, device)) return Fail("no projector");

    CUpgraderSheet sheet;
    sheet.AddPages();
    sheet.show();
    auto press = [&](int nButton) {
        sheet.GetDlgItem(nButton)->click();
        DrainEvents();
    };
    auto control = [](CPropertyPage* pPage, int nId) { return pPage->GetDlgItem(nId); };

    if (!shooter.Grab(&sheet, "welcome.png")) return false;
    press(ID_WIZNEXT);
    qobject_cast<QLineEdit*>(control(sheet.GetFilePage(), IDC_FILENAME))->setText(package);
    if (!shooter.Grab(&sheet, "file.png")) return false;
    press(ID_WIZNEXT);
    if (sheet.GetActivePage() != sheet.GetLinkPage()) return Fail("File page refused");
    qobject_cast<QComboBox*>(control(sheet.GetLinkPage(), IDC_COMPORT))->setEditText(device);
    if (!shooter.Grab(&sheet, "link.png")) return false;
    press(ID_WIZNEXT);
    auto* pTotal =
        qobject_cast<QProgressBar*>(control(sheet.GetTransferPage(), IDC_TOTAL_PROGRESS));
    if (!WaitUntil([&] { return pTotal->value() >= 400; })) return Fail("no progress");
    if (!shooter.Grab(&sheet, "transfer.png")) return false;
    if (!WaitUntil([&] { return sheet.GetActivePage() == sheet.GetDonePage(); }, 120000))
        return Fail("transfer did not end");
    if (!shooter.Grab(&sheet, "done-success.png")) return false;
    projector.waitForFinished(5000);

    // A projector that refuses every packet.
    QProcess refusing;
    if (!StartProjector(refusing, {"--nak-all"}, device)) return Fail("no projector");
    press(ID_WIZFINISH);
    CUpgraderSheet second;
    second.AddPages();
    second.show();
    DrainEvents();
    second.GetDlgItem(ID_WIZNEXT)->click();
    DrainEvents();
    second.GetDlgItem(ID_WIZNEXT)->click();
    DrainEvents();
    qobject_cast<QComboBox*>(control(second.GetLinkPage(), IDC_COMPORT))->setEditText(device);
    second.GetDlgItem(ID_WIZNEXT)->click();
    if (!WaitUntil([&] { return second.GetActivePage() == second.GetDonePage(); }))
        return Fail("no failure");
    return shooter.Grab(&second, "done-failure.png");
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
    const QString output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QApplication app(argc, argv);
    QDir().mkpath(output);
    const QString package = QDir(QStringLiteral(ORVANTA_SOURCE_DIR))
                                .absoluteFilePath("examples/projector-fw/projector.inf");
    return Run(output, package) ? 0 : 1;
}
