// The real wizard, page by page, against real files, real pseudo-terminals and the simulated
// projector.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <memory>

#include "BinFile.h"
#include "DonePage.h"
#include "FilePage.h"
#include "FirmwareApp.h"
#include "LinkPage.h"
#include "PackageLoader.h"
#include "Registry.h"
#include "Resource.h"
#include "SegmentCutter.h"
#include "SerialPort.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WelcomePage.h"
#include "WizardTestSupport.h"

namespace {

const QString kKey = "Software\\Helmvik\\Orvanta";
const QString kNoSuchPort = "/nonexistent/ttyX";

QString Stored(const char* pszName) {
    QString value;
    return ReadRegistryString(HKEY_CURRENT_USER, kKey, pszName, &value) ? value : "<missing>";
}

void Store(const char* pszName, const QString& value) {
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, kKey, pszName, value));
}

// orvanta-projector on a pseudo-terminal of its own, stopped when this object goes.
class CProjector {
public:
    explicit CProjector(QStringList args) {
        m_process.start(ORVANTA_PROJECTOR, args);
        if (!m_process.waitForStarted(10000)) return;
        while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
        }
        m_device = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    }
    ~CProjector() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    QString Device() const { return m_device; }
    // Waits, running the event loop, until the projector has ended.
    bool WaitForExit() {
        return WaitUntil([this] { return m_process.state() == QProcess::NotRunning; });
    }

private:
    QProcess m_process;
    QString m_device;
};

class UpgraderSheetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        ASSERT_TRUE(m_dir.isValid());
        m_savedFolder = QDir::currentPath();
        m_package = WritePackage(m_dir.path(), TestBytes(300, 1), TestBytes(5000, 2));
    }
    void TearDown() override {
        m_pSheet.reset();
        QDir::setCurrent(m_savedFolder);
    }

    void Open() {
        m_pSheet = std::make_unique<CUpgraderSheet>();
        m_pSheet->AddPages();
        m_pSheet->show();
        DrainEvents();
    }
    void Press(int nButton) {
        QPushButton* pButton = m_pSheet->GetDlgItem(nButton);
        ASSERT_TRUE(pButton->isVisible() && pButton->isEnabled()) << nButton;
        pButton->click();
        DrainEvents();
    }
    // Buttons as "B N F C": upper case enabled, lower case shown disabled, '-' hidden.
    QString Buttons() const {
        QString result;
        for (auto [nId, c] : {std::pair{ID_WIZBACK, 'b'}, std::pair{ID_WIZNEXT, 'n'},
                              std::pair{ID_WIZFINISH, 'f'}, std::pair{IDCANCEL, 'c'}}) {
            const QPushButton* pButton = m_pSheet->GetDlgItem(nId);
            result += !pButton->isVisible()  ? QChar('-')
                      : pButton->isEnabled() ? QChar(c).toUpper()
                                             : QChar(c);
        }
        return result;
    }
    CPropertyPage* Active() const { return m_pSheet->GetActivePage(); }
    template <class T>
    T* Control(CPropertyPage* pPage, int nId) const {
        return qobject_cast<T*>(pPage->GetDlgItem(nId));
    }
    QLineEdit* PathEdit() const {
        return Control<QLineEdit>(m_pSheet->GetFilePage(), IDC_FILENAME);
    }
    QComboBox* Combo(int nId) const { return Control<QComboBox>(m_pSheet->GetLinkPage(), nId); }

    // From the Welcome page to the Link page with the package path typed in.
    void GoToLinkPage(const QString& path) {
        Press(ID_WIZNEXT);
        ASSERT_EQ(Active(), m_pSheet->GetFilePage());
        PathEdit()->setText(path);
        Press(ID_WIZNEXT);
        ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    }
    void SetLink(const QString& port, const QString& baud = "115200") {
        Combo(IDC_COMPORT)->setEditText(port);
        Combo(IDC_BAUDRATE)->setEditText(baud);
    }
    bool WaitForDonePage() {
        return WaitUntil([this] { return Active() == m_pSheet->GetDonePage(); });
    }
    QString DoneText() const {
        return Control<QLabel>(m_pSheet->GetDonePage(), IDC_RESULT)->text().remove(QChar(0x200B));
    }
    bool SuccessPictureShown() const {
        CDonePage* pDone = m_pSheet->GetDonePage();
        return pDone->GetDlgItem(IDC_SUCCESS_PICTURE)->isVisibleTo(pDone) &&
               !pDone->GetDlgItem(IDC_FAILURE_PICTURE)->isVisibleTo(pDone);
    }
    bool FailurePictureShown() const {
        CDonePage* pDone = m_pSheet->GetDonePage();
        return pDone->GetDlgItem(IDC_FAILURE_PICTURE)->isVisibleTo(pDone) &&
               !pDone->GetDlgItem(IDC_SUCCESS_PICTURE)->isVisibleTo(pDone);
    }
    // The segments the package is cut into, in order.
    std::vector<std::string> ExpectedSegments(const QString& package) const {
        LoadedPackage loaded;
        EXPECT_EQ(LoadPackage(package.toStdString(), loaded, true), RESULT_SUCCESS);
        CSegmentCutter cutter;
        cutter.SetImage(std::move(loaded.pImage), loaded.nSize);
        std::vector<std::string> segments;
        while (cutter.PrepareNextSegment())
            segments.emplace_back(reinterpret_cast<const char*>(cutter.m_pSegment.get()),
                                  cutter.m_nSegmentLength);
        return segments;
    }

    QTemporaryDir m_dir;
    QString m_savedFolder;
    QString m_package;
    std::unique_ptr<CUpgraderSheet> m_pSheet;
};

