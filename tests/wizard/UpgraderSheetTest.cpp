// The real wizard, page by page, against real files, real pseudo-terminals and the simulated
// projector.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include "CommEvents.h"
#include "DonePage.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "PackageSegments.h"
#include "Registry.h"
#include "Resource.h"
#include "Ser2net.h"
#include "SerialPort.h"
#include "TestSupport.h"
#include "ToolRunner.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WizardTestSupport.h"

namespace {

const QString kKey = "Software\\Helmvik\\Orvanta";
const QString kNoSuchPort = "/nonexistent/ttyX";

// The test package's files as its image holds them: flash write, and File (the first file) or
// Reset (the last).
using orvtest::ExpectedSegment;
using orvtest::PatternBytes;
const orvtest::TestFile kBoot{0x06, 0, 0, "Boot loader", {{0, 0, PatternBytes(300, 1)}}};
const orvtest::TestFile kMain{0x0A, 0, 0, "Main program", {{0, 0x1000, PatternBytes(5000, 2)}}};

QString Stored(const char* pszName) {
    QString value;
    return ReadRegistryString(HKEY_CURRENT_USER, kKey, pszName, &value) ? value : "<missing>";
}

class UpgraderSheetTest : public ::testing::Test {
protected:
    void SetUp() override { ClearSettings(); }
    // A new sheet, shown on the Welcome page; with bToFile, on the File page.
    void Open(bool bToFile = true) {
        m_pSheet = std::make_unique<CUpgraderSheet>();
        m_pSheet->AddPages();
        m_pSheet->show();
        DrainEvents();
        if (bToFile) {
            Press(win::ID_WIZNEXT);
        }
    }
    void Press(int nButton) { ASSERT_TRUE(::Press(*m_pSheet, nButton)) << nButton; }
    std::string Buttons() const { return ::Buttons(*m_pSheet); }
    CPropertyPage* Active() const { return m_pSheet->GetActivePage(); }
    QLineEdit* Path() const { return Control<QLineEdit>(m_pSheet->GetFilePage(), IDC_FILENAME); }
    QComboBox* Combo(int nId) const { return Control<QComboBox>(m_pSheet->GetLinkPage(), nId); }
    // From the File page to the Link page with path typed in.
    void ToLinkPage(const QString& path) {
        Path()->setText(path);
        Press(win::ID_WIZNEXT);
        ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    }
    // From the Link page over the serial port to the Done page, whose text it returns.
    QString Transfer(const QString& port) {
        Combo(IDC_COMPORT)->setEditText(port);
        Press(win::ID_WIZNEXT);
        return WaitForDone();
    }
    // From a new sheet to the Transfer page of the test package on port.
    void StartTransfer(const QString& port) {
        Open();
        ToLinkPage(m_package);
        Combo(IDC_COMPORT)->setEditText(port);
        Press(win::ID_WIZNEXT);
    }
    QString WaitForDone() {
        EXPECT_TRUE(WaitUntil([this] { return Active() == m_pSheet->GetDonePage(); }));
        DrainEvents();  // the Done page's buttons
        return Control<QLabel>(m_pSheet->GetDonePage(), IDC_RESULT)->text().remove(QChar(0x200B));
    }
    // Whether the Done page shows this picture and not the other one.
    bool Shows(int nShown, int nHidden) const {
        const CDonePage* p = m_pSheet->GetDonePage();
        return p->GetDlgItem(nShown)->isVisibleTo(p) && !p->GetDlgItem(nHidden)->isVisibleTo(p);
    }

    bool Delivered() const {
        return orvtest::Dumped(m_dir / "dump", {ExpectedSegment(kBoot), ExpectedSegment(kMain)});
    }

