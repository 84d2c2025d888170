// The real wizard as a technician reads it: the port list and how it follows adapters being
// plugged in, texts shortened with a mark, what a screen reader is told of every control, the
// success details, and packages dropped onto the window.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAccessible>
#include <QComboBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QRadioButton>
#include <QRegularExpression>
#include <QUrl>

#include "DonePage.h"
#include "ElidedLabel.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "SerialDeviceTree.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"
#include "WizardTestSupport.h"

namespace {

using Entries = std::vector<std::pair<QString, QString>>;  // text and tooltip

const char kFtdiId[] = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const char kProlificId[] = "usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0";

Entries ListOf(const QComboBox* pCombo) {
    Entries entries;
    for (int i = 0; i < pCombo->count(); ++i) {
        entries.emplace_back(pCombo->itemText(i), pCombo->itemData(i, Qt::ToolTipRole).toString());
    }
    return entries;
}

std::string Show(const Entries& entries) {
    std::string text;
    for (const auto& [item, tip] : entries) {
        text += item.toStdString() + " [" + tip.toStdString() + "]\n";
    }
    return text;
}

class WizardReadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearSettings();
        m_pSheet = std::make_unique<CUpgraderSheet>();
        m_pSheet->AddPages();
        m_pSheet->GetLinkPage()->SetDeviceRoot(QString::fromStdString(m_devices.Root()));
        m_pSheet->show();
        DrainEvents();
        Press(*m_pSheet, win::ID_WIZNEXT);
    }
    QLineEdit* Path() const { return Control<QLineEdit>(m_pSheet->GetFilePage(), IDC_FILENAME); }
    QComboBox* Port() const { return Control<QComboBox>(m_pSheet->GetLinkPage(), IDC_COMPORT); }
    void ToLinkPage() {
        Path()->setText(m_package);
        ASSERT_TRUE(Press(*m_pSheet, win::ID_WIZNEXT));
        ASSERT_EQ(m_pSheet->GetActivePage(), m_pSheet->GetLinkPage());
    }

    orvtest::CwdGuard m_cwd;
    orvtest::TempDir m_dir;
    QString m_package = QString::fromStdString(
        m_dir.Write("package.inf",
                    "[Version]\r\nFlashWrite = Enable\r\n[DownloadFiles]\r\nFile=a.hex\r\n"
                    "[FileDescription]\r\n"
                    "a.hex=A long description of the file for projectors with "
                    "colour wheels\r\n"));
    std::string m_hex =
        m_dir.Write("a.hex", orvtest::MakeHexText({{0, 0, orvtest::PatternBytes(3000, 1)}}));
    orvtest::CSerialDeviceTree m_devices;
    std::unique_ptr<CUpgraderSheet> m_pSheet;
};

