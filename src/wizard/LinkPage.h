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
// The port list holds COM1 to COM4 and, after them, the serial devices present on the
// machine, looked up again at every entry.
#pragma once

#include <QString>

#include "PropertyPage.h"

class CUpgraderSheet;

class CLinkPage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CLinkPage(CUpgraderSheet* pSheet);

    void DoDataExchange(CDataExchange* pDX) override;
    // Restores the choices (above) and offers Back and Next. Always TRUE.
    BOOL OnSetActive() override;
    // Stores "ComPort", "Baudrate" and "Link", then 0 to go on when a link type is chosen,
    // 1 to stay otherwise.
    LRESULT OnWizardNext() override;

    void OnRadioUSB();
    void OnRadioRS232();
    void OnRadioBinFile();

    BOOL IsUSB() const { return m_bUSB; }
    BOOL IsRS232() const { return m_bRS232; }
    BOOL IsBinFile() const { return m_bBinFile; }
    QString GetComPort() const { return m_strComPort; }
    // The decimal number at the start of the baud text, read as sscanf's "%d" reads it (white
    // space skipped, optional sign); 0 when the text begins with no number.
    void GetBaudRate(int& nBaudRate) const;

protected:
    void OnInitDialog() override;

private:
    void SetLinkFlags(BOOL bUSB, BOOL bRS232, BOOL bBinFile);
    void RefreshDevices();

    int m_nLinkType = 1;
    QString m_strComPort;
    QString m_strBaudRate;
    BOOL m_bBinFile = FALSE;
    BOOL m_bRS232 = TRUE;
    BOOL m_bUSB = FALSE;
    CUpgraderSheet* m_pSheet;
    int m_nListedPorts = 0;  // entries of the port list that come from the dialog table
};