TEST_F(UpgraderSheetTest, WholeUpgradeEndsSuccessfulWithTheSegmentsDeliveredExactly) {
    const QString dump = m_dir.path() + "/dump";
    CProjector projector({"--dump", dump});
    ASSERT_FALSE(projector.Device().isEmpty());

    Open();
    EXPECT_EQ(m_pSheet->windowTitle(), "Orvanta");
    EXPECT_EQ(Active(), m_pSheet->GetPage(0));
    EXPECT_EQ(Buttons(), "bN-C");
    Press(ID_WIZNEXT);
    EXPECT_EQ(Buttons(), "BN-C");
    EXPECT_EQ(PathEdit()->text(), "");  // nothing stored yet
    PathEdit()->setText(m_package);
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    EXPECT_EQ(Buttons(), "BN-C");
    EXPECT_EQ(Combo(IDC_COMPORT)->currentText(), "COM1");
    EXPECT_EQ(Combo(IDC_BAUDRATE)->currentText(), "115200");
    SetLink(projector.Device());
    Press(ID_WIZNEXT);

    ASSERT_TRUE(WaitForDonePage());
    EXPECT_EQ(DoneText(), "Upgrade successful!");
    EXPECT_TRUE(SuccessPictureShown());
    EXPECT_EQ(Buttons(), "b-FC");
    CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    EXPECT_EQ(pTransfer->GetUpgradeResult(), 0);
    EXPECT_EQ(Control<QLabel>(pTransfer, IDC_STATUS)->text(), "Main program");
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d$")
                    .match(Control<QLabel>(pTransfer, IDC_ELAPSED)->text())
                    .hasMatch());
    EXPECT_EQ(Control<QLabel>(pTransfer, IDC_FEEDBACK)->text(), "");
    EXPECT_EQ(Stored("Flash filename"), m_package);
    EXPECT_EQ(Stored("ComPort"), projector.Device());
    EXPECT_EQ(Stored("Baudrate"), "115200");
    EXPECT_EQ(Stored("Link"), "1");

    Press(ID_WIZFINISH);
    EXPECT_FALSE(m_pSheet->isVisible());
    EXPECT_EQ(m_pSheet->result(), ID_WIZFINISH);

    ASSERT_TRUE(projector.WaitForExit());
    const std::vector<std::string> expected = ExpectedSegments(m_package);
    ASSERT_EQ(expected.size(), 2u);
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(ReadFile(dump + QString("/segment-%1.bin").arg(i + 1)), expected[i]) << i;
    EXPECT_FALSE(QFile::exists(dump + "/segment-3.bin"));
}

