#include "UpgraderSheet.h"

#include "DonePage.h"
#include "FilePage.h"
#include "LinkPage.h"
#include "Resource.h"
#include "StringTable.h"
#include "TransferPage.h"
#include "WelcomePage.h"
#include "WindowWatch.h"

CUpgraderSheet::CUpgraderSheet(QWidget* pParentWnd)
    : CPropertySheet(LoadString(IDS_CAPTION), pParentWnd, 0) {
    auto* pWatch = new CWindowWatch(this);
    pWatch->setParent(this);
    connect(pWatch, &CWindowWatch::lost, this, &CUpgraderSheet::OnWindowLost);
    connect(this, &CPropertySheet::activePageChanged, this, &CUpgraderSheet::OnPageChanged);
}

CUpgraderSheet::~CUpgraderSheet() {
    delete m_pWelcomePage;
    delete m_pFilePage;
    delete m_pLinkPage;
    delete m_pTransferPage;
    delete m_pDonePage;
}

void CUpgraderSheet::AddPages() {
    m_pWelcomePage = new CWelcomePage(this);
    m_pFilePage = new CFilePage(this);
    m_pLinkPage = new CLinkPage(this);
    m_pTransferPage = new CTransferPage(this);
    m_pDonePage = new CDonePage(this);
    AddPage(m_pWelcomePage);
    AddPage(m_pFilePage);
    AddPage(m_pLinkPage);
    AddPage(m_pTransferPage);
    AddPage(m_pDonePage);
}

void CUpgraderSheet::OnWindowLost() {
    m_bWindowLost = true;
    EndUnlessTransferring();
}

void CUpgraderSheet::OnPageChanged() {
    if (GetActivePage() == m_pDonePage && m_pDonePage != nullptr) {
        m_bAttemptEnded = true;
    }
    if (m_bWindowLost) {
        EndUnlessTransferring();
    }
}

void CUpgraderSheet::EndUnlessTransferring() {
    if (GetActivePage() != nullptr && GetActivePage() == m_pTransferPage &&
        m_pTransferPage->IsTransferRunning()) {
        return;
    }
    QMetaObject::invokeMethod(
        this, [this] { EndDialog(win::IDCANCEL); }, Qt::QueuedConnection);
}