    orvtest::CwdGuard m_cwd;  // the File page moves into the package's folder
    orvtest::TempDir m_dir;
    QString m_package = WritePackage(m_dir.Path(), kBoot, kMain);
    std::unique_ptr<CUpgraderSheet> m_pSheet;
};

// A failure ends on its Done page with its message and detail (a package gone by the time of
// the transfer, a port that cannot be opened; the other result codes are the loader's and the
// tools' part), Back leads to the File page with the stored path, and the attempt after them
// delivers the package exactly.
TEST_F(UpgraderSheetTest, FailuresEndOnTheirDoneTextAndTheNextAttemptSucceeds) {
    const std::string script = orvtest::ReadText(m_package.toStdString());
    const QString box = "Port already open (by another application) or does not exist!";
    struct Case {
        std::string path;
        QString port, message, detail;  // detail: the text naming the file, if any
        bool bDelete = false;           // removed before the transfer
    };
    const Case cases[] = {
        {m_dir.Write("vanishing.inf", script), "COM1",
         "File not found. Please check the path and filename.", "vanishing.inf", true},
        {m_package.toStdString(), kNoSuchPort, "Serial failed",
         kNoSuchPort + ": no such device (No such file or directory); serial devices present: "},
    };
    CBoxAnswerer answerer;
    Open(false);
    EXPECT_EQ(m_pSheet->windowTitle(), "Orvanta");
    EXPECT_EQ(Buttons(), "bN-C");
    Press(win::ID_WIZNEXT);
    EXPECT_EQ(Path()->text(), "");  // nothing stored yet
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ToLinkPage(QString::fromStdString(c.path));
        EXPECT_EQ(Stored("Flash filename").toStdString(), c.path);
        EXPECT_EQ(Buttons(), "BN-C");
        ASSERT_TRUE(!c.bDelete || std::filesystem::remove(c.path));
        const QString text = Transfer(c.port);  // the message, then a reason naming the file
        EXPECT_TRUE(text.startsWith(c.message) && text.contains(c.detail) &&
                    (text == c.message) == c.detail.isEmpty())
            << text.toStdString();
        EXPECT_TRUE(Shows(IDC_FAILURE_PICTURE, IDC_SUCCESS_PICTURE));
        EXPECT_EQ(Buttons(), "Bn-C");
        EXPECT_EQ(answerer.m_texts, c.port == kNoSuchPort ? QStringList{box} : QStringList{});
        answerer.m_texts.clear();
        Press(win::ID_WIZBACK);
        ASSERT_EQ(Active(), m_pSheet->GetFilePage());
        EXPECT_EQ(Path()->text(), QString::fromStdString(c.path));
    }
    EXPECT_EQ(answerer.m_titles,
              QStringList{QFileInfo(QCoreApplication::applicationFilePath()).baseName()});

    // The next attempt goes through a serial device server (ser2net over RFC 2217) at the rate
    // chosen on the Link page; the address is stored as typed.
    CProjectorProcess projector({"--link", m_dir / "dev", "--dump", m_dir / "dump"});
    orvtest::CSer2net server;
    ASSERT_TRUE(server.Start(m_dir, m_dir / "dev"))
        << "ser2net is installed by scripts/install-deps";
    const QString url = QString::fromStdString(server.Rfc2217Url());
    ToLinkPage(m_package);
    Combo(IDC_BAUDRATE)->setEditText("57600");
    EXPECT_EQ(Transfer(url).section('\n', 0, 0), "Upgrade successful!");
    EXPECT_TRUE(m_pSheet->GetDonePage()->GetDetail().contains("\nPort: " + url + "\n"));
    EXPECT_TRUE(Shows(IDC_SUCCESS_PICTURE, IDC_FAILURE_PICTURE));
    EXPECT_EQ(Buttons(), "b-FC");
    EXPECT_EQ(answerer.m_texts, QStringList{});
    EXPECT_EQ(Control<QLabel>(m_pSheet->GetTransferPage(), IDC_STATUS)->text(), "Main program");
    EXPECT_EQ(Stored("ComPort"), url);
    EXPECT_EQ(Stored("Baudrate"), "57600");
    EXPECT_EQ(Stored("Link"), "1");
    Press(win::ID_WIZFINISH);
    EXPECT_EQ(m_pSheet->result(), win::ID_WIZFINISH);
    EXPECT_EQ(projector.Wait(30000).nExit, 0);
    server.Stop();
    EXPECT_TRUE(Delivered());
    EXPECT_EQ(orvtest::DumpSummary(m_dir / "dump")["line_rate"].toInt(), 57600);
}

