// CDonePage: the last page; it reports the outcome of the attempt the Transfer page has just
// made. Success shows "Upgrade successful!" with the success picture and offers Finish; every
// other result shows its message (an unknown code as "Unknown error: 0x%04X" of the code as
// an unsigned 32-bit number) with the failure picture and offers Back, which leads straight
// to the File page. Details follow the message: after a failure, why the attempt failed (file,
// line, cause; device, reason, next step), from the Transfer page; after success, what was
// done: the package file, the port, the time taken and the blocks sent again if any (for the
// BIN-file link, the file written). They wrap; a word wider than the label (a long path) is
// shortened in its middle, lines beyond the page end in "…", and the whole detail is the
// label's tooltip and its accessible description (the message is its accessible name). The
// text can be selected with the mouse and the keyboard and copied.
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
    win::BOOL OnSetActive() override;
    // Turns the sheet to the File page; returns that switch's result (nonzero when it
    // happened, so the sheet makes no further move).
    win::LRESULT OnWizardBack() override;

    // The message for an upgrade result.
    static QString ResultMessage(int32_t nResult);
    // The details shown under the message at the last entry (whole, never shortened).
    QString GetDetail() const { return m_strDetail; }

private:
    QString SuccessDetail() const;

    QString m_strResult;
    QString m_strDetail;
    QWidget* m_pSuccessPicture = nullptr;
    QWidget* m_pFailurePicture = nullptr;
    int m_nLabelHeight = -1;  // the message label's height in the dialog table
    CUpgraderSheet* m_pSheet;
};
