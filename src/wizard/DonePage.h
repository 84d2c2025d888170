// CDonePage: the last page; it reports the outcome of the attempt the Transfer page has just
// made. Success shows "Upgrade successful!" with the success picture and offers Finish; every
// other result shows its message (an unknown code as "Unknown error: 0x%04X" of the code as
// an unsigned 32-bit number) with the failure picture and offers Back, which leads straight
// to the File page. A detail line from the Transfer page follows the message: why the attempt
// failed (file, line, cause; device, reason, next step), or after success how many blocks
// the projector had to be sent again. It wraps; a word wider than the label (a long path) is
// shortened in its middle, and the whole detail is the label's tooltip.
#pragma once

#include <QString>
#include <cstdint>

#include "PropertyPage.h"

class CUpgraderSheet;

class CDonePage : public CPropertyPage {
    Q_OBJECT
public:
    explicit CDonePage(CUpgraderSheet* pSheet);

    void DoDataExchange(CDataExchange* pDX) override;
    // Shows the message and picture for the Transfer page's result. Always TRUE.
    BOOL OnSetActive() override;
    // Turns the sheet to the File page; returns that switch's result (nonzero when it
    // happened, so the sheet makes no further move).
    LRESULT OnWizardBack() override;

    // The message for an upgrade result.
    static QString ResultMessage(int32_t nResult);

private:
    QString m_strResult;
    QWidget* m_pSuccessPicture = nullptr;
    QWidget* m_pFailurePicture = nullptr;
    int m_nLabelHeight = -1;  // the message label's height in the dialog table
    CUpgraderSheet* m_pSheet;
};