TEST_F(UpgraderSheetTest, LinkPageRestoresPortAndBaudRate) {
    // Stored port and baud rate (nullptr: none yet); port shown and its index in the list (-1: in
    // the edit field only); baud rate shown and its index ("1" begins the first entry).
    const std::tuple<const char*, const char*, QString, int, QString, int> cases[] = {
        {nullptr, nullptr, "COM1", 0, "115200", 0},
        {"COM3", "57600", "COM3", 2, "57600", 1},
        {"com3", "0", "COM1", 0, "115200", 0},
        {"COM0", "300", "COM1", 0, "300", -1},
        {"COM12", "1", "COM12", -1, "115200", 0},
        {"COM 4", " 57600 bps", "COM4", 3, "57600", 1},
        {"/dev/pts/77", "115200", "/dev/pts/77", -1, "115200", 0},
        {"rfc2217://10.0.0.7:2001", "57600", "rfc2217://10.0.0.7:2001", -1, "57600", 1},
        {"tcp://[::1]:4001", "115200", "tcp://[::1]:4001", -1, "115200", 0}};
    Open();
    ToLinkPage(m_package);
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, "Link", "2"));
    for (const auto& [pszPort, pszBaud, port, nPortIndex, baud, nBaudIndex] : cases) {
        SCOPED_TRACE(port.toStdString() + " " + baud.toStdString());
        for (auto [pszName, pszValue] : {std::pair{"ComPort", pszPort}, {"Baudrate", pszBaud}}) {
            ASSERT_TRUE(!pszValue ||
                        WriteRegistryString(HKEY_CURRENT_USER, kKey, pszName, pszValue));
        }
        Combo(IDC_COMPORT)->setEditText("COM4");  // left with Back: not kept
        Press(win::ID_WIZBACK);
        Press(win::ID_WIZNEXT);
        ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
        EXPECT_EQ(Combo(IDC_COMPORT)->currentText(), port);
        EXPECT_EQ(Combo(IDC_COMPORT)->currentIndex(), nPortIndex);
        EXPECT_EQ(Combo(IDC_BAUDRATE)->currentText(), baud);
        EXPECT_EQ(Combo(IDC_BAUDRATE)->currentIndex(), nBaudIndex);
        // A stored link type never changes the choice.
        EXPECT_TRUE(Control<QRadioButton>(Active(), IDC_RADIO_RS232)->isChecked());
    }
}

TEST_F(UpgraderSheetTest, FilePageRefusesPathsThatCannotBeOpened) {
    const std::string fifo = m_dir / "fifo.inf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> refused{"", m_dir / "missing.inf", m_dir.Path(), fifo};
    if (geteuid() != 0) {  // permissions do not stop the superuser
        refused.push_back(m_dir.Write("locked.inf", "x"));
        chmod(refused.back().c_str(), 0);
    }
    Open();
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        Path()->setText(QString::fromStdString(path));
        Press(win::ID_WIZNEXT);
        EXPECT_EQ(Active(), m_pSheet->GetFilePage());
        EXPECT_EQ(Stored("Flash filename"), "<missing>");
    }
    // A relative path with a folder is stored absolute, and its folder becomes current.
    WritePackage(m_dir / "sub", kBoot, kMain);
    std::filesystem::current_path(m_dir.Path());
    ToLinkPage("sub/package.inf");
    EXPECT_EQ(Stored("Flash filename").toStdString(), m_dir / "sub/package.inf");
    EXPECT_EQ(std::filesystem::current_path().string(), m_dir / "sub");
}

