#include "LinkPage.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QSerialPortInfo>
#include <algorithm>
#include <climits>

#include "PortAddress.h"
#include "Registry.h"
#include "Resource.h"
#include "StringTable.h"
#include "UpgraderSheet.h"

namespace {

constexpr int kDefaultPort = 1;
constexpr int kDefaultBaudRate = 115200;

// Reads a decimal integer at the start of text as sscanf's "%d" does: white space skipped,
// an optional sign, at least one digit. Values beyond the range of int saturate.
bool ScanDecimal(QStringView text, int& nValue) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == QLatin1Char(' ') ||
                               (text[i] >= QLatin1Char('\t') && text[i] <= QLatin1Char('\r'))))
        ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        bNegative = text[i] == QLatin1Char('-');
        ++i;
    }
    const qsizetype nFirstDigit = i;
    long long nMagnitude = 0;
    for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i)
        nMagnitude = std::min<long long>(nMagnitude * 10 + (text[i].unicode() - '0'),
                                         static_cast<long long>(INT_MAX) + 1);
    if (i == nFirstDigit) return false;
    const long long nSigned = bNegative ? -nMagnitude : nMagnitude;
    nValue = static_cast<int>(std::clamp<long long>(nSigned, INT_MIN, INT_MAX));
    return true;
}

// "COM%d": the text must begin with the capital letters COM.
bool ScanComPort(const QString& text, int& nPort) {
    if (!text.startsWith(QLatin1String("COM"))) return false;
    return ScanDecimal(QStringView(text).mid(3), nPort);
}

// A port named in full: a device path, or a serial device server on the network. Such a
// name is restored as stored and matched exactly, never by a prefix.
bool IsDevicePath(const QString& text) {
    return text.startsWith(QLatin1Char('/')) || CPortAddress::IsNetwork(text.toStdString());
}

}  // namespace

CLinkPage::CLinkPage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_LINK), m_pSheet(pSheet) {}

void CLinkPage::OnInitDialog() {
    const std::pair<int, void (CLinkPage::*)()> handlers[] = {
        {IDC_RADIO_USB, &CLinkPage::OnRadioUSB},
        {IDC_RADIO_RS232, &CLinkPage::OnRadioRS232},
        {IDC_RADIO_BINFILE, &CLinkPage::OnRadioBinFile},
    };
    for (const auto& [nId, pHandler] : handlers) {
        if (auto* pButton = qobject_cast<QAbstractButton*>(GetDlgItem(nId)))
            connect(pButton, &QAbstractButton::clicked, this, pHandler);
    }
    if (auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(IDC_COMPORT)))
        m_nListedPorts = pCombo->count();
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

BOOL CLinkPage::OnSetActive() {
    for (int nId : {IDC_RADIO_USB, IDC_RADIO_BINFILE}) {
        if (QWidget* pRadio = GetDlgItem(nId)) pRadio->setEnabled(false);
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
        if (ScanDecimal(stored, b) && b != 0) nBaudRate = b;
    }
    m_strBaudRate = QString::number(nBaudRate);
    m_strComPort = devicePath.isEmpty() ? QStringLiteral("COM%1").arg(nPort) : devicePath;
    m_nLinkType = 1;

    for (int nId : {IDC_COMPORT, IDC_BAUDRATE}) {
        if (QWidget* pCombo = GetDlgItem(nId)) pCombo->setEnabled(true);
    }
    SetLinkFlags(FALSE, TRUE, FALSE);
    RefreshDevices();
    UpdateData(FALSE);
    m_pSheet->SetWizardButtons(PSWIZB_BACK | PSWIZB_NEXT);
    return CPropertyPage::OnSetActive();
}

LRESULT CLinkPage::OnWizardNext() {
    UpdateData(TRUE);
    const QString key = LoadString(IDS_REGISTRY_KEY);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_COMPORT), m_strComPort);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_BAUDRATE), m_strBaudRate);
    WriteRegistryString(HKEY_CURRENT_USER, key, LoadString(IDS_LINK), QString::number(m_nLinkType));
    return (m_bUSB || m_bRS232 || m_bBinFile) ? 0 : 1;
}

void CLinkPage::OnRadioUSB() {
    SetLinkFlags(TRUE, FALSE, FALSE);
}
void CLinkPage::OnRadioRS232() {
    SetLinkFlags(FALSE, TRUE, FALSE);
}
void CLinkPage::OnRadioBinFile() {
    SetLinkFlags(FALSE, FALSE, TRUE);
}

void CLinkPage::GetBaudRate(int& nBaudRate) const {
    if (!ScanDecimal(m_strBaudRate, nBaudRate)) nBaudRate = 0;
}

void CLinkPage::SetLinkFlags(BOOL bUSB, BOOL bRS232, BOOL bBinFile) {
    m_bUSB = bUSB;
    m_bRS232 = bRS232;
    m_bBinFile = bBinFile;
    for (int nId : {IDC_COMPORT, IDC_BAUDRATE}) {
        if (QWidget* pCombo = GetDlgItem(nId)) pCombo->setEnabled(bRS232 != FALSE);
    }
}

void CLinkPage::RefreshDevices() {
    auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(IDC_COMPORT));
    if (pCombo == nullptr) return;
    QStringList devices;
    for (const QSerialPortInfo& port : QSerialPortInfo::availablePorts()) {
        const QString path = port.systemLocation();
        if (IsDevicePath(path) && !devices.contains(path)) devices << path;
    }
    devices.sort();
    while (pCombo->count() > m_nListedPorts) pCombo->removeItem(pCombo->count() - 1);
    pCombo->addItems(devices);
}
