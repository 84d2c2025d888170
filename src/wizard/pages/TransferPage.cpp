#include "TransferPage.h"

#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include "BinFile.h"
#include "DonePage.h"
#include "FilePage.h"
#include "InfFile.h"
#include "LinkPage.h"
#include "MessageBox.h"
#include "PackageLoader.h"
#include "Resource.h"
#include "ResultTexts.h"
#include "SessionPump.h"
#include "UpgraderSheet.h"

namespace {

constexpr int kProgressRange = 1000;
constexpr int kWaitTickMs = 1000;
const char kWaiting[] = "Waiting for the projector: switch it to upgrade mode.";
const char kQuestion[] =
    "The upgrade is still running. If you stop it now, the projector may not start until it "
    "is upgraded again.";

std::string LocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace

CTransferPage::CTransferPage(CUpgraderSheet* pSheet)
    : CPropertyPage(IDD_TRANSFER), m_pSession(std::make_unique<CSessionPump>()), m_pSheet(pSheet) {
    CSessionPump* pSession = m_pSession.get();
    connect(pSession, &CSessionPump::message, this,
            [](const QString& text) { AfxMessageBox(text); });
    connect(pSession, &CSessionPump::progress, this, &CTransferPage::OnProgress);
    connect(pSession, &CSessionPump::textsChanged, this, &CTransferPage::OnTextsChanged);
    connect(pSession, &CSessionPump::senderEvent, this, &CTransferPage::OnSenderEvent);
    // Queued, so that the sheet turns only once the handler that ended the attempt is done.
    connect(pSession, &CSessionPump::finished, this, &CTransferPage::OnFinished,
            Qt::QueuedConnection);
    m_waitTimer.setInterval(kWaitTickMs);
    connect(&m_waitTimer, &QTimer::timeout, this, &CTransferPage::OnWaitTick);
}

CTransferPage::~CTransferPage() {
    m_pSession->ClosePort();
}

bool CTransferPage::IsTransferRunning() const {
    return m_pSession->Session().IsRunning();
}

void CTransferPage::SetFailure(int nResult, CFailure::Cause nCause, std::string strDetail) {
    m_nResult = nResult;
    m_failure = CFailure{nResult, nCause, {}, std::move(strDetail)};
}

void CTransferPage::ClosePort() {
    m_pSession->ClosePort();
}

QString CTransferPage::BinFileOutputPath() {
    return QDir::homePath() + QStringLiteral("/test.bin");
}

void CTransferPage::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_TOTAL_PROGRESS, m_totalProgress);
    DDX_Control(pDX, IDC_SEGMENT_PROGRESS, m_segmentProgress);
    DDX_Text(pDX, IDC_ELAPSED, m_strElapsed);
    DDX_Text(pDX, IDC_STATUS, m_strStatus);
    DDX_Text(pDX, IDC_FEEDBACK, m_strFeedback);
}

win::BOOL CTransferPage::OnSetActive() {
    for (QProgressBar* pBar : {m_segmentProgress, m_totalProgress}) {
        if (pBar != nullptr) {
            pBar->setRange(0, kProgressRange);
            pBar->setValue(0);
        }
    }
    m_nResult = RESULT_SUCCESS;
    m_failure = CFailure{};
    m_bPacketOut = false;
    m_strFeedback.clear();
    m_waitTimer.stop();
    m_pSheet->SetWizardButtons(win::PSWIZB_DISABLEDFINISH);

    const QString path = m_pSheet->GetFilePage()->GetFileName();
    LoadedPackage package;
    const int nLoaded = LoadPackage(LocalPath(path), package, true, DefaultUploadFolder());
    if (nLoaded != RESULT_SUCCESS) {
        SetFailure(nLoaded, CFailure::LOAD, package.strDetail);
        return win::FALSE;
    }

    const CLinkPage* pLink = m_pSheet->GetLinkPage();
    if (pLink->IsUSB()) {
        return CPropertyPage::OnSetActive();
    }
    if (pLink->IsRS232()) {
        const bool bInf = package.bInf;
        if (m_pSession->Prepare(std::move(package.pImage), package.nSize) == 0) {
            // LoadPackage refuses images without files; kept so that such an image can
            // never wait for a transfer that has nothing to send.
            SetFailure(bInf ? RESULT_INF_CORRUPT : RESULT_INVALID_INPUT, CFailure::LOAD);
            return win::FALSE;
        }
        int nBaudRate = 0;
        pLink->GetBaudRate(nBaudRate);
        if (!m_pSession->OpenPort(LocalPath(pLink->GetComPort()), nBaudRate)) {
            m_failure = m_pSession->Session().Failure();
            m_nResult = m_failure.nResult;
            return win::FALSE;
        }
        m_strFeedback = QString::fromLatin1(kWaiting);
        m_strElapsed = QString::fromStdString(CXmodemSender::FormatElapsed(0));
        m_waitTimer.start();
        return CPropertyPage::OnSetActive();
    }
    if (pLink->IsBinFile()) {
        CBinFile output(LocalPath(BinFileOutputPath()));
        if (!output.WriteImage(package.pImage.get(), package.nSize)) {
            SetFailure(RESULT_FILE_NOT_FOUND, CFailure::LOAD,
                       LocalPath(BinFileOutputPath()) + ": cannot be written");
        }
        return win::FALSE;
    }
    return CPropertyPage::OnSetActive();
}