TEST_F(UpgraderSheetTest, FailedAttemptsEndOnTheirDonePageText) {
    const QString hexNamed = m_dir.path() + "/package.hex";
    WriteFile(hexNamed, ReadFile(m_package));
    const QString badBin = m_dir.path() + "/garbage.bin";
    WriteFile(badBin, "these bytes are no image");
    QDir().mkpath(m_dir.path() + "/broken");
    const QString brokenInf = WritePackage(m_dir.path() + "/broken", TestBytes(40, 3), {1, 2});
    std::string hex = ReadFile(m_dir.path() + "/broken/main.hex");
    hex.replace(hex.find(":00000001FF"), 11, ":0000000");  // no end-of-file record
    WriteFile(m_dir.path() + "/broken/main.hex", hex);
    const QString vanishing = m_dir.path() + "/vanishing.inf";
    WriteFile(vanishing, ReadFile(m_package));

    struct Case {
        QString path;
        QString port;
        bool bDeleteBeforeTransfer;
        QString message;
        QString box;  // the message box expected first, if any
    };
    const Case cases[] = {
        {vanishing, "COM1", true, "File not found. Please check the path and filename.", ""},
        {hexNamed, "COM1", false, "The input file is not valid.", ""},
        {badBin, "COM1", false, "The input file is not valid.", ""},
        {brokenInf, "COM1", false, "The inf file is corrupt. Please try another file.", ""},
        {m_package, kNoSuchPort, false, "Serial failed",
         "Port already open (by another application) or does not exist!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        CModalAnswerer answerer;
        Open();
        GoToLinkPage(c.path);
        if (c.bDeleteBeforeTransfer) {
            ASSERT_TRUE(QFile::remove(c.path));
        }
        SetLink(c.port);
        Press(ID_WIZNEXT);
        ASSERT_TRUE(WaitForDonePage());
        EXPECT_TRUE(DoneText().startsWith(c.message)) << DoneText().toStdString();
        EXPECT_TRUE(FailurePictureShown());
        EXPECT_EQ(Buttons(), "Bn-C");
        if (c.box.isEmpty()) {
            EXPECT_TRUE(answerer.m_texts.isEmpty());
            // The reason names the file.
            EXPECT_TRUE(DoneText().contains(QFileInfo(c.path).fileName()) ||
                        DoneText().contains("main.hex"))
                << DoneText().toStdString();
        } else {
            EXPECT_EQ(answerer.m_texts, QStringList{c.box});
            EXPECT_EQ(answerer.m_titles,
                      QStringList{QFileInfo(QCoreApplication::applicationFilePath()).fileName()});
            EXPECT_EQ(DoneText(), c.message);
        }
        m_pSheet.reset();
    }
}

TEST_F(UpgraderSheetTest, ProjectorRefusingEveryPacketEndsWithCanceledConnection) {
    CProjector projector({"--nak-all"});
    ASSERT_FALSE(projector.Device().isEmpty());
    Open();
    GoToLinkPage(m_package);
    SetLink(projector.Device());
    Press(ID_WIZNEXT);
    ASSERT_TRUE(WaitForDonePage());
    EXPECT_EQ(DoneText(), "Projector canceled connection.");
    EXPECT_EQ(m_pSheet->GetTransferPage()->GetUpgradeResult(), 6);
    EXPECT_TRUE(FailurePictureShown());
}

TEST_F(UpgraderSheetTest, BackFromDoneLeadsToTheFilePageAndASecondAttemptSucceeds) {
    CModalAnswerer answerer;
    Open();
    GoToLinkPage(m_package);
    SetLink(kNoSuchPort, "57600 typed");
    Press(ID_WIZNEXT);
    ASSERT_TRUE(WaitForDonePage());
    EXPECT_EQ(DoneText(), "Serial failed");
    EXPECT_EQ(Stored("ComPort"), kNoSuchPort);
    EXPECT_EQ(Stored("Baudrate"), "57600 typed");

    Press(ID_WIZBACK);
    ASSERT_EQ(Active(), m_pSheet->GetFilePage());
    EXPECT_EQ(PathEdit()->text(), m_package);
    EXPECT_EQ(Buttons(), "BN-C");
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    EXPECT_EQ(Combo(IDC_COMPORT)->currentText(), kNoSuchPort);  // a device path as stored
    EXPECT_EQ(Combo(IDC_BAUDRATE)->currentText(), "57600");

    CProjector projector({});
    ASSERT_FALSE(projector.Device().isEmpty());
    SetLink(projector.Device());
    Press(ID_WIZNEXT);
    ASSERT_TRUE(WaitForDonePage());
    EXPECT_EQ(DoneText(), "Upgrade successful!");
    EXPECT_TRUE(SuccessPictureShown());
    EXPECT_EQ(Buttons(), "b-FC");
    EXPECT_EQ(answerer.m_texts.size(), 1);
}

TEST_F(UpgraderSheetTest, LinkPageRestoresPortAndBaudRate) {
    struct Case {
        const char* pszPort;  // nullptr: not stored
        const char* pszBaud;
        QString port;
        int nPortIndex;  // -1: shown in the edit field only
        QString baud;
        int nBaudIndex;
    };
    const Case cases[] = {
        {nullptr, nullptr, "COM1", 0, "115200", 0},
        {"COM3", "57600", "COM3", 2, "57600", 1},
        {"com3", "0", "COM1", 0, "115200", 0},
        {"COM0", "300", "COM1", 0, "300", -1},
        {"COM12", "1", "COM12", -1, "115200", 0},
        {"COMx", "baud", "COM1", 0, "115200", 0},
        {"COM 4", " 57600 bps", "COM4", 3, "57600", 1},
        {"/dev/pts/77", "115200", "/dev/pts/77", -1, "115200", 0},
    };
    Store("Flash filename", m_package);
    Open();
    Press(ID_WIZNEXT);
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port.toStdString() + " " + c.baud.toStdString());
        ClearSettings();
        Store("Flash filename", m_package);
        Store("Link", "2");  // never changes the choice
        if (c.pszPort != nullptr) Store("ComPort", c.pszPort);
        if (c.pszBaud != nullptr) Store("Baudrate", c.pszBaud);
        Combo(IDC_COMPORT)->setEditText("COM4");  // left with Back: not kept
        Press(ID_WIZBACK);
        Press(ID_WIZNEXT);
        ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
        EXPECT_EQ(Combo(IDC_COMPORT)->currentText(), c.port);
        EXPECT_EQ(Combo(IDC_COMPORT)->currentIndex(), c.nPortIndex);
        EXPECT_EQ(Combo(IDC_BAUDRATE)->currentText(), c.baud);
        EXPECT_EQ(Combo(IDC_BAUDRATE)->currentIndex(), c.nBaudIndex);
        CLinkPage* pLink = m_pSheet->GetLinkPage();
        EXPECT_TRUE(Control<QRadioButton>(pLink, IDC_RADIO_RS232)->isChecked());
        EXPECT_FALSE(Control<QRadioButton>(pLink, IDC_RADIO_USB)->isEnabled());
        EXPECT_FALSE(Control<QRadioButton>(pLink, IDC_RADIO_BINFILE)->isEnabled());
        EXPECT_TRUE(pLink->IsRS232());
        EXPECT_FALSE(pLink->IsUSB() || pLink->IsBinFile());
    }
}