// During a transfer Return, Enter and Space do nothing; Escape asks, the upgrade runs on while
// asked, Return on the question goes on and the package arrives byte for byte. The next
// attempt holds its port, starts with both bars at 0 and the first file's name, and shows that
// it waits, with the time running; before the first packet Cancel ends the wizard at once and
// lets the port go.
TEST_F(UpgraderSheetTest, KeysDuringATransferDoNotEndIt) {
    CProjectorProcess projector(
        {"--ack-delay", "40", "--nak-every", "7", "--dump", m_dir / "dump"});
    StartTransfer(projector.m_device);
    CTransferPage* pPage = m_pSheet->GetTransferPage();
    ASSERT_EQ(Active(), pPage);
    auto* pTotal = Control<QProgressBar>(pPage, IDC_TOTAL_PROGRESS);
    auto* pSegment = Control<QProgressBar>(pPage, IDC_SEGMENT_PROGRESS);
    ASSERT_TRUE(WaitUntil([&] { return pTotal->value() > 0; }));
    m_pSheet->activateWindow();
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        QWidget* pFocus = QApplication::focusWidget();
        QTest::keyClick(pFocus != nullptr ? pFocus : m_pSheet.get(), key);
        DrainEvents();
        EXPECT_TRUE(m_pSheet->isVisible()) << key;
        EXPECT_EQ(pPage->GetQuestion(), nullptr) << key;
    }
    QTest::keyClick(m_pSheet.get(), Qt::Key_Escape);
    DrainEvents();
    QMessageBox* pBox = pPage->GetQuestion();
    ASSERT_NE(pBox, nullptr);
    EXPECT_TRUE(pBox->text().contains("may not start until it is upgraded again"));
    EXPECT_EQ(pBox->defaultButton()->text(), "Continue upgrade");
    const int nAsked = pTotal->value();
    EXPECT_TRUE(WaitUntil([&] { return pTotal->value() > nAsked; })) << "runs on while asked";
    QTest::keyClick(pBox, Qt::Key_Return);
    DrainEvents();
    EXPECT_EQ(pPage->GetQuestion(), nullptr);
    EXPECT_TRUE(WaitForDone().startsWith("Upgrade successful!\n\n"));
    EXPECT_TRUE(m_pSheet->GetDonePage()->GetDetail().endsWith(
        "\n6 blocks were sent again after the projector refused them; check the cable"));
    EXPECT_EQ(projector.Wait(30000).nExit, 0);
    EXPECT_TRUE(Delivered());

    orvtest::CPty quiet;  // the next attempt waits for a projector that never asks
    m_pSheet->SetActivePage(m_pSheet->GetLinkPage());
    DrainEvents();
    Combo(IDC_COMPORT)->setEditText(QString::fromStdString(quiet.m_strDevice));
    Press(win::ID_WIZNEXT);
    ASSERT_EQ(Active(), pPage);
    EXPECT_EQ(Buttons(), "b-fC");
    EXPECT_EQ(Control<QLabel>(pPage, IDC_STATUS)->text(), "Boot loader");
    EXPECT_EQ(pTotal->value(), 0);
    EXPECT_EQ(pSegment->value(), 0);
    CCommQueue events;
    CSerialPort port(events, [](const std::string&) {});
    EXPECT_FALSE(port.OpenPort(quiet.m_strDevice, 115200));  // the wizard holds it
    EXPECT_EQ(Control<QLabel>(pPage, IDC_FEEDBACK)->text(),
              "Waiting for the projector: switch it to upgrade mode.");
    EXPECT_TRUE(
        WaitUntil([&] { return Control<QLabel>(pPage, IDC_ELAPSED)->text() == "00:01"; }, 5000));
    Press(win::IDCANCEL);
    EXPECT_FALSE(m_pSheet->isVisible());
    m_pSheet.reset();
    EXPECT_TRUE(port.OpenPort(quiet.m_strDevice, 115200));
}

