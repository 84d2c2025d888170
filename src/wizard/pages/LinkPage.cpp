#include "LinkPage.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QStyle>
#include <algorithm>
#include <climits>
#include <vector>

#include "PortAddress.h"
#include "Registry.h"
#include "Resource.h"
#include "SerialDevices.h"
#include "StringTable.h"
#include "UpgraderSheet.h"

namespace {

constexpr int kDefaultPort = 1;
constexpr int kDefaultBaudRate = 115200;
// Plugging or removing an adapter shows in the list within this time (and a little more).
constexpr int kDeviceWatchMs = 1000;

struct PortEntry {
    QString text;
    QString tip;
    bool operator==(const PortEntry&) const = default;
};

// Reads a decimal integer at the start of text as sscanf's "%d" does: white space skipped,
// an optional sign, at least one digit. Values beyond the range of int saturate.
bool ScanDecimal(QStringView text, int& nValue) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') ||
                               (text[i] >= QLatin1Char('\t') && text[i] <= QLatin1Char('\r')))) {
        ++i;
    }
    bool bNegative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        bNegative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype nFirstDigit = i;
    long long nMagnitude = 0;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
        nMagnitude = std::min<long long>(nMagnitude * 10 + (text[i].unicode() - '0'),
                                         static_cast<long long>(INT_MAX) + 1);
    }
    if (i == nFirstDigit) {
        return false;
    }
    const long long nSigned = bNegative ? -nMagnitude : nMagnitude;
    nValue = static_cast<int>(std::clamp<long long>(nSigned, INT_MIN, INT_MAX));
    return true;
}

// "COM%d": the text must begin with the capital letters COM.
bool ScanComPort(const QString& text, int& nPort) {
    if (!text.startsWith(QLatin1String("COM"))) {
        return false;
    }
    return ScanDecimal(QStringView(text).mid(3), nPort);
}

// A port named in full: a device path, or a serial device server on the network. Such a
// name is restored as stored and matched exactly, never by a prefix.
bool IsDevicePath(const QString& text) {
    return text.startsWith(QLatin1Char('/')) || CPortAddress::IsNetwork(text.toStdString());
}

}  // namespace

CLinkPage::CLinkPage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_LINK), m_pSheet(pSheet) {
    m_deviceWatch.setInterval(kDeviceWatchMs);
    connect(&m_deviceWatch, &QTimer::timeout, this, &CLinkPage::RefreshDevices);
}

void CLinkPage::OnInitDialog() {
    const std::pair<int, void (CLinkPage::*)()> handlers[] = {
        {IDC_RADIO_USB, &CLinkPage::OnRadioUSB},
        {IDC_RADIO_RS232, &CLinkPage::OnRadioRS232},
        {IDC_RADIO_BINFILE, &CLinkPage::OnRadioBinFile},
    };
    for (const auto& [nId, pHandler] : handlers) {
        if (auto* pButton = qobject_cast<QAbstractButton*>(GetDlgItem(nId))) {
            connect(pButton, &QAbstractButton::clicked, this, pHandler);
        }
    }
    if (auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(IDC_COMPORT))) {
        m_nListedPorts = pCombo->count();
        connect(pCombo, &QComboBox::editTextChanged, this, &CLinkPage::UpdatePortToolTip);
    }
    if (auto* pBaud = qobject_cast<QComboBox*>(GetDlgItem(IDC_BAUDRATE))) {
        connect(pBaud, &QComboBox::editTextChanged, pBaud, &QWidget::setToolTip);
    }
}

void CLinkPage::DoDataExchange(CDataExchange* pDX) {
    DDX_Radio(pDX, IDC_RADIO_USB, m_nLinkType);
    // A device path names one device exactly; it must not select another that it prefixes.
    if (IsDevicePath(m_strComPort) && !pDX->m_bSaveAndValidate) {
        DDX_CBStringExact(pDX, IDC_COMPORT, m_strComPort);
    } else {
        DDX_CBString(pDX, IDC_COMPORT, m_strComPort);
    }
    DDX_CBString(pDX, IDC_BAUDRATE, m_strBaudRate);
}

win::BOOL CLinkPage::OnSetActive() {
    for (int nId : {IDC_RADIO_USB, IDC_RADIO_BINFILE}) {
        if (QWidget* pRadio = GetDlgItem(nId)) {
            pRadio->setEnabled(false);
        }
    }

    int nPort = kDefaultPort;
    int nBaudRate = kDefaultBaudRate;
    const QString key = LoadString(IDS_REGISTRY_KEY);
    QString stored;
    QString devicePath;
    if (ReadRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_COMPORT), &stored)) {
        int n = 0;
        if (IsDevicePath(stored)) {
            devicePath = stored;
        } else if (ScanComPort(stored, n) && n != 0) {
            nPort = n;
        }
    }
    if (ReadRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_BAUDRATE), &stored)) {
        int b = 0;
        if (ScanDecimal(stored, b) && b != 0) {
            nBaudRate = b;
        }
    }
    m_strBaudRate = QString::number(nBaudRate);
    m_strComPort = devicePath.isEmpty() ? QStringLiteral("COM%1").arg(nPort) : devicePath;
    m_nLinkType = 1;

    for (int nId : {IDC_COMPORT, IDC_BAUDRATE}) {
        if (QWidget* pCombo = GetDlgItem(nId)) {
            pCombo->setEnabled(true);
        }
    }
    SetLinkFlags(win::FALSE, win::TRUE, win::FALSE);
    RefreshDevices();
    m_deviceWatch.start();
    UpdateData(win::FALSE);
    m_pSheet->SetWizardButtons(win::PSWIZB_BACK | win::PSWIZB_NEXT);
    return CPropertyPage::OnSetActive();
}