TEST_F(UpgraderSheetTest, LinkPageReadsTheBaudRateAsScanfDoes) {
    const std::pair<const char*, int> cases[] = {
        {"115200", 115200},       {"  57600", 57600}, {"-5", -5},
        {"+9600x", 9600},         {"abc", 0},         {"", 0},
        {"99999999999", INT_MAX},
    };
    Store("Flash filename", m_package);
    Open();
    Press(ID_WIZNEXT);
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    CLinkPage* pLink = m_pSheet->GetLinkPage();
    for (const auto& [pszText, nExpected] : cases) {
        Combo(IDC_BAUDRATE)->setEditText(pszText);
        ASSERT_TRUE(pLink->UpdateData(TRUE));
        int nBaudRate = 12345;
        pLink->GetBaudRate(nBaudRate);
        EXPECT_EQ(nBaudRate, nExpected) << pszText;
    }
}

TEST_F(UpgraderSheetTest, FilePageRefusesPathsThatCannotBeOpened) {
    const QString fifo = m_dir.path() + "/fifo.inf";
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const QString folder = m_dir.path() + "/folder.inf";
    QDir().mkpath(folder);
    QStringList refused{"", m_dir.path() + "/missing.inf", folder, fifo};
    if (geteuid() != 0) {  // permissions do not stop the superuser
        const QString locked = m_dir.path() + "/locked.inf";
        WriteFile(locked, "x");
        chmod(locked.toLocal8Bit().constData(), 0);
        refused << locked;
    }
    Open();
    Press(ID_WIZNEXT);
    for (const QString& path : refused) {
        SCOPED_TRACE(path.toStdString());
        PathEdit()->setText(path);
        Press(ID_WIZNEXT);
        EXPECT_EQ(Active(), m_pSheet->GetFilePage());
        EXPECT_EQ(Stored("Flash filename"), "<missing>");
        EXPECT_EQ(PathEdit()->text(), path);
    }

    // A relative path with a folder is stored whole; its folder becomes current.
    QDir().mkpath(m_dir.path() + "/sub");
    WriteFile(m_dir.path() + "/sub/pkg.inf", ReadFile(m_package));
    QDir::setCurrent(m_dir.path());
    PathEdit()->setText("sub/pkg.inf");
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    const QString absolute = QDir(m_dir.path()).absoluteFilePath("sub/pkg.inf");
    EXPECT_EQ(Stored("Flash filename"), absolute);
    EXPECT_EQ(QDir::currentPath(), QFileInfo(absolute).path());

    // A bare name is opened in the current folder and leaves it as it is.
    Press(ID_WIZBACK);
    EXPECT_EQ(PathEdit()->text(), absolute);
    PathEdit()->setText("pkg.inf");
    Press(ID_WIZNEXT);
    ASSERT_EQ(Active(), m_pSheet->GetLinkPage());
    EXPECT_EQ(Stored("Flash filename"), "pkg.inf");
    EXPECT_EQ(QDir::currentPath(), QFileInfo(absolute).path());
}

