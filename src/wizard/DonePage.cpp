#include "DonePage.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

#include "FilePage.h"
#include "Resource.h"
#include "ResultTexts.h"
#include "StringTable.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"

namespace {

void ShowControl(QWidget* pControl, bool bShow) {
    if (pControl != nullptr) pControl->setVisible(bShow);
}

// The detail as the label can show it whole: every word that is wider than a line (a long
// path) is shortened in its middle.
QString Fitted(const QString& detail, const QFontMetrics& metrics, int nWidth) {
    QStringList words = detail.split(QLatin1Char(' '));
    for (QString& word : words) {
        if (metrics.horizontalAdvance(word) > nWidth) {
            word = metrics.elidedText(word, Qt::ElideMiddle, nWidth);
        }
    }
    return words.join(QLatin1Char(' '));
}

}  // namespace

CDonePage::CDonePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_DONE), m_pSheet(pSheet) {}

void CDonePage::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_RESULT, m_strResult);
}

QString CDonePage::ResultMessage(int32_t nResult) {
    if (ResultText(nResult) != nullptr) return LoadString(IDS_SUCCESS + nResult);
    return QString::fromStdString(::ResultMessage(nResult));
}

BOOL CDonePage::OnSetActive() {
    m_pFailurePicture = GetDlgItem(IDC_FAILURE_PICTURE);
    m_pSuccessPicture = GetDlgItem(IDC_SUCCESS_PICTURE);
    const CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    const int32_t nResult = pTransfer->GetUpgradeResult();
    m_strResult = ResultMessage(nResult);
    const bool bSuccess = nResult == 0;
    ShowControl(m_pFailurePicture, !bSuccess);
    ShowControl(m_pSuccessPicture, bSuccess);
    const QString detail = pTransfer->GetFailureDetail();
    auto* pLabel = qobject_cast<QLabel*>(GetDlgItem(IDC_RESULT));
    if (pLabel != nullptr) {
        if (m_nLabelHeight < 0) m_nLabelHeight = pLabel->height();
        pLabel->setToolTip(detail);
        if (!detail.isEmpty()) {
            m_strResult +=
                QStringLiteral("\n\n") + Fitted(detail, pLabel->fontMetrics(), pLabel->width());
        }
    }
    UpdateData(FALSE);
    if (pLabel != nullptr) {
        // Wrapped, the detail may need more lines than the dialog gave the message: the label
        // grows down to the bottom of the page rather than cutting lines off.
        const int nNeeded = pLabel->heightForWidth(pLabel->width());
        const int nRoom = height() - pLabel->y();
        pLabel->resize(pLabel->width(), std::clamp(nNeeded, m_nLabelHeight, nRoom));
    }
    m_pSheet->SetWizardButtons(bSuccess ? PSWIZB_FINISH : PSWIZB_BACK);
    return CPropertyPage::OnSetActive();
}

LRESULT CDonePage::OnWizardBack() {
    ShowControl(m_pFailurePicture, true);
    ShowControl(m_pSuccessPicture, true);
    return m_pSheet->SetActivePage(m_pSheet->GetFilePage());
}
