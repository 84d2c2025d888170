// Grabs every page of the wizard into PNG files for the documentation, running a real upgrade
// of the sample package against the simulated projector:
//   wizard_screenshots OUTPUT_DIR
// Settings and home folder live in a temporary folder, so the user's own are untouched.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

#include "DonePage.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "Ser2net.h"
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
    if (!pWidget->grab().save(path)) {
        return Fail("cannot write a picture");
    }
    printf("%s\n", qPrintable(path));
    return true;
}

// One sheet: a first attempt against a projector that refuses every packet, one on a port
// that does not exist, one that waits for a projector that never asks, then a whole upgrade
// with the question that Cancel asks during it.
bool Run(const QString& package) {
    CProjectorProcess projector({"--baud", "115200"});  // paced, so that the transfer can be caught
    CProjectorProcess refusing({"--nak-all"});
    if (projector.m_device.isEmpty() || refusing.m_device.isEmpty()) {
        return Fail("no projector");
    }
    orvtest::CPty quiet;
    auto pAnswerer = std::make_unique<CBoxAnswerer>();  // the port's message box
    CUpgraderSheet sheet;
    sheet.AddPages();
    sheet.show();
    auto done = [&] { return sheet.GetActivePage() == sheet.GetDonePage(); };
    if (!Grab(&sheet, "welcome.png")) {
        return false;
    }
    Press(sheet, win::ID_WIZNEXT);
    Control<QLineEdit>(sheet.GetFilePage(), IDC_FILENAME)->setText(package);
    Press(sheet, win::ID_WIZNEXT);
    if (sheet.GetActivePage() != sheet.GetLinkPage()) {
        return Fail("File page refused");
    }
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)->setEditText(refusing.m_device);
    Press(sheet, win::ID_WIZNEXT);
    if (!WaitUntil(done) || !Grab(&sheet, "done-failure.png")) {
        return Fail("no failure");
    }
    Press(sheet, win::ID_WIZBACK);
    Press(sheet, win::ID_WIZNEXT);
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)
        ->setEditText("/dev/serial/by-id/usb-Orvanta_Serial_Adapter_A7X2Q9-if00-port0");
    Press(sheet, win::ID_WIZNEXT);
    if (!WaitUntil(done) || !Grab(&sheet, "done-port.png")) {
        return Fail("no port failure");
    }
    if (!WaitUntil([&] { return !pAnswerer->m_texts.isEmpty(); })) {
        return Fail("no port box");
    }
    pAnswerer.reset();
    Press(sheet, win::ID_WIZBACK);
    if (!Grab(&sheet, "file.png")) {
        return false;
    }
    Press(sheet, win::ID_WIZNEXT);
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)->setEditText(projector.m_device);
    if (!Grab(&sheet, "link.png")) {
        return false;
    }
    Press(sheet, win::ID_WIZNEXT);
    CTransferPage* pTransfer = sheet.GetTransferPage();
    auto* pTotal = Control<QProgressBar>(pTransfer, IDC_TOTAL_PROGRESS);
    if (!WaitUntil([&] { return pTotal->value() >= 400; }) || !Grab(&sheet, "transfer.png")) {
        return Fail("no progress");
    }
    sheet.close();
    DrainEvents();
    if (pTransfer->GetQuestion() == nullptr || !Grab(pTransfer->GetQuestion(), "question.png")) {
        return Fail("no question");
    }
    QTest::keyClick(pTransfer->GetQuestion(), Qt::Key_Return);
    if (!WaitUntil(done, 120000)) {
        return Fail("transfer did not end");
    }
    if (!Grab(&sheet, "done-success.png")) {
        return false;
    }
    sheet.SetActivePage(sheet.GetLinkPage());
    DrainEvents();
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)
        ->setEditText(QString::fromStdString(quiet.m_strDevice));
    Press(sheet, win::ID_WIZNEXT);
    auto* pElapsed = Control<QLabel>(sheet.GetTransferPage(), IDC_ELAPSED);
    if (!WaitUntil([&] { return pElapsed->text() == "00:02"; }, 5000)) {
        return Fail("no waiting page");
    }
    return Grab(&sheet, "transfer-waiting.png");
}

// A whole upgrade through a serial device server: ser2net on loopback over RFC 2217, with the
// paced projector as its serial device.
bool RunNetwork(const QString& package) {
    orvtest::TempDir dir;
    CProjectorProcess projector({"--baud", "115200", "--link", dir / "dev"});
    orvtest::CSer2net server;
    if (projector.m_device.isEmpty() || !server.Start(dir, dir / "dev")) {
        return Fail("no server");
    }
    CUpgraderSheet sheet;
    sheet.AddPages();
    sheet.show();
    Press(sheet, win::ID_WIZNEXT);
    Control<QLineEdit>(sheet.GetFilePage(), IDC_FILENAME)->setText(package);
    Press(sheet, win::ID_WIZNEXT);
    Control<QComboBox>(sheet.GetLinkPage(), IDC_COMPORT)
        ->setEditText(QString::fromStdString(server.Rfc2217Url()));
    if (!Grab(&sheet, "link-network.png")) {
        return false;
    }
    Press(sheet, win::ID_WIZNEXT);
    auto* pTotal = Control<QProgressBar>(sheet.GetTransferPage(), IDC_TOTAL_PROGRESS);
    if (!WaitUntil([&] { return pTotal->value() >= 400; }) ||
        !Grab(&sheet, "transfer-network.png")) {
        return Fail("no progress over the network");
    }
    if (!WaitUntil([&] { return sheet.GetActivePage() == sheet.GetDonePage(); }, 120000)) {
        return Fail("network transfer did not end");
    }
    return Grab(&sheet, "done-network.png");
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
    const QString package =
        QStringLiteral(ORVANTA_SOURCE_DIR "/examples/projector-fw/projector.inf");
    return Run(package) && RunNetwork(package) ? 0 : 1;
}