TEST_F(UpgraderSheetTest, BrowseOffersBothFiltersFromTheCurrentFolder) {
    QDir::setCurrent(m_dir.path());
    Open();
    Press(ID_WIZNEXT);
    CFilePage* pFile = m_pSheet->GetFilePage();

    QStringList filters;
    QString selectedFilter, suffix, directory;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    bool bAccept = true;
    CModalAnswerer answerer([&](QWidget* pModal) {
        auto* pDialog = qobject_cast<QFileDialog*>(pModal);
        if (pDialog == nullptr) return;
        filters = pDialog->nameFilters();
        selectedFilter = pDialog->selectedNameFilter();
        suffix = pDialog->defaultSuffix();
        directory = pDialog->directory().absolutePath();
        mode = pDialog->fileMode();
        if (!bAccept) {
            pDialog->reject();
            return;
        }
        auto* pName = pDialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(pName, nullptr);
        pName->setText("package");                 // typed without an extension
        static_cast<QDialog*>(pDialog)->accept();  // QFileDialog hides it
    });
    pFile->OnBrowse();
    EXPECT_EQ(filters, (QStringList{"Binary files (*.bin)", "Firmware Files (*.inf)"}));
    EXPECT_EQ(selectedFilter, "Binary files (*.bin)");
    EXPECT_EQ(suffix, "inf");
    EXPECT_EQ(mode, QFileDialog::ExistingFile);
    EXPECT_EQ(directory, QDir(m_dir.path()).absolutePath());
    EXPECT_EQ(QFileInfo(PathEdit()->text()), QFileInfo(m_package));

    bAccept = false;
    PathEdit()->setText("typed by hand");
    pFile->OnBrowse();
    EXPECT_EQ(PathEdit()->text(), "typed by hand");
    EXPECT_FALSE(answerer.m_bGaveUp);
}

