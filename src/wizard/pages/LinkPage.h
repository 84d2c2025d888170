// CLinkPage: the page that chooses how the firmware reaches the projector and, for the serial
// link, the port and the baud rate.
//
// Every entry selects RS-232 (USB and BIN file stay disabled) and restores port and baud rate
// from the settings store: a stored port "COM<n>" with n != 0 comes back as "COM<n>", a stored
// device path (a text beginning with "/") or network port ("rfc2217://HOST:PORT",
// "tcp://HOST:PORT", typed into the port box) as stored, anything else as "COM1"; a stored baud
// rate that reads as a non-zero decimal number comes back as that number, anything else as
// 115200. Every Next stores the port and baud texts as shown and the link index.
//
// The port list holds COM1 to COM4, each with a tooltip naming its device (/dev/ttyS0 for
// COM1) and whether that is present, and after them every other serial device present, once:
// by its /dev/serial/by-id name when it has one (the name survives replugging), with the
// adapter's maker and model as tooltip. The list is rebuilt at every entry and, while the page
// is shown, within a second of an adapter being plugged in or removed; a rebuild never changes
// the text in the port box. The port box always has its whole text as tooltip.
#pragma once

#include <QString>
#include <QTimer>

#include "PropertyPage.h"

class CUpgraderSheet;

class CLinkPage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CLinkPage(CUpgraderSheet* pSheet);

    void DoDataExchange(CDataExchange* pDX) override;
    // Restores the choices (above) and offers Back and Next. Always TRUE.
    win::BOOL OnSetActive() override;
    // Stores "ComPort", "Baudrate" and "Link", then 0 to go on when a link type is chosen,
    // 1 to stay otherwise.
    win::LRESULT OnWizardNext() override;
    // Stops watching the devices, then the framework's exchange.
    win::BOOL OnKillActive() override;

    void OnRadioUSB();
    void OnRadioRS232();
    void OnRadioBinFile();

    win::BOOL IsUSB() const { return m_bUSB; }
    win::BOOL IsRS232() const { return m_bRS232; }
    win::BOOL IsBinFile() const { return m_bBinFile; }
    QString GetComPort() const { return m_strComPort; }
    // The decimal number at the start of the baud text, read as sscanf's "%d" reads it (white
    // space skipped, optional sign); 0 when the text begins with no number.
    void GetBaudRate(int& nBaudRate) const;

    // The folder below which the serial devices are looked up ("/" unless set), see
    // SerialDevices.h. Takes effect at the next look-up.
    void SetDeviceRoot(const QString& root) { m_strDeviceRoot = root; }
    // Looks the devices up now and rebuilds the list when they changed.
    void RefreshDevices();

protected:
    void OnInitDialog() override;

private:
    void SetLinkFlags(win::BOOL bUSB, win::BOOL bRS232, win::BOOL bBinFile);
    void UpdatePortToolTip();

    int m_nLinkType = 1;
    QString m_strComPort;
    QString m_strBaudRate;
    win::BOOL m_bBinFile = win::FALSE;
    win::BOOL m_bRS232 = win::TRUE;
    win::BOOL m_bUSB = win::FALSE;
    CUpgraderSheet* m_pSheet;
    int m_nListedPorts = 0;  // entries of the port list that come from the dialog table
    QString m_strDeviceRoot = QStringLiteral("/");
    QTimer m_deviceWatch;
};