win::LRESULT CLinkPage::OnWizardNext() {
    UpdateData(win::TRUE);
    const QString key = LoadString(IDS_REGISTRY_KEY);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_COMPORT), m_strComPort);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_BAUDRATE), m_strBaudRate);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_LINK), QString::number(m_nLinkType));
    return (m_bUSB || m_bRS232 || m_bBinFile) ? 0 : 1;
}

win::BOOL CLinkPage::OnKillActive() {
    m_deviceWatch.stop();
    return CPropertyPage::OnKillActive();
}

void CLinkPage::OnRadioUSB() {
    SetLinkFlags(win::TRUE, win::FALSE, win::FALSE);
}
void CLinkPage::OnRadioRS232() {
    SetLinkFlags(win::FALSE, win::TRUE, win::FALSE);
}
void CLinkPage::OnRadioBinFile() {
    SetLinkFlags(win::FALSE, win::FALSE, win::TRUE);
}

void CLinkPage::GetBaudRate(int& nBaudRate) const {
    if (!ScanDecimal(m_strBaudRate, nBaudRate)) {
        nBaudRate = 0;
    }
}

void CLinkPage::SetLinkFlags(win::BOOL bUSB, win::BOOL bRS232, win::BOOL bBinFile) {
    m_bUSB = bUSB;
    m_bRS232 = bRS232;
    m_bBinFile = bBinFile;
    for (int nId : {IDC_COMPORT, IDC_BAUDRATE}) {
        if (QWidget* pCombo = GetDlgItem(nId)) {
            pCombo->setEnabled(bRS232 != win::FALSE);
        }
    }
}

void CLinkPage::RefreshDevices() {
    auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(IDC_COMPORT));
    if (pCombo == nullptr) {
        return;
    }
    // An open list is left alone; the next look-up catches up once it is closed.
    if (pCombo->view()->isVisible()) {
        return;
    }

    const std::string root = m_strDeviceRoot.toStdString();
    std::vector<PortEntry> wanted;
    std::vector<std::string> comDevices;
    for (int i = 0; i < m_nListedPorts; ++i) {
        const QString text = pCombo->itemText(i);
        int nPort = 0;
        QString tip;
        if (ScanComPort(text, nPort) && nPort > 0) {
            const std::string name = "ttyS" + std::to_string(nPort - 1);
            comDevices.push_back(name);
            tip = QStringLiteral("%1 is /dev/%2: %3")
                      .arg(text, QString::fromStdString(name),
                           SerialDevicePresent(root, name) ? QStringLiteral("present")
                                                           : QStringLiteral("not present"));
        }
        wanted.push_back({text, tip});
    }
    for (const SerialDevice& device : ListSerialDevices(root)) {
        if (std::find(comDevices.begin(), comDevices.end(), device.strName) != comDevices.end()) {
            continue;
        }
        const std::string& name =
            device.strStableName.empty() ? device.strDevice : device.strStableName;
        wanted.push_back(
            {QString::fromStdString(name), QString::fromStdString(DescribeSerialDevice(device))});
    }

    std::vector<PortEntry> shown;
    for (int i = 0; i < pCombo->count(); ++i) {
        shown.push_back({pCombo->itemText(i), pCombo->itemData(i, Qt::ToolTipRole).toString()});
    }
    if (shown == wanted) {
        return;
    }

    // Removing the current entry would put another entry's text into the box: what the user
    // typed or chose is put back as it was, with the cursor and the selection.
    QLineEdit* pEdit = pCombo->lineEdit();
    const QString typed = pCombo->currentText();
    const int nCursor = pEdit->cursorPosition();
    const int nSelStart = pEdit->selectionStart();
    const int nSelLength = pEdit->selectedText().size();
    const QSignalBlocker block(pCombo);
    while (pCombo->count() > m_nListedPorts) {
        pCombo->removeItem(pCombo->count() - 1);
    }
    int nWidest = 0;
    for (size_t i = 0; i < wanted.size(); ++i) {
        const int nIndex = static_cast<int>(i);
        if (nIndex >= pCombo->count()) {
            pCombo->addItem(wanted[i].text);
        }
        pCombo->setItemData(nIndex, wanted[i].tip, Qt::ToolTipRole);
        nWidest = std::max(nWidest, pCombo->fontMetrics().horizontalAdvance(wanted[i].text));
    }
    pCombo->setCurrentIndex(pCombo->findText(typed, Qt::MatchFixedString));
    if (pCombo->currentText() != typed) {
        pCombo->setEditText(typed);
    }
    if (nSelStart >= 0) {
        pEdit->setSelection(nSelStart, nSelLength);
    } else {
        pEdit->setCursorPosition(nCursor);
    }
    // The open list shows every name whole, even one wider than the box.
    const int nMargin = pCombo->style()->pixelMetric(QStyle::PM_ScrollBarExtent) +
                        4 * pCombo->fontMetrics().averageCharWidth();
    pCombo->view()->setMinimumWidth(std::max(pCombo->width(), nWidest + nMargin));
    UpdatePortToolTip();
}

void CLinkPage::UpdatePortToolTip() {
    auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(IDC_COMPORT));
    if (pCombo == nullptr) {
        return;
    }
    const QString text = pCombo->currentText();
    const int nIndex = pCombo->findText(text, Qt::MatchFixedString);
    const QString about =
        nIndex >= 0 ? pCombo->itemData(nIndex, Qt::ToolTipRole).toString() : QString();
    pCombo->setToolTip(about.isEmpty() ? text : text + QLatin1Char('\n') + about);
}