TEST_F(UpgraderSheetTest, CancelDuringATransferClosesThePort) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString device = ptsname(master);
    Open();
    GoToLinkPage(m_package);
    SetLink(device);
    Press(ID_WIZNEXT);
    CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    ASSERT_EQ(Active(), pTransfer);  // waiting for the projector's request
    EXPECT_EQ(Buttons(), "b-fC");
    EXPECT_EQ(Control<QLabel>(pTransfer, IDC_STATUS)->text(), "Boot loader");
    EXPECT_EQ(Control<QLabel>(pTransfer, IDC_FEEDBACK)->text(), "");
    EXPECT_EQ(Control<QLabel>(pTransfer, IDC_ELAPSED)->text(), "");
    EXPECT_EQ(Control<QProgressBar>(pTransfer, IDC_TOTAL_PROGRESS)->maximum(), 1000);
    EXPECT_EQ(Control<QProgressBar>(pTransfer, IDC_SEGMENT_PROGRESS)->maximum(), 1000);

    Press(IDCANCEL);
    EXPECT_FALSE(m_pSheet->isVisible());
    m_pSheet.reset();
    CSerialPort port(nullptr, [](const std::string&) {});
    EXPECT_TRUE(port.OpenPort(device.toStdString(), 115200));  // nobody holds it any more
    port.ClosePort();
    close(master);
}

TEST_F(UpgraderSheetTest, UsbWaitsIdleAndBinFileWritesTheComplementedImage) {
    Open();
    GoToLinkPage(m_package);
    m_pSheet->GetLinkPage()->OnRadioUSB();
    Press(ID_WIZNEXT);
    EXPECT_EQ(Active(), m_pSheet->GetTransferPage());
    EXPECT_EQ(Buttons(), "b-fC");

    const QString output = CTransferPage::BinFileOutputPath();
    EXPECT_EQ(output, QDir::homePath() + "/test.bin");
    Open();
    GoToLinkPage(m_package);
    m_pSheet->GetLinkPage()->OnRadioBinFile();
    Press(ID_WIZNEXT);
    ASSERT_TRUE(WaitForDonePage());
    EXPECT_EQ(DoneText(), "Upgrade successful!");
    LoadedPackage loaded;
    ASSERT_EQ(LoadPackage(m_package.toStdString(), loaded, true), RESULT_SUCCESS);
    std::string complemented(reinterpret_cast<const char*>(loaded.pImage.get()), loaded.nSize);
    for (char& c : complemented) c = static_cast<char>(~c);
    EXPECT_EQ(ReadFile(output), complemented);
    QFile::remove(output);

    // An output that cannot be written is a failure, not a success.
    QDir().mkpath(output);
    Open();
    GoToLinkPage(m_package);
    m_pSheet->GetLinkPage()->OnRadioBinFile();
    Press(ID_WIZNEXT);
    ASSERT_TRUE(WaitForDonePage());
    EXPECT_TRUE(DoneText().startsWith("File not found.")) << DoneText().toStdString();
    EXPECT_TRUE(DoneText().contains("test.bin"));
    QDir().rmdir(output);
}

TEST(DonePageTest, EveryCodeHasAMessage) {
    const std::pair<int32_t, const char*> cases[] = {
        {0, "Upgrade successful!"},
        {1, "File not found. Please check the path and filename."},
        {2, "The input file is not valid."},
        {3, "The inf file is corrupt. Please try another file."},
        {4, "USB Failed"},
        {5, "Serial failed"},
        {6, "Projector canceled connection."},
        {7, "Unknown error: 0x0007"},
        {255, "Unknown error: 0x00FF"},
        {0x12345, "Unknown error: 0x12345"},
        {-1, "Unknown error: 0xFFFFFFFF"},
    };
    for (const auto& [nCode, pszMessage] : cases)
        EXPECT_EQ(CDonePage::ResultMessage(nCode), pszMessage) << nCode;
}

TEST(FirmwareAppTest, InitInstanceRunsTheWizardModallyAndReturnsFalse) {
    ClearSettings();
    QString title, buttons;
    bool bOnWelcome = false;
    CModalAnswerer answerer([&](QWidget* pModal) {
        auto* pSheet = qobject_cast<CUpgraderSheet*>(pModal);
        if (pSheet == nullptr || pSheet->GetWizardButtons() != PSWIZB_NEXT) return;
        title = pSheet->windowTitle();
        bOnWelcome = qobject_cast<CWelcomePage*>(pSheet->GetActivePage()) != nullptr;
        pSheet->GetDlgItem(IDCANCEL)->click();
    });
    CFirmwareApp app;
    EXPECT_EQ(app.InitInstance(), FALSE);
    EXPECT_EQ(title, "Orvanta");
    EXPECT_TRUE(bOnWelcome);
    EXPECT_FALSE(answerer.m_bGaveUp);
}

}  // namespace