// COM1 to COM4 stay, each saying which device it is and whether that is there; every other
// device is listed once, by its by-id name where it has one, with maker and model; the list
// follows adapters plugged in and removed while the page is open, and what is typed in the
// port box stays as it is, cursor included.
TEST_F(WizardReadingTest, PortListNamesEachDeviceOnceAndFollowsPlugging) {
    m_devices.AddUart("ttyS0", 4);
    m_devices.AddUart("ttyS1", 0);  // no UART behind it
    m_devices.AddUart("ttyS5", 4);
    m_devices.AddUsb("ttyUSB0", "FTDI", "FT232R USB UART", kFtdiId);
    m_devices.AddUsb("ttyACM0", "Arduino (www.arduino.cc)", "Uno R3", "");
    m_devices.AddVirtual("tty1");
    const QString ftdi = QString("/dev/serial/by-id/") + kFtdiId;
    const QString prolific = QString("/dev/serial/by-id/") + kProlificId;
    const Entries com = {{"COM1", "COM1 is /dev/ttyS0: present"},
                         {"COM2", "COM2 is /dev/ttyS1: not present"},
                         {"COM3", "COM3 is /dev/ttyS2: not present"},
                         {"COM4", "COM4 is /dev/ttyS3: not present"}};
    auto with = [&](Entries more) {
        Entries all = com;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const Entries::value_type acm0{"/dev/ttyACM0",
                                   "Arduino (www.arduino.cc) Uno R3 on /dev/ttyACM0"},
        s5{"/dev/ttyS5", "/dev/ttyS5"}, usb0{ftdi, "FTDI FT232R USB UART on /dev/ttyUSB0"},
        usb1{prolific, "Prolific Technology Inc. USB-Serial Controller on /dev/ttyUSB1"};
    ToLinkPage();
    ASSERT_EQ(ListOf(Port()), with({acm0, s5, usb0})) << Show(ListOf(Port()));

    const QString typed = "rfc2217://10.0.0.7:40";
    Port()->setEditText(typed);
    Port()->lineEdit()->setCursorPosition(5);
    const struct {
        const char* what;
        std::function<void()> change;
        Entries expected;
    } steps[] = {
        {"a second adapter plugged in",
         [&] {
             m_devices.AddUsb("ttyUSB1", "Prolific Technology Inc.", "USB-Serial Controller",
                              kProlificId);
         },
         with({acm0, s5, usb0, usb1})},
        {"the first adapter and the board removed",
         [&] {
             m_devices.Remove("ttyUSB0", kFtdiId);
             m_devices.Remove("ttyACM0");
         },
         with({s5, usb1})},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        EXPECT_TRUE(WaitUntil([&] { return ListOf(Port()) == step.expected; }, 10000))
            << Show(ListOf(Port()));
        EXPECT_EQ(Port()->currentText(), typed);
        EXPECT_EQ(Port()->lineEdit()->cursorPosition(), 5);
        EXPECT_EQ(Port()->toolTip(), typed);
    }

    // A listed device chosen: the box's tooltip is its whole name and what it is.
    Port()->setCurrentIndex(Port()->findText(prolific));
    EXPECT_EQ(Port()->toolTip(), prolific + "\n" + usb1.second);
    // The list leaves no name cut: the open list is as wide as the longest.
    EXPECT_GE(Port()->view()->minimumWidth(), Port()->fontMetrics().horizontalAdvance(prolific));
}

// A text wider than its label is drawn shortened with "…" and is the label's tooltip, at the
// page's width and narrower; one that fits is drawn whole, without tooltip.
TEST(WizardReading, TextsWiderThanTheirLabelEndInAMark) {
    CPropertyPage page(IDD_TRANSFER);
    page.setFont(DialogFont());
    page.Create();
    page.show();
    auto* pStatus = qobject_cast<CElidedLabel*>(page.GetDlgItem(IDC_STATUS));
    ASSERT_NE(pStatus, nullptr);
    const QString text = "Main program for projectors with colour wheels and a second lamp";
    pStatus->SetText(text);
    const int nFull = pStatus->fontMetrics().horizontalAdvance(text);
    for (const int nWidth : {pStatus->width(), nFull / 2, 30, nFull + 10}) {
        SCOPED_TRACE(nWidth);
        pStatus->resize(nWidth, pStatus->height());
        const bool bCut = nWidth < nFull;
        EXPECT_EQ(pStatus->IsElided(), bCut);
        EXPECT_EQ(pStatus->ShownText().endsWith(QChar(0x2026)), bCut);
        EXPECT_LE(pStatus->fontMetrics().horizontalAdvance(pStatus->ShownText()), nWidth);
        EXPECT_EQ(pStatus->toolTip(), bCut ? text : QString());
        EXPECT_EQ(pStatus->text(), text);  // what data exchange and screen readers get
    }
}

struct Expected {
    int nId;
    QAccessible::Role role;
    QString name;
    QString labelledBy;  // the text of the label read with it, or empty
};

void ExpectAccessible(const CPropertyPage* pPage, const std::vector<Expected>& rows) {
    for (const Expected& row : rows) {
        SCOPED_TRACE(row.nId);
        QWidget* pWidget = pPage->GetDlgItem(row.nId);
        ASSERT_NE(pWidget, nullptr);
        QAccessibleInterface* pAccess = QAccessible::queryAccessibleInterface(pWidget);
        ASSERT_NE(pAccess, nullptr);
        EXPECT_EQ(pAccess->role(), row.role);
        EXPECT_EQ(pAccess->text(QAccessible::Name), row.name);
        QString label;
        for (const auto& [pOther, relation] : pAccess->relations(QAccessible::Label)) {
            label = pOther->text(QAccessible::Name);
        }
        EXPECT_EQ(label, row.labelledBy);
    }
}

// Tab from the focused control through the page's controls to the sheet's buttons: the texts
// or names met, in order, up to the first that comes round again.
QStringList TabWalk() {
    QStringList walk;
    for (int i = 0; i < 12; ++i) {
        QWidget* pFocus = QApplication::focusWidget();
        if (pFocus == nullptr) {
            break;
        }
        QAccessibleInterface* pAccess = QAccessible::queryAccessibleInterface(pFocus);
        const QString name = pAccess->text(QAccessible::Name);
        if (walk.contains(name)) {
            break;
        }
        walk << name;
        QTest::keyClick(pFocus, Qt::Key_Tab);
    }
    return walk;
}

// Every control is named for a screen reader, with the role it expects, labels are tied to
// their fields, and Tab walks each page in reading order.
TEST_F(WizardReadingTest, ScreenReadersHearEveryControlAndTabFollowsThePage) {
    using R = QAccessible::Role;
    m_pSheet->activateWindow();
    ExpectAccessible(m_pSheet->GetFilePage(), {{IDC_FILENAME, R::EditableText, "Firmware package",
                                                "Select a upgrading file:"},
                                               {IDC_BROWSE, R::Button, "Browse...", ""}});
    Path()->setFocus();
    EXPECT_EQ(TabWalk(), QStringList({"Firmware package", "Browse...", "< Back", "Next >"}));
    ToLinkPage();
    ExpectAccessible(m_pSheet->GetLinkPage(),
                     {{IDC_RADIO_USB, R::RadioButton, "USB", ""},
                      {IDC_RADIO_RS232, R::RadioButton, "RS-232", ""},
                      {IDC_RADIO_BINFILE, R::RadioButton, "BIN file", ""},
                      {IDC_COMPORT, R::ComboBox, "COM1", "Port:"},
                      {IDC_BAUDRATE, R::ComboBox, "115200", "Baud rate:"}});
    // Over the desktop bus a combo is named by its text and announced with its label; the
    // name set on it serves the other platforms.
    EXPECT_EQ(Port()->accessibleName(), "Port");
    EXPECT_EQ(TabWalk(), QStringList({"RS-232", "COM1", "115200", "< Back", "Next >"}));

    CProjectorProcess projector({"--dump", m_dir / "dump"});
    Port()->setEditText(projector.m_device);
    ASSERT_TRUE(Press(*m_pSheet, win::ID_WIZNEXT));
    CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    auto* pTotal = Control<QProgressBar>(pTransfer, IDC_TOTAL_PROGRESS);
    ASSERT_TRUE(WaitUntil([&] { return m_pSheet->GetActivePage() == m_pSheet->GetDonePage(); }));
    DrainEvents();
    // The bars read their value as text; the status and elapsed labels read their text, the
    // elapsed one with its label.
    QAccessibleInterface* pBar = QAccessible::queryAccessibleInterface(pTotal);
    EXPECT_EQ(pBar->text(QAccessible::Value), QString::number(pTotal->value()));
    EXPECT_EQ(pBar->valueInterface()->maximumValue().toInt(), 1000);
    EXPECT_EQ(pTotal->text(), QString::number(pTotal->value() / 10) + "%");
    ExpectAccessible(pTransfer,
                     {{IDC_TOTAL_PROGRESS, R::ProgressBar, "Whole image", "Total progress"},
                      {IDC_SEGMENT_PROGRESS, R::ProgressBar, "Current file", ""},
                      {IDC_STATUS, R::StaticText,
                       "A long description of the file for projectors with colour wheels", ""},
                      {IDC_ELAPSED, R::StaticText, pTransfer->GetElapsed(), "Time ellapsed:"}});
    const CDonePage* pDone = m_pSheet->GetDonePage();
    ExpectAccessible(pDone, {{IDC_RESULT, R::StaticText, "Upgrade successful!", ""}});
    QAccessibleInterface* pResult =
        QAccessible::queryAccessibleInterface(pDone->GetDlgItem(IDC_RESULT));
    EXPECT_EQ(pResult->text(QAccessible::Description), pDone->GetDetail());
    m_pSheet->activateWindow();
    pDone->GetDlgItem(IDC_RESULT)->setFocus();
    EXPECT_EQ(TabWalk(), QStringList({"Upgrade successful!", "Finish"}));

    // The success details name the package, the port and the time taken, and can be selected
    // by keyboard to be copied.
    EXPECT_TRUE(QRegularExpression("^Package file: " + QRegularExpression::escape(m_package) +
                                   "\nPort: " + QRegularExpression::escape(projector.m_device) +
                                   "\nTime taken: \\d\\d:\\d\\d$")
                    .match(pDone->GetDetail())
                    .hasMatch())
        << pDone->GetDetail().toStdString();
    auto* pLabel = Control<QLabel>(pDone, IDC_RESULT);
    EXPECT_TRUE(pLabel->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    pLabel->setFocus();
    QTest::keyClick(pLabel, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(pLabel->selectedText().remove(QChar(0x2029)).remove('\n'),
              pLabel->text().remove('\n'));
    EXPECT_TRUE(pLabel->text().contains(projector.m_device));
}

// One .inf or .bin file dropped on the File page's window fills the path; anything else, or
// a drop while another page is shown, is refused and leaves the path as it was.
TEST_F(WizardReadingTest, OnePackageDroppedFillsThePath) {
    const std::string bin = m_dir.Write("IMAGE.BIN", "x");
    const std::string hex = m_dir.Write("main.hex", "x");
    std::filesystem::create_directories(m_dir / "folder.inf");
    auto local = [](const std::string& path) {
        return QUrl::fromLocalFile(QString::fromStdString(path));
    };
    const struct {
        const char* what;
        QList<QUrl> urls;  // none: the text "/tmp/package.inf" alone
        bool bTaken;       // then the first URL's file is the path
    } rows[] = {
        {"an INF package", {local(m_package.toStdString())}, true},
        {"a BIN image, upper case", {local(bin)}, true},
        {"a HEX file", {local(hex)}, false},
        {"two packages", {local(bin), local(m_package.toStdString())}, false},
        {"a folder", {local(m_dir / "folder.inf")}, false},
        {"a missing file", {local(m_dir / "gone.inf")}, false},
        {"text", {}, false},
        {"a web address", {QUrl("https://example.org/package.inf")}, false},
    };
    const QPoint at(10, 10);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Path()->setText("typed");
        QMimeData data;
        row.urls.isEmpty() ? data.setText("/tmp/package.inf") : data.setUrls(row.urls);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_pSheet.get(), &enter);
        EXPECT_EQ(enter.isAccepted(), row.bTaken);
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(m_pSheet.get(), &drop);
        EXPECT_EQ(drop.isAccepted(), row.bTaken);
        EXPECT_EQ(Path()->text(), row.bTaken ? row.urls[0].toLocalFile() : "typed");
    }
    ToLinkPage();
    QMimeData data;
    data.setUrls({local(bin)});
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(m_pSheet.get(), &enter);
    EXPECT_FALSE(enter.isAccepted()) << "only the File page takes a package";
}

}  // namespace
