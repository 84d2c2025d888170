#include "DonePage.h"

#include "FilePage.h"
#include "Resource.h"
#include "StringTable.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"

namespace {

void ShowControl(QWidget* pControl, bool bShow) {
    if (pControl != nullptr) pControl->setVisible(bShow);
}

// Lets a long path in a detail line wrap after its separators.
QString Breakable(const QString& text) {
    QString result = text;
    return result.replace(QLatin1Char('/'), QStringLiteral("/\u200B"));
}

}  // namespace

CDonePage::CDonePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_DONE), m_pSheet(pSheet) {}

void CDonePage::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_RESULT, m_strResult);
}

QString CDonePage::ResultMessage(int32_t nResult) {
    if (nResult >= 0 && nResult <= 6) return LoadString(IDS_SUCCESS + nResult);
    return QString::asprintf("Unknown error: 0x%04X", static_cast<uint32_t>(nResult));
}

BOOL CDonePage::OnSetActive() {
    m_pFailurePicture = GetDlgItem(IDC_FAILURE_PICTURE);
    m_pSuccessPicture = GetDlgItem(IDC_SUCCESS_PICTURE);
    const CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    const int32_t nResult = pTransfer->GetUpgradeResult();
    m_strResult = ResultMessage(nResult);
    if (nResult == 0) {
        ShowControl(m_pFailurePicture, false);
        ShowControl(m_pSuccessPicture, true);
        UpdateData(FALSE);
        m_pSheet->SetWizardButtons(PSWIZB_FINISH);
    } else {
        ShowControl(m_pFailurePicture, true);
        ShowControl(m_pSuccessPicture, false);
        const QString detail = pTransfer->GetFailureDetail();
        if (!detail.isEmpty()) m_strResult += QStringLiteral("\n\n") + Breakable(detail);
        UpdateData(FALSE);
        m_pSheet->SetWizardButtons(PSWIZB_BACK);
    }
    return CPropertyPage::OnSetActive();
}

LRESULT CDonePage::OnWizardBack() {
    ShowControl(m_pFailurePicture, true);
    ShowControl(m_pSuccessPicture, true);
    return m_pSheet->SetActivePage(m_pSheet->GetFilePage());
}