void CTransferPage::OnProgress(unsigned nSegmentPos, unsigned nTotalPos) {
    if (m_segmentProgress != nullptr) {
        m_segmentProgress->setValue(static_cast<int>(nSegmentPos));
    }
    if (m_totalProgress != nullptr) {
        m_totalProgress->setValue(static_cast<int>(nTotalPos));
    }
}

void CTransferPage::OnTextsChanged(const QString& strElapsed, const QString& strStatus) {
    m_strElapsed = strElapsed;
    m_strStatus = strStatus;
    if (m_bPacketOut) {
        m_strFeedback = QString::fromStdString(m_pSession->Session().Sender().WaitText());
    }
    if (IsCreated()) {
        UpdateData(win::FALSE);
    }
}

void CTransferPage::OnWaitTick() {
    if (!m_pSession->Session().IsRunning()) {
        m_waitTimer.stop();
        return;
    }
    // The clock runs through the whole attempt, and a wait that lasts is said: before the
    // first request, while an answer is overdue, while the projector writes a file.
    m_strElapsed = QString::fromStdString(
        CXmodemSender::FormatElapsed(m_pSession->Session().ElapsedMs() / 1000));
    m_strFeedback = m_bPacketOut ? QString::fromStdString(m_pSession->Session().Sender().WaitText())
                                 : QString::fromLatin1(kWaiting);
    if (IsCreated()) {
        UpdateData(win::FALSE);
    }
}

void CTransferPage::OnSenderEvent(const CSenderEvent& event) {
    if (event.nKind == CSenderEvent::PACKET) {
        m_bPacketOut = true;
    }
}

void CTransferPage::OnFinished(const CFailure& result) {
    m_waitTimer.stop();
    m_strFeedback.clear();
    delete m_pQuestion;  // nothing is left to stop
    m_failure = result;
    m_nResult = result.nResult;
    const uint32_t nResent = m_pSession->Session().Sender().ResentBlocks();
    if (!result.Failed() && nResent > 0) {
        m_failure.strDetail = std::to_string(nResent) +
                              (nResent == 1 ? " block was" : " blocks were") +
                              " sent again after the projector refused " +
                              (nResent == 1 ? "it" : "them") + "; check the cable";
    }
    if (m_pSheet->GetActivePage() == this) {
        m_pSheet->SetActivePage(m_pSheet->GetDonePage());
    }
}

win::BOOL CTransferPage::OnQueryCancel() {
    if (!m_pSession->Session().IsRunning() || !m_bPacketOut) {
        return win::TRUE;
    }
    if (m_pQuestion == nullptr) {
        m_pQuestion =
            new QMessageBox(QMessageBox::Question, AfxGetAppName(), QString::fromLatin1(kQuestion),
                            QMessageBox::NoButton, m_pSheet);
        QPushButton* pContinue =
            m_pQuestion->addButton(QStringLiteral("Continue upgrade"), QMessageBox::RejectRole);
        QPushButton* pStop =
            m_pQuestion->addButton(QStringLiteral("Stop upgrade"), QMessageBox::DestructiveRole);
        m_pQuestion->setDefaultButton(pContinue);
        m_pQuestion->setEscapeButton(pContinue);
        m_pQuestion->setAttribute(Qt::WA_DeleteOnClose);
        connect(pStop, &QPushButton::clicked, this, [this] {
            if (m_pSession->Session().IsRunning()) {
                m_pSheet->EndDialog(win::IDCANCEL);
            }
        });
        m_pQuestion->open();
    }
    m_pQuestion->raise();
    m_pQuestion->activateWindow();
    return win::FALSE;
}
