#include "DonePage.h"

#include <QFontMetrics>
#include <QLabel>
#include <algorithm>

#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "ResultTexts.h"
#include "StringTable.h"
#include "TransferPage.h"
#include "UpgraderSheet.h"

namespace {

void ShowControl(QWidget* pControl, bool bShow) {
    if (pControl != nullptr) {
        pControl->setVisible(bShow);
    }
}

// The detail as the label can show it whole: every word that is wider than a line (a long
// path) is shortened in its middle.
QString Fitted(const QString& detail, const QFontMetrics& metrics, int nWidth) {
    QStringList lines = detail.split(QLatin1Char('\n'));
    for (QString& line : lines) {
        // "Label: value" with a value of one word (a path, a device): the value is shortened
        // to what the line leaves it, so that it stays on the label's line.
        const qsizetype nColon = line.indexOf(QLatin1String(": "));
        if (metrics.horizontalAdvance(line) > nWidth && nColon > 0 &&
            line.indexOf(QLatin1Char(' '), nColon + 2) < 0) {
            const QString label = line.left(nColon + 2);
            const int nRest = nWidth - metrics.horizontalAdvance(label);
            if (nRest > metrics.horizontalAdvance(line.mid(nColon + 2, 8))) {
                line = label + metrics.elidedText(line.mid(nColon + 2), Qt::ElideMiddle, nRest);
                continue;
            }
        }
        QStringList words = line.split(QLatin1Char(' '));
        for (QString& word : words) {
            if (metrics.horizontalAdvance(word) > nWidth) {
                word = metrics.elidedText(word, Qt::ElideMiddle, nWidth);
            }
        }
        line = words.join(QLatin1Char(' '));
    }
    return lines.join(QLatin1Char('\n'));
}

int WrappedHeight(const QString& text, const QFontMetrics& metrics, int nWidth) {
    return metrics.boundingRect(QRect(0, 0, nWidth, 1 << 20), Qt::TextWordWrap, text).height();
}

// The text cut to what fits nHeight when wrapped at nWidth, ending in "…" when it was cut.
QString CutToHeight(const QString& text, const QFontMetrics& metrics, int nWidth, int nHeight) {
    if (WrappedHeight(text, metrics, nWidth) <= nHeight) {
        return text;
    }
    const QString mark(QChar(0x2026));
    qsizetype nLow = 0, nHigh = text.size();  // the longest prefix that fits lies in [nLow, nHigh)
    while (nHigh - nLow > 1) {
        const qsizetype nMid = (nLow + nHigh) / 2;
        if (WrappedHeight(text.left(nMid) + mark, metrics, nWidth) <= nHeight) {
            nLow = nMid;
        } else {
            nHigh = nMid;
        }
    }
    return text.left(nLow).trimmed() + mark;
}

}  // namespace

CDonePage::CDonePage(CUpgraderSheet* pSheet) : CPropertyPage(IDD_DONE), m_pSheet(pSheet) {}

void CDonePage::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_RESULT, m_strResult);
}

QString CDonePage::ResultMessage(int32_t nResult) {
    if (ResultText(nResult) != nullptr) {
        return LoadString(IDS_SUCCESS + nResult);
    }
    return QString::fromStdString(::ResultMessage(nResult));
}

win::BOOL CDonePage::OnSetActive() {
    m_pFailurePicture = GetDlgItem(IDC_FAILURE_PICTURE);
    m_pSuccessPicture = GetDlgItem(IDC_SUCCESS_PICTURE);
    const CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    const CFailure& result = pTransfer->GetFailure();
    m_strResult = ResultMessage(result.nResult);
    const bool bSuccess = !result.Failed();
    ShowControl(m_pFailurePicture, !bSuccess);
    ShowControl(m_pSuccessPicture, bSuccess);
    m_strDetail = bSuccess ? SuccessDetail() : QString::fromStdString(result.strDetail);
    auto* pLabel = qobject_cast<QLabel*>(GetDlgItem(IDC_RESULT));
    if (pLabel != nullptr) {
        if (m_nLabelHeight < 0) {
            m_nLabelHeight = pLabel->height();
        }
        pLabel->setToolTip(m_strDetail);
        pLabel->setAccessibleName(m_strResult);
        pLabel->setAccessibleDescription(m_strDetail);
        if (!m_strDetail.isEmpty()) {
            // Wrapped, the detail may need more lines than the dialog gave the message: the
            // label grows down to the bottom of the page, and what still does not fit ends in
            // "…" rather than being cut off unseen.
            const QFontMetrics metrics = pLabel->fontMetrics();
            const int nRoom = height() - pLabel->y();
            m_strResult = CutToHeight(m_strResult + QStringLiteral("\n\n") +
                                          Fitted(m_strDetail, metrics, pLabel->width()),
                                      metrics, pLabel->width(), nRoom);
        }
    }
    UpdateData(win::FALSE);
    if (pLabel != nullptr) {
        const int nNeeded = pLabel->heightForWidth(pLabel->width());
        const int nRoom = height() - pLabel->y();
        pLabel->resize(pLabel->width(), std::clamp(nNeeded, m_nLabelHeight, nRoom));
    }
    m_pSheet->SetWizardButtons(bSuccess ? win::PSWIZB_FINISH : win::PSWIZB_BACK);
    return CPropertyPage::OnSetActive();
}

QString CDonePage::SuccessDetail() const {
    const CTransferPage* pTransfer = m_pSheet->GetTransferPage();
    const CLinkPage* pLink = m_pSheet->GetLinkPage();
    QStringList lines{QStringLiteral("Package file: ") + m_pSheet->GetFilePage()->GetFileName()};
    if (pLink->IsBinFile()) {
        lines << QStringLiteral("Written to: ") + CTransferPage::BinFileOutputPath();
    } else if (pLink->IsRS232()) {
        lines << QStringLiteral("Port: ") + pLink->GetComPort();
        lines << QStringLiteral("Time taken: ") + pTransfer->GetElapsed();
        // After success the Transfer page's detail says how many blocks were sent again.
        if (const std::string& detail = pTransfer->GetFailure().strDetail; !detail.empty()) {
            lines << QString::fromStdString(detail);
        }
    }
    return lines.join(QLatin1Char('\n'));
}

win::LRESULT CDonePage::OnWizardBack() {
    ShowControl(m_pFailurePicture, true);
    ShowControl(m_pSuccessPicture, true);
    return m_pSheet->SetActivePage(m_pSheet->GetFilePage());
}