// "Stop upgrade" on the question ends the wizard as Cancel does: the port is closed.
TEST_F(UpgraderSheetTest, StopOnTheQuestionEndsWithThePortClosed) {
    CProjectorProcess projector({"--ack-delay", "40"});
    StartTransfer(projector.m_device);
    CTransferPage* pPage = m_pSheet->GetTransferPage();
    ASSERT_TRUE(
        WaitUntil([&] { return Control<QProgressBar>(pPage, IDC_TOTAL_PROGRESS)->value() > 0; }));
    m_pSheet->close();  // the window's close button
    DrainEvents();
    ASSERT_NE(pPage->GetQuestion(), nullptr);
    EXPECT_TRUE(m_pSheet->isVisible());
    for (QAbstractButton* pButton : pPage->GetQuestion()->buttons()) {
        if (pButton->text() == "Stop upgrade") {
            pButton->click();
        }
    }
    DrainEvents();
    EXPECT_FALSE(m_pSheet->isVisible());
    EXPECT_EQ(m_pSheet->result(), win::IDCANCEL);
    m_pSheet.reset();
    EXPECT_EQ(projector.Wait(30000).nExit, 0) << "the projector ends once the line is closed";
}

TEST_F(UpgraderSheetTest, BinFileLinkWritesTheComplementedImage) {
    const std::string output = getenv("HOME") + std::string("/test.bin");
    for (bool bBlocked : {true, false}) {  // first with a folder where the file goes
        std::filesystem::remove(output);
        if (bBlocked) {
            std::filesystem::create_directory(output);
        }
        Open();
        ToLinkPage(m_package);
        m_pSheet->GetLinkPage()->OnRadioBinFile();
        Press(win::ID_WIZNEXT);
        EXPECT_TRUE(WaitForDone().startsWith(bBlocked ? "File not found." : "Upgrade successful!"));
    }
    EXPECT_EQ(orvtest::ReadBytes(output),
              orvtest::Complemented(orvtest::MakeImage({kBoot, kMain})));
}

TEST(DonePageTest, CodesNoFlowReachesHaveTheirMessage) {
    const std::pair<int32_t, const char*> cases[] = {{4, "USB Failed"},
                                                     {7, "Unknown error: 0x0007"},
                                                     {0x12345, "Unknown error: 0x12345"},
                                                     {-1, "Unknown error: 0xFFFFFFFF"}};
    for (const auto& [nCode, pszMessage] : cases) {
        EXPECT_EQ(CDonePage::ResultMessage(nCode), pszMessage) << nCode;
    }
}

// Without a display the program says so in one line and ends with 1, whether no display is
// named or the one named cannot be reached; --help needs none.
TEST(WizardProgram, WithoutADisplayItSaysSoInOneLine) {
    const std::pair<std::vector<std::string>, int> rows[] = {{{ORVANTA_WIZARD}, 1},
                                                             {{"DISPLAY=:97", ORVANTA_WIZARD}, 1},
                                                             {{ORVANTA_WIZARD, "--help"}, 0}};
    for (const auto& [words, nExit] : rows) {
        std::vector<std::string> args = {"-u", "DISPLAY",        "-u", "WAYLAND_DISPLAY",
                                         "-u", "QT_QPA_PLATFORM"};
        args.insert(args.end(), words.begin(), words.end());
        const orvtest::ToolResult run = orvtest::RunTool("/usr/bin/env", args, {}, {}, 30000);
        EXPECT_EQ(run.nExit, nExit) << run.err;
        EXPECT_TRUE(nExit == 0 ? run.out.starts_with("usage: orvanta")
                               : run.err.starts_with("orvanta: no display found: ") &&
                                     std::count(run.err.begin(), run.err.end(), '\n') == 1)
            << run.out << run.err;
    }
}

}  // namespace
